// Failures crossing the boundary. Inside the binding, a Python exception that is set is carried
// through C++ as PythonError; core failures arrive as velm::FatalError. Every entry point from
// the interpreter runs its body through `guard`, which turns each kind into its Python form.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "encoding/fatal_error.h"

namespace velm::py {

// Thrown when a Python exception has been set and the current call must unwind.
struct PythonError {};

// Throws PythonError when `obj` is null (a Python API call failed with an exception set).
inline PyObject* check(PyObject* obj) {
  if (obj == nullptr) throw PythonError{};
  return obj;
}

// Raises the Python exception `type` with `message`, then throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// The "pyo3_runtime.PanicException" type, created on first use (null with an error set on failure).
PyObject* panic_exception_type();

// Writes the standard-error diagnostic for a fatal error and raises PanicException(message).
void raise_panic(const char* where, const std::string& message);

// Call after a Python call returned an error: a PanicException coming back from Python code is
// reported on standard error and resumed as the same fatal error; anything else unwinds as is.
[[noreturn]] void propagate_python_error();

// Replaces a pending TypeError by "argument 'NAME': <message>", keeping its cause; other errors
// are left as they are. Then throws PythonError.
[[noreturn]] void propagate_argument_error(const char* param);

// Runs `body`, turning every failure into a Python exception; returns `failed` in that case.
template <class Result, class Body>
Result guard(const char* where, Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
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
