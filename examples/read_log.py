"""Read a record log with nothing but the standard library's json module.

Usage: python examples/read_log.py [LOG]   (without LOG, a small log is written first)
"""

import json
import os
import sys
import tempfile
from typing import Any, Dict, List

import velm_qor


def write_sample_log(directory: str) -> str:
    path = os.path.join(directory, "audit.wal")
    engine = velm_qor.QOREngine(path)
    ppp = velm_qor.PPPTriplet("model:v3", "eu-west-1/node-12", "support triage")
    for n, ticket in enumerate(["printer on fire", "password reset", "refund request"]):
        review = velm_qor.HumanDeltaChain(f"ticket-{n}", n % 2 == 0, "support-lead")
        engine.capture({"ticket": n}, f"Route: {ticket}", ["classified"], "queue B", ppp, review)
    return path


def read_log(path: str) -> List[Dict[str, Any]]:
    with open(path, encoding="utf-8") as log:
        return [json.loads(line) for line in log if line.strip()]


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else write_sample_log(tempfile.mkdtemp(prefix="velm_qor_"))
    for record in read_log(path):
        ppp = json.loads(record["ppp_json"])  # nested JSON texts are stored as strings
        review = json.loads(record["human_delta_chain_json"])
        print(f"{record['timestamp']}  {record['id']}")
        print(f"  {ppp['purpose']!r} at {ppp['place']!r}; prompt {record['prompt']!r} -> {record['output']!r}")
        print(
            f"  coherence {record['coherence_score']:.6f}  reputation {record['reputation_scalar']:.6f}"
            f"  resolved {review['resolved']}"
        )
        print(f"  chain root {record['merkle_root'][:16]}...  insight {record['core_insight_json'] is not None}")


if __name__ == "__main__":
    main()
