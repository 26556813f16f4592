#include "binding/args.h"

#include <vector>

#include "binding/errors.h"
#include "binding/fixed_texts.h"

namespace velm::py {

namespace {

std::string quoted_list(const std::string* names, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) out += (count == 2) ? " and " : (i + 1 == count ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

}  // namespace

void bind_arguments(const FunctionSpec& fn, PyObject* args, PyObject* kwargs, PyObject** out) {
  const std::size_t n_params = fn.params.size();
  const char* const* params = fn.params.begin();
  for (std::size_t i = 0; i < n_params; ++i) out[i] = nullptr;

  const Py_ssize_t n_args = args ? PyTuple_Size(args) : 0;
  if (static_cast<std::size_t>(n_args) > n_params) {
    std::string msg = std::string(fn.name) + " takes ";
    if (fn.required == n_params) {
      msg += std::to_string(n_params);
    } else {
      msg += "from " + std::to_string(fn.required) + " to " + std::to_string(n_params);
    }
    msg += " positional arguments but " + std::to_string(n_args) + (n_args == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, msg);
  }
  for (Py_ssize_t i = 0; i < n_args; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t index = n_params;
      if (PyUnicode_Check(key)) {
        for (std::size_t p = 0; p < n_params; ++p) {
          if (PyUnicode_CompareWithASCIIString(key, params[p]) == 0) {
            index = p;
            break;
          }
        }
      }
      if (index == n_params) {
        const std::string name = PyUnicode_Check(key) ? message_text(key, "backslashreplace", "?") : std::string("?");
        raise(PyExc_TypeError, std::string(fn.name) + " got an unexpected keyword argument '" + name + "'");
      }
      if (out[index] != nullptr) {
        raise(PyExc_TypeError, std::string(fn.name) + " got multiple values for argument '" + params[index] + "'");
      }
      out[index] = value;
    }
  }

  if (static_cast<std::size_t>(n_args) < fn.required) {
    std::vector<std::string> missing;
    for (std::size_t p = 0; p < fn.required; ++p) {
      if (out[p] == nullptr) missing.emplace_back(params[p]);
    }
    const std::size_t count = missing.size();
    if (count != 0) {
      std::string msg = std::string(fn.name) + " missing " + std::to_string(count) + " required positional argument" +
                        (count == 1 ? "" : "s") + ": " + quoted_list(missing.data(), count);
      raise(PyExc_TypeError, msg);
    }
  }
}

std::string type_name_of(PyObject* obj) {
  // One interned name for the life of the process: a new str for every lookup would churn the
  // interpreter's type attribute cache, which keeps the names it was asked for.
  static PyObject* qualname = nullptr;
  if (qualname == nullptr) qualname = PyUnicode_InternFromString("__qualname__");
  Ref name = Ref::steal(qualname ? PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), qualname) : nullptr);
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return fixed_text::kTypeNameUnknown;
  }
  return message_text(name.get(), "backslashreplace", "?");
}

Utf8 to_text(PyObject* obj, const char* param) {
  if (!(PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
    raise(PyExc_TypeError, std::string("argument '") + param + "': '" + type_name_of(obj) +
                               "' object cannot be converted to '" + fixed_text::kStrTarget + "'");
  }
  return utf8_of(obj);
}

namespace {
// A NumPy boolean scalar: a type named bool_ or bool that belongs to the module numpy.
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  const bool found = module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
                     PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                     (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                      PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
  PyErr_Clear();
  return found;
}
}  // namespace

bool to_flag(PyObject* obj, const char* param) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  const auto refuse = [&] {
    raise(PyExc_TypeError, std::string("argument '") + param + "': '" + type_name_of(obj) +
                               "' object cannot be converted to '" + fixed_text::kBoolTarget + "'");
  };
  if (!is_numpy_bool(obj)) refuse();
  Ref method = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__bool__"));
  if (!method) propagate_argument_error(param);
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!result) propagate_argument_error(param);
  if (result.get() == Py_True) return true;
  if (result.get() == Py_False) return false;
  refuse();
  return false;
}

void require_instance(PyObject* obj, PyObject* type, const char* class_name, const char* param) {
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
    raise(PyExc_TypeError, std::string("argument '") + param + "': '" + type_name_of(obj) +
                               "' object cannot be converted to '" + class_name + "'");
  }
}

}  // namespace velm::py
