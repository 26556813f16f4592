"""Hostile input: surrogates, NUL bytes, huge texts, nasty ctx objects and wrong types.

Every refused call must leave the engine exactly as it was. This module also holds the log checker
the other log tests in this directory import.
"""

import json
import math
import pathlib
import re
import sys
from types import SimpleNamespace

import pytest
from nacl.exceptions import BadSignatureError
from nacl.signing import VerifyKey

import velm_qor
from conftest import GENESIS_HEX, b3hex, next_root_hex, seal_text
from conftest import RECORD_KEYS as KEYS

HEX64 = re.compile(r"[0-9a-f]{64}")


def _reject_constant(name):
    raise ValueError(f"bare {name} in a log line")


def parse_line(line: bytes) -> dict:
    """One log line, strictly: UTF-8, standard JSON (no bare NaN), the 15 keys in order, a valid seal."""
    parsed = json.loads(line.decode("utf-8"), parse_constant=_reject_constant)
    assert list(parsed) == KEYS
    assert re.fullmatch(r"qor_[0-9a-f-]{36}", parsed["id"])
    assert isinstance(parsed["timestamp"], str) and isinstance(parsed["monotonic_nanos"], int)
    assert HEX64.fullmatch(parsed["hash"]) and HEX64.fullmatch(parsed["merkle_root"])
    sig = parsed["signature"]
    assert isinstance(sig, list) and len(sig) == 64 and all(type(b) is int and 0 <= b <= 255 for b in sig)
    assert type(parsed["coherence_score"]) is float and type(parsed["reputation_scalar"]) is float
    for key in KEYS[8:14]:
        assert type(parsed[key]) is str
    assert parsed["core_insight_json"] is None or type(parsed["core_insight_json"]) is str
    ppp = json.loads(parsed["ppp_json"])
    assert list(ppp) == ["provenance", "place", "purpose"]
    review = json.loads(parsed["human_delta_chain_json"])
    assert list(review) == ["chain_id", "agent_decision_ref", "resolved", "terminal_node"]
    sealed = seal_text(SimpleNamespace(**ppp), parsed["prompt"], parsed["coherence_score"], parsed["reputation_scalar"])
    assert parsed["hash"] == b3hex(sealed)
    return parsed


def check_log(data: bytes, public_key_hex: str) -> list:
    """Verifies a whole log and returns its chains, each the list of its parsed lines in log order.

    A line either starts a new chain from genesis or extends the head of an open chain. Chains
    that reached the same head are interchangeable, so the first one is taken.
    """
    verify_key = VerifyKey(bytes.fromhex(public_key_hex))
    assert data == b"" or data.endswith(b"\n"), "the log ends in a partial line"
    chains = []
    for line in data.split(b"\n")[:-1]:
        parsed = parse_line(line)
        verify_key.verify(bytes.fromhex(parsed["hash"]), bytes(parsed["signature"]))
        extended = [c for c in chains if next_root_hex(c[-1]["merkle_root"], parsed["hash"]) == parsed["merkle_root"]]
        if extended:
            extended[0].append(parsed)
        else:
            assert parsed["merkle_root"] == next_root_hex(GENESIS_HEX, parsed["hash"]), "line extends no chain"
            chains.append([parsed])
    return chains


def assert_line_matches(parsed: dict, record) -> None:
    """A parsed log line carries exactly the record's fields."""
    for key in KEYS:
        want = list(record.signature) if key == "signature" else getattr(record, key)
        assert parsed[key] == want, key


