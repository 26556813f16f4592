// SealedRecord: fifteen read-only properties over a record made by capture.
#include <Python.h>

#include "binding/args.h"
#include "binding/classes.h"
#include "records/sealed_record.h"

namespace velm::py {

namespace {

using RecordInstance = Instance<SealedRecordData>;

template <class Read>
PyObject* read(PyObject* self, Read&& read_field) {
  return guard("SealedRecord", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    Ref keep = Ref::borrow(self);
    auto* inst = as_instance<SealedRecordData>(self);
    SharedBorrow borrow(inst->borrow);
    return read_field(inst->value);
  });
}

#define VELM_TEXT_GETTER(field)                                                     \
  PyObject* get_##field(PyObject* self, void*) {                                    \
    return read(self, [](const SealedRecordData& r) { return new_text(r.field); }); \
  }

VELM_TEXT_GETTER(id)
VELM_TEXT_GETTER(timestamp)
VELM_TEXT_GETTER(hash)
VELM_TEXT_GETTER(merkle_root)
VELM_TEXT_GETTER(ppp_json)
VELM_TEXT_GETTER(ctx_json)
VELM_TEXT_GETTER(prompt)
VELM_TEXT_GETTER(reasoning_trace_json)
VELM_TEXT_GETTER(output)
VELM_TEXT_GETTER(human_delta_chain_json)
#undef VELM_TEXT_GETTER

PyObject* get_monotonic_nanos(PyObject* self, void*) {
  return read(self, [](const SealedRecordData& r) { return check(PyLong_FromUnsignedLongLong(r.monotonic_nanos)); });
}

PyObject* get_signature(PyObject* self, void*) {
  return read(self, [](const SealedRecordData& r) {
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(r.signature.size()))));
    for (std::size_t i = 0; i < r.signature.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromLong(r.signature[i])));
    }
    return list.release();
  });
}

PyObject* get_coherence_score(PyObject* self, void*) {
  return read(self, [](const SealedRecordData& r) { return check(PyFloat_FromDouble(r.coherence_score)); });
}

PyObject* get_reputation_scalar(PyObject* self, void*) {
  return read(self, [](const SealedRecordData& r) { return check(PyFloat_FromDouble(r.reputation_scalar)); });
}

PyObject* get_core_insight_json(PyObject* self, void*) {
  return read(self, [](const SealedRecordData& r) -> PyObject* {
    if (!r.core_insight_json) Py_RETURN_NONE;
    return new_text(*r.core_insight_json);
  });
}

PyGetSetDef getset[] = {
    {"id", get_id, nullptr, "Universally unique identifier managing the tracking envelope.", nullptr},
    {"timestamp", get_timestamp, nullptr, "RFC3339 timestamp recording standard real-world clock time.", nullptr},
    {"monotonic_nanos", get_monotonic_nanos, nullptr,
     "Monotonic clock offset logging real-world physical processing sequence order.", nullptr},
    {"hash", get_hash, nullptr, "BLAKE3 hash string locking total structure components.", nullptr},
    {"signature", get_signature, nullptr, "Ed25519 digital signature verifying authority origins.", nullptr},
    {"merkle_root", get_merkle_root, nullptr, "Accumulated chain integrity root verifying sequencing order.", nullptr},
    {"coherence_score", get_coherence_score, nullptr, "Similarity rating measuring historical continuity states.",
     nullptr},
    {"reputation_scalar", get_reputation_scalar, nullptr,
     "System health scale monitoring moving reliability baselines.", nullptr},
    {"ppp_json", get_ppp_json, nullptr, "JSON serialization holding provenance parameters.", nullptr},
    {"ctx_json", get_ctx_json, nullptr, "JSON string capturing overall operational environment conditions.", nullptr},
    {"prompt", get_prompt, nullptr, "Standard engineering input used for generating calculations.", nullptr},
    {"reasoning_trace_json", get_reasoning_trace_json, nullptr,
     "JSON representation outlining internal calculation steps.", nullptr},
    {"output", get_output, nullptr, "Definitive answer generated through computational operations.", nullptr},
    {"human_delta_chain_json", get_human_delta_chain_json, nullptr,
     "JSON structure tracking human oversight and adjustments.", nullptr},
    {"core_insight_json", get_core_insight_json, nullptr, "JSON representation storing analytical insight parameters.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* sealed_record_new(PyTypeObject*, PyObject*, PyObject*) { return refuse_construction("SealedRecord"); }

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sealed_record_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SealedRecordData>)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("A court-admissible, tamper-evident data structure capturing an immutable "
                                  "point-in-time calculation state.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"builtins.SealedRecord", static_cast<int>(sizeof(RecordInstance)), 0, Py_TPFLAGS_DEFAULT,
                         slots};

}  // namespace

TypeHandle& sealed_record_type() {
  static TypeHandle handle("SealedRecord", &type_spec);
  return handle;
}

}  // namespace velm::py
