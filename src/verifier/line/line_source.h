// The lines of one log, from a file or a stream. A regular file is read up to the size it had
// while no append was in progress: the engine appends each line in one write under an exclusive
// flock, so taking a shared lock just long enough to read the size gives a size that ends on a
// line boundary, and a line appended meanwhile is left for the next run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/unique_fd.h"
#include "verifier/base/errors.h"

namespace velm::verify {

class LineSource {
 public:
  enum class Status { kLine, kTorn, kOversized, kNotLog, kEnd };

  // Reads up to `size` bytes into `buffer` and returns how many; 0 at the end. Throws IoError.
  using Reader = std::function<std::size_t(char* buffer, std::size_t size)>;

  // "-" is standard input. Throws IoError.
  LineSource(const std::string& path, std::size_t max_line_bytes);
  // The bytes `reader` hands out, to their end.
  LineSource(Reader reader, std::size_t max_line_bytes);

  // kLine: `line` holds the next line without its "\n". kTorn: the last bytes had no "\n".
  // kOversized: a line longer than the limit was skipped unread; `length` is its length.
  // kNotLog, only in place of the first line: the bytes are not JSON lines at all (a key file, say;
  // see looks_like_no_log), so the rest was skipped unread; `length` is their length. Only kEnd
  // follows. Throws IoError.
  Status next(std::string& line, std::uint64_t& length);

  std::uint64_t bytes_read() const noexcept { return consumed_; }

  // Whether a source whose first line is `first` (ended by a line feed or by the end of the bytes),
  // followed by the bytes `after`, holds no log at all: the first line does not begin with '{' nor
  // hold '{"' anywhere, it holds a byte no JSON text holds (NUL or another control character but tab
  // and carriage return, or bytes that are not UTF-8), and no line in `after` begins with '{'. A log
  // damaged at its start still has a record's beginning there and is reported line by line.
  static bool looks_like_no_log(std::string_view first, std::string_view after);
  // The bytes this run covers, when known in advance (regular files).
  std::optional<std::uint64_t> size() const noexcept { return limit_; }

 private:
  bool fill();
  Status read_line(std::string& line, std::uint64_t& length);
  // Skips the rest of the bytes; their count.
  std::uint64_t skip_rest();

  std::string path_;
  UniqueFd owned_;  // empty for standard input
  int fd_ = -1;
  Reader reader_;  // set instead of a descriptor
  std::size_t max_line_bytes_;
  std::optional<std::uint64_t> limit_;
  std::uint64_t fetched_ = 0;   // bytes read from the descriptor
  std::uint64_t consumed_ = 0;  // bytes handed out as lines
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
};

}  // namespace velm::verify
