#include "verifier/line/line_source.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "encoding/fatal_error.h"
#include "verifier/base/escape.h"

namespace velm::verify {

namespace {

// A file is read 64 KiB at a time: a buffer well inside the core's second-level cache leaves the
// scoring history and the signature tables there. A reader (a Python file object, which must
// take the interpreter lock for each call) is asked for 1 MiB at a time.
constexpr std::size_t kFileReadBytes = std::size_t{1} << 16;
constexpr std::size_t kReaderReadBytes = std::size_t{1} << 20;

[[noreturn]] void fail(const char* what, const std::string& path, int err) {
  throw IoError(std::string("cannot ") + what + " '" + path + "': " + os_error_text(err), err);
}

int lock(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

}  // namespace

LineSource::LineSource(const std::string& path, std::size_t max_line_bytes)
    : path_(path), max_line_bytes_(max_line_bytes), buffer_(kFileReadBytes) {
  if (path == "-") {
    fd_ = STDIN_FILENO;
  } else {
    if (path.find('\0') != std::string::npos) throw IoError("cannot open '" + path + "': the name holds a NUL byte");
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) fail("open", path, errno);
    owned_ = UniqueFd(fd);
    fd_ = fd;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) fail("read", path, errno);
  if (S_ISDIR(st.st_mode)) fail("read", path, EISDIR);
  if (!S_ISREG(st.st_mode)) return;  // a pipe or a terminal: read to its end
  const off_t start = ::lseek(fd_, 0, SEEK_CUR);
  if (start < 0) return;
  // Where locks are not supported the size is taken without one.
  const bool locked = lock(fd_, LOCK_SH) == 0;
  const int stat_rc = ::fstat(fd_, &st);
  const int stat_errno = errno;
  if (locked) lock(fd_, LOCK_UN);
  if (stat_rc != 0) fail("read", path, stat_errno);
  limit_ = st.st_size > start ? static_cast<std::uint64_t>(st.st_size - start) : 0;
}

LineSource::LineSource(Reader reader, std::size_t max_line_bytes)
    : reader_(std::move(reader)), max_line_bytes_(max_line_bytes), buffer_(kReaderReadBytes) {}

bool LineSource::fill() {
  if (eof_) return false;
  std::size_t want = buffer_.size();
  if (limit_) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *limit_ - fetched_));
  ssize_t got = 0;
  if (want > 0 && reader_) {
    got = static_cast<ssize_t>(std::min(reader_(buffer_.data(), want), want));
  } else if (want > 0) {
    do {
      got = ::read(fd_, buffer_.data(), want);
    } while (got < 0 && errno == EINTR);
    if (got < 0) fail("read", path_, errno);
  }
  pos_ = 0;
  end_ = static_cast<std::size_t>(got);
  fetched_ += end_;
  // A file cut shorter while it is read ends early; the lines read are judged as they are.
  if (got == 0) eof_ = true;
  return got > 0;
}

bool LineSource::looks_like_no_log(std::string_view first, std::string_view after) {
  if (first.find("{\"") != std::string_view::npos || (!first.empty() && first.front() == '{')) return false;
  bool binary = false;
  for (const char c : first) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 && u != '\t' && u != '\r') binary = true;
  }
  if (!binary && valid_utf8(first) != first) binary = true;
  return binary && after.find("\n{") == std::string_view::npos && after.substr(0, 1) != "{";
}

std::uint64_t LineSource::skip_rest() {
  std::uint64_t skipped = end_ - pos_;
  consumed_ += skipped;
  pos_ = end_;
  while (fill()) {
    skipped += end_;
    consumed_ += end_;
    pos_ = end_;
  }
  return skipped;
}

LineSource::Status LineSource::next(std::string& line, std::uint64_t& length) {
  const bool first = consumed_ == 0;
  const Status status = read_line(line, length);
  if (first && (status == Status::kLine || status == Status::kTorn) &&
      looks_like_no_log(line, std::string_view(buffer_.data() + pos_, end_ - pos_))) {
    length += (status == Status::kLine ? 1 : 0) + skip_rest();
    line.clear();
    return Status::kNotLog;
  }
  return status;
}

LineSource::Status LineSource::read_line(std::string& line, std::uint64_t& length) {
  line.clear();
  length = 0;
  bool oversized = false;
  for (;;) {
    if (pos_ == end_ && !fill()) {
      if (length == 0 && !oversized) return Status::kEnd;
      return Status::kTorn;
    }
    const char* const start = buffer_.data() + pos_;
    const std::size_t avail = end_ - pos_;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', avail));
    const std::size_t take = newline != nullptr ? static_cast<std::size_t>(newline - start) : avail;
    length += take;
    consumed_ += take;
    if (!oversized) {
      if (line.size() + take > max_line_bytes_) {
        oversized = true;
        std::string().swap(line);
      } else {
        line.append(start, take);
      }
    }
    if (newline != nullptr) {
      pos_ += take + 1;
      ++consumed_;
      return oversized ? Status::kOversized : Status::kLine;
    }
    pos_ = end_;
  }
}

}  // namespace velm::verify
