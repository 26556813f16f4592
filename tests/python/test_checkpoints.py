"""Witnessed checkpoints and proof bundles, against a Merkle tree and a signed-note reader written
here from their published definitions (RFC 6962 section 2.1, C2SP signed-note and tlog-checkpoint)."""

import base64
import hashlib
import json
import os
import pathlib
import re
import subprocess
import uuid

import pytest
from nacl.signing import SigningKey, VerifyKey
from test_verify import CASES, VERIFY, at, capture_many, replace_value

import velm_qor

ORIGIN = "audit.example/log"


# --- RFC 6962 section 2.1, as written there ---------------------------------------------------


def sha256(data: bytes) -> bytes:
    return hashlib.sha256(data).digest()


def mth(entries) -> bytes:
    n = len(entries)
    if n == 0:
        return sha256(b"")
    if n == 1:
        return sha256(b"\x00" + entries[0])
    k = 1
    while k * 2 < n:
        k *= 2
    return sha256(b"\x01" + mth(entries[:k]) + mth(entries[k:]))


def audit_path(m: int, entries) -> list:
    n = len(entries)
    if n == 1:
        return []
    k = 1
    while k * 2 < n:
        k *= 2
    if m < k:
        return audit_path(m, entries[:k]) + [mth(entries[k:])]
    return audit_path(m - k, entries[k:]) + [mth(entries[:k])]


# --- C2SP signed notes -------------------------------------------------------------------------


def key_id(name: str, public: bytes) -> bytes:
    return sha256(name.encode() + b"\n" + b"\x01" + public)[:4]


def signature_line(name: str, seed: bytes, text: bytes) -> bytes:
    sig = SigningKey(seed).sign(text).signature
    public = bytes(SigningKey(seed).verify_key)
    return "\u2014 ".encode() + name.encode() + b" " + base64.b64encode(key_id(name, public) + sig) + b"\n"


def sign(text: bytes, seed: bytes, name: str = ORIGIN) -> bytes:
    return text + b"\n" + signature_line(name, seed, text)


def read_note(note: bytes, name: str, public: bytes):
    """The checkpoint's origin, size and root, after checking the one signature with PyNaCl."""
    text, _, sigs = note.rpartition(b"\n\n")
    text += b"\n"
    (line,) = sigs.splitlines()
    dash, signer, blob = line.decode().split(" ")
    assert (dash, signer) == ("\u2014", name)
    raw = base64.b64decode(blob, validate=True)
    assert raw[:4] == key_id(name, public)
    VerifyKey(public).verify(text, raw[4:])
    origin, size, root = text.decode().splitlines()
    assert size == str(int(size))
    return origin, int(size), base64.b64decode(root, validate=True)


def cli(*args, stdin=None):
    return subprocess.run([VERIFY, *map(str, args)], capture_output=True, timeout=300, input=stdin)


@pytest.fixture(scope="module")
def witness(tmp_path_factory):
    folder = tmp_path_factory.mktemp("witness")
    path = folder / "witness.key"
    old = os.umask(0)
    try:
        proc = cli("witness-key", path, "--name", ORIGIN)
    finally:
        os.umask(old)
    assert proc.returncode == 0, proc.stderr
    seed = path.read_bytes()
    assert len(seed) == 32 and (path.stat().st_mode & 0o777) == 0o600
    vkey = proc.stdout.decode()
    assert vkey.endswith("\n") and vkey.count("\n") == 1
    name, kid, blob = vkey.strip().split("+", 2)
    public = bytes(SigningKey(seed).verify_key)
    assert (name, bytes.fromhex(kid), base64.b64decode(blob, validate=True)) == (
        ORIGIN,
        key_id(ORIGIN, public),
        b"\x01" + public,
    )
    assert seed.hex() not in proc.stdout.decode() + proc.stderr.decode()
    # Never replaced: a second call fails and leaves the key as it was.
    again = cli("witness-key", path, "--name", ORIGIN)
    assert again.returncode == 2 and b"already exists" in again.stderr and path.read_bytes() == seed
    assert sorted(os.listdir(folder)) == ["witness.key"]
    assert cli("witness-key", folder / "other.key", "--name", "bad name").returncode == 2
    return path, seed, public, vkey.strip()


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    """Ten lines of two engines sharing a key file (lines 5..7 are the second engine's chain), four
    lines of another key, and 70 lines of a third."""
    folder = tmp_path_factory.mktemp("logs")
    wal = folder / "two.wal"
    first = velm_qor.QOREngine(str(wal))
    capture_many(first, 4, "a")
    capture_many(velm_qor.QOREngine(str(wal)), 3, "b")
    capture_many(first, 3, "a", start=4)
    capture_many(velm_qor.QOREngine(str(folder / "other.wal")), 4)
    long = velm_qor.QOREngine(str(folder / "long.wal"))
    capture_many(long, 70)

    def read(name):
        return (folder / name).read_bytes().splitlines()

    assert len(read("two.wal")) == 10 and len(read("long.wal")) == 70
    return {
        "lines": read("two.wal"),
        "other": read("other.wal"),
        "key": first.public_key_hex(),
        "long": read("long.wal"),
        "long_key": long.public_key_hex(),
    }


