"""velm-qor-verify on logs written by the real module, clean and damaged in known places."""

import json
import os
import pty
import re
import struct
import subprocess
import sys
import textwrap
import unicodedata
from datetime import datetime

import pytest
from nacl.signing import VerifyKey

import velm_qor
from conftest import GENESIS_HEX, next_root_hex, run_writer_processes
from conftest import RECORD_KEYS as KEYS

VERIFY = os.path.join(os.path.dirname(sys.executable), "velm-qor-verify")
SEALED = [
    "hash",
    "signature",
    "merkle_root",
    "coherence_score",
    "reputation_scalar",
    "ppp_json",
    "prompt",
    "core_insight_json",
]
PPP = ("prov-A", "place-B", "purpose-C")


@pytest.fixture(scope="module", autouse=True)
def installed():
    assert os.access(VERIFY, os.X_OK), f"{VERIFY} is missing: install the package with pip install ."


def capture_many(engine, n, tag="", start=0):
    ppp = velm_qor.PPPTriplet(*PPP)
    review = velm_qor.HumanDeltaChain("ref", False, "node", "chain")
    for i in range(start, start + n):
        engine.capture(
            {"i": i},
            f"prompt-{tag}{i} é" * (1 + i % 3),
            ["step", i],
            "output ✓\n" * (i % 4),
            ppp,
            review,
            auto_insight=i % 3 != 1,
        )


def run(paths, key, *extra, as_json=True):
    cmd = [VERIFY, *map(str, paths), "--public-key", key, *extra] + (["--json"] if as_json else [])
    proc = subprocess.run(cmd, capture_output=True, timeout=300)
    assert proc.returncode in (0, 1), proc.stderr
    assert proc.stderr == b""
    return proc.returncode, (json.loads(proc.stdout) if as_json else proc.stdout.decode())


def failures(report, log=0):
    return {(f["line"], f["kind"]) for f in report["logs"][log]["failures"]}


def oracle_chains(data: bytes, key: str):
    """Heads and record counts per chain, and a signature check, from blake3 and nacl alone."""
    verify_key = VerifyKey(bytes.fromhex(key))
    chains = []
    for line in data.splitlines():
        rec = json.loads(line)
        verify_key.verify(bytes.fromhex(rec["hash"]), bytes(rec["signature"]))
        for chain in chains:
            if next_root_hex(chain[0], rec["hash"]) == rec["merkle_root"]:
                chain[0], chain[1] = rec["merkle_root"], chain[1] + 1
                break
        else:
            assert next_root_hex(GENESIS_HEX, rec["hash"]) == rec["merkle_root"]
            chains.append([rec["merkle_root"], 1])
    return [tuple(c) for c in chains]


def test_clean_logs_verify(tmp_path):
    single = tmp_path / "single.wal"
    engine = velm_qor.QOREngine(str(single))
    capture_many(engine, 40)
    key = engine.public_key_hex()
    rc, report = run([single], key)
    assert rc == 0 and report["ok"] is True
    log = report["logs"][0]
    assert (log["lines"], log["records"], log["failures"]) == (40, 40, [])
    assert [(c["head"], c["records"]) for c in log["chains"]] == oracle_chains(single.read_bytes(), key)
    assert log["chains"][0]["scores_checked"] == 40 and log["chains"][0]["start"] == "genesis"

    # A second engine on the same log starts a chain of its own; the first one goes on after it.
    shared = tmp_path / "shared.wal"
    first = velm_qor.QOREngine(str(shared))
    capture_many(first, 5, "a")
    second = velm_qor.QOREngine(str(shared))
    capture_many(second, 4, "b")
    capture_many(first, 3, "a", start=5)
    key = first.public_key_hex()
    expected = oracle_chains(shared.read_bytes(), key)
    assert [n for _, n in expected] == [8, 4]
    rc, report = run([shared], key)
    assert rc == 0
    assert [(c["head"], c["records"], c["scores_checked"]) for c in report["logs"][0]["chains"]] == [
        (h, n, n) for h, n in expected
    ]

    rc, text = run([shared], key, as_json=False)
    assert rc == 0 and text.endswith("OK\n")
    for head, n in expected:
        assert f"head {head} (line" in text and f"{n} records)" in text
    heads = [arg for head, _ in expected for arg in ("--expect-head", head.upper())]
    assert run([shared], key, *heads)[0] == 0

    empty = tmp_path / "empty.wal"
    empty.write_bytes(b"")
    rc, report = run([empty], key)
    assert rc == 0 and report["logs"][0]["lines"] == 0


