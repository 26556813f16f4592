#!/usr/bin/env python3
"""Records what the verifier prints and returns for a corpus of logs, and compares two records.

    scripts/verifier-corpus.py logs build/corpus-logs        # once: the logs, keys, checkpoints
    scripts/verifier-corpus.py capture build/corpus-logs build/corpus-NAME
    scripts/verifier-corpus.py compare build/corpus-OLD build/corpus-NEW

`logs` writes good, damaged and rotated logs with velm_qor itself, a witness key, checkpoints and
a proof bundle. The logs hold timestamps and fresh keys, so they are written once and kept;
`capture` only runs velm-qor-verify (every command, exit status, standard output and error) and
velm_qor_verify (every value and exception) over them, each case into a file of its own. `compare`
wants every file byte for byte the same, except: the usage text after a usage error's first line
and --help may differ, and a JSON output may gain members.
"""

import json
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VERIFY = str(ROOT / ".venv" / "bin" / "velm-qor-verify")
PYTHON = str(ROOT / ".venv" / "bin" / "python")
ORIGIN = "corpus.example/log"


def capture_many(engine, n, tag="", start=0):
    import velm_qor

    ppp = velm_qor.PPPTriplet("prov", "place", "purpose")
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


def run(args, cwd, stdin=None):
    return subprocess.run([VERIFY, *map(str, args)], cwd=cwd, capture_output=True, input=stdin, timeout=300)