def write_log(path, lines):
    path.write_bytes(b"".join(l + b"\n" for l in lines))
    return path


def checkpoint_cmd(path, key, witness, *extra):
    return cli("checkpoint", path, "--public-key", key, "--witness-key", witness[0], "--origin", ORIGIN, *extra)


def checkpoint_over(folder, lines, key, witness, name):
    wal = write_log(folder / f"{name}.wal", lines)
    proc = checkpoint_cmd(wal, key, witness)
    assert proc.returncode == 0 and proc.stderr == b"", proc.stderr
    cp = folder / f"{name}.cp"
    cp.write_bytes(proc.stdout)
    return cp


def verify(path, key, vkey, checkpoints, jobs=2):
    args = [path, "--public-key", key, "--json", "--jobs", str(jobs)]
    for cp in checkpoints:
        args += ["--checkpoint", cp]
    proc = cli(*args, "--witness", vkey)
    assert proc.returncode in (0, 1) and proc.stderr == b"", proc.stderr
    return proc.returncode, json.loads(proc.stdout)


CHECKPOINT_KINDS = {"checkpoint signature", "checkpoint mismatch", "log truncated", "checkpoint conflict"}


def checkpoint_failures(report):
    return {(f["line"] or 0, f["kind"]) for f in report["logs"][0]["failures"] if f["kind"] in CHECKPOINT_KINDS}


def test_checkpoints_and_proofs_follow_rfc_6962(tmp_path, witness, logs):
    _, seed, public, vkey = witness
    lines, key = logs["long"], logs["long_key"]
    notes = {}
    for n in range(0, 71):
        wal = write_log(tmp_path / "prefix.wal", lines[:n])
        proc = checkpoint_cmd(wal, key, witness)
        assert proc.returncode == 0, proc.stderr
        assert read_note(proc.stdout, ORIGIN, public) == (ORIGIN, n, mth(lines[:n]))
        notes[n] = proc.stdout
    full = write_log(tmp_path / "full.wal", lines)
    for n in (1, 2, 7, 16, 70):
        cp = tmp_path / f"{n}.cp"
        cp.write_bytes(notes[n])
        for m in range(n):
            proc = cli("prove", full, "--line", m + 1, "--checkpoint", cp)
            assert proc.returncode == 0, proc.stderr
            bundle = json.loads(proc.stdout)
            assert list(bundle) == ["format", "record", "checkpoint", "leaf_index", "tree_size", "inclusion_proof"]
            assert (bundle["format"], bundle["record"].encode(), bundle["checkpoint"].encode()) == (
                1,
                lines[m],
                notes[n],
            )
            assert (bundle["leaf_index"], bundle["tree_size"]) == (m, n)
            assert [base64.b64decode(h) for h in bundle["inclusion_proof"]] == audit_path(m, lines[:n])
            path = tmp_path / "bundle.json"
            path.write_bytes(proc.stdout)
            check = cli("check-proof", path, "--witness", vkey, "--public-key", key, "--json")
            assert check.returncode == 0 and json.loads(check.stdout)["ok"] is True, check.stdout
    text = cli("check-proof", path, "--witness", vkey, "--public-key", key)
    assert text.returncode == 0 and text.stdout.endswith(b"OK\n") and f"line 70 of {ORIGIN}".encode() in text.stdout


def first_insight(lines):
    return next(i for i, l in enumerate(lines) if json.loads(l)["core_insight_json"] is not None)


