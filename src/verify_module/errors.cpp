#include "verify_module/errors.h"

#include "binding/errors.h"
#include "binding/py_ref.h"

void raise_verify_error(const velm::verify::Error& error) {
  using velm::verify::ErrorKind;
  if (error.error_kind() != ErrorKind::kUnreadable) velm::py::raise(PyExc_ValueError, error.what());
  if (error.error_number() != 0) {
    // The message may hold a path's bytes as they are, which need not be UTF-8.
    const std::string_view what = error.what();
    velm::py::Ref message = velm::py::Ref::steal(
        PyUnicode_DecodeUTF8(what.data(), static_cast<Py_ssize_t>(what.size()), "backslashreplace"));
    if (!message) throw velm::py::PythonError{};
    // OSError(errno, text) makes the subclass of that errno.
    velm::py::Ref exc =
        velm::py::Ref::steal(PyObject_CallFunction(PyExc_OSError, "iO", error.error_number(), message.get()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw velm::py::PythonError{};
  }
  velm::py::raise(PyExc_OSError, error.what());
}
