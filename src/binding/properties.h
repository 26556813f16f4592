// Getters and setters for the read-write properties of the input records. A getter takes a shared
// borrow and builds a new value; a setter refuses deletion, converts the new value, then takes
// the exclusive borrow and replaces the field, so a failed assignment leaves the old value.
#pragma once

#include <Python.h>

#include <string>

#include "binding/args.h"
#include "binding/heap_type.h"

namespace velm::py {

template <class T, std::string T::*Field>
struct TextProperty {
  static PyObject* get(PyObject* self, void*) {
    return guard("property getter", static_cast<PyObject*>(nullptr), [&] {
      Ref keep = Ref::borrow(self);
      auto* inst = as_instance<T>(self);
      SharedBorrow borrow(inst->borrow);
      return new_text(inst->value.*Field);
    });
  }
  static int set(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) return refuse_deletion();
    return guard("property setter", -1, [&] {
      Ref keep = Ref::borrow(self);
      std::string text = to_text(value, static_cast<const char*>(closure)).str();
      auto* inst = as_instance<T>(self);
      ExclusiveBorrow borrow(inst->borrow);
      (inst->value.*Field).swap(text);
      return 0;
    });
  }
};

template <class T, bool T::*Field>
struct FlagProperty {
  static PyObject* get(PyObject* self, void*) {
    return guard("property getter", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
      Ref keep = Ref::borrow(self);
      auto* inst = as_instance<T>(self);
      SharedBorrow borrow(inst->borrow);
      return PyBool_FromLong(inst->value.*Field ? 1 : 0);
    });
  }
  static int set(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) return refuse_deletion();
    return guard("property setter", -1, [&] {
      Ref keep = Ref::borrow(self);
      const bool flag = to_flag(value, static_cast<const char*>(closure));
      auto* inst = as_instance<T>(self);
      ExclusiveBorrow borrow(inst->borrow);
      inst->value.*Field = flag;
      return 0;
    });
  }
};

// A PyGetSetDef entry whose closure is the property's name, used in conversion messages.
#define VELM_PROPERTY(name, doc, ...) \
  { name, __VA_ARGS__::get, __VA_ARGS__::set, doc, const_cast<char*>(name) }

}  // namespace velm::py
