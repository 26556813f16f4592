// The one mapping from the verifier's errors to Python exceptions, and the one way the verifier
// runs with the interpreter lock released.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

#include "verifier/base/errors.h"
#include "verify_module/py_reader.h"

// A usage error and a refusal raise ValueError; an unreadable input raises OSError, of the
// subclass its errno selects (FileNotFoundError, ...) when it has one.
[[noreturn]] void raise_verify_error(const velm::verify::Error& error);

// Holds the interpreter lock released for its lifetime.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `body` with the lock released and gives its result. What it throws is thrown again once
// the lock is held: an unreadable input as the exception a file object's read raised (kept in
// `read_errors`) if there is one, any other Error as raise_verify_error raises it.
template <class Body>
auto run_unlocked(Body&& body, ReadErrors* read_errors = nullptr) {
  std::optional<decltype(body())> result;
  std::exception_ptr failure;
  {
    ReleasedLock unlocked;
    try {
      result.emplace(body());
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const velm::verify::Error& e) {
      if (read_errors != nullptr && e.error_kind() == velm::verify::ErrorKind::kUnreadable) {
        read_errors->restore_if_any();
      }
      raise_verify_error(e);
    }
  }
  return std::move(*result);
}
