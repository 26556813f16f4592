#include "verify_module/errors.h"

#include "binding/errors.h"
#include "binding/py_ref.h"

void raise_verify_error(const velm::verify::Error& error) {
  using velm::verify::ErrorKind;
  if (error.error_kind() != ErrorKind::kUnreadable) velm::py::raise(PyExc_ValueError, error.what());
  if (error.error_number() != 0) {
    // OSError(errno, text) makes the subclass of that errno.
    velm::py::Ref exc =
        velm::py::Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", error.error_number(), error.what()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw velm::py::PythonError{};
  }
  velm::py::raise(PyExc_OSError, error.what());
}
