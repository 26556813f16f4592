"""The record log: one byte-exact JSON line per capture, never torn, failures made visible."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import warnings

import pytest

import velm_qor
from conftest import GENESIS_HEX, json_float, next_root_hex, run_writer_processes
from conftest import RECORD_KEYS as KEYS


def expected_line(record) -> bytes:
    def text(value):
        return "null" if value is None else json.dumps(value, ensure_ascii=False)

    values = {
        "id": text(record.id),
        "timestamp": text(record.timestamp),
        "monotonic_nanos": str(record.monotonic_nanos),
        "hash": text(record.hash),
        "signature": "[" + ",".join(map(str, record.signature)) + "]",
        "merkle_root": text(record.merkle_root),
        "coherence_score": json_float(record.coherence_score),
        "reputation_scalar": json_float(record.reputation_scalar),
    }
    for key in KEYS[8:]:
        values[key] = text(getattr(record, key))
    body = "{" + ",".join(f'"{k}":{values[k]}' for k in KEYS) + "}"
    return body.encode() + b"\n"


def test_json_float_oracle():
    cases = [
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1.0, "1.0"),
        (0.92, "0.92"),
        (1e15, "1000000000000000.0"),
        (1e16, "1e+16"),
        (9.8e-5, "0.000098"),
        (1e-6, "1e-6"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e+308"),
        (0.1 + 0.2, "0.30000000000000004"),
        (12345678901234567000.0, "1.2345678901234567e+19"),
    ]
    for value, text in cases:
        assert json_float(value) == text


def test_lines_are_byte_exact(tmp_path, ppp, review):
    wal = tmp_path / "audit.wal"
    engine = velm_qor.QOREngine(str(wal))
    records = []
    awkward = ["", 'line\nfeed "quote" back\\slash', "\x00\x1b\x7f/é\u2028🚀", "x" * 70_000]
    for n, prompt in enumerate(awkward * 3):
        records.append(
            engine.capture({"n": n, "s": prompt[:5]}, prompt, [n], prompt[::-1], ppp, review, auto_insight=n % 3 != 0)
        )
    data = wal.read_bytes()
    lines = data.split(b"\n")
    assert lines[-1] == b"" and len(lines) == len(records) + 1
    for record, line in zip(records, lines):
        assert line + b"\n" == expected_line(record)
        parsed = json.loads(line)
        assert list(parsed) == KEYS
    assert json.loads(lines[0])["core_insight_json"] is None
    root = GENESIS_HEX
    for line in lines[:-1]:
        parsed = json.loads(line)
        assert parsed["merkle_root"] == next_root_hex(root, parsed["hash"])
        root = parsed["merkle_root"]


def test_new_engine_appends_a_new_chain(tmp_path, ppp, review):
    wal = tmp_path / "audit.wal"
    first = velm_qor.QOREngine(str(wal))
    for _ in range(3):
        first.capture(None, "p", None, "", ppp, review)
    before = wal.read_bytes()
    second = velm_qor.QOREngine(str(wal))
    assert wal.read_bytes() == before
    record = second.capture(None, "p", None, "", ppp, review)
    after = wal.read_bytes()
    assert after.startswith(before)
    assert after[len(before) :] == expected_line(record)
    assert record.merkle_root == next_root_hex(GENESIS_HEX, record.hash)


def test_memory_mode_never_touches_files(tmp_path, monkeypatch, ppp, review):
    monkeypatch.chdir(tmp_path)
    engine = velm_qor.QOREngine(":memory:")
    for _ in range(3):
        engine.capture(None, "p", None, "o", ppp, review)
    assert os.listdir(tmp_path) == []


def test_relative_path_is_fixed_at_construction(tmp_path, monkeypatch, ppp, review):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    monkeypatch.chdir(tmp_path / "a")
    engine = velm_qor.QOREngine("rel.wal")
    monkeypatch.chdir(tmp_path / "b")
    engine.capture(None, "p", None, "o", ppp, review)
    assert os.listdir(tmp_path / "b") == []
    assert len((tmp_path / "a" / "rel.wal").read_bytes().splitlines()) == 1


def test_unwritable_log_warns_and_still_returns_records(tmp_path, ppp, review):
    log_dir = tmp_path / "logs"
    log_dir.mkdir()
    as_dir = tmp_path / "dir.wal"
    as_dir.mkdir()
    dir_engine = velm_qor.QOREngine(str(as_dir))
    gone_engine = velm_qor.QOREngine(str(log_dir / "x.wal"))
    shutil.rmtree(log_dir)
    for engine, path, reason in [
        (dir_engine, as_dir, "Is a directory"),
        (gone_engine, log_dir / "x.wal", "No such file or directory"),
    ]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            records = [engine.capture(None, "p", None, "o", ppp, review) for _ in range(3)]
        assert [r.merkle_root for r in records][0] == next_root_hex(GENESIS_HEX, records[0].hash)
        assert len(caught) == 3
        for w in caught:
            assert w.category is RuntimeWarning
            assert str(path) in str(w.message) and reason in str(w.message)
    assert not log_dir.exists()


def test_a_short_write_leaves_no_partial_line(tmp_path):
    wal = tmp_path / "limited.wal"
    script = textwrap.dedent(
        f"""
        import resource, signal, warnings, velm_qor
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        engine = velm_qor.QOREngine({str(wal)!r})
        ppp = velm_qor.PPPTriplet("a", "b", "c")
        review = velm_qor.HumanDeltaChain("r", False, "t", "c")
        resource.setrlimit(resource.RLIMIT_FSIZE, (5000, resource.RLIM_INFINITY))
        failed = 0
        for n in range(12):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                engine.capture(None, "p" * (300 + 37 * n), None, "o", ppp, review)
            failed += len(caught)
            for w in caught:
                assert "File too large" in str(w.message), w.message
        print(failed)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    failed = int(out.stdout)
    data = wal.read_bytes()
    assert 0 < failed < 12
    assert 0 < len(data) <= 5000 and data.endswith(b"\n")
    lines = data.splitlines()
    assert len(lines) == 12 - failed
    for line in lines:
        assert list(json.loads(line)) == KEYS


