"""Write a small record log, then check it with velm-qor-verify, the way an auditor would.

Usage: python examples/verify_log.py
"""

import os
import shutil
import subprocess
import sys
import tempfile

import velm_qor


def verifier() -> str:
    """The velm-qor-verify installed beside this interpreter, else the one on PATH."""
    beside = os.path.join(os.path.dirname(sys.executable), "velm-qor-verify")
    found = beside if os.path.exists(beside) else shutil.which("velm-qor-verify")
    if found is None:
        raise SystemExit("velm-qor-verify is not installed: pip install . from the repository")
    return found


def main() -> None:
    directory = tempfile.mkdtemp(prefix="velm_qor_")
    log_path = os.path.join(directory, "audit.wal")
    engine = velm_qor.QOREngine(log_path)
    ppp = velm_qor.PPPTriplet("model:v3", "eu-west-1/node-12", "fraud screening")
    for n in range(5):
        review = velm_qor.HumanDeltaChain(f"txn-{n}", n % 2 == 0, "fraud-desk")
        engine.capture({"txn": n}, f"Is transaction {n} fraudulent?", ["checked velocity"], "no", ppp, review)

    # The public key is all the auditor needs besides the log.
    public_key = engine.public_key_hex()
    result = subprocess.run([verifier(), log_path, "--public-key", public_key], capture_output=True, text=True)
    print(result.stdout, end="")
    print("exit status", result.returncode, "(0: every line verifies)")
    if result.returncode != 0:
        raise SystemExit(result.returncode)

    # Tamper with one sealed field and check again: the verifier names the line and the fault.
    with open(log_path, encoding="utf-8") as log:
        lines = log.readlines()
    lines[2] = lines[2].replace("Is transaction 2", "Is transaction 9")
    with open(log_path, "w", encoding="utf-8") as log:
        log.writelines(lines)
    result = subprocess.run([verifier(), log_path, "--public-key", public_key], capture_output=True, text=True)
    print()
    print("after editing the prompt of line 3:")
    print(result.stdout, end="")
    print("exit status", result.returncode, "(1: a check failed)")
    if result.returncode != 1:
        raise SystemExit("tampering went unnoticed")


if __name__ == "__main__":
    main()
