#include "binding/heap_type.h"

namespace velm::py {

PyObject* TypeHandle::get() {
  if (type_ != nullptr) return type_;
  PyObject* type = PyType_FromSpec(spec_);
  if (type == nullptr) {
    PyObject *exc_type, *value, *traceback;
    PyErr_Fetch(&exc_type, &value, &traceback);
    PyErr_NormalizeException(&exc_type, &value, &traceback);
    const std::string message = std::string("An error occurred while initializing class ") + class_name_;
    Ref wrapped = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
    if (wrapped && value != nullptr) {
      PyException_SetCause(wrapped.get(), value);  // steals the reference
      value = nullptr;
    }
    Py_XDECREF(exc_type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (wrapped) PyErr_SetObject(PyExc_RuntimeError, wrapped.get());
    throw PythonError{};
  }
  type_ = type;
  return type_;
}

PyObject* refuse_construction(const char* class_name) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", class_name);
  return nullptr;
}

int refuse_deletion() {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

}  // namespace velm::py