class Tracked:
    """An engine, a twin that sees only the successful captures, and the chain head they must reach.

    The twin gets plain texts of the same UTF-8 byte lengths, so its scores are the expected ones.
    """

    def __init__(self, wal_path=":memory:"):
        self.wal_path = wal_path
        self.engine = velm_qor.QOREngine(wal_path)
        self.twin = velm_qor.QOREngine(":memory:")
        self.root = GENESIS_HEX
        self.records = []

    def capture(self, ctx, prompt, trace, output, ppp, review, auto_insight=True, *, real_prompt=None):
        real_prompt = prompt if real_prompt is None else real_prompt
        record = self.engine.capture(ctx, prompt, trace, output, ppp, review, auto_insight)
        twin = self.twin.capture(None, "x" * len(real_prompt.encode()), None, output, ppp, review)
        assert record.merkle_root == next_root_hex(self.root, record.hash)
        assert (record.coherence_score, record.reputation_scalar) == (twin.coherence_score, twin.reputation_scalar)
        assert record.prompt == real_prompt and type(record.prompt) is str
        assert record.hash == b3hex(seal_text(ppp, real_prompt, record.coherence_score, record.reputation_scalar))
        self.root = record.merkle_root
        self.records.append(record)
        return record

    def assert_unchanged(self, ppp, review):
        """The next capture chains from the last successful one, and the log holds only those."""
        self.capture(None, "after", None, "failure", ppp, review)
        if self.wal_path != ":memory:":
            (chain,) = check_log(pathlib.Path(self.wal_path).read_bytes(), self.engine.public_key_hex())
            assert len(chain) == len(self.records)
            for parsed, record in zip(chain, self.records):
                assert_line_matches(parsed, record)


@pytest.fixture
def tracked(tmp_path):
    return Tracked(str(tmp_path / "hostile.wal"))


def test_checker_rejects_tampered_logs(tmp_path, ppp, review):
    t = Tracked(str(tmp_path / "c.wal"))
    for n in range(3):
        t.capture({"n": n}, "p" * n, None, "o", ppp, review)
    data = (tmp_path / "c.wal").read_bytes()
    key = t.engine.public_key_hex()
    assert [len(c) for c in check_log(data, key)] == [3]
    lines = data.split(b"\n")
    bad = [
        data[:-1],  # partial last line
        data.replace(b'"prompt":"p"', b'"prompt":"q"'),  # content no longer matches the hash
        b"\n".join([lines[0], lines[2], lines[1], b""]),  # reordered: a line extends no chain
        data.replace(b'"id"', b'"ID"', 1),  # wrong key
        data + re.sub(rb'"coherence_score":[^,]+', b'"coherence_score":NaN', lines[0]) + b"\n",  # bare NaN
    ]
    # What the checker raises when a log fails it; anything else is a fault of the checker.
    rejected = (AssertionError, ValueError, BadSignatureError)
    for tampered in bad:
        with pytest.raises(rejected):
            check_log(tampered, key)
    with pytest.raises(rejected):  # another identity
        check_log(data, velm_qor.QOREngine(":memory:").public_key_hex())
    assert [len(c) for c in check_log(data + data, key)] == [3, 3]


def test_lone_surrogates_are_refused_everywhere(tracked, ppp, review):
    bad = ["\ud800", "ok\udfffok", "\ud83d\ude80"]  # the last is a pair spelled as two code points
    for text in bad:
        for position in (1, 3):
            args = [None, "p", None, "o", ppp, review]
            args[position] = text
            with pytest.raises(UnicodeEncodeError):
                tracked.engine.capture(*args)
        for name in ["provenance", "place", "purpose"]:
            kwargs = {"provenance": "a", "place": "b", "purpose": "c", name: text}
            with pytest.raises(UnicodeEncodeError):
                velm_qor.PPPTriplet(**kwargs)
            with pytest.raises(UnicodeEncodeError):
                setattr(ppp, name, text)
        for name in ["agent_decision_ref", "terminal_node", "chain_id"]:
            kwargs = {"agent_decision_ref": "r", "resolved": False, "terminal_node": "t", name: text}
            with pytest.raises(UnicodeEncodeError):
                velm_qor.HumanDeltaChain(**kwargs)
            with pytest.raises(UnicodeEncodeError):
                setattr(review, name, text)
        assert (ppp.provenance, ppp.place, ppp.purpose) == ("a", "b", "c")
        assert (review.agent_decision_ref, review.terminal_node, review.chain_id) == ("ref-1", "node-9", "chain-1")
        tracked.assert_unchanged(ppp, review)
    # Inside ctx and the trace a surrogate is fine: json.dumps escapes it.
    record = tracked.capture({"s": "\ud800"}, "p", ["\udfff"], "o", ppp, review)
    assert record.ctx_json == '{"s": "\\ud800"}' and record.reasoning_trace_json == '["\\udfff"]'
    tracked.assert_unchanged(ppp, review)


