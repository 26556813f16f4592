// HumanDeltaChain: three read-write texts and one flag; chain_id defaults to a fresh UUID.
#include <Python.h>

#include "binding/args.h"
#include "binding/classes.h"
#include "binding/properties.h"
#include "encoding/entropy.h"
#include "records/human_delta_chain.h"

namespace velm::py {

namespace {

using T = HumanDeltaChainData;

const FunctionSpec kNew{
    "HumanDeltaChain.__new__()", {"agent_decision_ref", "resolved", "terminal_node", "chain_id"}, 3};

PyObject* chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard("HumanDeltaChain.__new__", static_cast<PyObject*>(nullptr), [&] {
    PyObject* argv[4];
    bind_arguments(kNew, args, kwargs, argv);
    T value;
    value.agent_decision_ref = to_text(argv[0], "agent_decision_ref").str();
    value.resolved = to_flag(argv[1], "resolved");
    value.terminal_node = to_text(argv[2], "terminal_node").str();
    if (argv[3] == nullptr || argv[3] == Py_None) {
      value.chain_id = uuid_text(new_uuid_v4());
    } else {
      value.chain_id = to_text(argv[3], "chain_id").str();
    }
    return new_instance<T>(reinterpret_cast<PyObject*>(type), std::move(value));
  });
}

PyGetSetDef getset[] = {
    VELM_PROPERTY("chain_id", "Unique identity tracking the active sequence.", TextProperty<T, &T::chain_id>),
    VELM_PROPERTY("agent_decision_ref",
                  "Reference signature pointer linking directly back to the original model output.",
                  TextProperty<T, &T::agent_decision_ref>),
    VELM_PROPERTY("resolved", "Evaluation state marking whether review processing has formally closed.",
                  FlagProperty<T, &T::resolved>),
    VELM_PROPERTY("terminal_node", "Terminal validation node sealing the chain integrity state.",
                  TextProperty<T, &T::terminal_node>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(chain_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<T>)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("HumanDeltaChain(agent_decision_ref, resolved, terminal_node, chain_id=None)\n--\n\n"
                                  "An audit node linking autonomous determinations to definitive "
                                  "human-in-the-loop review overrides.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"builtins.HumanDeltaChain", static_cast<int>(sizeof(Instance<T>)), 0, Py_TPFLAGS_DEFAULT,
                         slots};

}  // namespace

TypeHandle& human_delta_chain_type() {
  static TypeHandle handle("HumanDeltaChain", &type_spec);
  return handle;
}

}  // namespace velm::py
