#include "engine/record_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>

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

// The log files of the appends in progress in this process, each listed from its open to its
// close. A flock belongs to the open file description, which a child made by fork() shares: a
// child that kept its copy would hold the parent's lock (or the lock the parent takes later) for
// as long as it lives, and every appender to the log, the parent and the child included, would
// wait for it. So the child closes its copies at once, in the fork handler.
//
// The list is changed only under the mutex, which the fork handler takes around fork(), so the
// child sees it whole and every descriptor open at the fork is on it. The mutex is held across the
// open and the close but never across the wait for the lock or the write: the open is
// non-blocking (a FIFO without a reader or a leased file fails at once) and the close comes after
// the write, so neither waits for another process.
class InFlightFile;
std::mutex g_in_flight_mutex;
InFlightFile* g_in_flight = nullptr;

class InFlightFile {
 public:
  InFlightFile(int dir, const char* path) noexcept {
    const std::lock_guard<std::mutex> hold(g_in_flight_mutex);
    fd_ = ::openat(dir, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd_ < 0) {
      open_error_ = errno;
      return;
    }
    next_ = g_in_flight;
    if (next_ != nullptr) next_->prev_ = this;
    g_in_flight = this;
  }
  ~InFlightFile() {
    const std::lock_guard<std::mutex> hold(g_in_flight_mutex);
    if (fd_ < 0) return;  // never opened, or closed in a child by the fork handler
    (prev_ != nullptr ? prev_->next_ : g_in_flight) = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
    // Unlocked before the close: a child made without the fork handlers (vfork, posix_spawn)
    // shares the file until it execs, and the close alone would leave the lock to it until then.
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  InFlightFile(const InFlightFile&) = delete;
  InFlightFile& operator=(const InFlightFile&) = delete;

  // The descriptor, or -1 if the open failed (with open_error()) or a fork made by this very
  // thread (from a signal handler run during the wait for the lock) closed it in the child.
  int fd() const noexcept { return fd_; }
  int open_error() const noexcept { return open_error_; }

  // Runs in the child right after fork(), on its only thread; the entries are on the stacks of
  // threads that do not exist there. Nothing but close() and plain stores, and the unlock that the
  // fork handlers of any mutex do.
  static void close_in_child() noexcept {
    for (InFlightFile* entry = g_in_flight; entry != nullptr; entry = entry->next_) {
      ::close(entry->fd_);
      entry->fd_ = -1;
    }
    g_in_flight = nullptr;
    g_in_flight_mutex.unlock();
  }

 private:
  int fd_ = -1;
  int open_error_ = 0;
  InFlightFile* prev_ = nullptr;
  InFlightFile* next_ = nullptr;
};

void hold_in_flight_for_fork() noexcept { g_in_flight_mutex.lock(); }
void release_in_flight_in_parent() noexcept { g_in_flight_mutex.unlock(); }

// Registered when the library is loaded, before any append can start.
[[maybe_unused]] const int g_in_flight_fork_handlers =
    ::pthread_atfork(hold_in_flight_for_fork, release_in_flight_in_parent, InFlightFile::close_in_child);

}  // namespace

AppendResult append_log_line(int dir, const std::string& path, std::string_view line, SignalCheck on_signal) noexcept {
  if (path.find('\0') != std::string::npos) return {EINVAL};
  // Non-blocking so that a FIFO without a reader fails at once instead of stalling the caller
  // forever; regular files ignore the flag. Not const: a fork handler may close it.
  InFlightFile file(dir, path.c_str());
  if (file.fd() < 0) return {file.open_error()};
  const int fd = file.fd();
  // Other processes appending to the same log wait here, so lines never interleave.
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) break;  // no locking on this file system: append unlocked
    if (on_signal.give_up != nullptr && on_signal.give_up(on_signal.context)) return {0, true};
    // In a child forked by the signal handler the file is gone: the append stays the parent's.
    if (file.fd() < 0) return {EBADF};
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
  return {outcome.error};  // the file is unlocked and closed on the way out
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
