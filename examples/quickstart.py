"""Capture a few decisions into a record log and print the sealed records."""

import json
import os
import sys
import tempfile

import velm_qor


def main() -> None:
    log_dir = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="velm_qor_")
    log_path = os.path.join(log_dir, "audit.wal")
    engine = velm_qor.QOREngine(log_path)
    print("log file:  ", log_path)
    print("key file:  ", log_path + ".key")
    print("public key:", engine.public_key_hex())

    ppp = velm_qor.PPPTriplet("model:v3/training-run-7", "eu-west-1/node-12", "credit limit review")
    review = velm_qor.HumanDeltaChain("decision-0001", False, "analyst-desk")

    for n, (prompt, output) in enumerate(
        [
            ("Raise the limit for account 1001?", "Yes, to 5,000 EUR."),
            ("Raise the limit for account 1002?", "No: the payment history is too short."),
            ("Raise the limit for account 1003?", "Yes, to 2,500 EUR."),
        ]
    ):
        record = engine.capture(
            {"account": 1001 + n, "channel": "web"},
            prompt,
            ["fetched history", "scored risk"],
            output,
            ppp,
            review,
        )
        print()
        print("record", record.id, "at", record.timestamp)
        print("  hash       ", record.hash)
        print("  merkle_root", record.merkle_root)
        print("  coherence  ", record.coherence_score, " reputation", record.reputation_scalar)
        insight = record.core_insight_json
        print("  insight    ", json.loads(insight)["lesson"] if insight else None)

    with open(log_path, encoding="utf-8") as log:
        lines = log.read().splitlines()
    print()
    print(len(lines), "lines in the log")


if __name__ == "__main__":
    main()
