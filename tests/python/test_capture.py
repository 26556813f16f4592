"""capture: every field against independent oracles, the chain, re-entrancy and failures."""

import json
import re
import uuid
from datetime import datetime, timezone

import pytest

import velm_qor
from conftest import GENESIS_HEX, RECORD_KEYS, b3hex, next_root_hex, seal_text, verify_record

SEAL_EXAMPLE_HASH = "83492f590718d75e3d9e27e82b0faa0ddada3d7946342444caabe396517bbb29"
SEAL_EXAMPLE_ROOT = "b4c2b904e6edec426dd65391e7eee4ded93502a675873aaaed9732e9865f4ad9"
LESSON = "Decision aligns well with historical pattern."


def test_genesis_and_worked_seal(ppp, review):
    assert b3hex(b"genesis") == GENESIS_HEX
    assert b3hex(b"abcp1.00.51") == SEAL_EXAMPLE_HASH
    engine = velm_qor.QOREngine(":memory:")
    record = engine.capture(None, "p", None, "", ppp, review)
    # A first capture with a constant vector has coherence 1.0 and reputation 0.51.
    assert record.coherence_score == 1.0
    assert record.reputation_scalar == 1.0 * 0.02 + 0.5 * 0.98 == 0.51
    assert record.hash == SEAL_EXAMPLE_HASH
    assert record.merkle_root == SEAL_EXAMPLE_ROOT == next_root_hex(GENESIS_HEX, SEAL_EXAMPLE_HASH)


def test_record_fields(ppp, review):
    engine = velm_qor.QOREngine(":memory:")
    ctx = {"user": "ümlaut", "n": [1, 2.5, None], "ok": True}
    trace = ["step 1", {"w": 0.25}]
    record = engine.capture(ctx, 'Prompt é\n"q"', trace, "Output ✓", ppp, review)
    assert isinstance(record, velm_qor.SealedRecord)
    assert record.ctx_json == json.dumps(ctx)
    assert record.reasoning_trace_json == json.dumps(trace)
    assert record.prompt == 'Prompt é\n"q"' and record.output == "Output ✓"
    assert record.ppp_json == '{"provenance":"a","place":"b","purpose":"c"}'
    assert json.loads(record.human_delta_chain_json) == {
        "chain_id": "chain-1",
        "agent_decision_ref": "ref-1",
        "resolved": False,
        "terminal_node": "node-9",
    }
    assert record.human_delta_chain_json.startswith('{"chain_id":"chain-1","agent_decision_ref"')
    assert re.fullmatch(r"qor_[0-9a-f-]{36}", record.id)
    assert uuid.UUID(record.id[4:]).version == 4 and record.id[18] == "4"
    stamp = datetime.fromisoformat(record.timestamp)
    assert record.timestamp.endswith("+00:00") and len(record.timestamp) in (25, 29, 32, 35)
    assert abs((datetime.now(timezone.utc) - stamp).total_seconds()) < 5
    assert isinstance(record.monotonic_nanos, int) and 0 <= record.monotonic_nanos < 10**9
    assert re.fullmatch(r"[0-9a-f]{64}", record.hash) and re.fullmatch(r"[0-9a-f]{64}", record.merkle_root)
    assert record.hash == b3hex(seal_text(ppp, record.prompt, record.coherence_score, record.reputation_scalar))
    verify_record(record, engine.public_key_hex())
    from nacl.exceptions import BadSignatureError
    from nacl.signing import VerifyKey

    with pytest.raises(BadSignatureError):  # the signature covers the raw digest, not its hex text
        VerifyKey(bytes.fromhex(engine.public_key_hex())).verify(record.hash.encode(), bytes(record.signature))


def test_record_is_read_only_and_returns_fresh_values(ppp, review):
    record = velm_qor.QOREngine(":memory:").capture("abc", "", None, "", ppp, review, auto_insight=False)
    assert record.ctx_json == '"abc"' and record.reasoning_trace_json == "null"
    assert record.core_insight_json is None
    first, second = record.signature, record.signature
    assert first == second and first is not second and len(first) == 64
    assert all(isinstance(b, int) and 0 <= b <= 255 for b in first)
    first.append(1)
    assert len(record.signature) == 64
    old_id = record.id
    for name in ["id", "hash", "signature", "core_insight_json"]:
        with pytest.raises(AttributeError):
            setattr(record, name, "x")
        with pytest.raises(AttributeError):
            delattr(record, name)
    assert record.id == old_id
    props = [n for n, v in vars(velm_qor.SealedRecord).items() if type(v).__name__ == "getset_descriptor"]
    assert props == RECORD_KEYS
    assert velm_qor.SealedRecord.hash.__doc__ == "BLAKE3 hash string locking total structure components."


