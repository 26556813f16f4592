"""File-system faults: a full disk, a size limit, read-only and immutable places, odd key files.

In every case the lines already in the log stay byte for byte, a failed append leaves no partial
line, and appends resume on a line boundary once the fault is gone.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import warnings

import pytest
from nacl.signing import VerifyKey
from test_hostile_input import assert_line_matches, parse_line

import velm_qor
from conftest import GENESIS_HEX, next_root_hex


def verified_lines(data: bytes, public_key_hex: str) -> list:
    """Every line of a log, parsed and verified; chains may have gaps where appends failed."""
    assert data == b"" or data.endswith(b"\n"), "the log ends in a partial line"
    key = VerifyKey(bytes.fromhex(public_key_hex))
    lines = [parse_line(line) for line in data.split(b"\n")[:-1]]
    for parsed in lines:
        key.verify(bytes.fromhex(parsed["hash"]), bytes(parsed["signature"]))
    return lines


class Appender:
    """Captures on one engine and checks, after each, that the log gained one whole line or nothing."""

    def __init__(self, wal, ppp, review):
        self.wal, self.ppp, self.review = wal, ppp, review
        self.engine = velm_qor.QOREngine(str(wal))
        self.root = GENESIS_HEX
        self.kept = []

    def capture(self, size):
        before = self.wal.read_bytes()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            record = self.engine.capture({"size": size}, "p" * size, None, "o", self.ppp, self.review)
        # The record is sealed and chained whether or not the log took it.
        assert record.merkle_root == next_root_hex(self.root, record.hash)
        self.root = record.merkle_root
        after = self.wal.read_bytes()
        if caught:
            assert len(caught) == 1 and caught[0].category is RuntimeWarning
            assert after == before
            return str(caught[0].message)
        assert after.startswith(before)
        (line,) = verified_lines(after[len(before) :], self.engine.public_key_hex())
        assert_line_matches(line, record)
        self.kept.append(record)
        return None

    def assert_log_holds_exactly_the_kept_records(self):
        lines = verified_lines(self.wal.read_bytes(), self.engine.public_key_hex())
        assert len(lines) == len(self.kept)
        for line, record in zip(lines, self.kept):
            assert_line_matches(line, record)


def run_tool(*cmd):
    return subprocess.run(list(cmd), capture_output=True, text=True, timeout=30)


@pytest.fixture
def mounted_tmpfs(tmp_path):
    """Mounts a small tmpfs (needs root) and returns a function to remount it with other options."""
    where = tmp_path / "mnt"
    where.mkdir()
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a tmpfs needs root and mount(8)")
    out = run_tool("mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", str(where))
    if out.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {out.stderr.strip()}")

    def remount(options):
        out = run_tool("mount", "-o", f"remount,{options}", str(where))
        assert out.returncode == 0, out.stderr

    try:
        yield where, remount
    finally:
        if run_tool("umount", str(where)).returncode != 0:
            run_tool("umount", "-l", str(where))


def test_full_disk(mounted_tmpfs, ppp, review):
    where, _ = mounted_tmpfs
    filler = where / "filler"
    filler.write_bytes(b"\xff" * 16384)
    appender = Appender(where / "full.wal", ppp, review)
    messages = []
    for n in range(200):
        message = appender.capture(700 + 53 * n)
        if message is not None:
            messages.append(message)
            if len(messages) == 3:
                break
    assert len(messages) == 3 and len(appender.kept) >= 5
    for message in messages:
        assert str(where / "full.wal") in message and "No space left on device" in message
    assert appender.capture(8000) is not None  # larger than any space left: nothing changes
    full_log = appender.wal.read_bytes()
    # Space comes back: appends resume right after the last whole line.
    filler.unlink()
    for size in (100, 2000, 5000):
        assert appender.capture(size) is None
    assert appender.wal.read_bytes().startswith(full_log)
    appender.assert_log_holds_exactly_the_kept_records()


def test_read_only_mount(mounted_tmpfs, ppp, review, panic_type):
    where, remount = mounted_tmpfs
    appender = Appender(where / "ro.wal", ppp, review)
    for size in (10, 20, 30):
        assert appender.capture(size) is None
    remount("ro")
    for size in (40, 50):
        message = appender.capture(size)
        assert str(where / "ro.wal") in message and "Read-only file system" in message
    # An engine can still start on the existing key; a new key cannot be written.
    again = velm_qor.QOREngine(str(where / "ro.wal"))
    assert again.public_key_hex() == appender.engine.public_key_hex()
    with pytest.raises(panic_type) as info:
        velm_qor.QOREngine(str(where / "new.wal"))
    assert str(info.value) == "Failed to write signing key: Read-only file system (os error 30)"
    remount("rw")
    assert appender.capture(60) is None
    appender.assert_log_holds_exactly_the_kept_records()
    assert len(appender.kept) == 4


@pytest.fixture
def chattr(tmp_path):
    """Sets file attributes with chattr(1), clearing them again afterwards."""
    if shutil.which("chattr") is None:
        pytest.skip("chattr(1) is not installed")
    changed = []

    def apply(path, flags):
        out = run_tool("chattr", flags, str(path))
        if out.returncode != 0:
            pytest.skip(f"cannot set file attributes here: {out.stderr.strip()}")
        changed.append(path)

    yield apply
    for path in changed:
        run_tool("chattr", "-i", str(path))


def test_immutable_log_and_directory(tmp_path, chattr, ppp, review, panic_type):
    logs = tmp_path / "logs"
    logs.mkdir()
    appender = Appender(logs / "i.wal", ppp, review)
    for size in (10, 20):
        assert appender.capture(size) is None
    chattr(logs / "i.wal", "+i")
    message = appender.capture(30)
    assert str(logs / "i.wal") in message and "Operation not permitted" in message
    chattr(logs / "i.wal", "-i")
    # An immutable directory still lets the existing log grow, but no new key can be made in it.
    chattr(logs, "+i")
    assert appender.capture(40) is None
    with pytest.raises(panic_type) as info:
        velm_qor.QOREngine(str(logs / "other.wal"))
    assert str(info.value) == "Failed to write signing key: Operation not permitted (os error 1)"
    chattr(logs, "-i")
    assert sorted(os.listdir(logs)) == ["i.wal", "i.wal.key"]
    appender.assert_log_holds_exactly_the_kept_records()
    assert len(appender.kept) == 3


def test_file_size_limit_keeps_old_lines_and_resumes(tmp_path):
    wal = tmp_path / "limit.wal"
    snapshot = tmp_path / "snapshot"
    script = textwrap.dedent(
        f"""
        import json, resource, signal, warnings, velm_qor
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        wal = {str(wal)!r}
        engine = velm_qor.QOREngine(wal)
        ppp = velm_qor.PPPTriplet("a", "b", "c")
        review = velm_qor.HumanDeltaChain("r", False, "t", "c")
        out = []

        def capture(n):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                r = engine.capture({{"n": n}}, "p" * (400 + 31 * n), None, "o", ppp, review)
            out.append({{"id": r.id, "hash": r.hash, "root": r.merkle_root,
                         "warnings": [str(w.message) for w in caught]}})

        for n in range(5):
            capture(n)
        size = len(open(wal, "rb").read())
        # Below the current size: every append fails, and what is there must stay.
        resource.setrlimit(resource.RLIMIT_FSIZE, (size - 10, resource.RLIM_INFINITY))
        for n in range(5, 8):
            capture(n)
        # Room for a few more lines: they go in until the limit cuts one short.
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + 2500, resource.RLIM_INFINITY))
        for n in range(8, 20):
            capture(n)
        kept = open(wal, "rb").read()
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        open({str(snapshot)!r}, "wb").write(kept)
        for n in range(20, 23):
            capture(n)
        print(json.dumps({{"key": engine.public_key_hex(), "size": size, "records": out}}))
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    records = result["records"]
    root = GENESIS_HEX
    for r in records:
        assert r["root"] == next_root_hex(root, r["hash"])
        root = r["root"]
    warned = [n for n, r in enumerate(records) if r["warnings"]]
    for n in warned:
        (message,) = records[n]["warnings"]
        assert str(wal) in message and "File too large" in message
    assert warned[:3] == [5, 6, 7]
    assert 9 <= warned[3] and warned[-1] < 20  # some fitted under the raised limit, some did not
    assert not any(records[n]["warnings"] for n in range(20, 23))

    data, kept = wal.read_bytes(), snapshot.read_bytes()
    assert data.startswith(kept) and kept.endswith(b"\n")
    assert result["size"] < len(kept) <= result["size"] + 2500
    lines = verified_lines(data, result["key"])
    expected = [r for r in records if not r["warnings"]]
    assert [(x["id"], x["hash"], x["merkle_root"]) for x in lines] == [
        (r["id"], r["hash"], r["root"]) for r in expected
    ]