def make_logs(folder: Path) -> None:
    import velm_qor

    if folder.exists():
        sys.exit(f"{folder} exists: the logs are written once and kept")
    folder.mkdir(parents=True)
    good = folder / "good.wal"
    first = velm_qor.QOREngine(str(good))
    capture_many(first, 5, "a")
    capture_many(velm_qor.QOREngine(str(good)), 3, "b")
    capture_many(first, 4, "a", start=5)
    capture_many(velm_qor.QOREngine(str(folder / "other.wal")), 4, "o")
    (folder / "key.hex").write_text(first.public_key_hex())
    lines = good.read_bytes().splitlines(keepends=True)
    assert len(lines) == 12

    def write(name, body):
        (folder / name).write_bytes(b"".join(body) if isinstance(body, list) else body)

    flipped = list(lines)
    j = lines[2].index(b'"prompt":"') + 12
    flipped[2] = lines[2][:j] + bytes([lines[2][j] ^ 1]) + lines[2][j + 1 :]
    write("flipped.wal", flipped)
    sig = list(lines)
    i = sig[4].index(b'"signature":[') + 13
    sig[4] = sig[4][:i] + (b"2" if sig[4][i : i + 1] != b"2" else b"3") + sig[4][i + 1 :]
    write("badsig.wal", sig)
    out = list(lines)
    out[6] = out[6].replace(b"output", b"OUTPUT", 1)
    write("wrongkey.wal", out)
    longer = list(lines)
    longer[6] = longer[6].replace("output ✓".encode(), "output ✓✓".encode(), 1)
    write("output.wal", longer)
    write("torn.wal", lines[:-1] + [lines[-1][:-1]])
    write("cut.wal", lines[:-1] + [lines[-1][: len(lines[-1]) // 2]])
    write("deleted.wal", lines[:3] + lines[4:])
    write("reordered.wal", lines[:2] + [lines[3], lines[2]] + lines[4:])
    write("notjson.wal", lines[:5] + [b"not json at all\n"] + lines[5:])
    write("ctrl.wal", lines[:1] + [b'{"x":"\x1b[31m\xff\\u202e"}\n'] + lines[1:])
    write("empty.wal", b"")
    write("rot.wal.2", lines[:4])
    write("rot.wal.1", lines[4:9])
    write("rot.wal", lines[9:])
    write("rottorn.wal.1", lines[:4] + [lines[4][:-1]])
    write("rottorn.wal", lines[5:])
    write("prefix.wal", lines[:6])
    (folder / "adir").mkdir()

    proc = run(["witness-key", "witness.key", "--name", ORIGIN], folder)
    assert proc.returncode == 0, proc.stderr
    (folder / "witness.vkey").write_bytes(proc.stdout)
    proc = run(["witness-key", "other-witness.key", "--name", "other.example/log"], folder)
    (folder / "other-witness.vkey").write_bytes(proc.stdout)
    key = first.public_key_hex()
    common = ["--public-key", key, "--witness-key", "witness.key", "--origin", ORIGIN]
    proc = run(["checkpoint", "prefix.wal", *common], folder)
    assert proc.returncode == 0, proc.stderr
    (folder / "prefix.cp").write_bytes(proc.stdout)
    proc = run(["checkpoint", "good.wal", *common, "--previous", "prefix.cp"], folder)
    assert proc.returncode == 0, proc.stderr
    (folder / "good.cp").write_bytes(proc.stdout)
    bad = bytearray(proc.stdout)
    bad[-10] ^= 1
    (folder / "badsig.cp").write_bytes(bytes(bad))
    proc = run(["prove", "good.wal", "--line", "3", "--checkpoint", "good.cp"], folder)
    assert proc.returncode == 0, proc.stderr
    (folder / "line3.json").write_bytes(proc.stdout)
    bundle = json.loads(proc.stdout)
    bundle["record"] = bundle["record"].replace("prompt", "PROMPT", 1)
    (folder / "tampered.json").write_text(json.dumps(bundle))
    print(f"logs written to {folder}")


def command_cases(folder: Path):
    """(name, args, stdin, usage): usage marks a case whose standard error may end in usage text."""
    key = (folder / "key.hex").read_text()
    other_key = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"
    k = ["--public-key", key]
    cases = [
        ("help", ["--help"], None, True),
        ("version", ["--version"], None, False),
        ("no-args", [], None, True),
        ("no-key", ["good.wal"], None, True),
        ("unknown-option", ["good.wal", *k, "--bogus"], None, True),
        ("short-key", ["good.wal", "--public-key", "abcd"], None, True),
        ("key-not-point", ["good.wal", "--public-key", "ff" * 32], None, True),
        ("key-twice", ["good.wal", *k, *k], None, True),
        ("jobs-0", ["good.wal", *k, "--jobs", "0"], None, True),
        ("jobs-bad", ["good.wal", *k, "--jobs=x"], None, True),
        ("jobs-missing", ["good.wal", *k, "--jobs"], None, True),
        ("head-bad", ["good.wal", *k, "--expect-head", "zz"], None, True),
        ("missing-file", ["nothere.wal", *k], None, False),
        ("missing-file-json", ["nothere.wal", *k, "--json"], None, False),
        ("directory", ["adir", *k, "--json"], None, False),
        ("other-key", ["other.wal", "--public-key", other_key], None, False),
        ("stdin", ["-", *k, "--json"], (folder / "good.wal").read_bytes(), False),
        ("dashdash", [*k, "--", "good.wal"], None, False),
        ("many", ["good.wal", "nothere.wal", "torn.wal", *k], None, False),
        ("many-json", ["good.wal", "nothere.wal", "torn.wal", *k, "--json"], None, False),
        ("series", ["rot.wal.2", "rot.wal.1", "rot.wal", "--series", *k], None, False),
        ("series-json", ["rot.wal.2", "rot.wal.1", "rot.wal", "--series", *k, "--json"], None, False),
        ("series-torn", ["rottorn.wal.1", "rottorn.wal", "--series", *k, "--json"], None, False),
        ("series-torn-text", ["rottorn.wal.1", "rottorn.wal", "--series", *k], None, False),
        ("series-missing", ["rot.wal.2", "nothere.wal", "rot.wal", "--series", *k, "--json"], None, False),
        ("cp-witness-only", ["good.wal", *k, "--witness", "witness.vkey"], None, True),
        (
            "cp-two-logs",
            ["good.wal", "torn.wal", *k, "--checkpoint", "good.cp", "--witness", "witness.vkey"],
            None,
            True,
        ),
        ("cp-no-witness", ["good.wal", *k, "--checkpoint", "good.cp"], None, True),
        ("cp-missing", ["good.wal", *k, "--checkpoint", "nothere.cp", "--witness", "witness.vkey"], None, True),
        ("cp-bad-witness", ["good.wal", *k, "--checkpoint", "good.cp", "--witness", "nokey"], None, True),
    ]
    for log in [
        "good",
        "flipped",
        "badsig",
        "output",
        "wrongkey",
        "torn",
        "cut",
        "deleted",
        "reordered",
        "notjson",
        "ctrl",
        "empty",
        "prefix",
    ]:
        cases.append((f"{log}-text", [f"{log}.wal", *k], None, False))
        cases.append((f"{log}-json", [f"{log}.wal", *k, "--json", "--jobs", "2"], None, False))
        cp = ["--checkpoint", "prefix.cp", "--checkpoint", "good.cp", "--witness", "witness.vkey"]
        cases.append((f"{log}-cp-text", [f"{log}.wal", *k, *cp], None, False))
        cases.append((f"{log}-cp-json", [f"{log}.wal", *k, *cp, "--json"], None, False))
    cases += [
        (
            "cp-badsig",
            ["good.wal", *k, "--checkpoint", "badsig.cp", "--witness", "witness.vkey", "--json"],
            None,
            False,
        ),
        (
            "cp-other-witness",
            ["good.wal", *k, "--checkpoint", "good.cp", "--witness", "other-witness.vkey"],
            None,
            False,
        ),
        (
            "cp-vkey-text",
            ["good.wal", *k, "--checkpoint", "good.cp", "--witness", (folder / "witness.vkey").read_text().strip()],
            None,
            False,
        ),
        ("heads", ["good.wal", *k, "--expect-head", "00" * 32, "--expect-head", _head(folder), "--json"], None, False),
        ("heads-text", ["good.wal", *k, "--expect-head", "00" * 32, "--expect-head", _head(folder)], None, False),
        (
            "series-heads",
            ["rot.wal.2", "rot.wal.1", "rot.wal", "--series", *k, "--expect-head", _head(folder), "--json"],
            None,
            False,
        ),
    ]
    wk = ["--witness-key", "witness.key", "--origin", ORIGIN]
    for log in ["good", "prefix", "torn", "reordered", "flipped", "empty"]:
        cases.append((f"checkpoint-{log}", ["checkpoint", f"{log}.wal", *k, *wk], None, False))
        cases.append(
            (f"checkpoint-{log}-prev", ["checkpoint", f"{log}.wal", *k, *wk, "--previous", "good.cp"], None, False)
        )
    cases += [
        ("checkpoint-prev-prefix", ["checkpoint", "good.wal", *k, *wk, "--previous", "prefix.cp"], None, False),
        ("checkpoint-prev-badsig", ["checkpoint", "good.wal", *k, *wk, "--previous", "badsig.cp"], None, False),
        ("checkpoint-prev-missing", ["checkpoint", "good.wal", *k, *wk, "--previous", "nothere.cp"], None, True),
        ("checkpoint-missing-log", ["checkpoint", "nothere.wal", *k, *wk], None, False),
        (
            "checkpoint-missing-wkey",
            ["checkpoint", "good.wal", *k, "--witness-key", "nothere.key", "--origin", ORIGIN],
            None,
            False,
        ),
        (
            "checkpoint-bad-origin",
            ["checkpoint", "good.wal", *k, "--witness-key", "witness.key", "--origin", "a b"],
            None,
            True,
        ),
        ("checkpoint-no-origin", ["checkpoint", "good.wal", *k, "--witness-key", "witness.key"], None, True),
        ("checkpoint-two-logs", ["checkpoint", "good.wal", "torn.wal", *k, *wk], None, True),
        ("checkpoint-bad-key", ["checkpoint", "good.wal", "--public-key", "xyz", *wk], None, True),
        ("checkpoint-unknown", ["checkpoint", "good.wal", *k, *wk, "--json"], None, True),
        (
            "checkpoint-wkey-dir",
            ["checkpoint", "good.wal", *k, "--witness-key", "adir", "--origin", ORIGIN],
            None,
            False,
        ),
        (
            "checkpoint-wkey-wrong",
            ["checkpoint", "good.wal", *k, "--witness-key", "good.wal", "--origin", ORIGIN],
            None,
            False,
        ),
        ("witness-key-exists", ["witness-key", "witness.key", "--name", ORIGIN], None, False),
        ("witness-key-bad-name", ["witness-key", "new.key", "--name", "a b"], None, True),
        ("witness-key-no-name", ["witness-key", "new.key"], None, True),
        ("witness-key-no-dir", ["witness-key", "nodir/new.key", "--name", ORIGIN], None, False),
        ("prove-3", ["prove", "good.wal", "--line", "3", "--checkpoint", "good.cp"], None, False),
        ("prove-12", ["prove", "good.wal", "--line=12", "--checkpoint", "good.cp"], None, False),
        ("prove-prefix", ["prove", "good.wal", "--line", "2", "--checkpoint", "prefix.cp"], None, False),
        ("prove-beyond", ["prove", "good.wal", "--line", "13", "--checkpoint", "good.cp"], None, False),
        ("prove-beyond-prefix", ["prove", "good.wal", "--line", "7", "--checkpoint", "prefix.cp"], None, False),
        ("prove-line-0", ["prove", "good.wal", "--line", "0", "--checkpoint", "good.cp"], None, True),
        ("prove-line-x", ["prove", "good.wal", "--line", "x", "--checkpoint", "good.cp"], None, True),
        ("prove-mismatch", ["prove", "reordered.wal", "--line", "3", "--checkpoint", "good.cp"], None, False),
        ("prove-short", ["prove", "prefix.wal", "--line", "3", "--checkpoint", "good.cp"], None, False),
        ("prove-bad-cp", ["prove", "good.wal", "--line", "3", "--checkpoint", "good.wal"], None, False),
        ("prove-missing-cp", ["prove", "good.wal", "--line", "3", "--checkpoint", "nothere.cp"], None, True),
        ("prove-missing-log", ["prove", "nothere.wal", "--line", "3", "--checkpoint", "good.cp"], None, False),
        ("check-proof", ["check-proof", "line3.json", "--witness", "witness.vkey", *k], None, False),
        ("check-proof-json", ["check-proof", "line3.json", "--witness", "witness.vkey", *k, "--json"], None, False),
        ("check-proof-tampered", ["check-proof", "tampered.json", "--witness", "witness.vkey", *k], None, False),
        (
            "check-proof-tampered-json",
            ["check-proof", "tampered.json", "--witness", "witness.vkey", *k, "--json"],
            None,
            False,
        ),
        (
            "check-proof-other-witness",
            ["check-proof", "line3.json", "--witness", "other-witness.vkey", *k],
            None,
            False,
        ),
        (
            "check-proof-two-witnesses",
            ["check-proof", "line3.json", "--witness", "other-witness.vkey", "--witness", "witness.vkey", *k, "--json"],
            None,
            False,
        ),
        (
            "check-proof-wrong-key",
            ["check-proof", "line3.json", "--witness", "witness.vkey", "--public-key", other_key],
            None,
            False,
        ),
        ("check-proof-not-json", ["check-proof", "good.wal", "--witness", "witness.vkey", *k, "--json"], None, False),
        ("check-proof-missing", ["check-proof", "nothere.json", "--witness", "witness.vkey", *k], None, True),
        ("check-proof-no-witness", ["check-proof", "line3.json", *k], None, True),
        ("check-proof-no-key", ["check-proof", "line3.json", "--witness", "witness.vkey"], None, True),
        (
            "check-proof-stdin",
            ["check-proof", "-", "--witness", "witness.vkey", *k],
            (folder / "line3.json").read_bytes(),
            False,
        ),
    ]
    return cases


def _head(folder: Path) -> str:
    return json.loads((folder / "good.wal").read_bytes().splitlines()[-1])["merkle_root"]


PYTHON_CASES = r"""
import errno, json, os, sys, dataclasses
import velm_qor_verify as v

key = open("key.hex").read()
vkey = open("witness.vkey").read().strip()
good_cp = open("good.cp").read()
prefix_cp = open("prefix.cp").read()
out = {}

def value(x):
    if isinstance(x, v.Report):
        return {"repr": repr(x), "json": x.to_json(), **{s: value(getattr(x, s)) for s in type(x).__slots__ if s != "_json"}}
    if dataclasses.is_dataclass(x):
        return {"type": type(x).__name__, **{f.name: value(getattr(x, f.name)) for f in dataclasses.fields(x)}}
    if isinstance(x, (tuple, list)):
        return [value(i) for i in x]
    if isinstance(x, dict):
        return {k: value(i) for k, i in x.items()}
    return x

def case(name, fn):
    try:
        out[name] = {"value": value(fn())}
    except Exception as e:
        out[name] = {"raised": type(e).__name__, "errno": getattr(e, "errno", None), "message": str(e)}

head = json.loads(open("good.wal", "rb").read().splitlines()[-1])["merkle_root"]
for log in ["good", "flipped", "badsig", "output", "wrongkey", "torn", "cut", "deleted", "reordered", "notjson", "ctrl", "empty"]:
    case(f"verify-{log}", lambda: v.verify(f"{log}.wal", key, jobs=2))
case("verify-many", lambda: v.verify(["good.wal", "torn.wal"], key, expect_heads=[head, "00" * 32]))
case("verify-series", lambda: v.verify(["rot.wal.2", "rot.wal.1", "rot.wal"], key, series=True, expect_heads=[head]))
case("verify-series-torn", lambda: v.verify(["rottorn.wal.1", "rottorn.wal"], key, series=True))
case("verify-file", lambda: v.verify(open("good.wal", "rb"), key))
case("verify-bytes-path", lambda: v.verify(b"good.wal", key))
case("verify-missing", lambda: v.verify("nothere.wal", key))
case("verify-many-missing", lambda: v.verify(["good.wal", "nothere.wal"], key))
case("verify-dir", lambda: v.verify("adir", key))
case("verify-bad-key", lambda: v.verify("good.wal", "abcd"))
case("verify-key-not-point", lambda: v.verify("good.wal", "ff" * 32))
case("verify-key-type", lambda: v.verify("good.wal", 5))
case("verify-bad-head", lambda: v.verify("good.wal", key, expect_heads=["zz"]))
case("verify-head-str", lambda: v.verify("good.wal", key, expect_heads="ab"))
case("verify-jobs-0", lambda: v.verify("good.wal", key, jobs=0))
case("verify-jobs-type", lambda: v.verify("good.wal", key, jobs="2"))
case("verify-series-type", lambda: v.verify("good.wal", key, series=1))
case("verify-no-logs", lambda: v.verify([], key))
case("verify-logs-type", lambda: v.verify(5, key))
class Broken:
    name = "broken"
    def read(self, n):
        raise OSError(errno.EIO, "broken read")
case("verify-broken-file", lambda: v.verify(Broken(), key))
class Wrong:
    def read(self, n):
        return "text"
case("verify-wrong-file", lambda: v.verify(Wrong(), key))
for log in ["good", "prefix", "torn", "reordered", "flipped"]:
    case(f"checkpoint-{log}", lambda: v.checkpoint(f"{log}.wal", key, "witness.key", "corpus.example/log"))
    case(f"checkpoint-{log}-prev", lambda: v.checkpoint(f"{log}.wal", key, "witness.key", "corpus.example/log", previous=good_cp))
case("checkpoint-prev-prefix", lambda: v.checkpoint("good.wal", key, "witness.key", "corpus.example/log", previous=prefix_cp))
case("checkpoint-prev-garbage", lambda: v.checkpoint("good.wal", key, "witness.key", "corpus.example/log", previous="garbage"))
case("checkpoint-missing", lambda: v.checkpoint("nothere.wal", key, "witness.key", "corpus.example/log"))
case("checkpoint-missing-wkey", lambda: v.checkpoint("good.wal", key, "nothere.key", "corpus.example/log"))
case("checkpoint-bad-origin", lambda: v.checkpoint("good.wal", key, "witness.key", "a b"))
case("checkpoint-bad-key", lambda: v.checkpoint("good.wal", "x", "witness.key", "corpus.example/log"))
case("checkpoint-path-type", lambda: v.checkpoint(5, key, "witness.key", "corpus.example/log"))
case("prove-3", lambda: v.prove("good.wal", 3, good_cp))
case("prove-12", lambda: v.prove("good.wal", 12, good_cp))
case("prove-13", lambda: v.prove("good.wal", 13, good_cp))
case("prove-0", lambda: v.prove("good.wal", 0, good_cp))
case("prove-neg", lambda: v.prove("good.wal", -1, good_cp))
case("prove-bool", lambda: v.prove("good.wal", True, good_cp))
case("prove-mismatch", lambda: v.prove("reordered.wal", 3, good_cp))
case("prove-bad-cp", lambda: v.prove("good.wal", 3, "garbage"))
case("prove-missing", lambda: v.prove("nothere.wal", 3, good_cp))
bundle = open("line3.json").read()
tampered = open("tampered.json").read()
case("check-proof", lambda: v.check_proof(bundle, vkey, key))
case("check-proof-list", lambda: v.check_proof(bundle, [open("other-witness.vkey").read().strip(), vkey], key))
case("check-proof-tampered", lambda: v.check_proof(tampered, vkey, key))
case("check-proof-garbage", lambda: v.check_proof("{", vkey, key))
case("check-proof-bad-witness", lambda: v.check_proof(bundle, "nokey", key))
case("check-proof-no-witness", lambda: v.check_proof(bundle, [], key))
case("check-proof-bad-key", lambda: v.check_proof(bundle, vkey, "zz"))
json.dump(out, sys.stdout, indent=1, ensure_ascii=False)
"""


def capture(folder: Path, out: Path) -> None:
    folder, out = folder.resolve(), out.resolve()
    if out.exists():
        shutil.rmtree(out)
    (out / "cmd").mkdir(parents=True)
    scratch = out / "scratch"
    for name, args, stdin, usage in command_cases(folder):
        proc = run(args, folder, stdin)
        (out / "cmd" / f"{name}.out").write_bytes(proc.stdout)
        (out / "cmd" / f"{name}.err").write_bytes(proc.stderr)
        (out / "cmd" / f"{name}.rc").write_text(f"{proc.returncode}\n{'usage' if usage else ''}\n")
    # A new witness key: its bytes are new every time; its form and the file's mode are recorded.
    scratch.mkdir()
    proc = run(["witness-key", scratch / "new.key", "--name", ORIGIN], folder)
    made = scratch / "new.key"
    (out / "cmd" / "witness-key-new.rc").write_text(
        f"{proc.returncode}\nstdout {proc.stdout.startswith(ORIGIN.encode() + b'+')} {len(proc.stdout)} bytes; stderr {proc.stderr!r}; "
        f"file {made.stat().st_size} bytes mode {made.stat().st_mode & 0o777:o}\n"
    )
    proc = subprocess.run([PYTHON, "-c", PYTHON_CASES], cwd=folder, capture_output=True, timeout=600)
    if proc.returncode != 0:
        sys.exit(proc.stderr.decode())
    (out / "python.json").write_bytes(proc.stdout)
    shutil.rmtree(scratch)
    print(f"{len(list((out / 'cmd').iterdir()))} files and python.json in {out}")


def json_grows(old, new) -> bool:
    """new is old with members added (never removed, reordered or changed)."""
    if isinstance(old, dict) and isinstance(new, dict):
        keys = [k for k in new if k in old]
        return keys == list(old) and all(json_grows(old[k], new[k]) for k in old)
    if isinstance(old, list) and isinstance(new, list):
        return len(old) == len(new) and all(json_grows(a, b) for a, b in zip(old, new))
    return type(old) is type(new) and old == new


def same_json_text(old: bytes, new: bytes) -> bool:
    try:
        return json_grows(json.loads(old), json.loads(new))
    except ValueError:
        return False


def compare(old: Path, new: Path) -> int:
    problems = []
    old_files = {p.relative_to(old) for p in old.rglob("*") if p.is_file()}
    new_files = {p.relative_to(new) for p in new.rglob("*") if p.is_file()}
    for missing in sorted(old_files ^ new_files):
        problems.append(f"{missing}: only in {'old' if missing in old_files else 'new'}")
    for rel in sorted(old_files & new_files):
        a, b = (old / rel).read_bytes(), (new / rel).read_bytes()
        if a == b:
            continue
        name = rel.name.rsplit(".", 1)[0]
        usage = (old / rel.parent / f"{name}.rc").exists() and "usage" in (old / rel.parent / f"{name}.rc").read_text()
        if name == "help" and rel.suffix == ".out":
            continue  # --help comes from the flag table
        if usage and rel.suffix == ".err" and a.split(b"\n", 1)[0] == b.split(b"\n", 1)[0]:
            continue  # the usage text after the message
        if rel.suffix == ".out" and same_json_text(a, b):
            continue
        if rel.name == "python.json" and json_grows(json.loads(a), json.loads(b)):
            continue
        if rel.name == "python.json":
            da, db = json.loads(a), json.loads(b)
            for k in da:
                if da[k] != db.get(k):
                    problems.append(f"python.json: {k}: {json.dumps(da[k])[:300]} -> {json.dumps(db.get(k))[:300]}")
            continue
        problems.append(f"{rel}: {a[:300]!r} -> {b[:300]!r}")
    for p in problems:
        print("DIFFERS", p)
    print(f"{len(old_files)} files compared, {len(problems)} differ")
    return 1 if problems else 0


def main() -> int:
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    what = sys.argv[1]
    if what == "logs":
        make_logs(Path(sys.argv[2]))
    elif what == "capture":
        capture(Path(sys.argv[2]), Path(sys.argv[3]))
    elif what == "compare":
        return compare(Path(sys.argv[2]), Path(sys.argv[3]))
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
