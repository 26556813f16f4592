#include "engine/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "encoding/entropy.h"
#include "encoding/fatal_error.h"
#include "encoding/unique_fd.h"

namespace velm {

namespace {

[[noreturn]] void fail(const char* what, int err) {
  throw FatalError(std::string(what) + ": " + os_error_text(err), err);
}

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Refuses a key file that other users may write or that another user owns (root may use any);
// notes in `warning` that other users may read it.
void check_ownership(const struct stat& st, const std::string& key_path, const char* failure, std::string& warning) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    throw FatalError(std::string(failure) + ": '" + key_path + "' may be written by other users (mode " + mode + ")");
  }
  const uid_t me = ::geteuid();
  if (me != 0 && st.st_uid != me) {
    throw FatalError(std::string(failure) + ": '" + key_path + "' belongs to user " + std::to_string(st.st_uid) +
                     ", not to this process's user " + std::to_string(me));
  }
  if (st.st_mode & (S_IRGRP | S_IROTH)) {
    warning = "velm_qor: the signing key '" + key_path + "' may be read by other users (mode " + mode + ")";
  }
}

enum class LoadResult { kLoaded, kMissing };

// How long a reader waits for a key file that is still shorter than a seed: another process that
// cannot link its key into place writes it in place, and may be between creating and writing.
constexpr long kShortKeyWaitMillis = 1000;