def test_log_written_by_several_processes(tmp_path):
    wal = tmp_path / "procs.wal"
    key = velm_qor.QOREngine(str(wal)).public_key_hex()
    run_writer_processes(wal, 4, 250, 'f"{proc}:" + "x" * (n % 50)', '"y" * (n % 7)', "n % 2 == 0", timeout=300)
    expected = oracle_chains(wal.read_bytes(), key)
    assert sorted(n for _, n in expected) == [250] * 4
    rc, report = run([wal], key)
    assert rc == 0, report["logs"][0]["failures"][:5]
    chains = report["logs"][0]["chains"]
    assert [(c["head"], c["records"]) for c in chains] == expected
    assert all(c["scores_checked"] == 250 for c in chains)


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    """Eight records of one engine, and a line of another engine's log."""
    folder = tmp_path_factory.mktemp("base")
    engine = velm_qor.QOREngine(str(folder / "base.wal"))
    capture_many(engine, 8)
    other = velm_qor.QOREngine(str(folder / "other.wal"))
    capture_many(other, 4)
    lines = (folder / "base.wal").read_bytes().splitlines()
    assert all(0.0001 <= json.loads(l)["coherence_score"] <= 1 for l in lines)
    return lines, (folder / "other.wal").read_bytes().splitlines(), engine.public_key_hex()


def flip_in_value(line: bytes, key: str, offset: int = 0, bit: int = 0) -> bytes:
    """Flips one bit of the byte `offset` bytes into the JSON value of `key`, past its quote."""
    at = line.index(f'"{key}":'.encode()) + len(key) + 3
    if line[at : at + 1] == b'"':
        at += 1
    at += offset
    return line[:at] + bytes([line[at] ^ (1 << bit)]) + line[at + 1 :]


def flip_hex_digit(line: bytes, key: str) -> bytes:
    """Changes one hex digit of a hex value into another hex digit (bit 0 flipped)."""
    value = json.loads(line)[key]
    offset = next(i for i, c in enumerate(value) if c in "0123456789bcde")
    return flip_in_value(line, key, offset)


def set_float(line: bytes, key: str, change) -> bytes:
    rec = json.loads(line)
    old = rec[key]
    new = change(old)
    assert new != old and 1e-4 <= new < 1e16  # repr keeps the log's positional form here
    return line.replace(f'"{key}":{old!r}'.encode(), f'"{key}":{new!r}'.encode(), 1)


def flip_low_bit(x: float) -> float:
    return struct.unpack("<d", struct.pack("<q", struct.unpack("<q", struct.pack("<d", x))[0] ^ 1))[0]


def replace_value(line: bytes, key: str, value) -> bytes:
    rec = json.loads(line)
    old = json.dumps(rec[key], ensure_ascii=False).encode()
    new = json.dumps(value, ensure_ascii=False).encode()
    return line.replace(f'"{key}":'.encode() + old, f'"{key}":'.encode() + new, 1)


def signature_flip(line: bytes) -> bytes:
    sig = json.loads(line)["signature"]
    old = ("[" + ",".join(map(str, sig)) + "]").encode()
    sig[10] ^= 1
    return line.replace(old, ("[" + ",".join(map(str, sig)) + "]").encode(), 1)


def at(lines, index, new):
    return lines[:index] + [new] + lines[index + 1 :]