def test_lone_surrogate_in_json_dumps_result(monkeypatch, tracked, ppp, review):
    real_dumps = json.dumps
    monkeypatch.setattr(json, "dumps", lambda obj: real_dumps(obj, ensure_ascii=False))
    with pytest.raises(UnicodeEncodeError):
        tracked.engine.capture({"s": "\ud800"}, "p", None, "o", ppp, review)
    with pytest.raises(UnicodeEncodeError):
        tracked.engine.capture(None, "p", "\udc00", "o", ppp, review)
    record = tracked.capture({"s": "é🚀"}, "p", None, "o", ppp, review)
    assert record.ctx_json == '{"s": "é🚀"}'
    monkeypatch.undo()
    tracked.assert_unchanged(ppp, review)


def test_nul_bytes_in_every_text(tracked):
    ppp = velm_qor.PPPTriplet("\0prov", "pl\0ace", "purpose\0")
    review = velm_qor.HumanDeltaChain("\0ref\0", True, "\0", "id\0\0")
    ctx = {"k\0": "v\0"}
    record = tracked.capture(ctx, "\0pro\0mpt\0", ["t\0"], "\0out\0", ppp, review)
    ppp.place = "\0\0"
    review.terminal_node = "t\0t"
    second = tracked.capture(None, "\0", None, "\0", ppp, review, auto_insight=False)
    assert json.loads(record.ppp_json) == {"provenance": "\0prov", "place": "pl\0ace", "purpose": "purpose\0"}
    assert json.loads(second.ppp_json)["place"] == "\0\0"
    assert json.loads(record.human_delta_chain_json) == {
        "chain_id": "id\0\0",
        "agent_decision_ref": "\0ref\0",
        "resolved": True,
        "terminal_node": "\0",
    }
    assert json.loads(second.human_delta_chain_json)["terminal_node"] == "t\0t"
    assert record.ctx_json == json.dumps(ctx) and json.loads(record.reasoning_trace_json) == ["t\0"]
    assert (record.output, second.prompt, second.output) == ("\0out\0", "\0", "\0")
    tracked.assert_unchanged(ppp, review)  # also compares every log line with its record


