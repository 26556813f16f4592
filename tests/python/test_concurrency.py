"""Python threads sharing engines and inputs while json.dumps hands the GIL around."""

import json
import threading
import time
from types import SimpleNamespace

import velm_qor
from conftest import GENESIS_HEX, b3hex, next_root_hex, seal_text, verify_record
from test_hostile_input import assert_line_matches, check_log

RUN_SECONDS = 1.5
MAX_CAPTURES_PER_THREAD = 2000


class Yielding(dict):
    """A ctx whose serialisation gives other threads the GIL, then does a little work of its own."""

    def items(self):
        time.sleep(0)
        sum(range(50))
        return super().items()


class YieldingThenFailing(dict):
    """A ctx that gives up the GIL and then makes its capture fail (json.dumps skips items() when empty)."""

    def items(self):
        time.sleep(0)
        raise LookupError("planned")


def run_threads(workers):
    """Starts every worker at once and returns when all have finished; each stops by the deadline."""
    barrier = threading.Barrier(len(workers))
    crashes = []

    def wrap(fn):
        def body():
            barrier.wait()
            try:
                fn(time.monotonic() + RUN_SECONDS)
            except BaseException as exc:  # noqa: BLE001 - reported below
                crashes.append(repr(exc))

        return body

    threads = [threading.Thread(target=wrap(fn)) for fn in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert crashes == []


def test_threads_on_shared_and_separate_engines(tmp_path):
    wal = str(tmp_path / "threads.wal")
    shared = velm_qor.QOREngine(wal)
    separate = {"own-1": velm_qor.QOREngine(wal), "own-2": velm_qor.QOREngine(wal)}
    public_key = shared.public_key_hex()
    assert all(e.public_key_hex() == public_key for e in separate.values())  # one key file
    # One input pair used by every thread: concurrent captures only read it.
    ppp = velm_qor.PPPTriplet("prov", "place-0", "purpose")
    review = velm_qor.HumanDeltaChain("ref", False, "node", "chain")

    records = {"shared": [], "own-1": [], "own-2": []}
    errors = {"shared": [], "own-1": [], "own-2": [], "mutator": []}
    attempts = {"shared": 0, "own-1": 0, "own-2": 0}
    lock = threading.Lock()

    def capturer(engine, name, thread_no):
        def work(deadline):
            n = 0
            while time.monotonic() < deadline and n < MAX_CAPTURES_PER_THREAD:
                # Every seventh capture fails on its own, mixing failures in with the conflicts.
                ctx = YieldingThenFailing(n=n) if n % 7 == 3 else Yielding(engine=name, thread=thread_no, n=n)
                try:
                    # The name in the prompt keeps the engines' chains apart in the shared log.
                    record = engine.capture(ctx, name + "é" * (n % 17), [n], "o" * (n % 5), ppp, review,
                                            auto_insight=n % 2 == 0)
                except BaseException as exc:  # noqa: BLE001
                    with lock:
                        errors[name].append((type(exc).__name__, str(exc)))
                else:
                    with lock:
                        records[name].append(record)
                n += 1
            with lock:
                attempts[name] += n

        return work

    def mutator(deadline):
        n = 0
        while time.monotonic() < deadline:
            for what, fn in [("set", lambda: setattr(ppp, "place", f"place-{n}")),
                             ("set", lambda: setattr(review, "resolved", n % 2 == 1)),
                             ("key", shared.public_key_hex)]:
                try:
                    result = fn()
                    assert what != "key" or result == public_key
                except RuntimeError as exc:
                    errors["mutator"].append((what, str(exc)))
            time.sleep(0)
            n += 1

    workers = [capturer(shared, "shared", i) for i in range(3)]
    workers += [capturer(engine, name, 0) for name, engine in separate.items()]
    workers.append(mutator)
    run_threads(workers)

    # Conflicts really happened on the shared engine, and only there.
    planned = ("LookupError", "planned")
    for name in ["own-1", "own-2"]:
        assert set(errors[name]) == {planned}
        assert len(errors[name]) == len(range(3, attempts[name], 7))
        assert len(records[name]) + len(errors[name]) == attempts[name]
    conflict = ("RuntimeError", "Already borrowed")
    assert conflict in errors["shared"], "no capture ever overlapped another on the shared engine"
    assert set(errors["shared"]) == {conflict, planned}
    assert len(records["shared"]) + len(errors["shared"]) == attempts["shared"]
    assert {("set", "Already borrowed"), ("key", "Already mutably borrowed")} >= set(errors["mutator"])
    assert errors["mutator"], "the mutator never met a capture in progress"
    assert all(records.values())

    for name, recs in records.items():
        for record in recs:
            verify_record(record, public_key)
            sealed_ppp = SimpleNamespace(**json.loads(record.ppp_json))
            assert record.hash == b3hex(seal_text(sealed_ppp, record.prompt, record.coherence_score,
                                                  record.reputation_scalar))
            assert json.loads(record.ctx_json)["engine"] == name

    # One chain per engine in the shared log, holding exactly that engine's records.
    chains = check_log((tmp_path / "threads.wal").read_bytes(), public_key)
    assert len(chains) == 3
    by_engine = {}
    for chain in chains:
        names = {json.loads(line["ctx_json"])["engine"] for line in chain}
        assert len(names) == 1
        by_engine[names.pop()] = chain
    assert sorted(by_engine) == sorted(records)
    for name, chain in by_engine.items():
        returned = {r.id: r for r in records[name]}
        assert len(chain) == len(returned) and {line["id"] for line in chain} == set(returned)
        for line in chain:
            assert_line_matches(line, returned[line["id"]])
        # Neither refused nor failed captures disturbed the scores: replaying the chain's lengths on
        # a fresh engine gives the same sequence.
        twin = velm_qor.QOREngine(":memory:")
        for line in chain:
            again = twin.capture(None, "x" * len(line["prompt"].encode()), None, line["output"], ppp, review)
            assert (again.coherence_score, again.reputation_scalar) == (
                line["coherence_score"], line["reputation_scalar"],
            )


def test_threads_on_memory_engines_reading_shared_inputs():
    # Each thread owns its engine; all share the inputs. Nothing may fail, and every chain is intact.
    ppp = velm_qor.PPPTriplet("a", "b", "c")
    review = velm_qor.HumanDeltaChain("r", True, "t", "c")
    engines = [velm_qor.QOREngine(":memory:") for _ in range(4)]
    results = [[] for _ in engines]

    def worker(index):
        def work(deadline):
            n = 0
            while time.monotonic() < deadline and n < MAX_CAPTURES_PER_THREAD:
                results[index].append(engines[index].capture(Yielding(n=n), "p" * (n % 9), None, "", ppp, review))
                n += 1

        return work

    run_threads([worker(i) for i in range(len(engines))])
    for engine, recs in zip(engines, results):
        assert len(recs) > 10
        root = GENESIS_HEX
        for n, record in enumerate(recs):
            assert record.merkle_root == next_root_hex(root, record.hash)
            assert json.loads(record.ctx_json) == {"n": n}
            root = record.merkle_root
        verify_record(recs[-1], engine.public_key_hex())
