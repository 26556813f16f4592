"""Nothing leaks: reference counts of arguments and results, live objects and file descriptors
stay level over many calls of every operation, on success and on every way it can fail."""

import gc
import os
import sys
import tracemalloc
import warnings

import velm_qor

CALLS = 200


class Opaque:
    """Not serialisable by json.dumps."""


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def test_no_reference_object_or_descriptor_leaks(tmp_path, panic_type):
    (tmp_path / "dir.wal").mkdir()  # every append fails
    planted = tmp_path / "planted.wal.key"
    planted.write_bytes(bytes(32))
    planted.chmod(0o666)
    readable = tmp_path / "readable.wal.key"
    readable.write_bytes(bytes(32))
    readable.chmod(0o644)
    logged = velm_qor.QOREngine(str(tmp_path / "a.wal"))
    memory = velm_qor.QOREngine(":memory:")
    failing = velm_qor.QOREngine(str(tmp_path / "dir.wal"))
    ctx, trace = {"k": [1, 2.5]}, ["step"]
    prompt, output, name = "prompt-" + "x" * 40, "output-" + "y" * 40, "n" * 30
    ppp = velm_qor.PPPTriplet(prompt, output, name)
    review = velm_qor.HumanDeltaChain(prompt, True, output, name)
    record = memory.capture(ctx, prompt, trace, output, ppp, review)

    class Reentrant(dict):
        def items(self):
            memory.capture(None, prompt, None, output, ppp, review)  # the engine is busy

    args = (ctx, prompt, trace, output, ppp, review)
    cases = [
        # (what, callable, arguments, warnings filter, exception expected)
        ("capture to a log", logged.capture, args, "error", None),
        ("capture in memory", memory.capture, (*args, False), "error", None),
        ("append fails", failing.capture, args, "ignore", None),
        ("append warning raised", failing.capture, args, "error", RuntimeWarning),
        ("ctx not serialisable", memory.capture, (Opaque(), *args[1:]), "error", TypeError),
        ("prompt not a str", memory.capture, (ctx, 5, *args[2:]), "error", TypeError),
        ("engine busy", memory.capture, (Reentrant(a=1), *args[1:]), "error", RuntimeError),
        ("not a triplet", memory.capture, (*args[:4], review, review), "error", TypeError),
        ("missing argument", memory.capture, args[:5], "error", TypeError),
        ("public key", memory.public_key_hex, (), "error", None),
        ("new engine", velm_qor.QOREngine, (str(tmp_path / "a.wal"),), "error", None),
        ("key readable by others", velm_qor.QOREngine, (str(tmp_path / "readable.wal"),), "ignore", None),
        ("key warning raised", velm_qor.QOREngine, (str(tmp_path / "readable.wal"),), "error", RuntimeWarning),
        ("planted key", velm_qor.QOREngine, (str(tmp_path / "planted.wal"),), "error", panic_type),
        ("no such directory", velm_qor.QOREngine, (str(tmp_path / "none" / "x.wal"),), "error", panic_type),
        ("new triplet", velm_qor.PPPTriplet, (prompt, output, name), "error", None),
        ("new review", velm_qor.HumanDeltaChain, (prompt, True, output, None), "error", None),
        ("review flag not a bool", velm_qor.HumanDeltaChain, (prompt, 1, output), "error", TypeError),
        ("set a field", setattr, (ppp, "place", output), "error", None),
        ("set a field wrongly", setattr, (ppp, "place", 5), "error", TypeError),
        ("read a record field", getattr, (record, "ctx_json"), "error", None),
        ("read the signature", getattr, (record, "signature"), "error", None),
    ]

    def run(fn, call_args, action, expected):
        with warnings.catch_warnings():
            warnings.simplefilter(action)
            try:
                result = fn(*call_args)
            except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
                assert expected is not None and isinstance(exc, expected), repr(exc)
                return None
        assert expected is None
        return result

    watched = [logged, memory, failing, ctx, trace, prompt, output, name, ppp, review, record]
    for what, fn, call_args, action, expected in cases:
        for _ in range(20):  # first-use caches (interned names, the json module) settle here
            run(fn, call_args, action, expected)
        result = run(fn, call_args, action, expected)
        if result is not None and not isinstance(result, bool):
            assert sys.getrefcount(result) == 2, what  # held by `result` and the call only
        del result
        objects = [*watched, *call_args]
        counts = [sys.getrefcount(obj) for obj in objects]
        descriptors = fd_count()
        tracemalloc.start()
        try:
            for _ in range(5 * CALLS):  # the interpreter's free lists fill up while traced
                run(fn, call_args, action, expected)
            grown = []
            # A leak grows every round; a cache of the interpreter that resizes once grows one.
            for _ in range(3):
                gc.collect()
                traced = tracemalloc.get_traced_memory()[0]
                for _ in range(CALLS):
                    run(fn, call_args, action, expected)
                gc.collect()
                grown.append(tracemalloc.get_traced_memory()[0] - traced)
        finally:
            tracemalloc.stop()
        assert [sys.getrefcount(obj) for obj in objects] == counts, what
        assert min(grown) < 16 * CALLS, (what, grown)  # a leaked object costs far more per call
        assert fd_count() == descriptors, what
