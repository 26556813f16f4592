"""Python threads sharing engines and inputs while json.dumps hands the GIL around; the log's lock; fork."""

import json
import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path
from types import SimpleNamespace

import pytest
from test_hostile_input import assert_line_matches, check_log

import velm_qor
from conftest import GENESIS_HEX, b3hex, next_root_hex, seal_text, verify_record

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
                    record = engine.capture(
                        ctx, name + "é" * (n % 17), [n], "o" * (n % 5), ppp, review, auto_insight=n % 2 == 0
                    )
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
            for what, fn in [
                ("set", lambda: setattr(ppp, "place", f"place-{n}")),
                ("set", lambda: setattr(review, "resolved", n % 2 == 1)),
                ("key", shared.public_key_hex),
            ]:
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
            assert record.hash == b3hex(
                seal_text(sealed_ppp, record.prompt, record.coherence_score, record.reputation_scalar)
            )
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
                line["coherence_score"],
                line["reputation_scalar"],
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


HOLDER = (
    "import fcntl, select, sys\n"
    "log = open(sys.argv[1], 'ab')\n"
    "fcntl.flock(log, fcntl.LOCK_EX)\n"
    "print('held', flush=True)\n"
    "select.select([sys.stdin], [], [], float(sys.argv[2]))\n"  # until told, or at the latest then
)


