// Appending one line to the record log. Lines never tear: each goes out in one write under an
// exclusive advisory lock, and a write that fails part-way is cut back off the file.
#pragma once

#include <fcntl.h>

#include <string>
#include <string_view>
#include <utility>

#include "encoding/unique_fd.h"

namespace velm {

// The outcome of an append: 0 on success, else the errno value that stopped it. `abandoned` is
// set when the wait for the lock was given up at the caller's request: nothing was written.
struct [[nodiscard]] AppendResult {
  int error = 0;
  bool abandoned = false;
  explicit operator bool() const noexcept { return error == 0 && !abandoned; }
};

// Asked each time a signal interrupts the wait for the log's lock; returning true gives up the
// append before anything is written.
struct SignalCheck {
  bool (*give_up)(void* context) = nullptr;
  void* context = nullptr;
};

// Where a log is opened: `path` is absolute, or relative to the directory descriptor `dir`
// (owned; AT_FDCWD when there is none).
class LogLocation {
 public:
  LogLocation() noexcept = default;
  LogLocation(std::string path, UniqueFd dir) noexcept : path_(std::move(path)), dir_(std::move(dir)) {}

  const std::string& path() const noexcept { return path_; }
  int dir() const noexcept { return dir_ ? dir_.get() : AT_FDCWD; }

 private:
  std::string path_;
  UniqueFd dir_;
};

// The place a log name refers to now. Relative names are made absolute against the current
// working directory, so that a later change of directory does not move the log; when that
// absolute name would be too long to open (or the directory has no name), the working directory
// is kept open instead and the name stays relative to it.
LogLocation resolve_log_location(const std::string& path);

// Appends `line` (a JSON text and its line feed) to the file at `path` relative to `dir`,
// created with mode 0666 less the umask.
AppendResult append_log_line(int dir, const std::string& path, std::string_view line,
                             SignalCheck on_signal = {}) noexcept;
inline AppendResult append_log_line(const std::string& path, std::string_view line) noexcept {
  return append_log_line(AT_FDCWD, path, line);
}

}  // namespace velm