def test_chain_and_scores_over_many_captures(ppp, review):
    engine = velm_qor.QOREngine(":memory:")
    root, reputation = GENESIS_HEX, 0.5
    for n in range(30):
        record = engine.capture({"n": n}, "p" * (n * 7 % 23), None, "o" * (n % 5), ppp, review)
        assert record.merkle_root == next_root_hex(root, record.hash)
        assert record.reputation_scalar == record.coherence_score * 0.02 + reputation * 0.98
        assert 0.0 <= record.coherence_score <= 1.0
        assert record.hash == b3hex(seal_text(ppp, record.prompt, record.coherence_score, record.reputation_scalar))
        verify_record(record, engine.public_key_hex())
        insight = record.core_insight_json
        assert (insight is not None) == (record.coherence_score >= 0.92)
        if insight is not None:
            parsed = json.loads(insight)
            assert list(parsed) == ["lesson", "confidence", "delta"]
            assert parsed["lesson"] == LESSON and parsed["confidence"] == record.coherence_score
            assert list(parsed["delta"]) == ["vector", "confidence", "delta_norm"]
            assert len(parsed["delta"]["vector"]) == 64 and parsed["delta"]["delta_norm"] == 0.18
        root, reputation = record.merkle_root, record.reputation_scalar


def test_first_insight_has_a_zero_delta(ppp, review):
    record = velm_qor.QOREngine(":memory:").capture(None, "x" * 40, None, "y" * 9, ppp, review)
    text = record.core_insight_json
    assert text.startswith('{"lesson":"%s","confidence":' % LESSON)
    assert '"vector":[' + ",".join(["0"] * 64) + "]" in text


def test_scores_depend_on_byte_lengths_only(review):
    a, b = velm_qor.QOREngine(":memory:"), velm_qor.QOREngine(":memory:")
    p1, p2 = velm_qor.PPPTriplet("a", "b", "c"), velm_qor.PPPTriplet("x", "y", "z")
    for n in range(12):
        # "é" is two bytes: the same byte lengths with different texts and character counts.
        ra = a.capture(None, "é" * n, {"k": n}, "z" * (3 * n), p1, review)
        rb = b.capture([n], "ab" * n, None, "q" * (3 * n), p2, review, auto_insight=False)
        assert (ra.coherence_score, ra.reputation_scalar) == (rb.coherence_score, rb.reputation_scalar)
        assert rb.core_insight_json is None


def test_equal_seal_inputs_give_equal_hash_but_new_roots(ppp):
    engine = velm_qor.QOREngine(":memory:")
    r1 = engine.capture(None, "same", None, "out-1", ppp, velm_qor.HumanDeltaChain("a", True, "t"))
    r2 = engine.capture({"other": 1}, "same", [1], "out-2", ppp, velm_qor.HumanDeltaChain("b", False, "u"))
    if (r1.coherence_score, r1.reputation_scalar) == (r2.coherence_score, r2.reputation_scalar):
        assert r1.hash == r2.hash
    assert r1.merkle_root != r2.merkle_root


def test_changing_inputs_after_capture_changes_nothing_sealed(review):
    ppp = velm_qor.PPPTriplet("a", "b", "c")
    engine = velm_qor.QOREngine(":memory:")
    record = engine.capture(None, "p", None, "", ppp, review)
    ppp.purpose = "changed"
    assert record.ppp_json == '{"provenance":"a","place":"b","purpose":"c"}'
    assert record.hash == SEAL_EXAMPLE_HASH
    nxt = engine.capture(None, "p", None, "", ppp, review)
    assert json.loads(nxt.ppp_json)["purpose"] == "changed"


class Reentrant(dict):
    """A dict whose serialisation runs Python code that reaches back into the module."""

    def __init__(self, engine, ppp, review, other_engine):
        super().__init__(k=1)
        self.engine, self.ppp, self.review, self.other = engine, ppp, review, other_engine
        self.seen = {}

    def items(self):
        def attempt(name, fn):
            try:
                self.seen[name] = ("ok", fn())
            except BaseException as exc:  # noqa: BLE001
                self.seen[name] = (type(exc).__name__, str(exc))

        attempt("capture", lambda: self.engine.capture(None, "", None, "", self.ppp, self.review))
        attempt("public_key_hex", self.engine.public_key_hex)
        attempt("set_place", lambda: setattr(self.ppp, "place", "x"))
        attempt("set_resolved", lambda: setattr(self.review, "resolved", True))
        attempt("read_place", lambda: self.ppp.place)
        attempt("read_chain_id", lambda: self.review.chain_id)
        attempt("other_engine", lambda: self.other.capture(None, "", None, "", self.ppp, self.review).merkle_root)
        return super().items()