def test_odd_key_files_fail_fast_and_spare_the_log(tmp_path):
    old_log = b'{"earlier":"line"}\n'
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    (tmp_path / "a-dir").mkdir()
    cases = {
        "fifo-link": (fifo, "Failed to read signing key: not a regular file"),
        "dev-zero": ("/dev/zero", "Failed to read signing key: not a regular file"),
        "dangling": (tmp_path / "nowhere", "Failed to read signing key: No such file or directory (os error 2)"),
        "dir-link": (tmp_path / "a-dir", "Failed to read signing key: Is a directory (os error 21)"),
    }
    for name, (target, _) in cases.items():
        (tmp_path / f"{name}.wal").write_bytes(old_log)
        os.symlink(target, tmp_path / f"{name}.wal.key")
    # A sparse key of a terabyte: only its first bytes may be read.
    (tmp_path / "huge.wal").write_bytes(old_log)
    try:
        with open(tmp_path / "huge.wal.key", "wb") as key:
            key.truncate(2**40)
    except OSError as exc:
        pytest.skip(f"this file system cannot hold a sparse terabyte file: {exc}")
    cases["huge"] = (None, "Invalid key length: found 1099511627776 bytes, expected 32")

    script = textwrap.dedent(
        f"""
        import json, sys, time, velm_qor
        results = {{}}
        for name in sys.argv[1:]:
            start = time.monotonic()
            try:
                velm_qor.QOREngine({str(tmp_path)!r} + "/" + name + ".wal")
                results[name] = ["constructed", 0]
            except BaseException as exc:
                results[name] = [type(exc).__name__ + ": " + str(exc), time.monotonic() - start]
        print(json.dumps(results))
        """
    )
    run = subprocess.run([sys.executable, "-c", script, *cases], capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    results = json.loads(run.stdout)
    for name, (_, message) in cases.items():
        text, seconds = results[name]
        assert text == "PanicException: " + message, name
        assert seconds < 5, name
        assert (tmp_path / f"{name}.wal").read_bytes() == old_log
    # Nothing was written through the links, and no temporary key file was left behind.
    assert fifo.exists() and not (tmp_path / "nowhere").exists()
    assert not [n for n in os.listdir(tmp_path) if ".tmp-" in n]
    assert os.listdir(tmp_path / "a-dir") == []


def test_log_path_links_to_a_directory_or_a_full_device(tmp_path, ppp, review):
    target = tmp_path / "target-dir"
    target.mkdir()
    os.symlink(target, tmp_path / "dir.wal")
    os.symlink("/dev/full", tmp_path / "full.wal")
    for name, reason in [("dir.wal", "Is a directory"), ("full.wal", "No space left on device")]:
        engine = velm_qor.QOREngine(str(tmp_path / name))
        root = GENESIS_HEX
        for _ in range(2):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                record = engine.capture(None, "p", None, "o", ppp, review)
            assert record.merkle_root == next_root_hex(root, record.hash)
            root = record.merkle_root
            (w,) = caught
            assert str(tmp_path / name) in str(w.message) and reason in str(w.message)
    assert os.listdir(target) == []


def test_fifo_log_path_without_reader_does_not_block(tmp_path):
    os.mkfifo(tmp_path / "pipe.wal")
    code = textwrap.dedent(
        f"""
        import warnings, velm_qor
        engine = velm_qor.QOREngine({str(tmp_path / "pipe.wal")!r})
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            engine.capture(None, "p", None, "o", velm_qor.PPPTriplet("a", "b", "c"),
                           velm_qor.HumanDeltaChain("r", False, "t"))
        print(*[str(w.message) for w in caught], sep="\\n")
        """
    )
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=10)
    except subprocess.TimeoutExpired:
        pytest.fail("the engine blocked on a FIFO with no reader")
    assert out.returncode == 0, out.stderr
    (message,) = out.stdout.splitlines()
    assert str(tmp_path / "pipe.wal") in message and "No such device or address" in message


def test_append_warning_raised_as_error_changes_nothing(tmp_path, ppp, review):
    (tmp_path / "d.wal").mkdir()  # every append fails
    engine, twin = velm_qor.QOREngine(str(tmp_path / "d.wal")), velm_qor.QOREngine(":memory:")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        first = engine.capture(None, "p", None, "o", ppp, review)
        twin.capture(None, "p", None, "o", ppp, review)
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="could not be appended"):
            engine.capture(None, "pp" * 40, None, "o", ppp, review)
        warnings.simplefilter("ignore")
        after = engine.capture(None, "ppp", None, "o", ppp, review)
        want = twin.capture(None, "ppp", None, "o", ppp, review)
    assert (after.coherence_score, after.reputation_scalar) == (want.coherence_score, want.reputation_scalar)
    assert after.merkle_root == next_root_hex(first.merkle_root, after.hash)
