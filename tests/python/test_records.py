"""PPPTriplet and HumanDeltaChain: construction, properties, conversions and refusals."""

import re
import uuid

import numpy as np
import pytest

import velm_qor

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


class Text(str):
    pass


def test_ppp_triplet_surface():
    cls = velm_qor.PPPTriplet
    assert cls.__text_signature__ == "(provenance, place, purpose)"
    assert cls.__doc__ == (
        "A triad of metadata anchoring the lineage, physical origin, and analytical intent of an event block."
    )
    props = [n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
    assert props == ["provenance", "place", "purpose"]
    assert cls.provenance.__doc__ == "Cryptographic or system lineage tracking the structural history."
    assert cls.place.__doc__ == "The specific systemic, environmental, or geographic processing node."
    assert cls.purpose.__doc__ == "The logical framework intent guiding the execution loop."


def test_ppp_triplet_values():
    by_keyword = velm_qor.PPPTriplet(purpose="c", place="b", provenance="a")
    assert (by_keyword.provenance, by_keyword.place, by_keyword.purpose) == ("a", "b", "c")
    empty = velm_qor.PPPTriplet("", "", "")
    assert (empty.provenance, empty.place, empty.purpose) == ("", "", "")
    t = velm_qor.PPPTriplet(Text("x"), "Zürich 🚀", "\0nul")
    assert type(t.provenance) is str and t.provenance == "x"
    assert t.place == "Zürich 🚀" and t.purpose == "\0nul"
    t.place = Text("new")
    assert type(t.place) is str and t.place == "new"


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: velm_qor.PPPTriplet("a", "b"),
            "PPPTriplet.__new__() missing 1 required positional argument: 'purpose'",
        ),
        (
            lambda: velm_qor.PPPTriplet("a", "b", "c", "d"),
            "PPPTriplet.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: velm_qor.PPPTriplet("a", "b", "c", where=1),
            "PPPTriplet.__new__() got an unexpected keyword argument 'where'",
        ),
        (lambda: velm_qor.PPPTriplet("a", 5, "c"), "argument 'place': 'int' object cannot be converted to 'PyString'"),
        (
            lambda: velm_qor.PPPTriplet(),
            "PPPTriplet.__new__() missing 3 required positional arguments: 'provenance', 'place', and 'purpose'",
        ),
    ],
)
def test_ppp_triplet_construction_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_failed_assignments_keep_old_values():
    t = velm_qor.PPPTriplet("a", "b", "c")
    with pytest.raises(TypeError) as info:
        t.place = 5
    assert str(info.value) == "argument 'place': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError):
        t.place = "\udc80"
    with pytest.raises(AttributeError) as info:
        del t.provenance
    assert str(info.value) == "can't delete attribute"
    assert (t.provenance, t.place, t.purpose) == ("a", "b", "c")

    h = velm_qor.HumanDeltaChain("r", True, "t", "cid")
    for name, value, message in [
        ("resolved", 1, "argument 'resolved': 'int' object cannot be converted to 'PyBool'"),
        ("chain_id", None, "argument 'chain_id': 'NoneType' object cannot be converted to 'PyString'"),
        ("terminal_node", b"x", "argument 'terminal_node': 'bytes' object cannot be converted to 'PyString'"),
    ]:
        with pytest.raises(TypeError) as info:
            setattr(h, name, value)
        assert str(info.value) == message
    for name in ["chain_id", "agent_decision_ref", "resolved", "terminal_node"]:
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(h, name)
    assert (h.chain_id, h.agent_decision_ref, h.resolved, h.terminal_node) == ("cid", "r", True, "t")


def test_human_delta_chain_surface():
    cls = velm_qor.HumanDeltaChain
    assert cls.__text_signature__ == "(agent_decision_ref, resolved, terminal_node, chain_id=None)"
    assert cls.__doc__ == (
        "An audit node linking autonomous determinations to definitive human-in-the-loop review overrides."
    )
    props = [n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
    assert props == ["chain_id", "agent_decision_ref", "resolved", "terminal_node"]
    assert cls.chain_id.__doc__ == "Unique identity tracking the active sequence."
    assert cls.agent_decision_ref.__doc__ == (
        "Reference signature pointer linking directly back to the original model output."
    )
    assert cls.resolved.__doc__ == "Evaluation state marking whether review processing has formally closed."
    assert cls.terminal_node.__doc__ == "Terminal validation node sealing the chain integrity state."


def test_default_chain_id_is_a_fresh_uuid4():
    ids = {velm_qor.HumanDeltaChain("r", False, "t").chain_id for _ in range(100)}
    ids.add(velm_qor.HumanDeltaChain("r", False, "t", None).chain_id)
    assert len(ids) == 101
    for text in ids:
        assert UUID4.match(text)
        assert uuid.UUID(text).version == 4 and str(uuid.UUID(text)) == text
    assert velm_qor.HumanDeltaChain("r", False, "t", "").chain_id == ""


def test_keywords_in_any_order_match_positions():
    a = velm_qor.HumanDeltaChain("r", True, "t", "c")
    b = velm_qor.HumanDeltaChain(chain_id="c", terminal_node="t", resolved=True, agent_decision_ref="r")
    assert [a.chain_id, a.agent_decision_ref, a.resolved, a.terminal_node] == [
        b.chain_id,
        b.agent_decision_ref,
        b.resolved,
        b.terminal_node,
    ]


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: velm_qor.HumanDeltaChain("r", True),
            "HumanDeltaChain.__new__() missing 1 required positional argument: 'terminal_node'",
        ),
        (
            lambda: velm_qor.HumanDeltaChain("r", True, "t", "c", 5),
            "HumanDeltaChain.__new__() takes from 3 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: velm_qor.HumanDeltaChain("r", 1, "t"),
            "argument 'resolved': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: velm_qor.HumanDeltaChain("r", 0, "t"),
            "argument 'resolved': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: velm_qor.HumanDeltaChain("r", True, None),
            "argument 'terminal_node': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda: velm_qor.HumanDeltaChain("r", True, "t", 7),
            "argument 'chain_id': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: velm_qor.HumanDeltaChain(5, 1, None),
            "argument 'agent_decision_ref': 'int' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_human_delta_chain_construction_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_numpy_booleans_are_accepted_and_nothing_else():
    h = velm_qor.HumanDeltaChain("r", np.bool_(True), "t")
    assert h.resolved is True
    h.resolved = np.bool_(False)
    assert h.resolved is False
    h.resolved = np.array([True])[0]
    assert h.resolved is True
    for bad in [np.int8(1), np.float64(1.0), 1.0, "True", None]:
        with pytest.raises(TypeError, match="cannot be converted to 'PyBool'"):
            h.resolved = bad
    assert h.resolved is True


def test_lookalike_bool_types_are_checked_by_module_and_result():
    # A type called bool_ outside numpy is refused; one in "numpy" whose __bool__ lies is refused too.
    impostor = type("bool_", (), {"__bool__": lambda self: True})()
    with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
        velm_qor.HumanDeltaChain("r", impostor, "t")
    liar_type = type("bool_", (), {"__bool__": lambda self: 1, "__module__": "numpy"})
    with pytest.raises(TypeError, match="cannot be converted to 'PyBool'"):
        velm_qor.HumanDeltaChain("r", liar_type(), "t")

    def raising(self):
        raise TypeError("no truth here")

    raiser_type = type("bool", (), {"__bool__": raising, "__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        velm_qor.HumanDeltaChain("r", raiser_type(), "t")
    assert str(info.value) == "argument 'resolved': no truth here"
