#include "binding/errors.h"

#include <cstdio>

#include "binding/py_ref.h"

namespace velm::py {

namespace {
PyObject* g_panic_type = nullptr;  // created once, never freed

std::string text_of(PyObject* obj) {
  Ref str = Ref::steal(PyObject_Str(obj));
  if (!str) {
    PyErr_Clear();
    return "<unprintable>";
  }
  Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(str.get()));
  if (!utf8) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
}
}  // namespace

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when native code meets a fatal error.\n\n"
        "Like SystemExit, it derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic(const char* where, const std::string& message) {
  std::fprintf(stderr, "velm_qor: fatal error in %s: %s\n", where, message.c_str());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation error stays set
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void propagate_python_error() {
  PyObject* panic = g_panic_type;
  if (panic != nullptr && PyErr_ExceptionMatches(panic)) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string message = "unknown panic";
    if (value != nullptr) {
      Ref args = Ref::steal(PyObject_GetAttrString(value, "args"));
      if (args && PyTuple_Check(args.get()) && PyTuple_Size(args.get()) > 0) {
        message = text_of(PyTuple_GetItem(args.get(), 0));
      } else {
        PyErr_Clear();
      }
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    throw FatalError(message);
  }
  throw PythonError{};
}

void propagate_argument_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) propagate_python_error();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(traceback);
  const std::string message = std::string("argument '") + param + "': " +
                              (owned_value ? text_of(owned_value.get()) : std::string());
  Ref wrapped = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s#", message.data(),
                                                 static_cast<Py_ssize_t>(message.size())));
  if (!wrapped) throw PythonError{};
  if (owned_value) {
    // PyException_GetCause returns a new reference; SetCause steals one.
    PyObject* cause = PyException_GetCause(owned_value.get());
    if (cause != nullptr) PyException_SetCause(wrapped.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
  throw PythonError{};
}

}  // namespace velm::py