# Each case: the damaged log from (lines, other engine's lines), and the failures expected.
CASES = {
    "prompt bit": (lambda l, o: at(l, 4, flip_in_value(l[4], "prompt")), {(5, "hash mismatch")}),
    "provenance bit": (lambda l, o: at(l, 4, l[4].replace(b"prov-A", b"prov-@", 1)), {(5, "hash mismatch")}),
    "place bit": (lambda l, o: at(l, 4, l[4].replace(b"place-B", b"place-C", 1)), {(5, "hash mismatch")}),
    "purpose bit": (lambda l, o: at(l, 4, l[4].replace(b"purpose-C", b"purpose-B", 1)), {(5, "hash mismatch")}),
    "coherence bit": (
        lambda l, o: at(l, 4, set_float(l[4], "coherence_score", flip_low_bit)),
        {(5, "hash mismatch"), (5, "score mismatch")},
    ),
    "reputation bit": (
        lambda l, o: at(l, 4, set_float(l[4], "reputation_scalar", flip_low_bit)),
        {(5, "hash mismatch"), (5, "score mismatch")},
    ),
    "hash bit": (lambda l, o: at(l, 4, flip_hex_digit(l[4], "hash")), {(5, "hash mismatch"), (5, "bad signature")}),
    "signature bit": (lambda l, o: at(l, 4, signature_flip(l[4])), {(5, "bad signature")}),
    "merkle_root bit": (lambda l, o: at(l, 4, flip_hex_digit(l[4], "merkle_root")), {(5, "chain break")}),
    "edited prompt": (
        lambda l, o: at(l, 4, replace_value(l[4], "prompt", "a different question")),
        {(5, "hash mismatch"), (5, "score mismatch")},
    ),
    "changed score": (
        lambda l, o: at(l, 4, set_float(l[4], "reputation_scalar", lambda r: 0.75)),
        {(5, "hash mismatch"), (5, "score mismatch")},
    ),
    "longer output": (
        lambda l, o: at(l, 4, replace_value(l[4], "output", json.loads(l[4])["output"] + "!")),
        {(5, "score mismatch")},
    ),
    "deleted line": (lambda l, o: l[:4] + l[5:], {(5, "chain break")}),
    "duplicated line": (lambda l, o: l[:5] + l[4:], {(6, "chain break")}),
    "first line repeated": (lambda l, o: l + [l[0]], {(9, "chain break")}),
    "reordered lines": (lambda l, o: l[:4] + [l[5], l[4]] + l[6:], {(5, "chain break")}),
    "foreign line": (lambda l, o: l[:5] + [o[2]] + l[5:], {(6, "chain break"), (6, "bad signature")}),
    "foreign first line": (lambda l, o: l[:5] + [o[0]] + l[5:], {(6, "bad signature")}),
    "bad timestamp": (
        lambda l, o: at(l, 4, re.sub(rb'"timestamp":"\d{4}-\d\d-\d\d', b'"timestamp":"2023-02-29', l[4])),
        {(5, "bad form")},
    ),
}


@pytest.mark.parametrize("name", list(CASES))
def test_damage_is_reported_where_it_is(tmp_path, base, name):
    lines, other, key = base
    make, expected = CASES[name]
    damaged = make(lines, other)
    assert damaged != lines
    wal = tmp_path / "damaged.wal"
    wal.write_bytes(b"".join(l + b"\n" for l in damaged))
    rc, report = run([wal], key)
    assert rc == 1 and report["ok"] is False
    assert failures(report) == expected
    counts = report["logs"][0]["failure_counts"]
    assert sum(counts.values()) == len(expected)


def test_torn_lines_and_wrong_key(tmp_path, base):
    lines, other, key = base
    wal = tmp_path / "torn.wal"
    for tail in (lines[7], lines[7][:100]):
        wal.write_bytes(b"".join(l + b"\n" for l in lines[:7]) + tail)
        rc, report = run([wal], key)
        assert rc == 1 and failures(report) == {(8, "torn line")}
    wal.write_bytes(b"".join(l + b"\n" for l in lines))
    other_key = velm_qor.QOREngine(":memory:").public_key_hex()
    rc, report = run([wal], other_key)
    assert rc == 1 and failures(report) == {(n, "bad signature") for n in range(1, 9)}
    rc, text = run([wal], other_key, as_json=False)
    assert "line 3: bad signature:" in text and text.endswith("FAILED\n")