def test_huge_texts(tracked, ppp, review):
    unit = 'ab"\\\n\x01\x1f\x7fé\u2028🚀'  # every kind of character the writer must escape or keep
    prompt = unit * (20_000_000 // len(unit.encode()))
    output = unit[::-1] * 300_000
    ctx = {"blob": unit * 300_000}
    assert len(prompt.encode()) > 19_000_000
    record = tracked.capture(ctx, prompt, None, output, ppp, review)
    assert record.output == output and record.ctx_json == json.dumps(ctx)
    tracked.assert_unchanged(ppp, review)  # parses the ~30 MB line and compares it field by field
    data = pathlib.Path(tracked.wal_path).read_bytes()
    assert data.count(b"\n") == 2


def test_deep_nesting_passes_recursion_error_through(tracked, ppp, review):
    deep_dict = {}
    for _ in range(100_000):
        deep_dict = {"d": deep_dict}
    for position in (0, 2):
        args = [None, "p", None, "o", ppp, review]
        args[position] = deep_dict
        with pytest.raises(RecursionError):
            tracked.engine.capture(*args)
        tracked.assert_unchanged(ppp, review)
    # Nesting json.dumps can handle is kept as it wrote it.
    nested = []
    for _ in range(200):
        nested = [nested, {"x": nested and 1}]
    record = tracked.capture(nested, "p", None, "o", ppp, review)
    assert record.ctx_json == json.dumps(nested)
    tracked.assert_unchanged(ppp, review)


def test_circular_references(tracked, ppp, review):
    loop_list = [1]
    loop_list.append(loop_list)
    loop_dict = {"a": {}}
    loop_dict["a"]["back"] = loop_dict
    for ctx, trace in [(loop_list, None), (None, loop_dict), ({"ok": [loop_dict]}, None)]:
        with pytest.raises(ValueError, match="^Circular reference detected$"):
            tracked.engine.capture(ctx, "p", trace, "o", ppp, review)
        tracked.assert_unchanged(ppp, review)


class Opaque:
    pass


class Boom(Exception):
    pass


def test_serialisation_errors_pass_through_unchanged(tracked, ppp, review):
    raised = Boom("from items")

    class Raising(dict):
        def items(self):
            raise raised

    class Interrupting(dict):
        def items(self):
            raise KeyboardInterrupt

    cases = [
        (Opaque(), TypeError, "Object of type Opaque is not JSON serializable"),
        (b"bytes", TypeError, "Object of type bytes is not JSON serializable"),
        (1j, TypeError, "Object of type complex is not JSON serializable"),
        ({(1, 2): "tuple key"}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
    ]
    for position in (0, 2):
        for value, kind, message in cases:
            args = [None, "p", None, "o", ppp, review]
            args[position] = value
            with pytest.raises(kind) as info:
                tracked.engine.capture(*args)
            assert str(info.value) == message
        args = [None, "p", None, "o", ppp, review]
        args[position] = Raising(a=1)
        with pytest.raises(Boom) as info:
            tracked.engine.capture(*args)
        assert info.value is raised
        args[position] = Interrupting(a=1)
        with pytest.raises(KeyboardInterrupt):
            tracked.engine.capture(*args)
        tracked.assert_unchanged(ppp, review)
    if hasattr(sys, "get_int_max_str_digits") and sys.get_int_max_str_digits() > 0:
        with pytest.raises(ValueError, match="Exceeds the limit"):
            tracked.engine.capture({"big": 10 ** (sys.get_int_max_str_digits() + 10)}, "p", None, "o", ppp, review)
        tracked.assert_unchanged(ppp, review)


class Shady(str):
    """A str whose Python-level views all lie about its text."""

    def __str__(self):
        return "lie"

    def __repr__(self):
        return "'lie'"

    def encode(self, *args, **kwargs):
        return b"lie"

    def __len__(self):
        return 0

    def __iter__(self):
        return iter("lie")

    def __getitem__(self, index):
        return "lie"


def test_str_subclasses_give_their_real_text(monkeypatch, tracked, ppp, review):
    prompt, output = Shady("real prompt é"), Shady("real output")
    record = tracked.capture(None, prompt, None, output, ppp, review, real_prompt="real prompt é")
    assert record.output == "real output" and type(record.output) is str
    ppp2 = velm_qor.PPPTriplet(Shady("p1"), Shady("p2"), "p3")
    ppp2.purpose = Shady("p3!")
    record = tracked.capture(None, "x", None, "y", ppp2, review)
    assert record.ppp_json == '{"provenance":"p1","place":"p2","purpose":"p3!"}'

    # json.dumps may return a str subclass: its real text is what gets sealed.
    real_dumps = json.dumps
    monkeypatch.setattr(json, "dumps", lambda obj: Shady(real_dumps(obj)))
    record = tracked.capture({"k": [1, 2]}, "p", "trace", "o", ppp, review)
    assert record.ctx_json == '{"k": [1, 2]}' and type(record.ctx_json) is str
    assert record.reasoning_trace_json == '"trace"'
    # The module keeps whatever text json.dumps gives it; the log line stays valid JSON regardless.
    monkeypatch.setattr(json, "dumps", lambda obj: 'not {"json\n')
    record = tracked.capture(None, "p", None, "o", ppp, review)
    assert record.ctx_json == record.reasoning_trace_json == 'not {"json\n'
    monkeypatch.undo()
    tracked.assert_unchanged(ppp, review)


class NotAStr:
    def __str__(self):
        return "looks like text"


def test_wrong_types_for_every_parameter(tmp_path, tracked, ppp, review):
    def conv(name, obj_type, target):
        return f"argument '{name}': '{obj_type}' object cannot be converted to '{target}'"

    engine = tracked.engine

    def full(**over):
        return {
            "ctx": None,
            "prompt": "p",
            "reasoning_trace": None,
            "output": "o",
            "ppp_triplet": ppp,
            "human_delta_chain": review,
            "auto_insight": True,
            **over,
        }

    cases = []
    for name in ["prompt", "output"]:
        for value, tname in [
            (5, "int"),
            (b"p", "bytes"),
            (None, "NoneType"),
            (bytearray(b"p"), "bytearray"),
            (NotAStr(), "NotAStr"),
            (["p"], "list"),
        ]:
            cases.append((lambda kw=full(**{name: value}): engine.capture(**kw), conv(name, tname, "PyString")))
    for value, tname in [
        (review, "HumanDeltaChain"),
        (None, "NoneType"),
        ("a,b,c", "str"),
        (SimpleNamespace(provenance="a", place="b", purpose="c"), "SimpleNamespace"),
    ]:
        cases.append(
            (lambda kw=full(ppp_triplet=value): engine.capture(**kw), conv("ppp_triplet", tname, "PPPTriplet"))
        )
    for value, tname in [(ppp, "PPPTriplet"), (None, "NoneType"), ({"agent_decision_ref": "r"}, "dict")]:
        cases.append(
            (
                lambda kw=full(human_delta_chain=value): engine.capture(**kw),
                conv("human_delta_chain", tname, "HumanDeltaChain"),
            )
        )
    for value, tname in [(1, "int"), (0, "int"), (None, "NoneType"), ("True", "str"), (1.0, "float")]:
        cases.append((lambda kw=full(auto_insight=value): engine.capture(**kw), conv("auto_insight", tname, "PyBool")))
        cases.append(
            (
                lambda a=tuple(full(auto_insight=value).values()): engine.capture(*a),
                conv("auto_insight", tname, "PyBool"),
            )
        )

    ppp_args = {"provenance": "a", "place": "b", "purpose": "c"}
    review_args = {"agent_decision_ref": "r", "resolved": False, "terminal_node": "t", "chain_id": "c"}
    for value, tname in [(7, "int"), (b"x", "bytes"), (NotAStr(), "NotAStr")]:
        for name in ppp_args:
            cases.append(
                (lambda kw={**ppp_args, name: value}: velm_qor.PPPTriplet(**kw), conv(name, tname, "PyString"))
            )
            cases.append((lambda n=name, v=value: setattr(ppp, n, v), conv(name, tname, "PyString")))
        for name in ["agent_decision_ref", "terminal_node", "chain_id"]:
            cases.append(
                (lambda kw={**review_args, name: value}: velm_qor.HumanDeltaChain(**kw), conv(name, tname, "PyString"))
            )
            cases.append((lambda n=name, v=value: setattr(review, n, v), conv(name, tname, "PyString")))
        cases.append((lambda v=value: velm_qor.QOREngine(v), conv("wal_path", tname, "PyString")))
    for value, tname in [(None, "NoneType"), (1, "int"), ("yes", "str")]:
        cases.append(
            (
                lambda kw={**review_args, "resolved": value}: velm_qor.HumanDeltaChain(**kw),
                conv("resolved", tname, "PyBool"),
            )
        )
        cases.append((lambda v=value: setattr(review, "resolved", v), conv("resolved", tname, "PyBool")))
        cases.append((lambda v=value: velm_qor.HumanDeltaChain("r", v, "t"), conv("resolved", tname, "PyBool")))
    for value, tname in [
        (pathlib.Path(tmp_path / "p.wal"), "PosixPath"),
        (None, "NoneType"),
        (memoryview(b"x"), "memoryview"),
    ]:
        cases.append((lambda v=value: velm_qor.QOREngine(v), conv("wal_path", tname, "PyString")))

    files_before = sorted(p.name for p in tmp_path.iterdir())
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert sorted(p.name for p in tmp_path.iterdir()) == files_before
    assert (ppp.provenance, ppp.place, ppp.purpose) == ("a", "b", "c")
    assert (review.chain_id, review.agent_decision_ref, review.resolved, review.terminal_node) == (
        "chain-1",
        "ref-1",
        False,
        "node-9",
    )
    tracked.assert_unchanged(ppp, review)


def test_non_finite_floats_in_ctx(tracked, ppp, review):
    nan, inf = float("nan"), float("inf")
    ctx = {"nan": nan, "inf": inf, "ninf": -inf, "list": [nan, 1.5]}
    trace = [inf, {"deep": -inf}]
    record = tracked.capture(ctx, "p", trace, "o", ppp, review)
    assert record.ctx_json == '{"nan": NaN, "inf": Infinity, "ninf": -Infinity, "list": [NaN, 1.5]}'
    assert record.reasoning_trace_json == '[Infinity, {"deep": -Infinity}]'
    back = json.loads(record.ctx_json)
    assert math.isnan(back["nan"]) and back["ninf"] == -inf
    # The log parser refuses bare NaN, so the texts must sit inside JSON strings there.
    tracked.assert_unchanged(ppp, review)
    line = pathlib.Path(tracked.wal_path).read_bytes().split(b"\n")[0]
    assert b'"ctx_json":"{\\"nan\\": NaN, \\"inf\\": Infinity' in line
