"""Verifies velm_qor record logs from Python: the checks of velm-qor-verify, as objects.

    report = velm_qor_verify.verify("audit.wal", public_key)
    if not report.ok:
        for failure in report.failures:
            print(failure.file, failure.line, failure.kind, failure.detail)

`report.to_json()` is exactly what ``velm-qor-verify LOG... --json`` prints for the same input.
"""

import json
import os
from dataclasses import dataclass
from typing import IO, Any, List, Mapping, Optional, Sequence, Tuple, Union

from velm_qor_verify import _native

__all__ = [
    "Chain",
    "ExpectedHead",
    "Failure",
    "LogReport",
    "Piece",
    "ProofCheck",
    "Report",
    "check_proof",
    "checkpoint",
    "prove",
    "records",
    "verify",
]

MAX_JOBS = 1024


@dataclass(frozen=True)
class Failure:
    """A check that failed: the file holding the line, the line's number in that file (None for a
    failure of the whole run, such as a missing head), its kind and a description. In a rotated
    series, log_line counts the line over all pieces (else it is None)."""

    file: str  # The file holding the line ("" for a run-wide failure).
    line: Optional[int]  # The line's number within that file, None for a run-wide failure.
    kind: str  # torn line, bad form, hash mismatch, bad signature, chain break, score mismatch, not a log, ...
    detail: str  # What was found; may quote bytes of the log.
    log_line: Optional[int] = None  # In a rotated series, the line counted over all its pieces; else None.


@dataclass(frozen=True)
class Chain:
    """One hash chain of a log: its first and last line, its records, its head (the last
    merkle_root), whether it begins at genesis, and how many records' scores were replayed."""

    path: str  # The log the chain is in (the last piece of a series).
    first_line: int  # Its first line (counted over the series in a series).
    last_line: int  # Its last line.
    records: int  # Its number of records.
    head: str  # The merkle_root of its last record: keep it and pass it back in expect_heads.
    from_genesis: bool  # Whether it begins at genesis (else after a chain break).
    scores_checked: int  # Records whose scores were replayed and compared.
    scores_note: str  # Why the other records' scores were not checked, else "".


@dataclass(frozen=True)
class Piece:
    """One file of a rotated series: its lines are lines first_line.. of the series."""

    path: str  # The file.
    first_line: int  # The line of the series its first line is.
    lines: int  # Its lines.
    bytes: int  # Its bytes read.


@dataclass(frozen=True)
class LogReport:
    """The result for one log (or one rotated series, then path is its last piece)."""

    path: str  # The log's path or name.
    ok: bool  # Every line verifies.
    lines: int  # Lines read.
    bytes: int  # Bytes covered.
    records: int  # Lines placed in a chain.
    chains: Tuple[Chain, ...]  # Every chain, in the order of their first lines.
    failures: Tuple[Failure, ...]  # The failures kept, in line order.
    failures_omitted: int  # Failures past the kept ones, only counted.
    failure_counts: Mapping[str, int]  # Failures per kind.
    pieces: Tuple[Piece, ...]  # A series' pieces, oldest first; empty for a plain log.
    hint: str = ""  # In a series, why its failures may come from the pieces' order (given out of order); else "".


@dataclass(frozen=True)
class ExpectedHead:
    """An expected head and the first line whose merkle_root it is (path and line None if none)."""

    root: str  # The root, 64 lowercase hex digits.
    found: bool  # Whether some line has it.
    path: Optional[str]  # The file of that line, None when not found.
    line: Optional[int]  # That line's number in its file, None when not found.


def _failure(f: Mapping[str, Any]) -> Failure:
    return Failure(f["file"], f["line"], f["kind"], f["detail"], f.get("log_line"))


def _log(d: Mapping[str, Any]) -> LogReport:
    chains = tuple(
        Chain(
            d["path"],
            c["first_line"],
            c["last_line"],
            c["records"],
            c["head"],
            c["start"] == "genesis",
            c["scores_checked"],
            c["scores_note"],
        )
        for c in d["chains"]
    )
    pieces = tuple(Piece(p["path"], p["first_line"], p["lines"], p["bytes"]) for p in d.get("pieces", ()))
    return LogReport(
        d["path"],
        d["ok"],
        d["lines"],
        d["bytes"],
        d["records"],
        chains,
        tuple(_failure(f) for f in d["failures"]),
        d["failures_omitted"],
        dict(d["failure_counts"]),
        pieces,
        d.get("hint", ""),
    )


