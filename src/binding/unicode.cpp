#include "binding/unicode.h"

#include "binding/compat_utf8.h"
#include "binding/errors.h"

namespace velm::py {

Utf8 utf8_of(PyObject* obj) {
  Utf8 text;
  // Either way a str that cannot be encoded raises the interpreter's UnicodeEncodeError unchanged.
  if (const Utf8AndSize own_form = utf8_and_size_function()) {
    Py_ssize_t size = 0;
    const char* data = own_form(obj, &size);
    if (data == nullptr) propagate_python_error();
    text.owner_ = Ref::borrow(obj);  // the str keeps its UTF-8 form as long as it lives
    text.view_ = std::string_view(data, static_cast<std::size_t>(size));
    return text;
  }
  text.owner_ = Ref::steal(PyUnicode_AsUTF8String(obj));
  if (!text.owner_) propagate_python_error();
  text.view_ =
      std::string_view(PyBytes_AsString(text.owner_.get()), static_cast<std::size_t>(PyBytes_Size(text.owner_.get())));
  return text;
}

std::string message_text(PyObject* str, const char* errors, const char* fallback) {
  Ref utf8 = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", errors));
  if (!utf8) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
}

PyObject* new_text(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace velm::py
