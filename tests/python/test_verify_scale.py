"""Verification at scale: lines checked on several threads, rotated logs read as one, and the
verifier driven from Python (velm_qor_verify), compared with the command's own output."""

import io
import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from test_verify import CASES, VERIFY, capture_many

import velm_qor
import velm_qor_verify

PPP = velm_qor.PPPTriplet("p", "q", "r")
REVIEW = velm_qor.HumanDeltaChain("r", False, "t", "c")


def cli(*args):
    proc = subprocess.run([VERIFY, *map(str, args)], capture_output=True, timeout=300)
    assert proc.returncode in (0, 1), proc.stderr
    return proc.stdout


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    """Every damaged log of the tamper cases, a torn one, and a log of thousands of chains."""
    folder = tmp_path_factory.mktemp("scale")
    engine = velm_qor.QOREngine(str(folder / "base.wal"))
    capture_many(engine, 8)
    other = velm_qor.QOREngine(str(folder / "other.wal"))
    capture_many(other, 4)
    lines = (folder / "base.wal").read_bytes().splitlines()
    others = (folder / "other.wal").read_bytes().splitlines()
    paths = []
    for n, (make, _) in enumerate(CASES.values()):
        paths.append(folder / f"case{n}.wal")
        paths[-1].write_bytes(b"".join(l + b"\n" for l in make(lines, others)))
    paths.append(folder / "torn.wal")
    paths[-1].write_bytes(b"".join(l + b"\n" for l in lines[:7]) + lines[7][:100])
    # 3,000 engines of one record each, then 200 engines taking turns (more than the 128 chains
    # followed at a time), with one line changed among them.
    many = folder / "many.wal"
    (folder / "many.wal.key").write_bytes((folder / "base.wal.key").read_bytes())  # one key for all
    for i in range(3000):
        velm_qor.QOREngine(str(many)).capture(None, f"p{i}", None, "o" * (i % 5), PPP, REVIEW)
    engines = [velm_qor.QOREngine(str(many)) for _ in range(200)]
    for round_ in range(3):
        for i, e in enumerate(engines):
            e.capture(None, f"q{i}" * (round_ + 1), None, "o", PPP, REVIEW)
    text = many.read_bytes().splitlines()
    text[3300] = text[3300].replace(b'"prompt":"q', b'"prompt":"Q', 1)
    many.write_bytes(b"".join(l + b"\n" for l in text))
    paths.append(many)
    return paths, engine.public_key_hex()


def test_every_thread_count_gives_the_report_of_one(logs):
    paths, key = logs
    outputs = {}
    for form in (["--json"], []):
        outputs[len(form)] = one = cli(*paths, "--public-key", key, "--jobs", "1", *form)
        for jobs in ("2", "5"):
            assert cli(*paths, "--public-key", key, f"--jobs={jobs}", *form) == one, (jobs, form)
    report = json.loads(outputs[1])
    many = report["logs"][-1]
    # 200 engines taking turns are more than the chains followed at once: each of their later
    # records begins a chain after a break.
    assert (many["lines"], len(many["chains"])) == (3600, 3600)
    assert many["failure_counts"] == {"hash mismatch": 1, "chain break": 400}
    assert all(not log["ok"] for log in report["logs"])


def capture_while_rotated(folder, records=240):
    """A writer process captures while this process rotates its log twice by renaming it; the
    writer waits at a third and at two thirds of its records until the rename is done."""
    wal = folder / "audit.wal"
    key = velm_qor.QOREngine(str(wal)).public_key_hex()
    third = records // 3
    writer = textwrap.dedent(f"""
        import os, time, velm_qor
        engine = velm_qor.QOREngine({str(wal)!r})
        ppp = velm_qor.PPPTriplet("p", "q", "r")
        review = velm_qor.HumanDeltaChain("r", False, "t", "c")
        for n in range({records}):
            if n in ({third}, {2 * third}):
                while os.path.exists({str(wal)!r}):
                    time.sleep(0.001)
            engine.capture({{"n": n}}, "x" * (100 + n), None, "y" * (n % 9), ppp, review)
        """)
    proc = subprocess.Popen([sys.executable, "-c", writer])
    try:
        for rotation in (1, 2):
            deadline = time.monotonic() + 120
            while not (wal.exists() and wal.read_bytes().count(b"\n") >= third) and time.monotonic() < deadline:
                time.sleep(0.002)
            if rotation == 2:
                os.rename(folder / "audit.wal.1", folder / "audit.wal.2")
            os.rename(wal, folder / "audit.wal.1")
    finally:
        assert proc.wait(timeout=300) == 0
    pieces = [folder / "audit.wal.2", folder / "audit.wal.1", wal]
    assert [p.read_bytes().count(b"\n") for p in pieces] == [third, third, records - 2 * third]
    return pieces, key


