"""Shared helpers: independent oracles for digests, signatures, chain roots and float texts."""

import math
import subprocess
import sys
import textwrap
from decimal import Decimal

import pytest
from blake3 import blake3
from nacl.signing import VerifyKey

import velm_qor

# Tests that run no native code of their own: they check the test oracles, read the stubs, or run
# mypy over the stubs and the examples (importing the module only to introspect it). `make
# sanitize` leaves them out (`-m "not python_only"`): under the sanitizers they would check mypy and
# the interpreter rather than this package, slowly. `make test` runs them. A whole file, or
# file::test for one test (all its parameters).
PYTHON_ONLY = {
    "test_seal_float_oracle.py",
    "test_typing_and_examples.py::test_stubtest_finds_no_mismatch",
    "test_typing_and_examples.py::test_every_stub_class_method_and_property_has_a_docstring",
    "test_typing_and_examples.py::test_examples_type_check",
    "test_typing_and_examples.py::test_a_type_error_in_user_code_is_caught",
    "test_verify_scale.py::test_stubs_match_the_package",
}


def pytest_configure(config):
    config.addinivalue_line("markers", "python_only: runs no native code of its own (left out under the sanitizers)")


def pytest_collection_modifyitems(items):
    for item in items:
        if {item.path.name, f"{item.path.name}::{item.originalname}"} & PYTHON_ONLY:
            item.add_marker(pytest.mark.python_only)


GENESIS_HEX = "df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a"


def b3hex(data: bytes) -> str:
    return blake3(data).hexdigest()


def next_root_hex(previous_hex: str, hash_hex: str) -> str:
    link = f'Hash("{previous_hex}")Hash("{hash_hex}")'.encode()
    assert len(link) == 144
    return b3hex(link)


def shortest_digits(value: float):
    """Shortest round-trip digits and decimal exponent of a positive finite float, from repr."""
    d = Decimal(repr(value)).normalize()
    sign, digits, exponent = d.as_tuple()
    text = "".join(map(str, digits))
    return text, exponent + len(text) - 1


def float_text(value: float, positional, exponent_plus: str) -> str:
    """Lays out Python's shortest digits: positional when positional(magnitude, exponent)."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    if value == 0:
        return sign + "0.0"
    digits, e = shortest_digits(abs(value))
    if positional(abs(value), e):
        if e >= len(digits) - 1:
            return sign + digits + "0" * (e - len(digits) + 1) + ".0"
        if e >= 0:
            return sign + digits[: e + 1] + "." + digits[e + 1 :]
        return sign + "0." + "0" * (-e - 1) + digits
    body = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{body}e{exponent_plus if e > 0 else '-' if e < 0 else ''}{abs(e)}"


def seal_float(value: float) -> str:
    """The seal float text: positional from 1e-4 up to below 1e16, exponents without "+"."""
    return float_text(value, lambda magnitude, e: 1e-4 <= magnitude < 1e16, "")


def json_float(value: float) -> str:
    """The log's float form: positional for decimal exponents -5 to 15, "e+"/"e-" otherwise."""
    if not math.isfinite(value):
        return "null"
    return float_text(value, lambda magnitude, e: -5 <= e <= 15, "+")


def verify_record(record, public_key_hex: str) -> None:
    """Raises unless the record's signature covers the 32 raw digest bytes."""
    VerifyKey(bytes.fromhex(public_key_hex)).verify(bytes.fromhex(record.hash), bytes(record.signature))


def seal_text(ppp, prompt: str, coherence: float, reputation: float) -> bytes:
    text = ppp.provenance + ppp.place + ppp.purpose + prompt
    return text.encode() + seal_float(coherence).encode() + seal_float(reputation).encode()


def run_writer_processes(
    wal, processes: int, captures: int, prompt: str, output: str, auto_insight: str = "True", timeout: float = 600
) -> None:
    """Runs `processes` interpreters at once, each capturing `captures` records into the log `wal`
    through an engine of its own. `prompt`, `output` and `auto_insight` are Python expressions of
    the process number `proc` and the capture number `n`."""
    script = textwrap.dedent(
        f"""
        import sys, velm_qor
        proc = int(sys.argv[1])
        engine = velm_qor.QOREngine({str(wal)!r})
        ppp = velm_qor.PPPTriplet("p", "q", "r")
        review = velm_qor.HumanDeltaChain("r", False, "t", "c")
        for n in range({captures}):
            engine.capture({{"proc": proc}}, {prompt}, None, {output}, ppp, review, auto_insight={auto_insight})
        """
    )
    procs = [subprocess.Popen([sys.executable, "-c", script, str(i)]) for i in range(processes)]
    assert all(p.wait(timeout=timeout) == 0 for p in procs)


@pytest.fixture
def ppp():
    return velm_qor.PPPTriplet("a", "b", "c")


@pytest.fixture
def review():
    return velm_qor.HumanDeltaChain("ref-1", False, "node-9", "chain-1")


@pytest.fixture
def panic_type():
    """The PanicException class, obtained from a real fatal error."""
    try:
        velm_qor.QOREngine("/nonexistent-dir-for-velm/x.wal")
    except BaseException as exc:  # noqa: BLE001 - the panic type derives from BaseException
        return type(exc)
    raise AssertionError("expected a fatal error")


# The keys of a log line, in the order the engine writes them.
RECORD_KEYS = [
    "id",
    "timestamp",
    "monotonic_nanos",
    "hash",
    "signature",
    "merkle_root",
    "coherence_score",
    "reputation_scalar",
    "ppp_json",
    "ctx_json",
    "prompt",
    "reasoning_trace_json",
    "output",
    "human_delta_chain_json",
    "core_insight_json",
]