def test_cut_off_records_show_only_against_a_recorded_head(tmp_path, base):
    lines, _, key = base
    wal = tmp_path / "cut.wal"
    wal.write_bytes(b"".join(l + b"\n" for l in lines))
    rc, report = run([wal], key)
    head = report["logs"][0]["chains"][0]["head"]
    assert rc == 0 and head == json.loads(lines[7])["merkle_root"]
    root_7 = json.loads(lines[6])["merkle_root"]

    wal.write_bytes(b"".join(l + b"\n" for l in lines[:5]))  # three records cut off at a line end
    assert run([wal], key)[0] == 0  # nothing in the log itself shows it
    rc, report = run([wal], key, "--expect-head", head, f"--expect-head={root_7}")
    assert rc == 1 and report["ok"] is False
    assert [h["found"] for h in report["expected_heads"]] == [False, False]
    assert [f["kind"] for f in report["failures"]] == ["missing head", "missing head"]
    assert report["logs"][0]["ok"] is True

    root_4 = json.loads(lines[3])["merkle_root"]
    rc, report = run([wal], key, "--expect-head", root_4)
    assert rc == 0 and report["expected_heads"] == [{"root": root_4, "found": True, "path": str(wal), "line": 4}]


def line_still_valid(variant: bytes, original: dict, float_tokens: dict) -> bool:
    """Whether a changed line passes every check by design: it is still a line the engine could
    have written, and only unsealed fields differ."""
    if not variant.endswith(b"\n") or variant.count(b"\n") != 1:
        return False
    try:
        pairs = json.loads(variant[:-1].decode("utf-8"), object_pairs_hook=list)
    except (UnicodeDecodeError, ValueError):
        return False
    if not isinstance(pairs, list) or [k for k, _ in pairs] != KEYS:
        return False
    rec = dict(pairs)
    for k in SEALED:
        if isinstance(original[k], float):
            if not isinstance(rec[k], float) or struct.pack("<d", rec[k]) != struct.pack("<d", original[k]):
                return False
        elif rec[k] != original[k] or type(rec[k]) is not type(original[k]):
            return False
    try:
        if len(rec["output"].encode()) != len(original["output"].encode()):
            return False  # the output's length is scored
    except (AttributeError, UnicodeEncodeError):
        return False
    if not re.fullmatch(r"qor_[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", str(rec["id"])):
        return False
    m = re.fullmatch(
        r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d{3}|\d{6}|\d{9}))?\+00:00", str(rec["timestamp"])
    )
    if not m or int(m[1]) < 1970:
        return False
    try:
        datetime(*map(int, m.groups()[:6]))
    except ValueError:
        return False
    if m[7] is not None and (int(m[7]) == 0 or (len(m[7]) > 3 and m[7].endswith("000"))):
        return False
    nanos = rec["monotonic_nanos"]
    if type(nanos) is not int or not 0 <= nanos < 2**64:
        return False
    for k in ("ctx_json", "reasoning_trace_json", "human_delta_chain_json"):
        if not isinstance(rec[k], str):
            return False
    try:
        review = json.loads(rec["human_delta_chain_json"], object_pairs_hook=list)
        if [k for k, _ in review] != ["chain_id", "agent_decision_ref", "resolved", "terminal_node"]:
            return False
        review = dict(review)
        if not all(
            isinstance(review[k], str) for k in ("chain_id", "agent_decision_ref", "terminal_node")
        ) or not isinstance(review["resolved"], bool):
            return False
        if json.dumps(review, ensure_ascii=False, separators=(",", ":")) != rec["human_delta_chain_json"]:
            return False
    except (ValueError, TypeError):
        return False

    # Byte for byte as the engine writes it: compact, escapes as json.dumps makes them.
    def token(k, v):
        if k in float_tokens:
            return float_tokens[k]
        if v is None:
            return "null"
        if k in ("monotonic_nanos",):
            return str(v)
        if k == "signature":
            return "[" + ",".join(map(str, v)) + "]"
        return json.dumps(v, ensure_ascii=False)

    rebuilt = "{" + ",".join(f'"{k}":{token(k, rec[k])}' for k in KEYS) + "}\n"
    try:
        return rebuilt.encode() == variant
    except UnicodeEncodeError:
        return False