class Report:
    """The result of one verify() call: every log's report, and the totals over them."""

    __slots__ = (
        "_json",
        "ok",
        "public_key",
        "scores_replayed",
        "replay_note",
        "logs",
        "expected_heads",
        "lines",
        "records",
        "chains",
        "failures",
        "_run",
    )

    def __init__(self, json_text: str, run: Optional[object] = None) -> None:
        d = json.loads(json_text)
        self._json = json_text
        self._run = run
        self.ok: bool = d["ok"]
        self.public_key: str = d["public_key"]
        self.scores_replayed: bool = d["scores_replayed"]
        self.replay_note: str = d["replay_note"]
        self.logs: Tuple[LogReport, ...] = tuple(_log(log) for log in d["logs"])
        self.expected_heads: Tuple[ExpectedHead, ...] = tuple(
            ExpectedHead(h["root"], h["found"], h["path"], h["line"]) for h in d["expected_heads"]
        )
        self.lines: int = sum(log.lines for log in self.logs)
        self.records: int = sum(log.records for log in self.logs)
        self.chains: Tuple[Chain, ...] = tuple(c for log in self.logs for c in log.chains)
        self.failures: Tuple[Failure, ...] = tuple(f for log in self.logs for f in log.failures) + tuple(
            _failure(f) for f in d["failures"]
        )

    def to_json(self) -> str:
        """The JSON report, exactly as velm-qor-verify --json prints it for the same input."""
        return self._json

    def __reduce__(self) -> Tuple[Any, Tuple[str]]:
        # A copy (or a pickle) is rebuilt from the JSON text: the native run behind to_html() stays here.
        return (Report, (self._json,))

    def to_html(self) -> str:
        """The report as one self-contained HTML page, exactly as ``velm-qor-verify LOG... --html
        REPORT`` writes it for the same input: the verdict first, the logs and their pieces, every
        chain (up to 1,000) with its lines, first and last time, records and scores checked, every
        failure (up to 1,000) with its line, kind and detail, checkpoint coverage, and the scores of
        the chains over time as SVG charts. It holds no script and loads nothing.

        Raises ValueError for a report rebuilt from JSON text alone (such as one a Dask worker sent
        back), which lacks the chains' times and scores."""
        if self._run is None:
            raise ValueError("this report was made from JSON text alone; call verify() for its HTML page")
        return _native.report_html(self._run)

    def __repr__(self) -> str:
        return (
            f"Report(ok={self.ok}, logs={len(self.logs)}, lines={self.lines}, records={self.records}, "
            f"chains={len(self.chains)}, failures={len(self.failures)})"
        )


def _is_path(obj: object) -> bool:
    return isinstance(obj, (str, bytes, os.PathLike))


def _input(obj: object) -> Tuple[bytes, object]:
    if _is_path(obj):
        path = os.fsencode(obj)  # type: ignore[arg-type]
        return path, path
    if callable(getattr(obj, "read", None)):
        name = getattr(obj, "name", None)
        return (os.fsencode(name) if isinstance(name, (str, bytes)) else b"<file object>"), obj
    raise TypeError(f"a log must be a path or a binary file object, not '{type(obj).__name__}'")


def _inputs(logs: object) -> List[Tuple[bytes, object]]:
    if _is_path(logs) or callable(getattr(logs, "read", None)):
        return [_input(logs)]
    if isinstance(logs, Sequence):
        return [_input(item) for item in logs]
    try:
        items = list(logs)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(
            f"logs must be a path, a binary file object or a sequence of them, not '{type(logs).__name__}'"
        ) from None
    return [_input(item) for item in items]


def _jobs(jobs: Optional[int]) -> int:
    if jobs is None:
        return 0
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int or None, not '{type(jobs).__name__}'")
    if not 1 <= jobs <= MAX_JOBS:
        raise ValueError(f"jobs must be from 1 to {MAX_JOBS}")
    return jobs


def _heads(expect_heads: Sequence[str]) -> List[str]:
    if isinstance(expect_heads, (str, bytes)):
        raise TypeError("expect_heads must be a sequence of str, not a single str")
    return list(expect_heads)


