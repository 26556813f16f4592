"""velm_qor_verify.dask.verify_many on a local cluster of worker processes, each log's result
compared with a local verify() of the same log."""

import json
import os
import time
from pathlib import Path

import pytest

import velm_qor
import velm_qor_verify

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed: pip install '.[dask]'")
fsspec = pytest.importorskip("fsspec", reason="the dask extra is not installed: pip install '.[dask]'")
from velm_qor_verify.dask import verify_many  # noqa: E402

PPP = velm_qor.PPPTriplet("p", "q", "r")
REVIEW = velm_qor.HumanDeltaChain("r", False, "t", "c")


def write_fleet(folder, hosts=50):
    """One log of four records per host, every fifth damaged; hosts share a key two by two."""
    logs, keys = [], {}
    for h in range(hosts):
        wal = folder / f"host{h}.wal"
        if h % 2 == 1:
            (folder / f"host{h}.wal.key").write_bytes((folder / f"host{h - 1}.wal.key").read_bytes())
        engine = velm_qor.QOREngine(str(wal))
        for n in range(4):
            engine.capture({"h": h}, f"prompt {h}-{n}", None, "o" * n, PPP, REVIEW)
        if h % 5 == 0:
            lines = wal.read_bytes().splitlines(keepends=True)
            changed = lines[1].replace(b'"prompt ', b'"prompT ', 1)  # same length: only the seal breaks
            wal.write_bytes(b"".join(lines[:1] + lines[2:] if h % 10 else [lines[0], changed, *lines[2:]]))
        logs.append(str(wal))
        keys[str(wal)] = engine.public_key_hex()
    return logs, keys


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_a_fleet_verified_on_worker_processes_matches_local_verification(tmp_path, client):
    logs, keys = write_fleet(tmp_path)
    # Half of them named by file:// URL: the report names them so.
    urls = [log if i % 2 else "file://" + log for i, log in enumerate(logs)]
    fleet = verify_many(urls, {u: keys[log] for u, log in zip(urls, logs)}, client=client)
    assert sorted(fleet.reports) == sorted(urls) and not fleet.errors
    pids = client.run(os.getpid)
    assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()
    local_total = [0, 0]
    for url, log in zip(urls, logs):
        local = json.loads(velm_qor_verify.verify(log, keys[log]).to_json())
        local["logs"][0]["path"] = url
        for failure in local["logs"][0]["failures"]:
            failure["file"] = url
        assert json.loads(fleet.reports[url].to_json()) == local, url
        local_total[0] += local["logs"][0]["lines"]
        local_total[1] += len(local["logs"][0]["failures"])
    damaged = {logs[h] for h in range(0, 50, 5)}
    assert {u for u, r in fleet.reports.items() if not r.ok} == {u for u, log in zip(urls, logs) if log in damaged}
    assert (fleet.ok, fleet.lines, len(fleet.failures)) == (False, *local_total)
    assert local_total == [50 * 4 - 5, 10]

    # One key for all: the hosts with another key fail every signature; a missing log is an error.
    missing = str(tmp_path / "gone.wal")
    fleet = verify_many(logs[:4] + [missing], keys[logs[0]], client=client)
    assert fleet.errors.keys() == {missing} and "FileNotFoundError" in fleet.errors[missing]
    assert [fleet.reports[log].logs[0].failure_counts.get("bad signature", 0) for log in logs[1:4]] == [0, 4, 4]