def test_four_processes_never_interleave(tmp_path):
    wal = tmp_path / "shared.wal"
    velm_qor.QOREngine(str(wal))  # creates the shared key first
    run_writer_processes(wal, 4, 2000, '"x" * (n % 50)', '"y" * (100 + n % 7)')
    lines = wal.read_bytes().split(b"\n")
    assert lines[-1] == b""
    lines = lines[:-1]
    assert len(lines) == 8000
    roots = {}
    for line in lines:
        parsed = json.loads(line)
        proc = json.loads(parsed["ctx_json"])["proc"]
        previous = roots.get(proc, GENESIS_HEX)
        assert parsed["merkle_root"] == next_root_hex(previous, parsed["hash"])
        roots[proc] = parsed["merkle_root"]
    assert sorted(roots) == [0, 1, 2, 3]


def test_relative_path_under_a_working_directory_too_long_to_name(tmp_path, monkeypatch, ppp, review):
    monkeypatch.chdir(tmp_path)
    name = "d" * 250
    for _ in range(18):  # deeper than PATH_MAX (4096 bytes)
        os.mkdir(name)
        os.chdir(name)
    engine = velm_qor.QOREngine("deep.wal")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        first = engine.capture(None, "p", None, "o", ppp, review)
        # The engine keeps that directory, under whatever name it gets later.
        os.chdir("..")
        os.rename(name, "e" * 250)
        second = engine.capture(None, "p", None, "o", ppp, review)
    with open(os.path.join("e" * 250, "deep.wal"), "rb") as log:
        assert [json.loads(line)["id"] for line in log] == [first.id, second.id]


def test_a_large_line_does_not_stay_in_memory(tmp_path):
    # Bytes the C allocator holds for the program (glibc's mallinfo2), around one capture whose
    # log line is about 48 MiB (every control character is written as six bytes).
    script = textwrap.dedent(
        """
        import ctypes, sys, velm_qor

        class Info(ctypes.Structure):
            _fields_ = [(n, ctypes.c_size_t) for n in
                        "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]

        mallinfo2 = ctypes.CDLL(None).mallinfo2
        mallinfo2.restype = Info

        def in_use():
            info = mallinfo2()
            return info.hblkhd + info.uordblks

        engine = velm_qor.QOREngine(sys.argv[1])
        ppp, review = velm_qor.PPPTriplet("a", "b", "c"), velm_qor.HumanDeltaChain("r", False, "t")
        engine.capture(None, "p", None, "o", ppp, review)
        before = in_use()
        output = "\\x01" * (8 << 20)
        record = engine.capture(None, "p", None, output, ppp, review)
        del record, output
        engine.capture(None, "p", None, "o", ppp, review)
        print(in_use() - before)
        """
    )
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's allocator keeps freed memory in quarantine")
    out = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "big.wal")], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 4 << 20
    assert len((tmp_path / "big.wal").read_bytes()) > 48 << 20


def test_failed_appends_warn_once_per_call_site_unless_asked(tmp_path):
    # What the README promises: Python's default filter shows a warning once per place in the
    # caller's code; "always" shows every failed append.
    (tmp_path / "d.wal").mkdir()
    script = textwrap.dedent(
        f"""
        import velm_qor
        engine = velm_qor.QOREngine({str(tmp_path / "d.wal")!r})
        ppp, review = velm_qor.PPPTriplet("a", "b", "c"), velm_qor.HumanDeltaChain("r", False, "t")
        for _ in range(3):
            engine.capture(None, "p", None, "o", ppp, review)
        engine.capture(None, "p", None, "o", ppp, review)
        """
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONWARNINGS"}
    for options, shown in [([], [6, 7]), (["-W", "always::RuntimeWarning"], [6, 6, 6, 7])]:
        out = subprocess.run(
            [sys.executable, *options, "-c", script], capture_output=True, text=True, timeout=60, env=env
        )
        assert out.returncode == 0, out.stderr
        lines = [line for line in out.stderr.splitlines() if "could not be appended" in line]
        assert [int(line.split(":")[1]) for line in lines] == shown, out.stderr
