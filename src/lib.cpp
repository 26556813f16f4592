// The module's entry point: one interpreter per process, one module object, four classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/borrow.h"
#include "binding/classes.h"
#include "binding/errors.h"
#include "binding/fixed_texts.h"

namespace {

using velm::py::Ref;

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // made once, kept for the life of the process

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "velm_qor",
    "Main native library interface mapping out public Python module interface class pointers.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Registers one class: its type object, its name in __all__, and the module attribute.
void add_class(PyObject* module, velm::py::TypeHandle& handle) {
  PyObject* type = handle.get();
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw velm::py::PythonError();
    PyErr_Clear();
    all = Ref::steal(velm::py::check(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw velm::py::PythonError();
  }
  Ref name = Ref::steal(velm::py::check(PyUnicode_FromString(handle.class_name())));
  if (PyList_Append(all.get(), name.get()) != 0) throw velm::py::PythonError();
  if (PyObject_SetAttr(module, name.get(), type) != 0) throw velm::py::PythonError();
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = interpreter ? PyInterpreterState_GetID(interpreter) : -1;
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, velm::py::fixed_text::kNoExceptionSet);
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, velm::py::fixed_text::kSubinterpreters);
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  velm::py::install_borrow_fork_handler();
  return velm::py::guard("module initialisation", static_cast<PyObject*>(nullptr), [] {
    Ref module = Ref::steal(velm::py::check(PyModule_Create(&g_module_def)));
    add_class(module.get(), velm::py::qor_engine_type());
    add_class(module.get(), velm::py::ppp_triplet_type());
    add_class(module.get(), velm::py::human_delta_chain_type());
    add_class(module.get(), velm::py::sealed_record_type());
    g_module = module.get();
    Py_INCREF(g_module);
    return module.release();
  });
}

}  // namespace

PyMODINIT_FUNC PyInit_velm_qor(void) { return init_module(); }