def test_a_log_rotated_while_written_verifies_as_one_series(tmp_path):
    pieces, key = capture_while_rotated(tmp_path)
    counts = [p.read_bytes().count(b"\n") for p in pieces]
    report = json.loads(cli(*pieces, "--public-key", key, "--series", "--json"))
    assert report["ok"] is True
    log = report["logs"][0]
    assert (log["path"], log["lines"], log["records"], len(log["chains"])) == (str(pieces[-1]), 240, 240, 1)
    assert log["chains"][0]["scores_checked"] == 240
    assert [(p["path"], p["first_line"], p["lines"]) for p in log["pieces"]] == [
        (str(p), 1 + sum(counts[:i]), counts[i]) for i, p in enumerate(pieces)
    ]
    # Without --series each later piece begins with a chain break.
    apart = json.loads(cli(*pieces, "--public-key", key, "--json"))
    assert [[(f["line"], f["kind"]) for f in log["failures"]] for log in apart["logs"]] == [
        [],
        [(1, "chain break")],
        [(1, "chain break")],
    ]

    # A line deleted from the middle piece: the failure names that file and the line within it.
    middle = pieces[1].read_bytes().splitlines(keepends=True)
    pieces[1].write_bytes(b"".join(middle[:4] + middle[5:]))
    report = json.loads(cli(*pieces, "--public-key", key, "--series", "--json"))
    assert [(f["file"], f["line"], f["kind"], f["log_line"]) for f in report["logs"][0]["failures"]] == [
        (str(pieces[1]), 5, "chain break", counts[0] + 5)
    ]
    # A piece cut inside its last line: torn, and the next record of the chain breaks.
    pieces[1].write_bytes(b"".join(middle)[:-40])
    report = json.loads(cli(*pieces, "--public-key", key, "--series", "--json"))
    assert [(f["file"], f["line"], f["kind"]) for f in report["logs"][0]["failures"]] == [
        (str(pieces[1]), counts[1], "torn line"),
        (str(pieces[2]), 1, "chain break"),
    ]
    text = cli(*pieces, "--public-key", key, "--series").decode()
    assert f"line {counts[1]} of {pieces[1]} (line {counts[0] + counts[1]} of the series): torn line" in text


def test_python_report_is_the_commands_json(logs, tmp_path):
    paths, key = logs
    pieces, rotated_key = capture_while_rotated(tmp_path, records=90)
    head = json.loads(cli(paths[0], "--public-key", key, "--json"))["logs"][0]["chains"][0]["head"]
    cases = [  # verify() arguments, the command's arguments
        (([paths[0]], key, {}), [paths[0], "--public-key", key]),
        ((paths, key, {"jobs": 2}), [*paths, "--public-key", key]),
        (
            (str(paths[-1]), key, {"expect_heads": [head, "ab" * 32], "jobs": 1}),
            [paths[-1], "--public-key", key, "--expect-head", head, "--expect-head", "ab" * 32],
        ),
        ((pieces, rotated_key, {"series": True}), [*pieces, "--public-key", rotated_key, "--series"]),
    ]
    for (logs_arg, k, kwargs), args in cases:
        expected = cli(*args, "--json").decode()
        assert velm_qor_verify.verify(logs_arg, k, **kwargs).to_json() == expected, args
    # Binary file objects read through read(): named by their name, like the paths they came from.
    handles = [open(p, "rb") for p in paths]
    try:
        report = velm_qor_verify.verify(handles, key)
    finally:
        for h in handles:
            h.close()
    assert report.to_json() == cli(*paths, "--public-key", key, "--json").decode()
    anonymous = velm_qor_verify.verify(io.BytesIO(paths[-1].read_bytes()), key)
    assert anonymous.logs[0].path == "<file object>"
    assert json.loads(anonymous.to_json())["logs"][0]["chains"] == json.loads(report.to_json())["logs"][-1]["chains"]
    # The objects hold what the JSON holds.
    d = json.loads(report.to_json())
    assert (report.ok, report.lines, report.records) == (
        False,
        sum(log["lines"] for log in d["logs"]),
        sum(log["records"] for log in d["logs"]),
    )
    assert [
        (c.first_line, c.last_line, c.records, c.head, c.from_genesis, c.scores_checked) for c in report.chains
    ] == [
        (c["first_line"], c["last_line"], c["records"], c["head"], c["start"] == "genesis", c["scores_checked"])
        for log in d["logs"]
        for c in log["chains"]
    ]
    assert [(f.file, f.line, f.kind, f.detail) for f in report.failures] == [
        (f["file"], f["line"], f["kind"], f["detail"]) for log in d["logs"] for f in log["failures"]
    ]


