"""The module's surface: registration, type traits, argument binding and fatal errors."""

import importlib
import os
import subprocess
import sys
import weakref

import pytest

import velm_qor

CLASSES = ["QOREngine", "PPPTriplet", "HumanDeltaChain", "SealedRecord"]


def test_registration_and_docs():
    assert velm_qor.__all__ == CLASSES
    assert velm_qor.__doc__ == (
        "Main native library interface mapping out public Python module interface class pointers."
    )
    for name in CLASSES:
        cls = getattr(velm_qor, name)
        assert cls.__name__ == name
        assert cls.__module__ == "builtins"
        assert repr(cls) == f"<class 'builtins.{name}'>"
    assert velm_qor.QOREngine.__text_signature__ == "(wal_path)"
    assert velm_qor.QOREngine.__doc__ == (
        "High-performance Python extension wrapper container exposed for model integration bindings."
    )
    assert velm_qor.SealedRecord.__text_signature__ is None
    assert velm_qor.QOREngine.capture.__text_signature__ == (
        "($self, ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight=True)"
    )
    assert velm_qor.QOREngine.capture.__doc__ == (
        "Captures execution contexts, runs real-time consistency checks, and signs an immutable audit record."
    )
    assert velm_qor.QOREngine.public_key_hex.__text_signature__ == "($self)"
    assert velm_qor.QOREngine.public_key_hex.__doc__ == (
        "Exposes the verifying identity public hex configuration signature."
    )


@pytest.mark.parametrize("name", CLASSES)
def test_type_traits(name, ppp, review):
    cls = getattr(velm_qor, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name == "SealedRecord":
        obj = velm_qor.QOREngine(":memory:").capture(None, "", None, "", ppp, review)
    else:
        obj = {"QOREngine": velm_qor.QOREngine(":memory:"), "PPPTriplet": ppp, "HumanDeltaChain": review}[name]
    with pytest.raises(AttributeError):
        obj.undeclared = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", "b"), {}, "QOREngine.__new__() takes 1 positional arguments but 2 were given"),
        ((), {}, "QOREngine.__new__() missing 1 required positional argument: 'wal_path'"),
        ((), {"path": "x"}, "QOREngine.__new__() got an unexpected keyword argument 'path'"),
        (("a",), {"wal_path": "b"}, "QOREngine.__new__() got multiple values for argument 'wal_path'"),
        ((5,), {}, "argument 'wal_path': 'int' object cannot be converted to 'PyString'"),
        ((b":memory:",), {}, "argument 'wal_path': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_engine_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        velm_qor.QOREngine(*args, **kwargs)
    assert str(info.value) == message


def test_capture_binding_messages(ppp, review):
    engine = velm_qor.QOREngine(":memory:")
    cases = [
        (
            lambda: engine.capture(None, "p"),
            "QOREngine.capture() missing 4 required positional arguments: "
            "'reasoning_trace', 'output', 'ppp_triplet', and 'human_delta_chain'",
        ),
        (
            lambda: engine.capture(None, "p", None, "o", ppp),
            "QOREngine.capture() missing 1 required positional argument: 'human_delta_chain'",
        ),
        (
            lambda: engine.capture(None, "p", None, "o"),
            "QOREngine.capture() missing 2 required positional arguments: 'ppp_triplet' and 'human_delta_chain'",
        ),
        (
            lambda: engine.capture(1, 2, 3, 4, 5, 6, 7, 8),
            "QOREngine.capture() takes from 6 to 7 positional arguments but 8 were given",
        ),
        (
            lambda: engine.capture(None, 5, None, "o", ppp, review),
            "argument 'prompt': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: engine.capture(None, "p", None, "o", review, review),
            "argument 'ppp_triplet': 'HumanDeltaChain' object cannot be converted to 'PPPTriplet'",
        ),
        (
            lambda: engine.capture(None, "p", None, "o", ppp, ppp),
            "argument 'human_delta_chain': 'PPPTriplet' object cannot be converted to 'HumanDeltaChain'",
        ),
        (
            lambda: engine.capture(None, "p", None, "o", ppp, review, auto_insight=1),
            "argument 'auto_insight': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: engine.capture(None, "p", None, "o", ppp, review, wrong=1),
            "QOREngine.capture() got an unexpected keyword argument 'wrong'",
        ),
        (
            lambda: engine.capture(None, "p", None, "o", ppp, review, ctx=1),
            "QOREngine.capture() got multiple values for argument 'ctx'",
        ),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    # None of these failures moved the chain: the next record chains from genesis.
    from conftest import GENESIS_HEX, next_root_hex

    record = engine.capture(None, "p", None, "o", ppp, review)
    assert record.merkle_root == next_root_hex(GENESIS_HEX, record.hash)


def test_sealed_record_cannot_be_built():
    for args in [(), (1,), ("a", "b")]:
        with pytest.raises(TypeError) as info:
            velm_qor.SealedRecord(*args)
        assert str(info.value) == "No constructor defined for SealedRecord"


def test_panic_exception_is_a_base_exception(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert not hasattr(velm_qor, "PanicException")
    caught_by_exception = False
    try:
        try:
            velm_qor.QOREngine("/nonexistent-dir-for-velm/y.wal")
        except Exception:
            caught_by_exception = True
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic_type
        assert str(exc).startswith("Failed to write signing key: ")
    assert not caught_by_exception


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("velm_qor")
    try:
        again = importlib.import_module("velm_qor")
        assert again is first
        assert again.QOREngine is first.QOREngine
    finally:
        sys.modules["velm_qor"] = first


def test_second_interpreter_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    inner = (
        "import sys\n"
        f"sys.path.insert(0, {os.path.dirname(velm_qor.__file__)!r})\n"
        "try:\n"
        "    import velm_qor\n"
        "    print('imported')\n"
        "except ImportError as exc:\n"
        "    print('refused:', exc)\n"
    )
    script = tmp_path / "sub.py"
    script.write_text(f"import _testcapi, velm_qor\n_testcapi.run_in_subinterp({inner!r})\n")
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == (
        "refused: PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576"
    )