def review_resolved(line):
    review = json.loads(line)["human_delta_chain_json"]
    assert '"resolved":false' in review
    return replace_value(line, "human_delta_chain_json", review.replace('"resolved":false', '"resolved":true'))


# Changes plain verification cannot notice (unsealed fields, a whole chain, the newest lines).
UNNOTICED = {
    "same-length output": lambda l, o: at(l, 8, replace_value(l[8], "output", json.loads(l[8])["output"].upper())),
    "context": lambda l, o: at(l, 2, replace_value(l[2], "ctx_json", '{"i": 99}')),
    "reasoning trace": lambda l, o: at(l, 2, replace_value(l[2], "reasoning_trace_json", '["skipped"]')),
    "review chain": lambda l, o: at(l, 3, review_resolved(l[3])),
    "insight": lambda l, o: at(l, first_insight(l), replace_value(l[first_insight(l)], "core_insight_json", None)),
    "id": lambda l, o: at(l, 6, replace_value(l[6], "id", "qor_" + str(uuid.uuid4()))),
    "timestamp": lambda l, o: at(l, 6, re.sub(rb'"timestamp":"\d{4}', b'"timestamp":"2031', l[6])),
    "whole chain removed": lambda l, o: l[:4] + l[7:],
    "newest lines cut off": lambda l, o: l[:6],
}
SIZES = (2, 5, 7, 10)


def expected_checkpoint_failures(original, damaged):
    """From the bytes alone: which checkpoints of the original the damaged log falls short of or
    differs from, and the range where the first change must lie."""
    differs = {n for n in SIZES if len(damaged) >= n and damaged[:n] != original[:n]}
    matched = [n for n in SIZES if len(damaged) >= n and n not in differs]
    out = {}
    for n in SIZES:
        if len(damaged) < n:
            out[(len(damaged) + 1, "log truncated")] = None
        elif n in differs:
            below = max([m for m in matched if m < n], default=0)
            first_bad = min(m for m in differs if m > below)
            out[(below + 1, "checkpoint mismatch")] = (below + 1, first_bad)
    return out


@pytest.mark.parametrize("name", list(CASES) + list(UNNOTICED))
def test_every_damage_is_caught_once_a_checkpoint_covers_it(tmp_path, witness, logs, name):
    lines, key = logs["lines"], logs["key"]
    cps = [checkpoint_over(tmp_path, lines[:n], key, witness, f"cp{n}") for n in SIZES]
    make = UNNOTICED[name] if name in UNNOTICED else CASES[name][0]
    damaged = make(lines, logs["other"])
    assert damaged != lines
    wal = write_log(tmp_path / "damaged.wal", damaged)
    if name in UNNOTICED:
        assert cli(wal, "--public-key", key).returncode == 0
    rc, report = verify(wal, key, witness[3], cps)
    # Lines checked on worker threads feed the tree in log order, as one thread does.
    assert verify(wal, key, witness[3], cps, jobs=1) == (rc, report)
    expected = expected_checkpoint_failures(lines, damaged)
    assert rc == 1 and checkpoint_failures(report) == set(expected)
    assert expected or damaged[: max(SIZES)] == lines  # only a line past every checkpoint goes uncaught
    for f in report["logs"][0]["failures"]:
        span = expected.get((f["line"], f["kind"]))
        if span:
            where = f"line {span[0]}" if span[0] == span[1] else f"lines {span[0]}..{span[1]}"
            assert f"first change lies in {where}" in f["detail"], f["detail"]


