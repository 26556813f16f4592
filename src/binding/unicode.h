// str to UTF-8 and back.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "binding/py_ref.h"

namespace velm::py {

// UTF-8 text of a str (or subclass), kept alive by `owner_`: the str itself where the interpreter
// hands out the str's own UTF-8 form, else the bytes object it made.
class Utf8 {
 public:
  std::string_view view() const noexcept { return view_; }
  std::string str() const { return std::string(view_); }

 private:
  friend Utf8 utf8_of(PyObject* str);
  Ref owner_;
  std::string_view view_;
};

// The UTF-8 text of `str`, which must be a str or a subclass; a str that cannot be encoded raises
// the interpreter's UnicodeEncodeError unchanged (through propagate_python_error).
Utf8 utf8_of(PyObject* str);

// The UTF-8 text of a str for a message, encoded with the codec error handler `errors`
// ("strict", "backslashreplace"); never fails: `fallback` when the text cannot be had.
std::string message_text(PyObject* str, const char* errors, const char* fallback);

// A new str from UTF-8 bytes.
PyObject* new_text(std::string_view text);

}  // namespace velm::py
