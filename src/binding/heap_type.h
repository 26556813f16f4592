// Heap types built from type specs on the stable ABI, and the instance layout every class shares:
// the object header, the borrow counter, then one plain core value.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/py_ref.h"

namespace velm::py {

template <class T>
struct Instance {
  PyObject_HEAD
  BorrowFlag borrow;
  T value;
};

template <class T>
Instance<T>* as_instance(PyObject* obj) noexcept {
  return reinterpret_cast<Instance<T>*>(obj);
}

// One class of the module: made once per process on first need and kept for good. A failed
// attempt is reported as RuntimeError "An error occurred while initializing class NAME" and the
// next request tries again.
class TypeHandle {
 public:
  TypeHandle(const char* class_name, PyType_Spec* type_spec) noexcept : class_name_(class_name), spec_(type_spec) {}
  PyObject* get();  // borrowed; throws PythonError on failure
  const char* class_name() const noexcept { return class_name_; }

 private:
  const char* class_name_;
  PyType_Spec* spec_;
  PyObject* type_ = nullptr;
};

// Allocates an instance of `type` with its memory zeroed, then constructs the value in place.
// The instance's borrow counter starts free.
template <class T>
PyObject* new_instance(PyObject* type, T&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
  PyObject* obj = check(alloc(reinterpret_cast<PyTypeObject*>(type), 0));
  Instance<T>* inst = as_instance<T>(obj);
  inst->borrow = 0;
  new (&inst->value) T(std::move(value));
  return obj;
}

// Allocates an instance whose value is default-constructed; used where the value must be filled
// in later by an operation that cannot fail.
template <class T>
PyObject* new_empty_instance(PyObject* type) {
  return new_instance<T>(type, T{});
}

// The tp_dealloc of every class: destroys the value, frees the memory, drops the heap type.
template <class T>
void dealloc_instance(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  as_instance<T>(obj)->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

// tp_new of a class that cannot be built from Python.
PyObject* refuse_construction(const char* class_name);

// The getset setter's refusal of `del obj.attr`.
int refuse_deletion();

}  // namespace velm::py