_Log = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", IO[bytes]]
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def verify(
    logs: Union[_Log, Sequence[_Log]],
    public_key: str,
    *,
    expect_heads: Sequence[str] = (),
    series: bool = False,
    jobs: Optional[int] = None,
    checkpoints: Sequence[str] = (),
    witnesses: Sequence[str] = (),
) -> Report:
    """Verifies record logs against the public key (64 hex digits) of the engine that wrote them.

    logs: a path (str, bytes or os.PathLike), a binary file object (anything with read(n) giving
    bytes) or a sequence of them. Each is a log of its own, or with series=True all of them,
    oldest first, are one log cut by rotation. expect_heads: merkle_roots an earlier run reported,
    each of which some line must still have. jobs: threads checking lines (None: every core this
    process may use). The interpreter lock is released while lines are checked.

    checkpoints: the texts of signed checkpoint notes of the one log (or, with series=True, of the
    series, whose lines in order are the tree's entries), each checked as ``--checkpoint`` checks
    it; witnesses: the verifier keys ("name+keyid+base64") that may sign them.

    Raises TypeError or ValueError for wrong arguments, and OSError when a log cannot be read.
    """
    inputs = _inputs(logs)
    if not isinstance(public_key, str):
        raise TypeError(f"public_key must be a str, not '{type(public_key).__name__}'")
    if not isinstance(series, bool):
        raise TypeError(f"series must be a bool, not '{type(series).__name__}'")
    notes = _strs(checkpoints, "checkpoints")
    keys = _strs(witnesses, "witnesses")
    if keys and not notes:
        raise ValueError("witnesses are given without checkpoints")
    json_text, run = _native.verify(inputs, public_key, _heads(expect_heads), series, _jobs(jobs), notes, keys)
    return Report(json_text, run)


# The columns of records(), in order; verified and failure only with a public key.
_RECORD_COLUMNS = (
    "file",
    "line",
    "series_line",
    "chain",
    "id",
    "timestamp",
    "monotonic_nanos",
    "provenance",
    "place",
    "purpose",
    "prompt",
    "output",
    "ctx",
    "trace",
    "chain_id",
    "agent_decision_ref",
    "resolved",
    "terminal_node",
    "coherence_score",
    "reputation_scalar",
    "insight",
    "hash",
    "merkle_root",
    "signature",
)
_JSON_COLUMNS = ("ctx", "trace", "insight")


def _parsed(texts: List[Optional[str]]) -> List[Any]:
    # The texts were read from lines the verifier parsed; one that is not JSON (a damaged line) is kept as text.
    out: List[Any] = []
    for text in texts:
        try:
            out.append(None if text is None else json.loads(text))
        except ValueError:
            out.append(text)
    return out


def records(logs: Union[_Log, Sequence[_Log]], public_key: Optional[str] = None, *, series: bool = False) -> Any:
    """The records of the logs as a pandas DataFrame (install ``velm_qor[pandas]``): one row per
    complete line, in log order (a torn last line has none).

    Columns: file and line (the file holding the line and its number there), series_line (the
    line counted over all pieces with series=True, else the same as line), chain (the number of its
    hash chain, as the report counts them from 1; None for a line in no chain), id, timestamp (a
    timezone-aware UTC time), monotonic_nanos, provenance, place and purpose (the PPPTriplet),
    prompt, output, ctx and trace (parsed JSON values), chain_id, agent_decision_ref, resolved and
    terminal_node (the HumanDeltaChain), coherence_score, reputation_scalar, insight (parsed, or
    None), hash, merkle_root and signature (64 bytes). A line that could not be read holds nulls
    in the columns it lacks. With the engine's public key (64 hex digits), also verified (bool) and
    failure (the kind of the line's first failure, as the report names it, or None).

    Lines are read and checked by the native verifier, with the interpreter lock released. Raises
    TypeError or ValueError for wrong arguments, OSError when a log cannot be read, and
    ImportError without pandas.
    """
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    inputs = _inputs(logs)
    if public_key is not None and not isinstance(public_key, str):
        raise TypeError(f"public_key must be a str or None, not '{type(public_key).__name__}'")
    if not isinstance(series, bool):
        raise TypeError(f"series must be a bool, not '{type(series).__name__}'")
    columns = _native.records(inputs, public_key, series)
    names = _RECORD_COLUMNS + (("verified", "failure") if public_key is not None else ())
    data = {name: columns.get(name, []) for name in names}
    for name in _JSON_COLUMNS:
        data[name] = _parsed(data[name])
    frame = pd.DataFrame(data, columns=list(names))
    if "failure" in frame:
        frame["failure"] = pd.Series(data["failure"], dtype=object)  # None, not NaN, where nothing failed
    frame["timestamp"] = pd.to_datetime(frame["timestamp"], utc=True, format="ISO8601")
    for name in ("line", "series_line"):
        frame[name] = frame[name].astype("int64")
    for name in ("chain", "monotonic_nanos"):
        frame[name] = frame[name].astype("UInt64")
    return frame


def _path(obj: object, what: str) -> bytes:
    """The path's bytes, as the command takes them: names that are not UTF-8 work too."""
    if not _is_path(obj):
        raise TypeError(f"{what} must be a path, not '{type(obj).__name__}'")
    return os.fsencode(obj)  # type: ignore[arg-type]


def _str(obj: object, what: str) -> str:
    if not isinstance(obj, str):
        raise TypeError(f"{what} must be a str, not '{type(obj).__name__}'")
    return obj


