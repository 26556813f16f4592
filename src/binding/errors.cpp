#include "binding/errors.h"

#include <cstdio>

#include "binding/fixed_texts.h"
#include "binding/unicode.h"

namespace velm::py {

namespace {
PyObject* g_panic_type = nullptr;  // created once, never freed

// str(obj) as UTF-8 for a message; never fails.
std::string text_of(PyObject* obj) {
  Ref str = Ref::steal(PyObject_Str(obj));
  if (!str) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return message_text(str.get(), "strict", "<unprintable>");
}

// The pending exception, normalised, taken out of the thread state.
struct Fetched {
  Ref type, value, traceback;
};
Fetched fetch_normalized() noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}
}  // namespace

PythonError::PythonError() noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);
}

PythonError::PythonError(const PythonError& other) noexcept
    : type_(Ref::borrow(other.type_.get())),
      value_(Ref::borrow(other.value_.get())),
      traceback_(Ref::borrow(other.traceback_.get())) {}

void PythonError::restore() noexcept {
  if (!type_) {
    PyErr_SetString(PyExc_SystemError, fixed_text::kNoExceptionSet);
    return;
  }
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError();
}

void raise_from(PyObject* type, const std::string& message, PyObject* cause) {
  PyErr_Clear();
  Ref wrapped = Ref::steal(PyObject_CallFunction(type, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!wrapped) throw PythonError();
  if (cause != nullptr) {
    Py_INCREF(cause);
    PyException_SetCause(wrapped.get(), cause);  // steals the reference
  }
  PyErr_SetObject(type, wrapped.get());
  throw PythonError();
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type =
        PyErr_NewExceptionWithDoc(fixed_text::kPanicTypeName, fixed_text::kPanicTypeDoc, PyExc_BaseException, nullptr);
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
    Fetched e = fetch_normalized();
    std::string message = fixed_text::kUnknownPanic;
    if (e.value) {
      Ref args = Ref::steal(PyObject_GetAttrString(e.value.get(), "args"));
      if (args && PyTuple_Check(args.get()) && PyTuple_Size(args.get()) > 0) {
        message = text_of(PyTuple_GetItem(args.get(), 0));
      } else {
        PyErr_Clear();
      }
    }
    std::fputs(fixed_text::kResumingPanic, stderr);
    std::fflush(stderr);
    PyErr_Restore(e.type.release(), e.value.release(), e.traceback.release());
    PyErr_PrintEx(0);
    throw FatalError(message);
  }
  throw PythonError();
}

void propagate_argument_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) propagate_python_error();
  Fetched e = fetch_normalized();
  const std::string message =
      std::string("argument '") + param + "': " + (e.value ? text_of(e.value.get()) : std::string());
  Ref cause = Ref::steal(e.value ? PyException_GetCause(e.value.get()) : nullptr);
  raise_from(PyExc_TypeError, message, cause.get());
}

}  // namespace velm::py
