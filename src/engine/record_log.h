// Appending one line to the record log. Lines never tear: each goes out in one write under an
// exclusive advisory lock, and a write that fails part-way is cut back off the file.
#pragma once

#include <string>
#include <string_view>

namespace velm {

// The outcome of an append: 0 on success, else the errno value that stopped it.
struct AppendResult {
  int error = 0;
  explicit operator bool() const noexcept { return error == 0; }
};

// Appends `line` (a JSON text and its line feed) to the file at `path`, created with mode 0666
// less the umask.
AppendResult append_log_line(const std::string& path, std::string_view line) noexcept;

// The path a log name refers to now: relative names are made absolute against the current
// working directory, so that a later change of directory does not move the log.
std::string resolve_log_path(const std::string& path);

}  // namespace velm