def test_consistency_between_checkpoints_and_rewritten_history(tmp_path, witness, logs):
    lines, key, vkey = logs["lines"], logs["key"], witness[3]
    cp4 = checkpoint_over(tmp_path, lines[:4], key, witness, "cp4")
    cp10 = checkpoint_over(tmp_path, lines, key, witness, "cp10")
    wal = write_log(tmp_path / "log.wal", lines)
    assert verify(wal, key, vkey, [cp4, cp10])[0] == 0
    extended = checkpoint_cmd(wal, key, witness, "--previous", cp4)
    assert extended.returncode == 0 and extended.stdout == cp10.read_bytes()

    # The log's host rewrites an unsealed field of line 2; a witness that does not keep its
    # previous checkpoint signs the new history.
    damaged = at(lines, 1, replace_value(lines[1], "output", json.loads(lines[1])["output"].upper()))
    cp10r = checkpoint_over(tmp_path, damaged, key, witness, "cp10r")
    cp4r = checkpoint_over(tmp_path, damaged[:4], key, witness, "cp4r")
    bad = write_log(tmp_path / "bad.wal", damaged)
    refused = checkpoint_cmd(bad, key, witness, "--previous", cp4)
    assert refused.returncode == 1 and refused.stdout == b"" and b"checkpoint mismatch" in refused.stderr
    cases = [  # log, checkpoints, checkpoint failures
        (bad, [cp4, cp10r], {(1, "checkpoint mismatch"), (0, "checkpoint conflict")}),
        (wal, [cp4, cp4r], {(1, "checkpoint mismatch"), (0, "checkpoint conflict")}),
        (wal, [cp10r], {(1, "checkpoint mismatch")}),
        (bad, [cp4r, cp10r], set()),
    ]
    for log, cps, expected in cases:
        rc, report = verify(log, key, vkey, cps)
        assert (rc, checkpoint_failures(report)) == (int(bool(expected)), expected), (log, cps)
        conflicts = [f["detail"] for f in report["logs"][0]["failures"] if f["kind"] == "checkpoint conflict"]
        assert all(str(cps[0]) in d and str(cps[1]) in d for d in conflicts)


def note_text(origin=ORIGIN, size="10", root=None):
    root = base64.b64encode(root if root is not None else b"\0" * 32).decode()
    return f"{origin}\n{size}\n{root}\n".encode()


def hostile_checkpoints(lines, seed):
    good = sign(note_text(size="10", root=mth(lines)), seed)
    text, _, sig = good.rpartition(b"\n\n")
    other_seed = bytes(range(32))
    flipped = sig[:-6] + (b"A" if sig[-6:-5] != b"A" else b"B") + sig[-5:]
    return {  # note: checkpoint failures when checking the ten-line log
        "signed by another key": (sign(note_text(root=mth(lines)), other_seed), {(0, "checkpoint signature")}),
        "signature changed": (text + b"\n\n" + flipped, {(0, "checkpoint signature")}),
        "no signature": (note_text(root=mth(lines)), {(0, "checkpoint signature")}),
        "root not base64": (sign(b"%s\n10\n%s\n" % (ORIGIN.encode(), b"!" * 44), seed), {(0, "checkpoint signature")}),
        "root of 31 bytes": (sign(note_text(root=b"\1" * 31), seed), {(0, "checkpoint signature")}),
        "size past 64 bits": (sign(note_text(size="18446744073709551616"), seed), {(0, "checkpoint signature")}),
        "size with a leading zero": (sign(note_text(size="010", root=mth(lines)), seed), {(0, "checkpoint signature")}),
        "negative size": (sign(note_text(size="-1"), seed), {(0, "checkpoint signature")}),
        "control character": (sign(note_text(origin="audit\x01log"), seed), {(0, "checkpoint signature")}),
        "control character in signature": (good[:-1] + b"\x07\n", {(0, "checkpoint signature")}),
        "not UTF-8": (sign(note_text(origin="audit~log"), seed).replace(b"~", b"\xff"), {(0, "checkpoint signature")}),
        "empty": (b"", {(0, "checkpoint signature")}),
        "too large": (b"x" * (2 << 20), {(0, "checkpoint signature")}),
        "tree size beyond the log": (
            sign(note_text(size="11", root=mth(lines + [b"x"])), seed),
            {(11, "log truncated")},
        ),
        "far beyond the log": (sign(note_text(size="18446744073709551615"), seed), {(11, "log truncated")}),
        "wrong root": (sign(note_text(size="10", root=mth(lines[::-1])), seed), {(1, "checkpoint mismatch")}),
        "empty tree": (sign(note_text(size="0", root=sha256(b"")), seed), set()),
        "empty tree, another root": (
            sign(note_text(size="0", root=mth(lines[:1])), seed),
            {(0, "checkpoint signature")},
        ),
        "the real one": (good, set()),
    }


