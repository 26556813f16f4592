#include "binding/heap_type.h"

#include "binding/fixed_texts.h"

namespace velm::py {

PyObject* TypeHandle::get() {
  if (type_ != nullptr) return type_;
  PyObject* type = PyType_FromSpec(spec_);
  if (type == nullptr) {
    PyObject *exc_type, *value, *traceback;
    PyErr_Fetch(&exc_type, &value, &traceback);
    PyErr_NormalizeException(&exc_type, &value, &traceback);
    Ref owned_type = Ref::steal(exc_type), cause = Ref::steal(value), owned_tb = Ref::steal(traceback);
    raise_from(PyExc_RuntimeError, std::string(fixed_text::kClassInitFailed) + class_name_, cause.get());
  }
  type_ = type;
  return type_;
}

PyObject* refuse_construction(const char* class_name) {
  PyErr_Format(PyExc_TypeError, fixed_text::kNoConstructor, class_name);
  return nullptr;
}

int refuse_deletion() {
  PyErr_SetString(PyExc_AttributeError, fixed_text::kCannotDelete);
  return -1;
}

}  // namespace velm::py
