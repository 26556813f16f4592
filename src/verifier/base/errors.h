// Every error the verifier throws, in one hierarchy. Each is of one of three kinds, which is all
// the command and the Python module need to know to report it: a request that cannot be carried
// out as given (exit status 2; TypeError or ValueError), an input that cannot be read (exit
// status 2; OSError with its errno), and a refusal to vouch for an input that was read (exit
// status 1; ValueError). Messages never hold secret bytes.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velm::verify {

enum class ErrorKind : std::uint8_t { kUsage, kUnreadable, kRefused };

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message, int error_number = 0)
      : std::runtime_error(message), kind_(kind), error_number_(error_number) {}
  ErrorKind error_kind() const noexcept { return kind_; }
  int error_number() const noexcept { return error_number_; }  // errno, 0 when there is none

 private:
  ErrorKind kind_;
  int error_number_;
};

// A request that asks for something impossible: a malformed key, a missing argument.
class UsageError : public Error {
 public:
  explicit UsageError(const std::string& message) : Error(ErrorKind::kUsage, message) {}
};

// Failure to open, read or write a file: a log, a key file, the verifier's temporary files.
class IoError : public Error {
 public:
  explicit IoError(const std::string& message, int error_number = 0)
      : Error(ErrorKind::kUnreadable, message, error_number) {}
};

// What is wrong with a signed note or a verifier key (tlog/note.h).
enum class NoteErrorKind : std::uint8_t {
  kTooLarge,          // more bytes or signature lines than the limits
  kMalformed,         // not a signed note: encoding, control characters, layout, base64
  kBadKey,            // a verifier key text, key name or key ID that is not well formed
  kBadSignature,      // a signature by a known key that does not verify
  kNoKnownSignature,  // no signature by any of the given keys
  kBadCheckpoint,     // a verified note whose text is not a checkpoint
  kWrongOrigin,       // a checkpoint of another log than the one expected
};

class NoteError : public Error {
 public:
  NoteError(NoteErrorKind kind, const std::string& message) : Error(ErrorKind::kRefused, message), kind_(kind) {}
  NoteErrorKind kind() const noexcept { return kind_; }

 private:
  NoteErrorKind kind_;
};

// A proof bundle that cannot be made or read. The message never repeats the input's bytes.
class BundleError : public Error {
 public:
  explicit BundleError(const std::string& message) : Error(ErrorKind::kRefused, message) {}
};

}  // namespace velm::verify
