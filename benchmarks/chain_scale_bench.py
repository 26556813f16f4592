"""velm-qor-verify on logs of many one-record chains: the seconds for 4,000 and 16,000 chains whose
first record is the same (engines whose first capture is the same health check), beside as many
distinct ones, and the peak memory for 10,000 one-record chains with the right key, the wrong key
and hash mismatches. Prints figures; asserts nothing.

The logs are written once with velm_qor and kept in FOLDER (default build/bench-chains).

Usage: python benchmarks/chain_scale_bench.py VELM_QOR_VERIFY [FOLDER]
"""

import os
import subprocess
import sys

import velm_qor

PPP = velm_qor.PPPTriplet("probe", "node-1", "health check")
REVIEW = velm_qor.HumanDeltaChain("probe", True, "ok")


def write_log(path: str, chains: int, same_first: bool) -> str:
    """`chains` engines capturing one record each into `path`; returns the public key."""
    if os.path.exists(path) and os.path.exists(path + ".key"):
        return velm_qor.QOREngine(path).public_key_hex()  # reuses the log's key file
    for suffix in ("", ".key"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)
    key = None
    for i in range(chains):
        engine = velm_qor.QOREngine(path)
        engine.capture(None, "status?" if same_first else f"status {i}?", None, "ok", PPP, REVIEW)
        key = engine.public_key_hex()
    return key


def with_hash_mismatches(source: str, path: str) -> None:
    """Every record's output changed after it was sealed."""
    if not os.path.exists(path):
        with open(source, "rb") as f, open(path, "wb") as out:
            for line in f:
                out.write(line.replace(b'"output":"ok"', b'"output":"OK"', 1))


# Each run is started from a small interpreter of its own: a child's peak RSS counts the memory of
# the process it was forked from (before exec), and this one holds the logs' writer.
MEASURE = (
    "import resource, subprocess, sys, time\n"
    "started = time.perf_counter()\n"
    "proc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)\n"
    "seconds = time.perf_counter() - started\n"
    "sys.stderr.buffer.write(proc.stderr)\n"
    "print(proc.returncode, seconds, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
)


def run(verify: str, log: str, key: str):
    """Seconds and peak resident memory (MB) of one run of the command over `log`."""
    out = subprocess.run(
        [sys.executable, "-c", MEASURE, verify, log, "--public-key", key, "--jobs", "1"], capture_output=True
    )
    rc, seconds, kib = out.stdout.split()
    if int(rc) not in (0, 1):
        sys.exit(f"{verify} failed on {log}: {out.stderr.decode(errors='replace')}")
    return float(seconds), int(kib) / 1024


def main() -> None:
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    verify = sys.argv[1]
    folder = sys.argv[2] if len(sys.argv) > 2 else os.path.join("build", "bench-chains")
    os.makedirs(folder, exist_ok=True)

    print("velm-qor-verify over one-record chains (--jobs 1)")
    for chains in (4_000, 16_000):
        same = os.path.join(folder, f"same-first-{chains}.wal")
        distinct = os.path.join(folder, f"distinct-{chains}.wal")
        same_key = write_log(same, chains, True)
        distinct_key = write_log(distinct, chains, False)
        same_s, _ = run(verify, same, same_key)
        distinct_s, _ = run(verify, distinct, distinct_key)
        print(
            f"  {chains:>6,} chains, one first record: {same_s:7.2f} s   "
            f"distinct first records: {distinct_s:7.2f} s   ratio {same_s / distinct_s:5.2f}"
        )

    log = os.path.join(folder, "distinct-10000.wal")
    key = write_log(log, 10_000, False)
    mismatched = os.path.join(folder, "mismatched-10000.wal")
    with_hash_mismatches(log, mismatched)
    wrong_key = velm_qor.QOREngine(os.path.join(folder, "other.wal")).public_key_hex()
    for label, path, k in (
        ("right key", log, key),
        ("wrong key", log, wrong_key),
        ("hash mismatches", mismatched, key),
    ):
        seconds, peak = run(verify, path, k)
        print(f"  10,000 one-record chains, {label + ':':<16} peak RSS {peak:7.1f} MB   ({seconds:.2f} s)")


if __name__ == "__main__":
    main()
