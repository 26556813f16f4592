// Binding of positional and keyword arguments to a fixed parameter list, with the interpreter's
// familiar TypeError messages, and the conversions every parameter kind uses.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "binding/py_ref.h"
#include "binding/unicode.h"

namespace velm::py {

struct FunctionSpec {
  const char* name;                           // as shown in messages, e.g. "QOREngine.__new__()"
  std::initializer_list<const char*> params;  // all positional-or-keyword
  std::size_t required;                       // the first `required` parameters have no default
};

// Fills out[0..params.size()) with borrowed references (null for an omitted optional parameter).
// Raises TypeError and throws PythonError when the call does not fit.
void bind_arguments(const FunctionSpec& fn, PyObject* args, PyObject* kwargs, PyObject** out);

// The qualified name of an object's type, for messages.
std::string type_name_of(PyObject* obj);

// Text parameter: "argument 'NAME': 'T' object cannot be converted to 'PyString'"; a str that
// cannot be encoded raises the interpreter's UnicodeEncodeError unchanged.
Utf8 to_text(PyObject* obj, const char* param);

// Flag parameter: bool, or a NumPy boolean scalar (whose type's __bool__ must return a bool).
bool to_flag(PyObject* obj, const char* param);

// Instance parameter: `obj` must be an instance of `type` (or a subclass).
void require_instance(PyObject* obj, PyObject* type, const char* class_name, const char* param);

}  // namespace velm::py