def test_hostile_checkpoints(tmp_path, witness, logs):
    lines, key = logs["lines"], logs["key"]
    wal = write_log(tmp_path / "log.wal", lines)
    vkey_file = tmp_path / "witness.vkey"
    vkey_file.write_text(witness[3] + "\n")
    for name, (note, expected) in hostile_checkpoints(lines, witness[1]).items():
        cp = tmp_path / "hostile.cp"
        cp.write_bytes(note)
        rc, report = verify(wal, key, str(vkey_file), [cp])
        assert (rc, checkpoint_failures(report)) == (int(bool(expected)), expected), name
        # A checkpoint that is wrong in itself is named; the log's lines are not blamed.
        details = [f["detail"] for f in report["logs"][0]["failures"] if f["kind"] == "checkpoint signature"]
        assert all(d.startswith(str(cp) + ": ") and "first change" not in d for d in details), (name, details)


def test_a_witness_key_is_kept_only_with_its_verifier_key_printed(tmp_path, witness):
    path = tmp_path / "w.key"
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([VERIFY, "witness-key", path, "--name", ORIGIN], stdout=full, stderr=subprocess.PIPE)
    assert proc.returncode == 2 and b"no witness key was kept" in proc.stderr
    assert os.listdir(tmp_path) == []
    # The verifier key of an existing witness key, under the name it signs as.
    wk, seed, public, vkey = witness
    shown = cli("witness-verifier-key", wk, "--name", ORIGIN)
    assert (shown.returncode, shown.stdout, shown.stderr) == (0, (vkey + "\n").encode(), b"")
    assert seed.hex() not in shown.stdout.decode()
    other = cli("witness-verifier-key", wk, "--name", "other.example/log").stdout.decode().strip()
    assert other.split("+", 2)[::2] == ["other.example/log", base64.b64encode(b"\x01" + public).decode()]
    refused = cli("witness-verifier-key", tmp_path / "none.key", "--name", ORIGIN)
    assert (refused.returncode, refused.stdout) == (2, b"") and b"No such file" in refused.stderr


def test_witness_keys_with_names_up_to_name_max(tmp_path):
    # The temporary name beside the key stays within NAME_MAX whenever the key's own name does.
    for length in (245, 255):
        made = cli("witness-key", tmp_path / ("w" * length), "--name", ORIGIN)
        assert made.returncode == 0 and len((tmp_path / ("w" * length)).read_bytes()) == 32, made.stderr
    assert sorted(map(len, os.listdir(tmp_path))) == [245, 255]


def test_paths_that_are_not_utf8_through_the_python_api(tmp_path, witness, logs):
    import velm_qor_verify as vq

    lines, key, wk = logs["lines"][:4], logs["key"], witness[0]
    folder = os.fsencode(str(tmp_path))
    odd = folder + b"/log-\xff.wal"
    with open(odd, "wb") as f:
        f.write(b"".join(l + b"\n" for l in lines))
    odd_key = folder + b"/witness-\xfe.key"
    with open(odd_key, "wb") as f:
        f.write(witness[1])
    os.chmod(odd_key, 0o600)
    odd_name = os.fsdecode(odd)  # the command takes the same bytes
    note = cli("checkpoint", odd_name, "--public-key", key, "--witness-key", wk, "--origin", ORIGIN).stdout.decode()
    (tmp_path / "cp").write_text(note)
    bundle = cli("prove", odd_name, "--line", 2, "--checkpoint", tmp_path / "cp").stdout.decode()
    assert note and bundle
    for path in (odd, os.fsdecode(odd), pathlib.Path(os.fsdecode(odd))):
        assert vq.verify(path, key).ok
        assert vq.checkpoint(path, key, wk, ORIGIN) == note
        assert vq.checkpoint(path, key, os.fsdecode(odd_key), ORIGIN) == note
        assert vq.prove(path, 2, note) == bundle
    missing = folder + b"/none-\xff.wal"
    for path in (missing, os.fsdecode(missing)):
        for call in (
            lambda: vq.verify(path, key),
            lambda: vq.checkpoint(path, key, wk, ORIGIN),
            lambda: vq.prove(path, 2, note),
        ):
            with pytest.raises(FileNotFoundError):
                call()


