"""Captures one fixed scenario into a new log and prints the bits of every score: one engine, so
one history, of COUNT captures whose prompt and output lengths vary from empty to tens of
kilobytes, in text of one- to four-byte characters. The inputs are the same on every machine, so
two builds that score alike print the same lines. The log's public key goes to LOG.pub.

Usage: score-scenario.py LOG [--site DIR] [--count N]
"""

import argparse
import random
import struct
import sys
import warnings

parser = argparse.ArgumentParser()
parser.add_argument("log")
parser.add_argument("--site", help="a folder the wheel was unpacked into, searched first")
parser.add_argument("--count", type=int, default=600)
args = parser.parse_args()
if args.site:
    sys.path.insert(0, args.site)

import velm_qor  # noqa: E402

rng = random.Random(20281)
# Lengths around the scoring's edges (powers of two, primes, zero), then random ones of any size.
chosen = [0, 1, 2, 3, 5, 8, 13, 40, 100, 255, 256, 257, 1000, 4095, 4096, 9973, 65535, 65537]
letters = ["a", "\u00e9", "\u20ac", "\U0001f600"]  # 1 to 4 bytes in UTF-8


def text(n: int) -> str:
    return rng.choice(letters) * n


engine = velm_qor.QOREngine(args.log)
ppp = velm_qor.PPPTriplet("model:scenario", "node-1", "score scenario")
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for i in range(args.count):
        sizes = [
            rng.choice(chosen) if rng.random() < 0.3 else rng.randrange(0, 1 << rng.randrange(1, 17)) for _ in "po"
        ]
        record = engine.capture(
            {"i": i},
            text(sizes[0]),
            ["step"],
            text(sizes[1]),
            ppp,
            velm_qor.HumanDeltaChain(f"d{i}", i % 3 == 0, "desk"),
            auto_insight=i % 5 != 0,
        )
        coherence = struct.pack(">d", record.coherence_score).hex()
        reputation = struct.pack(">d", record.reputation_scalar).hex()
        print(i, coherence, reputation)
for w in caught:
    print("warning:", w.message, file=sys.stderr)
with open(args.log + ".pub", "w") as f:
    f.write(engine.public_key_hex() + "\n")
