"""Verify record logs from Python with velm_qor_verify: a log, a damaged copy, and a log rotated
by renaming while its engine kept writing, read back as one series.

Usage: python examples/verify_api.py
"""

import os
import tempfile

import velm_qor
import velm_qor_verify


def main() -> None:
    directory = tempfile.mkdtemp(prefix="velm_qor_")
    log_path = os.path.join(directory, "audit.wal")
    engine = velm_qor.QOREngine(log_path)
    ppp = velm_qor.PPPTriplet("model:v3", "eu-west-1/node-12", "credit limit review")
    for n in range(6):
        review = velm_qor.HumanDeltaChain(f"decision-{n}", n % 2 == 0, "analyst-desk")
        engine.capture({"account": n}, f"Raise the limit of account {n}?", ["scored risk"], "Yes.", ppp, review)
        if n == 2:
            os.rename(log_path, log_path + ".1")  # rotated: the engine goes on in a new audit.wal
    public_key = engine.public_key_hex()

    # The rotated pieces, oldest first, are one log: one chain of six records.
    report = velm_qor_verify.verify([log_path + ".1", log_path], public_key, series=True)
    print("series ok:", report.ok, "lines:", report.lines, "chains:", len(report.chains))
    for chain in report.chains:
        print(f"  chain of {chain.records} records, lines {chain.first_line}..{chain.last_line}, head {chain.head}")
    if not report.ok:
        raise SystemExit("the rotated log does not verify")

    # The newer piece copied with one prompt changed: the failure names the file and the line.
    with open(log_path, "rb") as log:
        lines = log.readlines()
    lines[1] = lines[1].replace(b"account 4?", b"account 9?")
    damaged = os.path.join(directory, "damaged.wal")
    with open(damaged, "wb") as out:
        out.writelines(lines)
    with open(damaged, "rb") as log:  # a binary file object works as well as a path
        report = velm_qor_verify.verify([log_path + ".1", log], public_key, series=True, jobs=1)
    for failure in report.failures:
        print(f"{os.path.basename(failure.file)} line {failure.line}: {failure.kind}: {failure.detail}")
    if report.ok:
        raise SystemExit("tampering went unnoticed")
    # The same report as velm-qor-verify audit.wal.1 damaged.wal --series --public-key KEY --json.
    print(len(report.to_json()), "bytes of JSON report")


if __name__ == "__main__":
    main()
