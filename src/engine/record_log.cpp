#include "engine/record_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

namespace velm {

namespace {

struct WriteOutcome {
  int error = 0;
  std::size_t written = 0;  // bytes of this line that reached the file
};

// Writes the whole line, retrying after signals and short writes. The descriptor starts
// non-blocking; only pipes and devices can answer EAGAIN, and they are switched to blocking
// writes then, so a slow reader gets the whole line rather than a torn one.
WriteOutcome write_fully(int fd, std::string_view line) noexcept {
  WriteOutcome outcome;
  while (outcome.written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + outcome.written, line.size() - outcome.written);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) continue;
      }
      outcome.error = errno;
      return outcome;
    }
    if (n == 0) {
      outcome.error = EIO;
      return outcome;
    }
    outcome.written += static_cast<std::size_t>(n);
  }
  return outcome;
}

}  // namespace

AppendResult append_log_line(int dir, const std::string& path, std::string_view line, SignalCheck on_signal) noexcept {
  if (path.find('\0') != std::string::npos) return {EINVAL};
  // Non-blocking so that a FIFO without a reader fails at once instead of stalling the caller
  // forever; regular files ignore the flag.
  const UniqueFd file(
      ::openat(dir, path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
  if (!file) return {errno};
  const int fd = file.get();
  // Other processes appending to the same log wait here, so lines never interleave.
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) break;  // no locking on this file system: append unlocked
    if (on_signal.give_up != nullptr && on_signal.give_up(on_signal.context)) return {0, true};
  }
  const WriteOutcome outcome = write_fully(fd, line);
  if (outcome.error != 0 && outcome.written != 0) {
    // Cut off the part of the line that made it, so the next line starts on a clean boundary.
    // Under the lock, and in append mode, the offset is the end of exactly those bytes; a pipe
    // has no offset and nothing can be taken back from it.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= static_cast<off_t>(outcome.written)) {
      (void)::ftruncate(fd, end - static_cast<off_t>(outcome.written));
    }
  }
  return {outcome.error};  // closing the file releases the lock
}

LogLocation resolve_log_location(const std::string& path) {
  if (path.empty() || path.front() == '/') return {path, UniqueFd()};
  std::unique_ptr<char, void (*)(void*)> cwd(::getcwd(nullptr, 0), std::free);
  if (cwd) {
    std::string resolved(cwd.get());
    if (resolved.back() != '/') resolved.push_back('/');
    resolved += path;
    if (resolved.size() < PATH_MAX) return {std::move(resolved), UniqueFd()};
  }
  UniqueFd dir(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  // Without it, there is no better choice than the name as given.
  return {path, std::move(dir)};
}

}  // namespace velm