def test_reentrant_calls_during_json_dumps(ppp, review):
    engine, other = velm_qor.QOREngine(":memory:"), velm_qor.QOREngine(":memory:")
    ctx = Reentrant(engine, ppp, review, other)
    record = engine.capture(ctx, "p", None, "", ppp, review)
    assert ctx.seen["capture"] == ("RuntimeError", "Already borrowed")
    assert ctx.seen["public_key_hex"] == ("RuntimeError", "Already mutably borrowed")
    assert ctx.seen["set_place"] == ("RuntimeError", "Already borrowed")
    assert ctx.seen["set_resolved"] == ("RuntimeError", "Already borrowed")
    assert ctx.seen["read_place"] == ("ok", "b")
    assert ctx.seen["read_chain_id"] == ("ok", "chain-1")
    assert ctx.seen["other_engine"][0] == "ok"
    assert record.ctx_json == '{"k": 1}'
    assert record.hash == SEAL_EXAMPLE_HASH and record.merkle_root == SEAL_EXAMPLE_ROOT
    assert ppp.place == "b" and review.resolved is False
    # The borrows were given back.
    ppp.place = "b2"
    assert engine.public_key_hex()


def test_failed_captures_change_nothing(ppp, review):
    engine = velm_qor.QOREngine(":memory:")
    reference = velm_qor.QOREngine(":memory:")

    class Unserialisable:
        pass

    root = GENESIS_HEX
    for n in range(5):
        with pytest.raises(TypeError, match="not JSON serializable"):
            engine.capture(Unserialisable(), "pp", None, "o", ppp, review)
        with pytest.raises(TypeError, match="not JSON serializable"):
            engine.capture(None, "pp", {1, 2}, "o", ppp, review)
        with pytest.raises(UnicodeEncodeError):
            engine.capture(None, "\ud800", None, "o", ppp, review)
        with pytest.raises(RecursionError):
            deep = []
            for _ in range(100_000):
                deep = [deep]
            engine.capture(deep, "pp", None, "o", ppp, review)
        got = engine.capture(None, "p" * n, None, "o", ppp, review)
        want = reference.capture(None, "p" * n, None, "o", ppp, review)
        assert got.merkle_root == next_root_hex(root, got.hash)
        assert (got.coherence_score, got.reputation_scalar, got.hash) == (
            want.coherence_score,
            want.reputation_scalar,
            want.hash,
        )
        root = got.merkle_root


def test_json_dumps_returning_a_non_str(monkeypatch, ppp, review):
    import json as json_module

    engine = velm_qor.QOREngine(":memory:")
    monkeypatch.setattr(json_module, "dumps", lambda obj: 42)
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
        engine.capture(None, "p", None, "", ppp, review)
    monkeypatch.undo()
    assert engine.capture(None, "p", None, "", ppp, review).merkle_root == SEAL_EXAMPLE_ROOT


def test_json_is_imported_afresh_by_every_capture(monkeypatch, ppp, review):
    import sys
    import types

    engine = velm_qor.QOREngine(":memory:")
    engine.capture(None, "p", None, "", ppp, review)  # a first capture, before the swap
    stand_in = types.ModuleType("json")
    stand_in.dumps = lambda obj: "<%s>" % type(obj).__name__
    monkeypatch.setitem(sys.modules, "json", stand_in)
    record = engine.capture({"k": 1}, "p", [1], "", ppp, review)
    assert (record.ctx_json, record.reasoning_trace_json) == ("<dict>", "<list>")
    monkeypatch.undo()
    assert engine.capture({"k": 1}, "p", None, "", ppp, review).ctx_json == '{"k": 1}'


def test_panic_from_python_code_is_resumed(ppp, review, panic_type, capfd):
    class Panicking(dict):
        def items(self):
            raise panic_type("boom from python")

    engine = velm_qor.QOREngine(":memory:")
    with pytest.raises(panic_type) as info:
        engine.capture(Panicking(a=1), "p", None, "", ppp, review)
    assert str(info.value) == "boom from python"
    err = capfd.readouterr().err
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---" in err
    assert "Python stack trace below:" in err
    assert "boom from python" in err
    assert engine.capture(None, "p", None, "", ppp, review).merkle_root == SEAL_EXAMPLE_ROOT
