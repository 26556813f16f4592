// Failures crossing the boundary: one model, after nanobind's python_error.
//
// A Python exception that must unwind the current call travels through C++ as a PythonError,
// which fetches it from the thread state when it is made and owns it until `guard` restores it
// at the boundary. Core failures arrive as velm::FatalError and become PanicException there.
// Every entry point from the interpreter runs its body through `guard`.
//
// Which helper after which kind of call:
//   - a C API call that returns a new reference, null on failure:   check(call)
//   - a C API call that fails any other way (-1, a false result):    throw PythonError()
//   - a call into Python code (json.dumps, __bool__, a warning that
//     may be raised as an error), which may bring a panic back:     propagate_python_error()
//   - a failure of our own, with its message:                       raise(type, message)
//   - a failure of our own that wraps the pending exception:        raise_from(type, message, cause)
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "binding/py_ref.h"
#include "encoding/fatal_error.h"

namespace velm::py {

// A Python exception carried through C++. Made and destroyed with the interpreter lock held.
class PythonError {
 public:
  // Takes the pending exception out of the thread state (none pending: restore() reports that).
  PythonError() noexcept;
  PythonError(const PythonError& other) noexcept;
  PythonError& operator=(const PythonError&) = delete;
  PythonError(PythonError&&) noexcept = default;
  ~PythonError() = default;

  // Puts the exception back as the pending one; the error object is empty afterwards.
  void restore() noexcept;

 private:
  Ref type_, value_, traceback_;
};

// Throws PythonError when `obj` is null (a Python API call failed with an exception set).
inline PyObject* check(PyObject* obj) {
  if (obj == nullptr) throw PythonError();
  return obj;
}

// Raises the Python exception `type` with `message`, then throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Raises `type(message)` with `cause` (borrowed, may be null) as its __cause__, then throws
// PythonError. A pending exception is replaced.
[[noreturn]] void raise_from(PyObject* type, const std::string& message, PyObject* cause);

// The "pyo3_runtime.PanicException" type, created on first use (null with an error set on failure).
PyObject* panic_exception_type();

// Writes the standard-error diagnostic for a fatal error and raises PanicException(message).
void raise_panic(const char* where, const std::string& message);

// Call after a Python call returned an error: a PanicException coming back from Python code is
// reported on standard error and resumed as the same fatal error; anything else unwinds as is.
[[noreturn]] void propagate_python_error();

// Replaces a pending TypeError by "argument 'NAME': <message>", keeping its cause; other errors
// are propagated as they are.
[[noreturn]] void propagate_argument_error(const char* param);

// Runs `body`, turning every failure into a Python exception; returns `failed` in that case.
template <class Result, class Body>
Result guard(const char* where, Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (PythonError& e) {
    e.restore();
  } catch (const FatalError& e) {
    raise_panic(where, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(where, e.what());
  } catch (...) {
    raise_panic(where, "unknown failure in native code");
  }
  return failed;
}

}  // namespace velm::py
