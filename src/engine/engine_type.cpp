// QOREngine: construction, public_key_hex and capture. The binding converts and borrows; the
// pipeline itself is Engine::capture.
#include <Python.h>

#include <atomic>
#include <optional>

#include "binding/args.h"
#include "binding/classes.h"
#include "binding/fixed_texts.h"
#include "encoding/fatal_error.h"
#include "encoding/hex.h"
#include "encoding/sine_check.h"
#include "engine/engine.h"

namespace velm::py {

namespace {

const FunctionSpec kNew{"QOREngine.__new__()", {"wal_path"}, 1};
const FunctionSpec kCapture{
    "QOREngine.capture()",
    {"ctx", "prompt", "reasoning_trace", "output", "ppp_triplet", "human_delta_chain", "auto_insight"},
    6};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard("QOREngine.__new__", static_cast<PyObject*>(nullptr), [&] {
    PyObject* argv[1];
    bind_arguments(kNew, args, kwargs, argv);
    std::string wal_path = to_text(argv[0], "wal_path").str();
    // The key file may be slow to reach, or still being written by another process: other
    // threads run meanwhile. Construction touches no Python object.
    std::optional<Engine> made;
    PyThreadState* released = PyEval_SaveThread();
    try {
      made.emplace(std::move(wal_path));
    } catch (...) {
      PyEval_RestoreThread(released);
      throw;
    }
    PyEval_RestoreThread(released);
    Engine& engine = *made;
    if (!engine.key_warning().empty() && PyErr_WarnEx(PyExc_RuntimeWarning, engine.key_warning().c_str(), 1) != 0) {
      propagate_python_error();
    }
    return new_instance<Engine>(reinterpret_cast<PyObject*>(type), std::move(engine));
  });
}

PyObject* public_key_hex(PyObject* self, PyObject*) {
  return guard("QOREngine.public_key_hex", static_cast<PyObject*>(nullptr), [&] {
    Ref keep = Ref::borrow(self);
    auto* inst = as_instance<Engine>(self);
    SharedBorrow borrow(inst->borrow);
    return new_text(inst->value.public_key_hex());
  });
}

// An interned name made once and kept for the life of the process (the module allows only one
// interpreter), so that the per-capture lookups below build no new strings.
PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  if (slot == nullptr) propagate_python_error();
  return slot;
}

// The json module, imported by name through the interpreter's import machinery on every capture,
// so that whatever the program has made of `json` is what serialises.
Ref import_json() {
  static PyObject* name = nullptr;
  Ref json = Ref::steal(PyImport_Import(interned(name, "json")));
  if (!json) propagate_python_error();
  return json;
}

// json.dumps(obj) as UTF-8 text.
std::string dumps(PyObject* json, PyObject* obj) {
  static PyObject* name = nullptr;
  Ref dumps_fn = Ref::steal(PyObject_GetAttr(json, interned(name, "dumps")));
  if (!dumps_fn) propagate_python_error();
  Ref text = Ref::steal(PyObject_CallFunctionObjArgs(dumps_fn.get(), obj, nullptr));
  if (!text) propagate_python_error();
  if (!(PyType_GetFlags(Py_TYPE(text.get())) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
    raise(PyExc_TypeError,
          "'" + type_name_of(text.get()) + "' object cannot be converted to '" + fixed_text::kStrTarget + "'");
  }
  return utf8_of(text.get()).str();
}

// The binding's part of a capture: the interpreter lock released while the line is appended,
// since waiting for the log's lock and writing can take long (only native data is touched then,
// and the borrows keep the engine and the inputs to this capture alone); Python signal handlers
// run when a signal interrupts that wait; a failed append is reported as a RuntimeWarning.
class PythonCaptureHooks final : public CaptureHooks {
 public:
  explicit PythonCaptureHooks(const Engine& engine) noexcept : engine_(engine) {}

  void before_append() noexcept override { released_ = PyEval_SaveThread(); }
  void after_append() noexcept override { PyEval_RestoreThread(released_); }

  // A handler that raises gives up the append, and the capture fails with its exception before
  // anything is logged.
  bool give_up_on_signal() noexcept override {
    PyEval_RestoreThread(released_);
    const bool raised = PyErr_CheckSignals() != 0;
    released_ = PyEval_SaveThread();
    return raised;
  }

  // When the warning is raised as an error the capture fails as a whole and the engine stays
  // where it was, matching the log.
  void append_failed(const AppendResult& result) override {
    if (result.abandoned) throw PythonError();
    const std::string message = "velm_qor: the record could not be appended to the log '" + engine_.log_path() +
                                "': " + os_error_text(result.error);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) propagate_python_error();
  }

 private:
  const Engine& engine_;
  PyThreadState* released_ = nullptr;
};

