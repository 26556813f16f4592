"""Runs inside the environment a portable wheel was installed into: every extension module of the
wheel imports, the system's copies of the bundled libraries cannot be loaded, a log is captured and
every program of the wheel checks it.

Usage: smoke.py WORKDIR --modules NAME... --programs PATH... --masked PATH...
"""

import argparse
import ctypes
import importlib
import os
import subprocess
import sys

parser = argparse.ArgumentParser()
parser.add_argument("workdir")
parser.add_argument("--modules", nargs="+", required=True)
parser.add_argument("--programs", nargs="+", required=True)
parser.add_argument("--masked", nargs="*", default=[])
args = parser.parse_args()

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

log = os.path.join(args.workdir, "audit.wal")
engine = velm_qor.QOREngine(log)
ppp = velm_qor.PPPTriplet("model:v3", "node-1", "portable wheel check")
for n in range(3):
    engine.capture({"n": n}, f"prompt {n}", ["step"], "answer", ppp, velm_qor.HumanDeltaChain(f"d{n}", True, "desk"))
key = engine.public_key_hex()

for program in args.programs:
    out = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout, (program, out.returncode, out.stderr)

verify = next(p for p in args.programs if os.path.basename(p) == "velm-qor-verify")
good = subprocess.run([verify, log, "--public-key", key], capture_output=True, text=True, timeout=60)
assert good.returncode == 0, (good.returncode, good.stdout, good.stderr)

with open(log, "rb") as f:
    lines = f.readlines()
lines[1] = lines[1].replace(b'"prompt 1"', b'"prompt X"')
tampered = os.path.join(args.workdir, "tampered.wal")
with open(tampered, "wb") as f:
    f.writelines(lines)
bad = subprocess.run([verify, tampered, "--public-key", key], capture_output=True, text=True, timeout=60)
assert bad.returncode == 1 and "hash mismatch" in bad.stdout, (bad.returncode, bad.stdout, bad.stderr)
print(
    f"captured 3 records; velm-qor-verify accepts the log and rejects a changed prompt; {len(args.masked)} system libraries masked"
)