def test_hostile_bundles(tmp_path, witness, logs):
    lines, key, vkey, seed = logs["lines"], logs["key"], witness[3], witness[1]
    wal = write_log(tmp_path / "log.wal", lines)
    cp = checkpoint_over(tmp_path, lines, key, witness, "cp")
    good = json.loads(cli("prove", wal, "--line", 3, "--checkpoint", cp).stdout)
    other_key = velm_qor.QOREngine(":memory:").public_key_hex()
    other_vkey = "other.example+%s+%s" % (
        key_id("other.example", bytes(SigningKey(bytes(32 * [7])).verify_key)).hex(),
        base64.b64encode(b"\x01" + bytes(SigningKey(bytes(32 * [7])).verify_key)).decode(),
    )

    def edit(**changes):
        return json.dumps({**good, **changes}).encode()

    def raw(member, text):
        body = json.dumps(good)
        return re.sub(f'"{member}": [^,]+,', f'"{member}": {text},', body, count=1).encode()

    # A record whose seal fails, put in a one-line tree and signed by the real witness: only the
    # record check can refuse it.
    forged = at(lines, 2, lines[2].replace(b"prov-A", b"prov-B", 1))[2]
    forged_cp = sign(note_text(size="1", root=mth([forged])), seed).decode()
    proof = good["inclusion_proof"]
    cases = {  # bundle bytes, witness, engine key: problem
        "the real one": (json.dumps(good).encode(), vkey, key, None),
        "wrong witness": (json.dumps(good).encode(), other_vkey, key, "checkpoint signature"),
        "wrong engine key": (json.dumps(good).encode(), vkey, other_key, "record"),
        "bad base64": (edit(inclusion_proof=["*" * 44] + proof[1:]), vkey, key, "bundle"),
        "short hash": (edit(inclusion_proof=[base64.b64encode(b"1" * 31).decode()] + proof[1:]), vkey, key, "bundle"),
        "oversized leaf index": (raw("leaf_index", "18446744073709551616"), vkey, key, "bundle"),
        "negative leaf index": (raw("leaf_index", "-1"), vkey, key, "bundle"),
        "fractional tree size": (raw("tree_size", "10.0"), vkey, key, "bundle"),
        "tree size beyond the log": (edit(tree_size=11), vkey, key, "inclusion"),
        "leaf index beyond the tree": (edit(leaf_index=10), vkey, key, "inclusion"),
        "largest leaf index": (edit(leaf_index=2**64 - 1), vkey, key, "inclusion"),
        "another leaf index": (edit(leaf_index=3), vkey, key, "inclusion"),
        "output edited": (edit(record=good["record"].replace("prompt-", "Prompt-", 1)), vkey, key, "inclusion"),
        "proof hash changed": (
            edit(inclusion_proof=proof[:-1] + [base64.b64encode(b"\0" * 32).decode()]),
            vkey,
            key,
            "inclusion",
        ),
        "proof cut short": (edit(inclusion_proof=proof[:-1]), vkey, key, "inclusion"),
        "too many hashes": (edit(inclusion_proof=proof * 30), vkey, key, "bundle"),
        "raw control character": (json.dumps(good).replace("prompt-", "prompt\x01", 1).encode(), vkey, key, "bundle"),
        "escaped control character": (edit(record=good["record"] + "\x00"), vkey, key, "inclusion"),
        "checkpoint with control character": (
            edit(checkpoint=good["checkpoint"].replace("\n", "\r\n", 1)),
            vkey,
            key,
            "checkpoint signature",
        ),
        "extra member": (edit(extra=1), vkey, key, "bundle"),
        "member missing": (
            json.dumps({k: v for k, v in good.items() if k != "tree_size"}).encode(),
            vkey,
            key,
            "bundle",
        ),
        "member twice": (json.dumps(good)[:-1].encode() + b', "tree_size": 10}', vkey, key, "bundle"),
        "format 2": (edit(format=2), vkey, key, "bundle"),
        "not JSON": (b'{"format": 1', vkey, key, "bundle"),
        "not UTF-8": (json.dumps(good).encode().replace(b"prompt-", b"prompt\xff", 1), vkey, key, "bundle"),
        "an array": (b"[]", vkey, key, "bundle"),
        "too large": (b" " * (64 << 20) + json.dumps(good).encode(), vkey, key, "bundle"),
        "seal broken, signed tree": (
            edit(record=forged.decode(), checkpoint=forged_cp, leaf_index=0, tree_size=1, inclusion_proof=[]),
            vkey,
            key,
            "record",
        ),
    }
    path = tmp_path / "bundle.json"
    for name, (bundle, witness_key, engine_key, problem) in cases.items():
        path.write_bytes(bundle)
        proc = cli("check-proof", path, "--witness", witness_key, "--public-key", engine_key, "--json")
        assert proc.stderr == b"" and proc.returncode == (0 if problem is None else 1), (name, proc.stderr)
        result = json.loads(proc.stdout)
        assert (result["ok"], result["problem"]) == (problem is None, problem), (name, result)
        if problem is not None:
            text = cli("check-proof", path, "--witness", witness_key, "--public-key", engine_key)
            assert (
                text.returncode == 1
                and text.stdout.startswith(f"{problem}: ".encode())
                and text.stdout.endswith(b"FAILED\n")
            ), name