// At the first capture in the process: where this machine's sinf differs from the recorded one,
// the scores written here replay nowhere else, and the writer is told before an auditor finds out.
// Raised as an error by the warnings filter, it fails that capture before anything is logged.
void warn_once_if_sines_differ() {
  static std::atomic<bool> checked{false};
  if (checked.exchange(true)) return;
  const std::optional<SineMismatch> m = first_sine_mismatch(recorded_sines());
  if (!m) return;
  const std::string message = "velm_qor: this machine's sinf(0x" + hex_be32(m->recorded.phase_bits) + ") is 0x" +
                              hex_be32(m->here_bits) + ", not the recorded 0x" + hex_be32(m->recorded.sine_bits) +
                              ": its scores differ from other machines', so records written here may not verify "
                              "elsewhere";
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) propagate_python_error();
}

PyObject* capture(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard("QOREngine.capture", static_cast<PyObject*>(nullptr), [&] {
    Ref keep = Ref::borrow(self);
    PyObject* argv[7];
    bind_arguments(kCapture, args, kwargs, argv);
    auto* inst = as_instance<Engine>(self);
    ExclusiveBorrow engine_borrow(inst->borrow);

    PyObject* ppp_type = ppp_triplet_type().get();
    PyObject* chain_type = human_delta_chain_type().get();
    PyObject* record_type = sealed_record_type().get();
    const Utf8 prompt = to_text(argv[1], "prompt");
    const Utf8 output = to_text(argv[3], "output");
    require_instance(argv[4], ppp_type, "PPPTriplet", "ppp_triplet");
    auto* ppp = as_instance<PPPTripletData>(argv[4]);
    SharedBorrow ppp_borrow(ppp->borrow);
    require_instance(argv[5], chain_type, "HumanDeltaChain", "human_delta_chain");
    auto* review = as_instance<HumanDeltaChainData>(argv[5]);
    SharedBorrow review_borrow(review->borrow);
    const bool auto_insight = argv[6] == nullptr ? true : to_flag(argv[6], "auto_insight");

    // Python code runs here; the borrows keep the three objects from changing under it.
    CaptureInput input;
    const Ref json = import_json();
    input.ctx_json = dumps(json.get(), argv[0]);
    input.reasoning_trace_json = dumps(json.get(), argv[2]);
    input.prompt = prompt.view();
    input.output = output.view();
    input.ppp = &ppp->value;  // the shared borrows keep both unchanged until capture returns
    input.review = &review->value;
    input.auto_insight = auto_insight;

    warn_once_if_sines_differ();
    // The result object is made before the engine changes; the capture fills it in last.
    Ref record = Ref::steal(new_empty_instance<SealedRecordData>(record_type));
    PythonCaptureHooks hooks(inst->value);
    inst->value.capture(std::move(input), draw_stamps(), as_instance<SealedRecordData>(record.get())->value, hooks);
    return record.release();
  });
}

PyMethodDef methods[] = {
    {"capture", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture)), METH_VARARGS | METH_KEYWORDS,
     "capture($self, ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight=True)\n--\n\n"
     "Captures execution contexts, runs real-time consistency checks, and signs an immutable audit record."},
    {"public_key_hex", public_key_hex, METH_NOARGS,
     "public_key_hex($self)\n--\n\nExposes the verifying identity public hex configuration signature."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Engine>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("QOREngine(wal_path)\n--\n\n"
                                  "High-performance Python extension wrapper container exposed for model "
                                  "integration bindings.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"builtins.QOREngine", static_cast<int>(sizeof(Instance<Engine>)), 0, Py_TPFLAGS_DEFAULT,
                         slots};

}  // namespace

TypeHandle& qor_engine_type() {
  static TypeHandle handle("QOREngine", &type_spec);
  return handle;
}

}  // namespace velm::py
