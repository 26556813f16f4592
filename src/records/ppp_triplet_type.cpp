// PPPTriplet: three read-write text properties.
#include <Python.h>

#include "binding/args.h"
#include "binding/classes.h"
#include "binding/properties.h"
#include "records/ppp_triplet.h"

namespace velm::py {

namespace {

using T = PPPTripletData;

const FunctionSpec kNew{"PPPTriplet.__new__()", {"provenance", "place", "purpose"}, 3};

PyObject* ppp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard("PPPTriplet.__new__", static_cast<PyObject*>(nullptr), [&] {
    PyObject* argv[3];
    bind_arguments(kNew, args, kwargs, argv);
    T value;
    value.provenance = to_text(argv[0], "provenance").str();
    value.place = to_text(argv[1], "place").str();
    value.purpose = to_text(argv[2], "purpose").str();
    return new_instance<T>(reinterpret_cast<PyObject*>(type), std::move(value));
  });
}

PyGetSetDef getset[] = {
    VELM_PROPERTY("provenance", "Cryptographic or system lineage tracking the structural history.",
                  TextProperty<T, &T::provenance>),
    VELM_PROPERTY("place", "The specific systemic, environmental, or geographic processing node.",
                  TextProperty<T, &T::place>),
    VELM_PROPERTY("purpose", "The logical framework intent guiding the execution loop.", TextProperty<T, &T::purpose>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ppp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<T>)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("PPPTriplet(provenance, place, purpose)\n--\n\n"
                                  "A triad of metadata anchoring the lineage, physical origin, and analytical "
                                  "intent of an event block.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"builtins.PPPTriplet", static_cast<int>(sizeof(Instance<T>)), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

TypeHandle& ppp_triplet_type() {
  static TypeHandle handle("PPPTriplet", &type_spec);
  return handle;
}

}  // namespace velm::py