def _strs(items: Sequence[str], what: str) -> List[str]:
    if isinstance(items, (str, bytes)):
        raise TypeError(f"{what} must be a sequence of str, not a single str")
    return [_str(item, what[:-1]) for item in items]


def _log_paths(log: Union[_Path, Sequence[_Path]], series: bool) -> Union[bytes, List[bytes]]:
    """The log's path, or with series the pieces' paths, oldest first."""
    if not isinstance(series, bool):
        raise TypeError(f"series must be a bool, not '{type(series).__name__}'")
    if not series:
        return _path(log, "log")
    if _is_path(log):
        return [_path(log, "log")]
    if not isinstance(log, Sequence):
        raise TypeError(f"with series=True, log must be a sequence of paths, not '{type(log).__name__}'")
    return [_path(piece, "a piece of the log") for piece in log]


def checkpoint(
    log: Union[_Path, Sequence[_Path]],
    public_key: str,
    witness_key: _Path,
    origin: str,
    *,
    previous: Optional[str] = None,
    series: bool = False,
) -> str:
    """Verifies the log at the path `log` and returns the witness's signed checkpoint note of all
    its lines, as ``velm-qor-verify checkpoint`` prints it. With series=True, `log` is the pieces
    of one log cut by rotation, oldest first: their lines in order are the tree's entries.

    witness_key: the path of the witness key file (32 bytes). origin: the name the checkpoint is
    signed as (the witness's key name). previous: the text of an earlier checkpoint of this log by
    this witness, which the log must still extend.

    Raises ValueError when the log does not verify or no longer extends `previous` (the message
    says why), and OSError when the log or the witness key file cannot be read.
    """
    return _native.checkpoint(
        _log_paths(log, series),
        _str(public_key, "public_key"),
        _path(witness_key, "witness_key"),
        _str(origin, "origin"),
        None if previous is None else _str(previous, "previous"),
        series,
    )


def prove(
    log: Union[_Path, Sequence[_Path]],
    line: Optional[int] = None,
    checkpoint: Optional[str] = None,
    *,
    series: bool = False,
    record_id: Optional[str] = None,
) -> str:
    """The proof bundle (JSON text) of line `line` (1-based) of the log at the path `log` under the
    checkpoint note `checkpoint`, as ``velm-qor-verify prove`` prints it.

    record_id: instead of a line, the id capture() returned: the bundle of the first line whose
    record has that id. series=True: `log` is the pieces of one log, oldest first, and `line`
    counts over them all.

    Raises ValueError when no bundle can be made (the log does not match the checkpoint, the line
    is not among the lines it covers, or no record has the id), and OSError when the log cannot be
    read.
    """
    if checkpoint is None:
        raise TypeError("prove() needs a checkpoint")
    paths = _log_paths(log, series)
    if record_id is not None:
        if line is not None:
            raise TypeError("prove() takes either a line or a record_id, not both")
        return _native.prove(paths, 0, _str(checkpoint, "checkpoint"), series, _str(record_id, "record_id"))
    if line is None:
        raise TypeError("prove() takes either a line or a record_id")
    if isinstance(line, bool) or not isinstance(line, int):
        raise TypeError(f"line must be an int, not '{type(line).__name__}'")
    return _native.prove(paths, line, _str(checkpoint, "checkpoint"), series)


@dataclass(frozen=True)
class ProofCheck:
    """The result of check_proof(), the members ``velm-qor-verify check-proof --json`` prints."""

    ok: bool  # The bundle holds.
    problem: Optional[str]  # None, or bundle, checkpoint signature, inclusion or record.
    detail: str  # What failed; never quotes the bundle.
    origin: str  # The checkpoint's origin, as far as it was read.
    verified_by: Tuple[str, ...]  # The witnesses whose signatures verify.
    line: int  # The record's line number (1-based).
    tree_size: int  # The checkpoint's tree size.


def check_proof(bundle: str, witness: Union[str, Sequence[str]], public_key: str) -> ProofCheck:
    """Checks a proof bundle (its JSON text) without the log: the checkpoint signed by the witness
    (a verifier key "name+keyid+base64", or a sequence of them), the record's inclusion in the
    checkpoint's tree, and its form, seal and signature under the engine's public key.

    A bundle that does not hold is reported in the result, never raised; TypeError or ValueError
    are raised only for wrong arguments.
    """
    witnesses = [witness] if isinstance(witness, str) else list(witness)
    d = json.loads(
        _native.check_proof(
            _str(bundle, "bundle"), [_str(w, "witness") for w in witnesses], _str(public_key, "public_key")
        )
    )
    return ProofCheck(
        d["ok"], d["problem"], d["detail"], d["origin"], tuple(d["verified_by"]), d["line"], d["tree_size"]
    )