class LockHolder:
    """Another process holding the log's exclusive flock until released (or for `seconds` at most)."""

    def __init__(self, path, seconds=4.0):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", HOLDER, str(path), str(seconds)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert self.proc.stdout.readline() == "held\n"
        self.started = time.monotonic()

    def release(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()


def test_append_waits_for_the_log_lock_while_other_threads_run(tmp_path, ppp, review):
    wal = tmp_path / "locked.wal"
    engine, other = velm_qor.QOREngine(str(wal)), velm_qor.QOREngine(":memory:")
    holder = LockHolder(wal)
    returned = []
    worker = threading.Thread(target=lambda: returned.append(engine.capture(None, "p", None, "o", ppp, review)))
    worker.start()
    beats, deadline = 0, time.monotonic() + 0.5
    while time.monotonic() < deadline:
        time.sleep(0.005)
        beats += 1
    # The capture waits for the lock, and only it: this thread and other engines keep going, the
    # waiting engine is refused to everyone else, and nothing is logged yet.
    assert beats >= 20 and time.monotonic() - holder.started < 2
    assert worker.is_alive() and wal.read_bytes() == b""
    other.capture(None, "p", None, "o", ppp, review)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        engine.capture(None, "p", None, "o", ppp, review)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        engine.public_key_hex()
    holder.release()
    worker.join(timeout=10)
    (line,) = check_log(wal.read_bytes(), engine.public_key_hex())[0]
    assert_line_matches(line, returned[0])


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("raises", [True, False])
def test_signal_while_waiting_for_the_lock(tmp_path, ppp, review, raises):
    wal = tmp_path / "signal.wal"
    engine = velm_qor.QOREngine(str(wal))
    calls = []

    def handler(signum, frame):
        calls.append(time.monotonic())
        if raises:
            raise Interrupted

    previous = signal.signal(signal.SIGALRM, handler)
    holder = LockHolder(wal)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        if raises:
            # The handler's exception ends the capture at once: nothing logged, engine unchanged.
            with pytest.raises(Interrupted):
                engine.capture(None, "p", None, "o", ppp, review)
            assert time.monotonic() - holder.started < 2 and wal.read_bytes() == b""
            holder.release()
            record = engine.capture(None, "p", None, "o", ppp, review)
            assert record.merkle_root == next_root_hex(GENESIS_HEX, record.hash)
        else:
            # A handler that returns lets the capture wait on; it ran during the wait.
            threading.Timer(0.8, holder.release).start()
            record = engine.capture(None, "p", None, "o", ppp, review)
            assert len(calls) == 1 and calls[0] - holder.started < 0.7
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if holder.proc.poll() is None:
            holder.release()
    (line,) = check_log(wal.read_bytes(), engine.public_key_hex())[0]
    assert_line_matches(line, record)


def capture_lengths(engine, ppp, review, lengths):
    return [engine.capture(None, "p" * n, None, "", ppp, review) for n in lengths]


def start_os_fork(body):
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def start_multiprocessing_fork(body):
    procs = [multiprocessing.get_context("fork").Process(target=body) for _ in range(2)]
    for p in procs:
        p.start()
    for p in procs:
        p.join(timeout=60)
        assert p.exitcode == 0


@pytest.mark.parametrize("start", [start_os_fork, start_multiprocessing_fork])
def test_forked_children_start_their_own_chains(tmp_path, ppp, review, start):
    wal = tmp_path / "fork.wal"
    engine = velm_qor.QOREngine(str(wal))
    before = capture_lengths(engine, ppp, review, [3, 40])
    start(lambda: capture_lengths(engine, ppp, review, [7, 9]))
    after = capture_lengths(engine, ppp, review, [11, 5])
    chains = check_log(wal.read_bytes(), engine.public_key_hex())
    # The parent's chain runs on undisturbed; each child's starts at genesis with fresh scores,
    # exactly what a new engine on the same path gives, and signs with the same key.
    assert [line["id"] for line in chains[0]] == [r.id for r in before + after]
    fresh = capture_lengths(velm_qor.QOREngine(":memory:"), ppp, review, [7, 9])
    children = chains[1:]
    assert len(children) == (1 if start is start_os_fork else 2)
    for chain in children:
        assert [(x["coherence_score"], x["reputation_scalar"]) for x in chain] == [
            (r.coherence_score, r.reputation_scalar) for r in fresh
        ]


def test_fork_while_another_thread_captures(tmp_path, ppp, review):
    engine = velm_qor.QOREngine(str(tmp_path / "busy.wal"))
    inside, leave = threading.Event(), threading.Event()

    class Blocking(dict):
        def items(self):
            inside.set()
            leave.wait(10)
            return super().items()

    worker = threading.Thread(target=lambda: engine.capture(Blocking(a=1), "p", None, "o", ppp, review))
    worker.start()
    assert inside.wait(10)

    def child():
        # The borrows of the thread the child did not inherit are given back.
        ppp.place = "child"
        engine.public_key_hex()
        record = engine.capture(None, "p", None, "o", ppp, review)
        assert record.merkle_root == next_root_hex(GENESIS_HEX, record.hash)

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
            start_os_fork(child)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            ppp.place = "parent"  # in the parent the capture is still running
    finally:
        leave.set()
        worker.join(timeout=10)


def fork_child(body, seconds=10):
    """Forks a child that runs `body` and exits 0 (1 if it raised); SIGALRM ends it after `seconds`."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            signal.signal(signal.SIGALRM, signal.SIG_DFL)
            signal.alarm(seconds)
            body()
            code = 0
        finally:
            os._exit(code)
    return pid


def exit_code(pid):
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def test_children_forked_during_large_appends_never_hang(tmp_path, ppp, review):
    wal = tmp_path / "busy.wal"
    engine = velm_qor.QOREngine(str(wal))
    stop, logged = threading.Event(), []

    def log_large_outputs():
        while not stop.is_set() and len(logged) < 200:
            logged.append(engine.capture(None, "p", None, "o" * (1 << 20), ppp, review))

    worker = threading.Thread(target=log_large_outputs)
    worker.start()
    pids = []
    try:
        for _ in range(20):
            time.sleep(0.01)  # the worker takes the interpreter lock and goes on to its next append
            pids.append(fork_child(lambda: engine.capture(None, "child", None, "o", ppp, review)))
    finally:
        stop.set()
        worker.join(timeout=60)
        # A child that kept the lock of an append in flight waits for itself until SIGALRM.
        codes = [exit_code(pid) for pid in pids]
    assert codes == [0] * 20
    chains = check_log(wal.read_bytes(), engine.public_key_hex())
    assert [line["id"] for line in chains[0]] == [r.id for r in logged]
    assert [len(c) for c in chains[1:]] == [1] * 20


def test_fork_while_an_append_waits_for_the_lock(tmp_path, ppp, review):
    wal = tmp_path / "held.wal"
    engine = velm_qor.QOREngine(str(wal))
    holder = LockHolder(wal)
    waiting = threading.Thread(target=lambda: engine.capture(None, "waited", None, "o", ppp, review))
    waiting.start()
    # Until this process has a blocked request for the lock ("->" in /proc/locks).
    blocked = f"-> FLOCK  ADVISORY  WRITE {os.getpid()} "
    deadline = time.monotonic() + 5
    while not any(blocked in entry for entry in Path("/proc/locks").read_text().splitlines()):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    go_read, go_write = os.pipe()

    def child():
        os.close(holder.proc.stdin.fileno())  # the holder lets go when the parent closes its end
        os.close(go_write)
        assert os.read(go_read, 1) == b"g"
        engine.capture(None, "child", None, "o", ppp, review)

    pid = fork_child(child)
    os.close(go_read)

    def interrupt(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        holder.release()
        waiting.join(timeout=10)
        # With the lock left in the child, this capture would wait for as long as the child lives.
        signal.setitimer(signal.ITIMER_REAL, 5)
        engine.capture(None, "after", None, "o", ppp, review)
        signal.setitimer(signal.ITIMER_REAL, 0)
        os.write(go_write, b"g")
        assert exit_code(pid) == 0
        pid = None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(go_write)
        if pid is not None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    chains = check_log(wal.read_bytes(), engine.public_key_hex())
    assert [[line["prompt"] for line in chain] for chain in chains] == [["waited", "after"], ["child"]]
