#include "engine/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "encoding/entropy.h"
#include "encoding/fatal_error.h"

namespace velm {

namespace {

// Closes a descriptor on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }
  int close() noexcept {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

[[noreturn]] void fail(const char* what, int err) { throw FatalError(std::string(what) + ": " + os_error_text(err)); }

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

enum class LoadResult { kLoaded, kMissing };

// Reads the seed; never reads more than one byte past the expected length and never blocks on
// a FIFO or a device.
LoadResult load_seed(const std::string& key_path, SecretSeed& seed) {
  const int fd = ::open(key_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return LoadResult::kMissing;
    fail("Failed to read signing key", errno);
  }
  FileDescriptor file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("Failed to read signing key", errno);
  if (S_ISDIR(st.st_mode)) fail("Failed to read signing key", EISDIR);
  if (!S_ISREG(st.st_mode)) {
    throw FatalError("Failed to read signing key: not a regular file");
  }
  unsigned char buf[kSeedBytes + 1];
  std::size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      std::fill(buf, buf + sizeof buf, 0);
      fail("Failed to read signing key", err);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
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

// Writes the seed to a fresh temporary file beside `key_path` and links it into place.
// Returns false when another file got there first.
bool publish_seed(const std::string& key_path, const SecretSeed& seed) {
  static unsigned counter = 0;
  std::string temp_path;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp_path = key_path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno != EEXIST) fail("Failed to write signing key", errno);
  }
  if (fd < 0) fail("Failed to write signing key", EEXIST);
  FileDescriptor file(fd);
  struct TempRemover {
    const std::string& path;
    ~TempRemover() { ::unlink(path.c_str()); }
  } remover{temp_path};

  if (::fchmod(fd, 0600) != 0) fail("Failed to write signing key", errno);  // whatever the umask
  write_all(fd, seed.data(), seed.size());
  if (::fsync(fd) != 0) fail("Failed to write signing key", errno);
  if (file.close() != 0) fail("Failed to write signing key", errno);

  if (::link(temp_path.c_str(), key_path.c_str()) != 0) {
    if (errno == EEXIST) return false;
    fail("Failed to write signing key", errno);
  }
  // Make the new name durable; a failure here leaves a complete key file, so it is not fatal.
  const int dir = ::open(directory_of(key_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace

SecretSeed load_or_create_seed(const std::string& key_path) {
  SecretSeed seed;
  if (has_nul(key_path)) {
    // Such a path cannot name a file: it counts as absent, and creating it fails.
    generate_seed();
    throw FatalError("Failed to write signing key: file name contains a NUL byte");
  }
  struct stat st {};
  if (::stat(key_path.c_str(), &st) == 0 && load_seed(key_path, seed) == LoadResult::kLoaded) {
    return seed;
  }
  seed = generate_seed();
  if (publish_seed(key_path, seed)) return seed;
  // Another process created the key file first: use its identity.
  if (load_seed(key_path, seed) == LoadResult::kLoaded) return seed;
  fail("Failed to read signing key", ENOENT);
}

}  // namespace velm