def test_every_bit_of_a_line(tmp_path):
    wal = tmp_path / "one.wal"
    engine = velm_qor.QOREngine(str(wal))
    engine.capture(
        {"k": [1, "v"]},
        "Approve? ü",
        ["looked"],
        "Yes, ✓.",
        velm_qor.PPPTriplet("m:v1", "eu", "limit"),
        velm_qor.HumanDeltaChain("d-1", True, "desk", "c-1"),
    )
    line = wal.read_bytes()
    original = json.loads(line)
    assert original["core_insight_json"] is not None
    float_tokens = {
        k: re.search(rf'"{k}":([^,]+),'.encode(), line)[1].decode() for k in ("coherence_score", "reputation_scalar")
    }
    assert line_still_valid(line, original, float_tokens)

    variants = []
    for i in range(len(line)):
        for bit in range(8):
            variants.append(line[:i] + bytes([line[i] ^ (1 << bit)]) + line[i + 1 :])
    paths = []
    for n, v in enumerate(variants):
        path = tmp_path / f"v{n}.wal"
        path.write_bytes(v)
        paths.append(path)
    # Many one-line logs per run: each log is verified on its own and reported in order.
    verdicts = []
    for start in range(0, len(paths), 1000):
        rc, report = run(paths[start : start + 1000], engine.public_key_hex())
        assert len(report["logs"]) == len(paths[start : start + 1000])
        assert rc == (0 if report["ok"] else 1)
        verdicts += [log["ok"] for log in report["logs"]]
    expected = [line_still_valid(v, original, float_tokens) for v in variants]
    wrong = [
        (n // 8, n % 8, variants[n][n // 8 : n // 8 + 1]) for n in range(len(variants)) if verdicts[n] != expected[n]
    ]
    assert wrong == []
    # Only unsealed values can change unnoticed, and only into another well-formed value.
    assert 0 < sum(expected) < len(variants) // 4


def test_json_report_shape(tmp_path, base):
    lines, _, key = base
    wal = tmp_path / "shape.wal"
    wal.write_bytes(b"".join(l + b"\n" for l in lines[:4] + lines[5:]))
    proc = subprocess.run([VERIFY, str(wal), "--json", "--public-key", key], capture_output=True, timeout=60)
    report = json.loads(proc.stdout)
    assert proc.returncode == 1
    assert list(report) == [
        "format",
        "ok",
        "public_key",
        "scores_replayed",
        "replay_note",
        "logs",
        "expected_heads",
        "failures",
    ]
    assert (report["format"], report["scores_replayed"], report["replay_note"]) == (1, True, "")
    log = report["logs"][0]
    assert (log["path"], log["readable"], log["error"], log["ok"], log["lines"], log["records"]) == (
        str(wal),
        True,
        None,
        False,
        7,
        7,
    )
    assert log["bytes"] == wal.stat().st_size
    assert log["failures"][0]["file"] == str(wal)
    assert [
        (c["first_line"], c["last_line"], c["records"], c["start"], c["scores_checked"]) for c in log["chains"]
    ] == [(1, 4, 4, "genesis", 4), (5, 7, 3, "after break", 0)]
    assert log["chains"][1]["scores_note"] != ""
    assert log["failure_counts"] == {"chain break": 1} and log["failures_omitted"] == 0
    assert log["failures"][0]["line"] == 5 and log["failures"][0]["detail"]


def test_usage_and_io_errors(tmp_path, base):
    lines, _, key = base
    wal = tmp_path / "u.wal"
    wal.write_bytes(lines[0] + b"\n")
    bad_calls = [
        [],
        [str(wal)],
        [str(wal), "--public-key"],
        [str(wal), "--public-key", "zz" * 32],
        [str(wal), "--public-key", key[:-2]],
        [str(wal), "--public-key", "ff" * 32],
        [str(wal), "--public-key", key, "--public-key", key],
        [str(wal), "--public-key", key, "--bogus"],
        [str(wal), "--public-key", key, "--expect-head", "abc"],
    ]
    unreadable = [[str(tmp_path / "missing.wal"), "--public-key", key], [str(tmp_path), "--public-key", key]]
    for args in bad_calls + unreadable:
        proc = subprocess.run([VERIFY, *args], capture_output=True, timeout=60)
        assert proc.returncode == 2, args
        assert proc.stderr.startswith(b"velm-qor-verify: "), (args, proc.stderr)
        assert b"terminate" not in proc.stderr and b"Traceback" not in proc.stderr
        # A log that cannot be read is still reported; a usage error reports nothing.
        assert (proc.stdout.endswith(b"FAILED\n") and b"cannot be read" in proc.stdout) == (args in unreadable)
    proc = subprocess.run([VERIFY, "--help"], capture_output=True, timeout=60)
    assert proc.returncode == 0 and b"--expect-head" in proc.stdout


def test_progress_only_on_a_terminal(tmp_path):
    wal = tmp_path / "junk.wal"
    wal.write_bytes(b"x\n" * 10000)
    key = velm_qor.QOREngine(":memory:").public_key_hex()
    proc = subprocess.run([VERIFY, str(wal), "--public-key", key], capture_output=True, timeout=60)
    assert proc.returncode == 1 and proc.stderr == b""
    leader, follower = pty.openpty()
    try:
        proc = subprocess.run(
            [VERIFY, str(wal), "--public-key", key], stdout=subprocess.PIPE, stderr=follower, timeout=60
        )
        os.close(follower)
        follower = -1
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(leader)
        if follower >= 0:
            os.close(follower)
    assert proc.returncode == 1
    assert b"10000 lines" in seen


def test_each_log_is_reported_and_the_worst_outcome_sets_the_status(tmp_path, base):
    lines, _, key = base
    good, damaged, missing = tmp_path / "good.wal", tmp_path / "damaged.wal", tmp_path / "missing.wal"
    good.write_bytes(b"".join(l + b"\n" for l in lines))
    damaged.write_bytes(b"".join(l + b"\n" for l in lines[:3] + lines[4:]))
    cases = [  # logs, exit status, each log's ok (None: unreadable)
        ([good, damaged], 1, [True, False]),
        ([good, missing, damaged], 2, [True, None, False]),
        ([missing, good], 2, [None, True]),
    ]
    for logs, status, oks in cases:
        proc = subprocess.run([VERIFY, *map(str, logs), "--public-key", key, "--json"], capture_output=True, timeout=60)
        assert proc.returncode == status, proc.stderr
        report = json.loads(proc.stdout)
        assert [log["path"] for log in report["logs"]] == [str(p) for p in logs]
        assert [log["ok"] if log["readable"] else None for log in report["logs"]] == oks
        text = subprocess.run([VERIFY, *map(str, logs), "--public-key", key], capture_output=True, timeout=60)
        assert text.returncode == status
        for log, ok in zip(logs, oks):
            assert (
                f"{log}: cannot be read: ".encode() in text.stdout
                if ok is None
                else f"{log}: {len(lines) - (not ok)} lines".encode() in text.stdout
            )

    # "-" is standard input.
    proc = subprocess.run(
        [VERIFY, "-", "--public-key", key, "--json"], input=damaged.read_bytes(), capture_output=True, timeout=60
    )
    assert proc.returncode == 1
    assert failures(json.loads(proc.stdout)) == {(4, "chain break")}
    version = subprocess.run([VERIFY, "--version"], capture_output=True, timeout=60)
    assert version.returncode == 0 and version.stdout.decode().split() == ["velm-qor-verify", velm_qor_version()]


def velm_qor_version() -> str:
    from importlib.metadata import version

    return version("velm_qor")


def test_a_log_being_written_verifies_while_it_grows(tmp_path):
    wal = tmp_path / "live.wal"
    key = velm_qor.QOREngine(str(wal)).public_key_hex()
    writer = textwrap.dedent(
        f"""
        import velm_qor
        engine = velm_qor.QOREngine({str(wal)!r})
        ppp = velm_qor.PPPTriplet("p", "q", "r")
        review = velm_qor.HumanDeltaChain("r", False, "t", "c")
        for n in range(300):
            engine.capture(None, "x" * (200000 + 997 * n), None, "y" * (n % 9), ppp, review)
        """
    )
    proc = subprocess.Popen([sys.executable, "-c", writer])
    runs = []
    try:
        while proc.poll() is None:
            rc, report = run([wal], key)
            runs.append((rc, report["logs"][0]["lines"], report["logs"][0]["failures"][:3]))
    finally:
        proc.wait(timeout=300)
    assert proc.returncode == 0
    assert len(runs) >= 3 and runs[-1][1] > 0
    assert [r for r in runs if r[0] != 0] == []
    rc, report = run([wal], key)
    assert rc == 0 and report["logs"][0]["lines"] == 300 and report["logs"][0]["bytes"] == wal.stat().st_size


def test_every_format_character_is_escaped_in_the_text_report(tmp_path):
    # Unicode's format characters (category Cf: invisible, and every control of the direction of
    # text) as this Python knows them, each in an unexpected key the report quotes.
    format_chars = [c for c in map(chr, range(0x110000)) if unicodedata.category(c) == "Cf"]
    assert {"\u061c", "\u200b", "\u2060", "\ufeff", "\u202e", "\u2066"} <= set(format_chars)
    wal = tmp_path / "cf.wal"
    engine = velm_qor.QOREngine(str(wal))
    chunks = [format_chars[i : i + 8] for i in range(0, len(format_chars), 8)]
    capture_many(engine, len(chunks))
    lines = wal.read_bytes().splitlines()
    for n, chunk in enumerate(chunks):
        key = json.dumps("k" + "".join(chunk), ensure_ascii=False).encode()
        lines[n] = lines[n][:-1] + b"," + key + b":1}"
    wal.write_bytes(b"".join(line + b"\n" for line in lines))
    rc, text = run([wal], engine.public_key_hex(), as_json=False)
    assert rc == 1 and text.count("bad form") == len(chunks) + 1
    for c in format_chars:
        escaped = f"\\u{ord(c):04x}" if ord(c) <= 0xFFFF else f"\\U{ord(c):08x}"
        assert c not in text and escaped in text, hex(ord(c))


def many_chains_log(folder, chains=4200):
    """More one-record chains than the verifier keeps in memory (4,096), all of one first record."""
    wal = folder / "many.wal"
    ppp, review = velm_qor.PPPTriplet(*PPP), velm_qor.HumanDeltaChain("ref", False, "node", "chain")
    for _ in range(chains):
        velm_qor.QOREngine(str(wal)).capture(None, "health?", None, "ok", ppp, review)
    return wal, velm_qor.QOREngine(str(wal)).public_key_hex()


UNSHARE = (
    'set -e; mount -t tmpfs -o ro tmpfs "$1"; '  # a temporary folder that cannot hold a file
    'if [ "$3" = ro-log ]; then mount --bind "$2" "$2"; mount -o remount,bind,ro "$2"; fi; '
    'shift 3; exec "$@"'
)


def test_the_chain_table_falls_back_where_tmpdir_cannot_hold_it(tmp_path):
    wal, key = many_chains_log(tmp_path)
    rc, expected = run([wal], key)
    assert rc == 0 and len(expected["logs"][0]["chains"]) == 4200
    missing = tmp_path / "no-such-folder"
    proc = subprocess.run(
        [VERIFY, wal, "--public-key", key, "--json"],
        capture_output=True,
        env={**os.environ, "TMPDIR": str(missing)},
        timeout=300,
    )
    assert (proc.returncode, proc.stderr) == (0, b"") and json.loads(proc.stdout) == expected
    assert sorted(os.listdir(tmp_path)) == ["many.wal", "many.wal.key"]  # nothing left beside the log
    if os.geteuid() != 0 or subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("read-only mounts need root and unshare -m")
    (tmp_path / "ro").mkdir()
    for log_folder in ("rw-log", "ro-log"):  # then the log's folder, else memory
        cmd = [VERIFY, wal, "--public-key", key, "--json"]
        proc = subprocess.run(
            ["unshare", "-m", "sh", "-c", UNSHARE, "sh", tmp_path / "ro", tmp_path, log_folder, *cmd],
            capture_output=True,
            env={**os.environ, "TMPDIR": str(tmp_path / "ro")},
            timeout=300,
        )
        assert (proc.returncode, proc.stderr) == (0, b""), (log_folder, proc.stderr)
        assert json.loads(proc.stdout) == expected, log_folder
