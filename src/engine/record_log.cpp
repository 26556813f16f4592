#include "engine/record_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

namespace velm {

namespace {

// Writes both pieces in full, retrying after signals and short writes.
int write_fully(int fd, std::string_view json) noexcept {
  static const char kLineFeed = '\n';
  iovec parts[2] = {{const_cast<char*>(json.data()), json.size()}, {const_cast<char*>(&kLineFeed), 1}};
  iovec* part = parts;
  int count = 2;
  while (count > 0) {
    const ssize_t n = ::writev(fd, part, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    std::size_t left = static_cast<std::size_t>(n);
    while (count > 0 && left >= part->iov_len) {
      left -= part->iov_len;
      ++part;
      --count;
    }
    if (count > 0) {
      part->iov_base = static_cast<char*>(part->iov_base) + left;
      part->iov_len -= left;
    }
  }
  return 0;
}

}  // namespace

AppendResult append_log_line(const std::string& path, std::string_view json) noexcept {
  if (path.find('\0') != std::string::npos) return {EINVAL};
  // Non-blocking so that a FIFO without a reader fails at once instead of stalling the caller
  // (and the interpreter) forever; regular files ignore the flag.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) return {errno};
  // Writes block as usual, so a slow reader of a pipe gets whole lines rather than torn ones.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  // Other processes appending to the same log wait here, so lines never interleave.
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) break;  // no locking on this file system: append unlocked
  }
  struct stat st {};
  const bool known_start = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  int error = write_fully(fd, json);
  if (error != 0 && known_start) {
    // Cut off whatever part of the line made it, so the next line starts on a clean boundary.
    (void)::ftruncate(fd, st.st_size);
  }
  ::close(fd);  // also releases the lock
  return {error};
}

std::string resolve_log_path(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::unique_ptr<char, void (*)(void*)> cwd(::getcwd(nullptr, 0), std::free);
  if (!cwd) return path;
  std::string resolved(cwd.get());
  if (resolved.back() != '/') resolved.push_back('/');
  return resolved + path;
}

}  // namespace velm
