"""The native verifier behind velm_qor_verify (src/verify_module): each function returns text."""

from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

def verify(
    inputs: List[Tuple[bytes, object]],
    public_key: str,
    expect_heads: Sequence[str],
    series: bool,
    jobs: int,
    checkpoints: Sequence[str] = (),
    witnesses: Sequence[str] = (),
) -> Tuple[str, object]:
    """The JSON report of the inputs, each (name, path as bytes or binary file object), and the run
    it describes, for report_html()."""

def report_html(run: object) -> str:
    """The HTML report of a run verify() returned."""

def records(inputs: List[Tuple[bytes, object]], public_key: Optional[str], series: bool) -> Dict[str, List[Any]]:
    """Every complete line of the inputs as columns: lists by column name."""

def checkpoint(
    log: Union[bytes, List[bytes]],
    public_key: str,
    witness_key: bytes,
    origin: str,
    previous: Optional[str],
    series: bool = False,
) -> str:
    """The witness's signed checkpoint note of all the log's lines."""

def prove(
    log: Union[bytes, List[bytes]], line: int, checkpoint: str, series: bool = False, record_id: Optional[str] = None
) -> str:
    """The proof bundle JSON of a line of the log under a checkpoint note."""

def check_proof(bundle: str, witnesses: Sequence[str], public_key: str) -> str:
    """The JSON result velm-qor-verify check-proof --json prints."""
