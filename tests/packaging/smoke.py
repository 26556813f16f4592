"""Runs inside the environment a portable wheel was installed into: every extension module of the
wheel imports, the system's copies of the bundled libraries cannot be loaded, a log is captured and
every program of the wheel checks it, also against a witnessed checkpoint; the log's public key is
left in WORKDIR/audit.wal.pub. With --run-with, each program is started through that command (an
emulator for another architecture's binaries).

Usage: smoke.py WORKDIR --modules NAME... --programs PATH... [--masked PATH...] [--run-with CMD]
"""

import argparse
import ctypes
import importlib
import os
import subprocess
import sys
import warnings

parser = argparse.ArgumentParser()
parser.add_argument("workdir")
parser.add_argument("--modules", nargs="+", required=True)
parser.add_argument("--programs", nargs="+", required=True)
parser.add_argument("--masked", nargs="*", default=[])
parser.add_argument("--run-with", default="")
args = parser.parse_args()
prefix = args.run_with.split()


def run(*argv: str) -> "subprocess.CompletedProcess[str]":
    return subprocess.run([*prefix, *argv], capture_output=True, text=True, timeout=120)


for path in args.masked:
    try:
        ctypes.CDLL(path)
    except OSError:
        continue
    sys.exit(f"{path} still loads: the system library is not masked")

for name in args.modules:
    module = importlib.import_module(name)
    assert module.__file__ and not module.__file__.startswith(("/usr/", "/lib")), module.__file__
    print("imported", name, "from", module.__file__)

import velm_qor  # noqa: E402

# The engine's own check of this machine's sinf must find nothing to warn about here.
warnings.simplefilter("error", RuntimeWarning)
log = os.path.join(args.workdir, "audit.wal")
engine = velm_qor.QOREngine(log)
ppp = velm_qor.PPPTriplet("model:v3", "node-1", "portable wheel check")
for n in range(3):
    engine.capture({"n": n}, f"prompt {n}", ["step"], "answer", ppp, velm_qor.HumanDeltaChain(f"d{n}", True, "desk"))
key = engine.public_key_hex()

for program in args.programs:
    out = run(program, "--help")
    assert out.returncode == 0 and out.stdout, (program, out.returncode, out.stderr)

verify = next(p for p in args.programs if os.path.basename(p) == "velm-qor-verify")
good = run(verify, log, "--public-key", key)
assert good.returncode == 0, (good.returncode, good.stdout, good.stderr)
with open(log + ".pub", "w") as f:
    f.write(key + "\n")

# A checkpoint of the log, signed with a key of the log's origin, and the log checked against it.
wkey = os.path.join(args.workdir, "witness.key")
made = run(verify, "witness-key", wkey, "--name", "example.com/audit")
assert made.returncode == 0 and made.stdout.startswith("example.com/audit+"), (
    made.returncode,
    made.stdout,
    made.stderr,
)
checkpoint = run(verify, "checkpoint", log, "--public-key", key, "--witness-key", wkey, "--origin", "example.com/audit")
assert checkpoint.returncode == 0 and checkpoint.stdout.split("\n")[1] == "3", (checkpoint.stdout, checkpoint.stderr)
cpfile = os.path.join(args.workdir, "audit.cp")
with open(cpfile, "w") as f:
    f.write(checkpoint.stdout)
witnessed = run(verify, log, "--public-key", key, "--checkpoint", cpfile, "--witness", made.stdout.strip())
assert witnessed.returncode == 0, (witnessed.returncode, witnessed.stdout, witnessed.stderr)

# The verifier's Python package gives the same verdict.
import velm_qor_verify  # noqa: E402

assert velm_qor_verify.verify(log, key).ok

with open(log, "rb") as f:
    lines = f.readlines()
lines[1] = lines[1].replace(b'"prompt 1"', b'"prompt X"')
tampered = os.path.join(args.workdir, "tampered.wal")
with open(tampered, "wb") as f:
    f.writelines(lines)
bad = run(verify, tampered, "--public-key", key)
assert bad.returncode == 1 and "hash mismatch" in bad.stdout, (bad.returncode, bad.stdout, bad.stderr)
print(
    f"captured 3 records; velm-qor-verify accepts the log and its witnessed checkpoint and rejects a changed prompt;"
    f" {len(args.masked)} system libraries masked"
)
