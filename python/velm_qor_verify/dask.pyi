"""Verifies many logs on a Dask cluster, one task per log or per rotated series."""

from dataclasses import dataclass
from typing import Any, Callable, Hashable, Mapping, Optional, Sequence, Tuple, Union

from velm_qor_verify import Failure, Report

__all__ = ["FleetReport", "verify_many"]

@dataclass(frozen=True)
class FleetReport:
    """The combined result of verify_many."""

    ok: bool  # Every log was read and verifies.
    reports: Mapping[Hashable, Report]  # One report per task: by log, or by series key.
    errors: Mapping[Hashable, str]  # Tasks whose logs could not be read, with the error's text.
    lines: int  # Lines over all reports.
    records: int  # Records over all reports.
    failures: Tuple[Failure, ...]  # Every failure of every report.

def _verify_task(urls: list[str], public_key: str, series: bool) -> Union[str, Tuple[str, str]]:
    """One task: the JSON report, or ("error", text)."""

def _key_for(public_key: Union[str, Mapping[str, str]], log: str) -> str:
    """The key of one log."""

def verify_many(
    logs: Sequence[str],
    public_key: Union[str, Mapping[str, str]],
    *,
    client: Optional[Any] = ...,
    series_by: Optional[Callable[[str], Hashable]] = ...,
) -> FleetReport:
    """Verifies each log (URL or path) in a Dask task of its own and combines the reports."""
