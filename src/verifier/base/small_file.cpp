#include "verifier/base/small_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "encoding/unique_fd.h"
#include "verifier/base/errors.h"

namespace velm::verify {

namespace {

[[noreturn]] void fail(const std::string& path, const char* what, int err) {
  throw IoError(std::string("cannot read the ") + what + " " + path + ": " + std::strerror(err), err);
}

}  // namespace

std::string read_small_file(const std::string& path, std::size_t limit, const char* what) {
  const UniqueFd fd(path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) fail(path, what, errno);
  std::string out;
  char buf[1 << 16];
  while (out.size() <= limit) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(path, what, errno);
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  if (out.size() > limit + 1) out.resize(limit + 1);
  return out;
}

}  // namespace velm::verify
