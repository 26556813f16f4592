"""What an auditor runs, over a log of 100,000 lines in 10,000 chains: records() beside
pandas.read_json(lines=True) and the verification alone, and velm-qor-verify --html beside the
same command without it, with the page's size. Prints figures; asserts nothing.

The log is written once with velm_qor and kept in FOLDER (default build/bench-auditor).

Usage: python benchmarks/auditor_bench.py VELM_QOR_VERIFY [FOLDER]
"""

import os
import subprocess
import sys
import time

import pandas as pd

import velm_qor
import velm_qor_verify

CHAINS, PER_CHAIN = 10_000, 10


def write_log(path: str) -> str:
    """CHAINS engines, one after another, capturing PER_CHAIN records each; returns the public key."""
    if os.path.exists(path) and os.path.exists(path + ".key"):
        return velm_qor.QOREngine(path).public_key_hex()
    ppp = velm_qor.PPPTriplet("model:v3", "eu-west-1/node-12", "credit limit review")
    key = ""
    for c in range(CHAINS):
        engine = velm_qor.QOREngine(path)
        review = velm_qor.HumanDeltaChain(f"decision-{c}", c % 7 == 0, "analyst-desk")
        for i in range(PER_CHAIN):
            engine.capture(
                {"account": c, "i": i}, f"Raise the limit for {c}?", ["scored", i], "Yes." * (i % 3), ppp, review
            )
        key = engine.public_key_hex()
    return key


def best(fn, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    command = sys.argv[1]
    folder = sys.argv[2] if len(sys.argv) > 2 else "build/bench-auditor"
    os.makedirs(folder, exist_ok=True)
    log = os.path.join(folder, "audit.wal")
    key = write_log(log)
    size = os.path.getsize(log)
    print(f"log: {CHAINS * PER_CHAIN} lines in {CHAINS} chains, {size / 1e6:.1f} MB")

    verify = best(lambda: velm_qor_verify.verify(log, key))
    read_json = best(lambda: pd.read_json(log, lines=True))
    records = best(lambda: velm_qor_verify.records(log, key))
    print(f"verify():                        {verify:7.3f} s")
    print(f"pandas.read_json(lines=True):    {read_json:7.3f} s")
    print(
        f"records():                       {records:7.3f} s  (target: at most {read_json + verify:.3f} s, "
        f"read_json + verify; ratio {records / (read_json + verify):.2f})"
    )

    page = os.path.join(folder, "report.html")
    base = [command, log, "--public-key", key]
    plain = best(lambda: subprocess.run(base, stdout=subprocess.DEVNULL, check=False))
    html = best(lambda: subprocess.run([*base, "--html", page], stdout=subprocess.DEVNULL, check=False))
    print(f"velm-qor-verify:                 {plain:7.3f} s")
    print(
        f"velm-qor-verify --html:          {html:7.3f} s  ({html - plain:+.3f} s beyond verification; target under 2 s)"
    )
    print(f"page:                            {os.path.getsize(page) / 1e6:7.2f} MB (target under 5 MB)")
    report = velm_qor_verify.verify(log, key)
    render = best(report.to_html)
    print(f"Report.to_html() alone:          {render:7.3f} s  (the page rendered from a verified run)")


if __name__ == "__main__":
    main()
