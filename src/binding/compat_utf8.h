// The one place the module reaches past the 3.9 stable ABI it is built for.
#pragma once

#include <Python.h>

namespace velm::py {

using Utf8AndSize = const char* (*)(PyObject* str, Py_ssize_t* size);

// PyUnicode_AsUTF8AndSize when the running interpreter has it in its stable ABI (3.10 and newer),
// else null.
Utf8AndSize utf8_and_size_function() noexcept;

}  // namespace velm::py
