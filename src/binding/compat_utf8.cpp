// From Python 3.10 the stable ABI has PyUnicode_AsUTF8AndSize, which hands out the str's own
// UTF-8 form (for ASCII text, its characters themselves) and keeps it with the str, instead of
// making a new bytes copy on every call as PyUnicode_AsUTF8String does. A module built for 3.9
// cannot name the function at link time (its import would fail on 3.9), so it is looked up in the
// running interpreter, and only when that interpreter reports 3.10 or newer: before 3.10 the
// symbol exists too, but outside the stable ABI.
#include "binding/compat_utf8.h"

#include <dlfcn.h>

#include <cstdio>

namespace velm::py {

Utf8AndSize utf8_and_size_function() noexcept {
  static const Utf8AndSize fn = []() -> Utf8AndSize {
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return nullptr;
    if (major < 3 || (major == 3 && minor < 10)) return nullptr;
    return reinterpret_cast<Utf8AndSize>(::dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  }();
  return fn;
}

}  // namespace velm::py
