"""Generated capture sequences: the log always verifies, and scores follow byte lengths only."""

import json
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from nacl.signing import SigningKey
from test_hostile_input import assert_line_matches, check_log

import velm_qor

FIXED = settings(
    max_examples=60,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
SEED = bytes(range(100, 132))
PUBLIC_KEY = SigningKey(SEED).verify_key.encode().hex()

# Any code point but surrogates: NUL, controls, line separators, astral characters.
texts = st.text(max_size=40)
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=10,
)


class Boom(Exception):
    pass


class Raising(dict):
    def items(self):
        raise Boom


def circular():
    loop = []
    loop.append(loop)
    return loop


# Captures that must fail, as (changes to the good arguments, expected exception).
FAILURES = {
    "unserialisable ctx": ({"ctx": object()}, TypeError),
    "unserialisable trace": ({"reasoning_trace": {1, 2}}, TypeError),
    "surrogate prompt": ({"prompt": "ok\ud800"}, UnicodeEncodeError),
    "bytes output": ({"output": b"o"}, TypeError),
    "circular ctx": ({"ctx": circular()}, ValueError),
    "raising ctx": ({"ctx": Raising(a=1)}, Boom),
    "int flag": ({"auto_insight": 1}, TypeError),
}

good = st.tuples(st.just("capture"), json_values, texts, json_values, texts, st.booleans())
bad = st.tuples(st.just("fail"), st.sampled_from(sorted(FAILURES)))
assign = st.tuples(st.just("assign"), st.sampled_from(["provenance", "place", "purpose"]), texts)
operations = st.lists(st.one_of(good, good, bad, assign), min_size=1, max_size=12)


@FIXED
@given(ppp_texts=st.tuples(texts, texts, texts), review_texts=st.tuples(texts, texts, texts), ops=operations)
def test_any_capture_sequence_gives_a_verifiable_log(ppp_texts, review_texts, ops):
    with tempfile.TemporaryDirectory() as directory:
        wal = Path(directory) / "gen.wal"
        (Path(directory) / "gen.wal.key").write_bytes(SEED)
        (Path(directory) / "gen.wal.key").chmod(0o600)
        engine = velm_qor.QOREngine(str(wal))
        assert engine.public_key_hex() == PUBLIC_KEY
        twin = velm_qor.QOREngine(":memory:")
        ppp = velm_qor.PPPTriplet(*ppp_texts)
        review = velm_qor.HumanDeltaChain(review_texts[0], True, review_texts[1], review_texts[2])
        current = dict(zip(["provenance", "place", "purpose"], ppp_texts))
        records, reputation = [], 0.5
        for op in ops:
            if op[0] == "assign":
                setattr(ppp, op[1], op[2])
                current[op[1]] = op[2]
                continue
            if op[0] == "fail":
                change, error = FAILURES[op[1]]
                args = {
                    "ctx": None,
                    "prompt": "p",
                    "reasoning_trace": None,
                    "output": "o",
                    "ppp_triplet": ppp,
                    "human_delta_chain": review,
                    "auto_insight": True,
                    **change,
                }
                with pytest.raises(error):
                    engine.capture(**args)
                continue
            _, ctx, prompt, trace, output, auto_insight = op
            record = engine.capture(ctx, prompt, trace, output, ppp, review, auto_insight=auto_insight)
            expected = twin.capture(None, "x" * len(prompt.encode()), None, output, ppp, review)
            assert (record.coherence_score, record.reputation_scalar) == (
                expected.coherence_score,
                expected.reputation_scalar,
            )
            assert record.reputation_scalar == record.coherence_score * 0.02 + reputation * 0.98
            reputation = record.reputation_scalar
            assert (record.prompt, record.output) == (prompt, output)
            assert record.ctx_json == json.dumps(ctx) and record.reasoning_trace_json == json.dumps(trace)
            assert json.loads(record.ppp_json) == current
            assert json.loads(record.human_delta_chain_json) == {
                "chain_id": review_texts[2],
                "agent_decision_ref": review_texts[0],
                "resolved": True,
                "terminal_node": review_texts[1],
            }
            if not auto_insight:
                assert record.core_insight_json is None
            records.append(record)

        chains = check_log(wal.read_bytes(), PUBLIC_KEY)
        assert [len(c) for c in chains] == ([len(records)] if records else [])
        for line, record in zip(chains[0] if chains else [], records):
            assert_line_matches(line, record)


UTF8_RANGES = {1: (0, 0x7F), 2: (0x80, 0x7FF), 3: (0x800, 0xFFFF), 4: (0x10000, 0x10FFFF)}


@st.composite
def text_of_byte_length(draw, length):
    """A random text, of characters of any width, whose UTF-8 form is exactly `length` bytes."""
    chars = []
    left = length
    while left:
        width = draw(st.integers(1, min(4, left)))
        low, high = UTF8_RANGES[width]
        code = draw(st.integers(low, high).filter(lambda c: not 0xD800 <= c <= 0xDFFF))
        chars.append(chr(code))
        left -= width
    return "".join(chars)


@FIXED
@given(data=st.data(), pairs=st.lists(st.tuples(st.text(max_size=60), st.text(max_size=30)), min_size=1, max_size=15))
def test_scores_depend_only_on_byte_lengths(data, pairs):
    first, second = velm_qor.QOREngine(":memory:"), velm_qor.QOREngine(":memory:")
    ppp_a, ppp_b = velm_qor.PPPTriplet("a", "b", "c"), velm_qor.PPPTriplet("other", "", "texts")
    review_a = velm_qor.HumanDeltaChain("r", False, "t", "c")
    review_b = velm_qor.HumanDeltaChain("s", True, "u")
    for prompt, output in pairs:
        prompt_b = data.draw(text_of_byte_length(len(prompt.encode())))
        output_b = data.draw(text_of_byte_length(len(output.encode())))
        assert (len(prompt_b.encode()), len(output_b.encode())) == (len(prompt.encode()), len(output.encode()))
        a = first.capture({"p": prompt}, prompt, None, output, ppp_a, review_a)
        b = second.capture(
            [1, prompt_b], prompt_b, {"o": output}, output_b, ppp_b, review_b, auto_insight=data.draw(st.booleans())
        )
        assert (a.coherence_score, a.reputation_scalar) == (b.coherence_score, b.reputation_scalar)
        assert 0.0 <= a.coherence_score <= 1.0
