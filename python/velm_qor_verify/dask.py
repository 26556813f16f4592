"""Verifies many logs on a Dask cluster: one task per log, or per rotated series of logs.

    from velm_qor_verify.dask import verify_many
    fleet = verify_many(["s3://audit/host-1/audit.wal", ...], public_key, client=Client("tcp://scheduler:8786"))

Each task reads local paths and file:// URLs by path, as the command does, and opens other URLs
with fsspec (so s3://, gs://, abfs:// work wherever the workers can reach them); it verifies them
with the native verifier, one thread per task. Needs the optional extra: pip install "velm_qor[dask]".
"""

import contextlib
import os
from dataclasses import dataclass
from typing import Any, Callable, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple, Union

from velm_qor_verify import Failure, Report

__all__ = ["FleetReport", "verify_many"]


@dataclass(frozen=True)
class FleetReport:
    """The combined result of verify_many.

    reports: one Report per task, keyed by the log (its URL or path as given) or, with series_by,
    by the series key. errors: the tasks whose logs could not be read, with the error's text;
    they have no report. ok: every log was read and verifies. lines, records: totals over the
    reports. failures: every failure of every report, each naming its file and line.
    """

    ok: bool
    reports: Mapping[Hashable, Report]  # One report per task: by log, or by series key.
    errors: Mapping[Hashable, str]  # Tasks whose logs could not be read, with the error's text.
    lines: int  # Lines over all reports.
    records: int  # Records over all reports.
    failures: Tuple[Failure, ...]  # Every failure of every report.


def _local_path(url: str) -> Optional[bytes]:
    """The path of a plain path or file:// URL, as bytes (any name, UTF-8 or not); None for others."""
    scheme, sep, rest = url.partition("://")
    if not sep:
        return os.fsencode(url)
    return os.fsencode(rest) if scheme in ("file", "local") else None


def _verify_task(urls: List[str], public_key: str, series: bool) -> Union[str, Tuple[str, str]]:
    """Runs on a worker: the JSON report of the logs, or ("error", text) when one cannot be read or
    the arguments are refused. Local logs are read by path, as the command reads them (the size at
    the start is the end, so a line being appended is never judged); others through fsspec."""
    from velm_qor_verify import _native

    try:
        paths = [_local_path(url) for url in urls]
        remote = [url for url, path in zip(urls, paths) if path is None]
        with contextlib.ExitStack() as stack:
            files = iter(stack.enter_context(_open_remote(remote)) if remote else [])
            inputs = [(os.fsencode(url), path if path is not None else next(files)) for url, path in zip(urls, paths)]
            return _native.verify(inputs, public_key, [], series, 1)[0]
    except (OSError, ValueError) as exc:
        return ("error", f"{type(exc).__name__}: {exc}")


def _open_remote(urls: List[str]) -> Any:
    import fsspec  # type: ignore[import-untyped]

    return fsspec.open_files(urls, "rb")


def _key_for(public_key: Union[str, Mapping[str, str]], log: str) -> str:
    if isinstance(public_key, str):
        return public_key
    try:
        key = public_key[log]
    except KeyError:
        raise ValueError(f"no public key given for {log!r}") from None
    if not isinstance(key, str):
        raise TypeError(f"the public key of {log!r} must be a str, not '{type(key).__name__}'")
    return key


def verify_many(
    logs: Sequence[str],
    public_key: Union[str, Mapping[str, str]],
    *,
    client: Optional[Any] = None,
    series_by: Optional[Callable[[str], Hashable]] = None,
) -> FleetReport:
    """Verifies each log (a URL or path) in a task of its own on the Dask cluster of `client`
    (default: the current client, distributed.get_client()).

    public_key: one key (64 hex digits) for every log, or a mapping from each log to its key.
    series_by: groups logs into rotated series, one task each: logs with the same key
    series_by(log) are pieces of one log, read in the order they appear in `logs` (give them
    oldest first), and must have the same public key.
    """
    from distributed import get_client

    if isinstance(logs, str):
        raise TypeError("logs must be a sequence of URLs or paths, not a single str")
    logs = list(logs)
    if not all(isinstance(log, str) for log in logs):
        raise TypeError("each log must be a URL or path as str")
    groups: Dict[Hashable, List[str]] = {}
    for log in logs:
        groups.setdefault(series_by(log) if series_by is not None else log, []).append(log)
    keys: Dict[Hashable, str] = {}
    for group, members in groups.items():
        found = {_key_for(public_key, log) for log in members}
        if len(found) != 1:
            raise ValueError(f"the logs of series {group!r} have different public keys")
        keys[group] = found.pop()

    client = client if client is not None else get_client()
    futures = {
        group: client.submit(_verify_task, members, keys[group], series_by is not None, pure=False)
        for group, members in groups.items()
    }
    results = dict(zip(futures, client.gather(list(futures.values()))))
    reports = {g: Report(r) for g, r in results.items() if isinstance(r, str)}
    errors = {g: r[1] for g, r in results.items() if not isinstance(r, str)}
    return FleetReport(
        ok=not errors and all(r.ok for r in reports.values()),
        reports=reports,
        errors=errors,
        lines=sum(r.lines for r in reports.values()),
        records=sum(r.records for r in reports.values()),
        failures=tuple(f for r in reports.values() for f in r.failures),
    )