class Failing(io.RawIOBase):
    def readable(self):
        return True

    def read(self, n=-1):
        raise PermissionError("no access")


def test_usage_errors_and_unreadable_logs(logs, tmp_path):
    paths, key = logs
    text_file = open(paths[0], encoding="utf-8")
    cases = [  # logs, key, keyword arguments, exception, words of its message
        (5, key, {}, TypeError, "not 'int'"),
        ([paths[0], 5], key, {}, TypeError, "'int'"),
        (paths[0], 5, {}, TypeError, "public_key"),
        (paths[0], "zz" * 32, {}, ValueError, "64 hex digits"),
        (paths[0], "ff" * 32, {}, ValueError, "not a valid Ed25519"),
        (paths[0], key, {"expect_heads": ["abc"]}, ValueError, "64 hex digits"),
        (paths[0], key, {"expect_heads": "ab" * 32}, TypeError, "expect_heads"),
        (paths[0], key, {"jobs": 0}, ValueError, "jobs"),
        (paths[0], key, {"jobs": "2"}, TypeError, "jobs"),
        (paths[0], key, {"jobs": True}, TypeError, "jobs"),
        (paths[0], key, {"series": 1}, TypeError, "series"),
        ([], key, {}, ValueError, "no log"),
        (text_file, key, {}, TypeError, "binary mode"),
        (tmp_path / "missing.wal", key, {}, FileNotFoundError, "missing.wal"),
        (tmp_path, key, {}, IsADirectoryError, str(tmp_path)),
        (Failing(), key, {}, PermissionError, "no access"),
    ]
    try:
        for logs_arg, k, kwargs, error, words in cases:
            with pytest.raises(error) as info:
                velm_qor_verify.verify(logs_arg, k, **kwargs)
            assert words in str(info.value), (logs_arg, kwargs, info.value)
    finally:
        text_file.close()


def test_the_interpreter_runs_on_while_lines_are_checked(logs):
    paths, key = logs
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    start = time.perf_counter()
    try:
        velm_qor_verify.verify([paths[-1]] * 3, key, jobs=1)
    finally:
        elapsed = time.perf_counter() - start
        done.set()
        counter.join()
    # Holding the lock, the verifier would leave the counter one tick per switch interval at best.
    during = [t for t in ticks if start <= t <= start + elapsed]
    assert elapsed > 0.05 and len(during) > elapsed / 0.005 / 2, (elapsed, len(during))


def test_stubs_match_the_package(tmp_path):
    out = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "velm_qor_verify"],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stdout + out.stderr


# Run from a small interpreter of its own: a child's peak RSS counts the memory of the process it
# was forked from (before exec), and this one may have grown large by now.
PEAK_RSS = (
    "import resource, subprocess, sys\n"
    "rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode\n"
    "print(rc, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
)


def peak_rss_mb(*args, cwd=None):
    out = subprocess.run([sys.executable, "-c", PEAK_RSS, VERIFY, *map(str, args)], capture_output=True, cwd=cwd)
    rc, kib = out.stdout.split()
    return int(rc), int(kib) / 1024


def test_failures_in_many_one_record_chains_do_not_bloat_the_heap(tmp_path):
    # 10,000 engines of one record each. Freeing and re-allocating a scorer state per chain between
    # the failures' texts once fragmented the heap to over a gigabyte with the wrong key; a state
    # reused in place keeps the peak near that of a clean run (tens of MB; the benchmark prints it).
    # The log is named by a short relative name, as the fragmentation showed with it.
    wal = tmp_path / "s.wal"
    for i in range(10_000):
        velm_qor.QOREngine(str(wal)).capture(None, f"p{i}", None, "o", PPP, REVIEW)
    key = velm_qor.QOREngine(str(wal)).public_key_hex()
    wrong = velm_qor.QOREngine(":memory:").public_key_hex()
    for k, status in ((key, 0), (wrong, 1)):
        rc, peak = peak_rss_mb(wal.name, "--public-key", k, "--jobs", "1", cwd=tmp_path)
        assert rc == status and peak < 200, (k, peak)