def test_refusals_and_usage_errors(tmp_path, witness, logs):
    lines, key, vkey = logs["lines"], logs["key"], witness[3]
    wal = write_log(tmp_path / "log.wal", lines)
    cp = checkpoint_over(tmp_path, lines[:6], key, witness, "cp6")
    damaged = write_log(tmp_path / "damaged.wal", UNNOTICED["context"](lines, None))
    refused = [  # (arguments, exit status, text in standard error)
        (["prove", wal, "--line", 7, "--checkpoint", cp], 1, b"not among the checkpoint's 6 lines"),
        (
            ["prove", write_log(tmp_path / "short.wal", lines[:5]), "--line", 2, "--checkpoint", cp],
            1,
            b"only 5 complete lines",
        ),
        (["prove", damaged, "--line", 1, "--checkpoint", cp], 1, b"not give the checkpoint's root"),
        (
            [
                "checkpoint",
                write_log(tmp_path / "cut.wal", lines[:4] + lines[5:]),
                "--public-key",
                key,
                "--witness-key",
                witness[0],
                "--origin",
                ORIGIN,
            ],
            1,
            b"chain break",
        ),
        (
            [
                "checkpoint",
                wal,
                "--public-key",
                key,
                "--witness-key",
                witness[0],
                "--origin",
                ORIGIN,
                "--previous",
                write_log(tmp_path / "junk.cp", [b"junk"]),
            ],
            1,
            b"checkpoint signature",
        ),
        (["checkpoint", wal, "--public-key", key, "--witness-key", wal, "--origin", ORIGIN], 2, b"32 bytes"),
        (
            ["checkpoint", wal, "--public-key", key, "--witness-key", witness[0], "--origin", "two words"],
            2,
            b"--origin",
        ),
        (["prove", wal, "--line", 0, "--checkpoint", cp], 2, b"--line"),
        (["prove", wal, "--line", "1x", "--checkpoint", cp], 2, b"--line"),
        ([wal, "--public-key", key, "--checkpoint", cp], 2, b"--witness"),
        ([wal, wal, "--public-key", key, "--checkpoint", cp, "--witness", vkey], 2, b"exactly one LOG"),
        ([wal, "--public-key", key, "--checkpoint", tmp_path / "missing.cp", "--witness", vkey], 2, b"cannot read"),
        ([wal, "--public-key", key, "--checkpoint", cp, "--witness", "not+a+key"], 2, b"--witness"),
        (["check-proof", cp, "--public-key", key], 2, b"--witness"),
    ]
    for args, status, message in refused:
        proc = cli(*args)
        assert (proc.returncode, proc.stdout) == (status, b""), (args, proc.stdout)
        assert proc.stderr.startswith(b"velm-qor-verify") or status == 1, proc.stderr
        assert message in proc.stderr and b"terminate" not in proc.stderr, (args, proc.stderr)


