"""Verifies velm_qor record logs from Python: the checks of velm-qor-verify, as objects."""

import os
from dataclasses import dataclass
from typing import IO, Any, Mapping, Optional, Sequence, Tuple, Union

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
    "verify",
]

MAX_JOBS: int

@dataclass(frozen=True)
class Failure:
    """A check that failed: file, line in that file (None for a run-wide failure), kind, detail;
    log_line counts the line over a rotated series (else None)."""

    file: str  # The file holding the line ("" for a run-wide failure).
    line: Optional[int]  # The line's number within that file, None for a run-wide failure.
    kind: str  # torn line, bad form, hash mismatch, bad signature, chain break, score mismatch or missing head.
    detail: str  # What was found; may quote bytes of the log.
    log_line: Optional[int] = None  # In a rotated series, the line counted over all its pieces; else None.

@dataclass(frozen=True)
class Chain:
    """One hash chain of a log."""

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
    """One file of a rotated series."""

    path: str  # The file.
    first_line: int  # The line of the series its first line is.
    lines: int  # Its lines.
    bytes: int  # Its bytes read.

@dataclass(frozen=True)
class LogReport:
    """The result for one log, or one rotated series (path is then its last piece)."""

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

@dataclass(frozen=True)
class ExpectedHead:
    """An expected head and the first line whose merkle_root it is."""

    root: str  # The root, 64 lowercase hex digits.
    found: bool  # Whether some line has it.
    path: Optional[str]  # The file of that line, None when not found.
    line: Optional[int]  # That line's number in its file, None when not found.

class Report:
    """The result of one verify() call."""

    ok: bool
    public_key: str
    scores_replayed: bool
    replay_note: str
    logs: Tuple[LogReport, ...]
    expected_heads: Tuple[ExpectedHead, ...]
    lines: int
    records: int
    chains: Tuple[Chain, ...]
    failures: Tuple[Failure, ...]
    def __init__(self, json_text: str) -> None:
        """A report read from the verifier's JSON report."""
    def to_json(self) -> str:
        """The JSON report, exactly as velm-qor-verify --json prints it for the same input."""

_Log = Union[str, bytes, os.PathLike[str], os.PathLike[bytes], IO[bytes]]

def verify(
    logs: Union[_Log, Sequence[_Log]],
    public_key: str,
    *,
    expect_heads: Sequence[str] = ...,
    series: bool = ...,
    jobs: Optional[int] = ...,
) -> Report:
    """Verifies record logs against the engine's public key (64 hex digits).

    Raises TypeError or ValueError for wrong arguments, OSError when a log cannot be read.
    """

def _verify_named(logs: Sequence[Any], names: Sequence[str], public_key: str, series: bool, jobs: int) -> Report:
    """verify() naming each log in the report."""

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

def checkpoint(log: _Path, public_key: str, witness_key: _Path, origin: str, *, previous: Optional[str] = ...) -> str:
    """Verifies the log and returns the witness's signed checkpoint note of all its lines.

    Raises ValueError when the log does not verify or no longer extends `previous`, OSError when
    the log or the witness key file cannot be read.
    """

def prove(log: _Path, line: int, checkpoint: str) -> str:
    """The proof bundle (JSON text) of a line of the log under a checkpoint note.

    Raises ValueError when no bundle can be made, OSError when the log cannot be read.
    """

@dataclass(frozen=True)
class ProofCheck:
    """The result of check_proof()."""

    ok: bool  # The bundle holds.
    problem: Optional[str]  # None, or bundle, checkpoint signature, inclusion or record.
    detail: str  # What failed; never quotes the bundle.
    origin: str  # The checkpoint's origin, as far as it was read.
    verified_by: Tuple[str, ...]  # The witnesses whose signatures verify.
    line: int  # The record's line number (1-based).
    tree_size: int  # The checkpoint's tree size.

def check_proof(bundle: str, witness: Union[str, Sequence[str]], public_key: str) -> ProofCheck:
    """Checks a proof bundle without the log; a bundle that does not hold is reported, not raised."""
