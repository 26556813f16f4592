"""Throughput of velm_qor_verify.dask.verify_many over 50 logs of 20,000 lines each, on a local
cluster of 1 and then 2 worker processes (one thread each). Prints lines per second, the ratio of
the two, and the load average; asserts nothing about time.

The 50 logs are copies of one log of 20,000 records (each task verifies a whole log, so copies
cost the same as distinct logs), written once with velm_qor and kept in build/bench-fleet/.

Usage: python benchmarks/verify_many_bench.py [FOLDER]
"""

import os
import shutil
import sys
import time

import velm_qor

LOGS = 50
LINES = 20_000


def fleet(folder: str):
    os.makedirs(folder, exist_ok=True)
    first = os.path.join(folder, "host00.wal")
    key_file = os.path.join(folder, "key.hex")
    if not os.path.exists(key_file):
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        engine = velm_qor.QOREngine(first)
        ppp = velm_qor.PPPTriplet("model:credit-v3", "eu-west-1/node-12", "credit limit review")
        review = velm_qor.HumanDeltaChain("decision", False, "analyst-desk")
        for i in range(LINES):
            engine.capture(
                {"account": i, "region": "eu-west-1"},
                "p" * (150 + i % 200),
                ["scored risk"],
                "o" * (200 + i % 300),
                ppp,
                review,
                auto_insight=i % 3 != 0,
            )
        for h in range(1, LOGS):
            shutil.copyfile(first, os.path.join(folder, f"host{h:02}.wal"))
        with open(key_file, "w") as f:
            f.write(engine.public_key_hex())
    with open(key_file) as f:
        key = f.read()
    return [os.path.join(folder, f"host{h:02}.wal") for h in range(LOGS)], key


def main() -> None:
    try:
        import distributed

        from velm_qor_verify.dask import verify_many
    except ImportError:
        sys.exit("verify_many benchmark: the dask extra is not installed (pip install '.[dask]')")
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "bench-fleet")
    started = time.perf_counter()
    logs, key = fleet(folder)
    print(f"verify_many: {LOGS} logs of {LINES} lines ready in {time.perf_counter() - started:.1f} s ({folder})")
    rates = {}
    for workers in (1, 2):
        with (
            distributed.LocalCluster(
                n_workers=workers, processes=True, threads_per_worker=1, dashboard_address=":0"
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            verify_many(logs[:2], key, client=client)  # workers warmed up: modules imported
            start = time.perf_counter()
            report = verify_many(logs, key, client=client)
            seconds = time.perf_counter() - start
        if not report.ok or report.lines != LOGS * LINES:
            sys.exit("verify_many benchmark: the logs do not verify")
        rates[workers] = report.lines / seconds
        print(
            f"verify_many: {workers} worker process(es): {report.lines} lines in {seconds:.1f} s, "
            f"{rates[workers]:,.0f} lines/s"
        )
    print(
        f"verify_many: 2 workers / (2 x 1 worker) = {rates[2] / (2 * rates[1]):.2f}; "
        f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores"
    )


if __name__ == "__main__":
    main()
