// velm_qor_verify._native: the log verifier for Python, the same API (verifier/api.h) as
// velm-qor-verify. Its functions are in wrappers.cpp; this file is the module's table.
#include <Python.h>
#include <sodium.h>

#include "verify_module/wrappers.h"

namespace {

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

PyMethodDef g_methods[] = {
    {"verify", method<verify>(), METH_VARARGS | METH_KEYWORDS,
     "verify(inputs, public_key, expect_heads, series, jobs, checkpoints=(), witnesses=()) -> tuple\n--\n\n"
     "Verifies the inputs, each a pair (name, path or binary file object), and returns the JSON report and the "
     "run it describes, for report_html()."},
    {"report_html", method<report_html>(), METH_VARARGS | METH_KEYWORDS,
     "report_html(run) -> str\n--\n\nThe HTML report of a run verify() returned."},
    {"records", method<records>(), METH_VARARGS | METH_KEYWORDS,
     "records(inputs, public_key, series) -> dict\n--\n\n"
     "Every line of the inputs as columns: a dict of lists, one item per complete line."},
    {"checkpoint", method<checkpoint>(), METH_VARARGS | METH_KEYWORDS,
     "checkpoint(log, public_key, witness_key, origin, previous, series=False) -> str\n--\n\n"
     "Verifies the log and returns the witness's signed checkpoint note of all its lines."},
    {"prove", method<prove>(), METH_VARARGS | METH_KEYWORDS,
     "prove(log, line, checkpoint, series=False, record_id=None) -> str\n--\n\n"
     "Returns the proof bundle JSON of a line of the log under a checkpoint note."},
    {"check_proof", method<check_proof>(), METH_VARARGS | METH_KEYWORDS,
     "check_proof(bundle, witnesses, public_key) -> str\n--\n\n"
     "Checks a proof bundle and returns the JSON result velm-qor-verify check-proof --json prints."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "velm_qor_verify._native",
    "The native log verifier behind velm_qor_verify.",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) {
  if (sodium_init() < 0) {
    PyErr_SetString(PyExc_ImportError, "libsodium could not be initialised");
    return nullptr;
  }
  return PyModule_Create(&g_module_def);
}