def test_rotated_series_each_in_one_task(tmp_path, client):
    logs, keys = [], {}
    for h in range(3):
        wal = tmp_path / f"h{h}.wal"
        engine = velm_qor.QOREngine(str(wal))
        for n in range(6):
            engine.capture(None, f"p{n}", None, "o", PPP, REVIEW)
            if n in (1, 3):  # rotated by renaming: h0.wal.2, h0.wal.1, h0.wal
                if n == 3:
                    (tmp_path / f"h{h}.wal.1").rename(tmp_path / f"h{h}.wal.2")
                wal.rename(tmp_path / f"h{h}.wal.1")
        pieces = [f"{wal}.2", f"{wal}.1", str(wal)]
        logs += pieces
        keys.update(dict.fromkeys(pieces, engine.public_key_hex()))
    fleet = verify_many(logs, keys, client=client, series_by=lambda log: log.split(".wal")[0])
    assert fleet.ok and len(fleet.reports) == 3 and fleet.records == 18
    for series, report in fleet.reports.items():
        assert [(c.records, c.from_genesis) for c in report.chains] == [(6, True)]
        assert [p.path for p in report.logs[0].pieces] == [f"{series}.wal.2", f"{series}.wal.1", f"{series}.wal"]
    with pytest.raises(ValueError, match="different public keys"):
        verify_many(logs[:3], {**keys, logs[0]: "ab" * 32}, client=client, series_by=lambda log: "one")


def test_memory_urls_on_workers_that_share_the_process(tmp_path):
    # memory:// is one process's own store: it works on workers that are threads of this process.
    logs, keys = write_fleet(tmp_path, hosts=2)
    memory = fsspec.filesystem("memory")
    urls = []
    for log in logs:
        url = f"memory://fleet/{log.rsplit('/', 1)[1]}"
        memory.pipe(url, Path(log).read_bytes())
        urls.append(url)
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=":0") as local:
        fleet = verify_many(urls, {u: keys[log] for u, log in zip(urls, logs)}, client=local)
    assert [fleet.reports[u].ok for u in urls] == [velm_qor_verify.verify(log, keys[log]).ok for log in logs]
    assert [fleet.reports[u].logs[0].path for u in urls] == urls


def test_names_and_keys_a_task_cannot_use_are_recorded_as_errors(tmp_path, client):
    logs, keys = write_fleet(tmp_path, hosts=2)
    good = logs[1]
    odd = os.fsdecode(os.fsencode(str(tmp_path)) + b"/host-\xff.wal")  # a name that is not UTF-8
    os.link(good, odd)
    missing = os.fsdecode(os.fsencode(str(tmp_path)) + b"/gone-\xfe.wal")
    rows = {  # log: (its key, text of the error, or None for a report that verifies)
        odd: (keys[good], None),
        "file://" + odd: (keys[good], None),
        missing: (keys[good], "FileNotFoundError"),
        good: ("zz" * 32, "ValueError: public_key"),
    }
    fleet = verify_many(list(rows), {log: k for log, (k, _) in rows.items()}, client=client)
    for log, (_, error) in rows.items():
        if error is None:
            assert fleet.reports[log].ok and fleet.reports[log].lines == 4, log
        else:
            assert error in fleet.errors[log], (log, fleet.errors.get(log))
    with pytest.raises(TypeError, match="must be a str"):
        verify_many([good], {good: 1}, client=client)


def test_a_live_local_log_is_read_to_the_size_it_had_under_its_lock(tmp_path, client):
    """Read by path, a local log is read as the command reads it: up to its size taken under the
    log's lock, so a line an engine is appending is never seen half written."""
    import threading

    from test_concurrency import LockHolder

    logs, keys = write_fleet(tmp_path, hosts=2)
    lines = Path(logs[1]).read_bytes().splitlines(keepends=True)
    for name in ("plain.wal", "url.wal"):
        wal = tmp_path / name
        wal.write_bytes(b"".join(lines[:3]) + lines[3][:50])
        holder = LockHolder(wal, seconds=60)  # as an engine holds it while it appends
        url = str(wal) if name == "plain.wal" else "file://" + str(wal)
        results = []
        task = threading.Thread(target=lambda: results.append(verify_many([url], keys[logs[1]], client=client)))
        task.start()
        inode, waiting, deadline = f":{wal.stat().st_ino} ", False, time.monotonic() + 30
        while not waiting and time.monotonic() < deadline and task.is_alive():
            time.sleep(0.02)  # until the task waits for the lock
            waiting = any("->" in l and "FLOCK" in l and inode in l for l in open("/proc/locks"))
        with open(wal, "ab") as f:
            f.write(lines[3][50:])
        holder.release()
        task.join(timeout=60)
        assert waiting, name
        report = results[0].reports[url]
        assert report.ok and report.lines == 4, (name, report.failures)