// Reads up to `size` bytes from the start of the file.
std::size_t read_start(int fd, unsigned char* buf, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, buf + got, size - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      std::fill(buf, buf + size, 0);
      fail("Failed to read signing key", err);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

void sleep_millis(long millis) {
  struct timespec pause {
    0, millis * 1000000L
  };
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Reads the seed; never reads more than one byte past the expected length and never blocks on
// a FIFO or a device.
LoadResult load_seed(const std::string& key_path, SecretSeed& seed, std::string& warning) {
  const UniqueFd file(::open(key_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file) {
    if (errno == ENOENT) return LoadResult::kMissing;
    fail("Failed to read signing key", errno);
  }
  const int fd = file.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("Failed to read signing key", errno);
  if (S_ISDIR(st.st_mode)) fail("Failed to read signing key", EISDIR);
  if (!S_ISREG(st.st_mode)) {
    throw FatalError("Failed to read signing key: not a regular file");
  }
  check_ownership(st, key_path, "Failed to read signing key", warning);
  unsigned char buf[kSeedBytes + 1];
  std::size_t got = read_start(fd, buf, sizeof buf);
  for (long waited = 0, step = 1; got < kSeedBytes && waited < kShortKeyWaitMillis; waited += step, step *= 2) {
    sleep_millis(step);
    got = read_start(fd, buf, sizeof buf);
  }
  if (got <= kSeedBytes && ::fstat(fd, &st) != 0) fail("Failed to read signing key", errno);
  std::copy(buf, buf + kSeedBytes, seed.data());
  std::fill(buf, buf + sizeof buf, 0);
  if (got != kSeedBytes || st.st_size != static_cast<off_t>(kSeedBytes)) {
    seed.wipe();
    const long long found = got > kSeedBytes ? static_cast<long long>(st.st_size) : static_cast<long long>(got);
    throw FatalError("Invalid key length: found " + std::to_string(found) + " bytes, expected " +
                     std::to_string(kSeedBytes));
  }
  return LoadResult::kLoaded;
}

void write_all(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("Failed to write signing key", errno);
    }
    if (n == 0) fail("Failed to write signing key", EIO);
    done += static_cast<std::size_t>(n);
  }
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a new name in the key's directory durable; a failure here leaves a complete key file, so
// it is not fatal.
void sync_directory_of(const std::string& key_path) noexcept {
  const UniqueFd dir(::open(directory_of(key_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

// Owner-only whatever the umask. A file system that keeps no permission bits refuses the change;
// what it reports instead is checked like any existing key file.
void restrict_to_owner(int fd, const std::string& key_path, std::string& warning) {
  (void)::fchmod(fd, 0600);
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("Failed to write signing key", errno);
  check_ownership(st, key_path, "Failed to write signing key", warning);
}

// Writes the seed, syncs it and closes the file; `file` is closed on every way out.
void write_key(UniqueFd& file, const SecretSeed& seed) {
  write_all(file.get(), seed.data(), seed.size());
  if (::fsync(file.get()) != 0) fail("Failed to write signing key", errno);
  if (file.close() != 0) fail("Failed to write signing key", errno);
}

// Removes a file on the way out unless disarmed.
struct Remover {
  const std::string& path;
  bool armed = true;
  ~Remover() {
    if (armed) ::unlink(path.c_str());
  }
};

// The errors of link() that mean the file system has no hard links at all.
bool links_unsupported(int err) { return err == EPERM || err == EOPNOTSUPP || err == ENOSYS; }

enum class Published { kLinked, kLost, kNoLinks };

// Writes the seed to a fresh temporary file beside `key_path` and links it into place.
Published publish_by_link(const std::string& key_path, const SecretSeed& seed, std::string& warning) {
  static std::atomic<std::uint64_t> counter{0};  // engines may be built on several threads at once
  std::string temp_path;
  UniqueFd file;
  for (int attempt = 0; attempt < 100 && !file; ++attempt) {
    temp_path = temporary_name_beside(key_path, ++counter);
    file = UniqueFd(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file && errno != EEXIST) fail("Failed to write signing key", errno);
  }
  if (!file) fail("Failed to write signing key", EEXIST);
  Remover remover{temp_path};
  restrict_to_owner(file.get(), key_path, warning);
  write_key(file, seed);
  if (::link(temp_path.c_str(), key_path.c_str()) != 0) {
    if (errno == EEXIST) return Published::kLost;
    if (links_unsupported(errno)) return Published::kNoLinks;
    fail("Failed to write signing key", errno);
  }
  sync_directory_of(key_path);
  return Published::kLinked;
}

// Without hard links: creates the key file itself, exclusively, and writes the seed into it. Until
// the whole seed is synced a failure removes the file again.
Published publish_in_place(const std::string& key_path, const SecretSeed& seed, std::string& warning) {
  UniqueFd file(::open(key_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file) {
    if (errno == EEXIST) return Published::kLost;
    fail("Failed to write signing key", errno);
  }
  Remover remover{key_path};
  restrict_to_owner(file.get(), key_path, warning);
  write_key(file, seed);
  remover.armed = false;
  sync_directory_of(key_path);
  return Published::kLinked;
}

}  // namespace

std::string temporary_name_beside(const std::string& path, std::uint64_t counter) {
  const std::string suffix = ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter);
  const std::size_t slash = path.rfind('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  std::size_t kept = path.size() - name_start;
  if (kept + suffix.size() > NAME_MAX) {
    kept = NAME_MAX - suffix.size();
    // Back off to the start of the UTF-8 sequence the cut would fall in.
    while (kept > 0 && (static_cast<unsigned char>(path[name_start + kept]) & 0xC0) == 0x80) --kept;
  }
  return path.substr(0, name_start + kept) + suffix;
}

SecretSeed load_or_create_seed(const std::string& key_path, std::string& warning) {
  SecretSeed seed;
  if (has_nul(key_path)) {
    // Such a path cannot name a file: it counts as absent, and creating it fails.
    generate_seed();
    throw FatalError("Failed to write signing key: file name contains a NUL byte");
  }
  struct stat st {};
  if (::stat(key_path.c_str(), &st) == 0 && load_seed(key_path, seed, warning) == LoadResult::kLoaded) {
    return seed;
  }
  seed = generate_seed();
  Published published = publish_by_link(key_path, seed, warning);
  if (published == Published::kNoLinks) published = publish_in_place(key_path, seed, warning);
  if (published == Published::kLinked) return seed;
  // Another process created the key file first: use its identity.
  warning.clear();
  if (load_seed(key_path, seed, warning) == LoadResult::kLoaded) return seed;
  fail("Failed to read signing key", ENOENT);
}

}  // namespace velm
