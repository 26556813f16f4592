#include "verifier/run/witness_key.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "encoding/fatal_error.h"
#include "encoding/unique_fd.h"
#include "engine/key_file.h"
#include "verifier/base/errors.h"
#include "verifier/base/escape.h"
#include "verifier/tlog/note.h"

namespace velm::verify {

namespace {

[[noreturn]] void key_fail(const std::string& what, int err) { throw IoError(what + ": " + std::strerror(err)); }

}  // namespace

std::optional<std::string> create_witness_key(const std::string& path, std::string_view name,
                                              const std::function<bool(const std::string&)>& announce) {
  if (!valid_key_name(name)) {
    throw NoteError(NoteErrorKind::kBadKey, "key name is empty or holds a space, '+' or control character");
  }
  if (path.empty() || path.find('\0') != std::string::npos) throw IoError("the witness key path is not a file name");
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) throw IoError("the witness key file already exists; it is never replaced");
  // The writer loads a key file that appears meanwhile rather than replace it.
  std::string warning;
  std::string vkey;
  try {
    const SigningKey key = signing_key_from_seed(load_or_create_seed(path, warning));
    vkey = format_verifier_key(make_verifier_key(name, key.public_key()));
  } catch (const FatalError& e) {
    // The system's word alone where there is one, as for every other file the verifier cannot write.
    if (e.os_error() != 0) key_fail("cannot create the witness key", e.os_error());
    throw IoError("cannot create the witness key: " + escape_text(e.what()));
  }
  if (announce && !announce(vkey)) {
    const int err = errno;  // why announcing failed, for the caller's message
    ::unlink(path.c_str());
    errno = err;
    return std::nullopt;
  }
  return vkey;
}

SigningKey load_witness_key(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw IoError("the witness key path is not a file name");
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) key_fail("cannot read the witness key", errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) key_fail("cannot read the witness key", errno);
  if (!S_ISREG(st.st_mode)) throw IoError("the witness key is not a regular file");
  SecretSeed seed;
  std::uint8_t extra = 0;
  std::size_t got = 0;
  while (got < seed.size()) {
    const ssize_t n = ::read(fd.get(), seed.data() + got, seed.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) key_fail("cannot read the witness key", errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ssize_t more;
  do {
    more = ::read(fd.get(), &extra, 1);
  } while (more < 0 && errno == EINTR);
  sodium_memzero(&extra, sizeof extra);
  if (got != seed.size() || more != 0) {
    throw IoError("the witness key file does not hold exactly 32 bytes");
  }
  return signing_key_from_seed(std::move(seed));
}

}  // namespace velm::verify