def test_python_checkpoint_prove_and_check_proof_agree_with_the_command(tmp_path, witness, logs):
    import velm_qor_verify as vq

    lines, key, (wk, _, public, vkey) = logs["lines"], logs["key"], witness
    wal = write_log(tmp_path / "log.wal", lines[:4])
    cp4 = checkpoint_cmd(wal, key, witness).stdout.decode()
    assert vq.checkpoint(wal, key, wk, ORIGIN) == cp4
    assert read_note(cp4.encode(), ORIGIN, public) == (ORIGIN, 4, mth(lines[:4]))
    write_log(wal, lines)
    note = vq.checkpoint(str(wal), key, str(wk), ORIGIN, previous=cp4)
    assert read_note(note.encode(), ORIGIN, public) == (ORIGIN, 10, mth(lines))
    cp = tmp_path / "cp"
    cp.write_text(note)
    bundle = vq.prove(wal, 3, note)
    assert bundle == cli("prove", wal, "--line", 3, "--checkpoint", cp).stdout.decode()
    tampered = bundle.replace("prompt-", "Prompt-", 1)
    assert tampered != bundle
    for text in (bundle, tampered):
        (tmp_path / "b.json").write_text(text)
        expected = json.loads(
            cli("check-proof", tmp_path / "b.json", "--witness", vkey, "--public-key", key, "--json").stdout
        )
        got = vq.check_proof(text, [vkey], key)
        assert {**got.__dict__, "verified_by": list(got.verified_by)} == expected
        assert got.ok is (text == bundle)
    # Refused: a damaged log, a log that no longer extends the checkpoint, a missing log or key file.
    damaged = at(lines, 1, replace_value(lines[1], "output", json.loads(lines[1])["output"].upper()))
    bad = write_log(tmp_path / "bad.wal", damaged)
    broken = write_log(tmp_path / "broken.wal", lines[:3] + [lines[3][:-5]])
    for args, kwargs, error, words in [
        ((broken, key, wk, ORIGIN), {}, ValueError, "does not verify"),
        ((bad, key, wk, ORIGIN), {"previous": cp4}, ValueError, "does not extend the previous checkpoint"),
        ((tmp_path / "none.wal", key, wk, ORIGIN), {}, FileNotFoundError, "none.wal"),
        ((wal, key, tmp_path / "none.key", ORIGIN), {}, OSError, "none.key"),
    ]:
        with pytest.raises(error, match=words) as caught:
            vq.checkpoint(*args, **kwargs)
        assert witness[1].hex() not in str(caught.value)
    with pytest.raises(ValueError, match="no proof"):
        vq.prove(bad, 3, note)


def test_the_command_and_the_module_map_each_kind_of_error_alike(tmp_path, witness, logs):
    """One row per kind of error: the command's exit status and the module's exception."""
    import velm_qor_verify as vq

    lines, key, wk = logs["lines"], logs["key"], witness[0]
    wal = write_log(tmp_path / "log.wal", lines)
    cut = write_log(tmp_path / "cut.wal", lines[:4] + lines[5:])
    note = checkpoint_cmd(wal, key, witness).stdout.decode()
    cp = tmp_path / "log.cp"
    cp.write_text(note)
    missing = tmp_path / "missing.wal"
    rows = [  # (command arguments, module call, exit status, exception, errno)
        ([wal, "--public-key", "ab"], lambda: vq.verify(wal, "ab"), 2, ValueError, None),
        ([missing, "--public-key", key], lambda: vq.verify(missing, key), 2, FileNotFoundError, 2),
        ([tmp_path, "--public-key", key], lambda: vq.verify(tmp_path, key), 2, IsADirectoryError, 21),
        (
            ["checkpoint", wal, "--public-key", key, "--witness-key", missing, "--origin", ORIGIN],
            lambda: vq.checkpoint(wal, key, missing, ORIGIN),
            2,
            OSError,
            None,
        ),
        (
            ["checkpoint", cut, "--public-key", key, "--witness-key", wk, "--origin", ORIGIN],
            lambda: vq.checkpoint(cut, key, wk, ORIGIN),
            1,
            ValueError,
            None,
        ),
        (
            ["prove", missing, "--line", 1, "--checkpoint", cp],
            lambda: vq.prove(missing, 1, note),
            2,
            FileNotFoundError,
            2,
        ),
        (["prove", wal, "--line", 11, "--checkpoint", cp], lambda: vq.prove(wal, 11, note), 1, ValueError, None),
    ]
    for args, call, status, exception, errno in rows:
        proc = cli(*args)
        assert proc.returncode == status, (args, proc.stderr)
        with pytest.raises(exception) as raised:
            call()
        assert type(raised.value) is exception, (args, raised.value)
        if issubclass(exception, OSError):
            assert raised.value.errno == errno, (args, raised.value)


def test_witness_key_whose_name_just_fits(tmp_path):
    path = tmp_path / ("w" * os.pathconf(tmp_path, "PC_NAME_MAX"))
    proc = cli("witness-key", path, "--name", ORIGIN)
    assert proc.returncode == 0, proc.stderr
    assert len(path.read_bytes()) == 32 and os.listdir(tmp_path) == [path.name]
