"""Tamper-evident audit records for the decisions of automated models.

Build one ``QOREngine`` per record log, describe each decision with a ``PPPTriplet`` and a
``HumanDeltaChain`` and call ``QOREngine.capture``: it scores the decision, seals it (BLAKE3
digest, Ed25519 signature, running hash chain), appends it to the log as one JSON line and
returns it as a read-only ``SealedRecord``.

The signature covers provenance, place, purpose, the prompt, the coherence score and the
reputation, and nothing else. Every other field is logged but not sealed.

Fatal conditions (an unusable key file, a failing random source or clock) raise
``pyo3_runtime.PanicException``, which derives from ``BaseException``, not ``Exception``.
"""

from typing import final

__all__ = ["QOREngine", "PPPTriplet", "HumanDeltaChain", "SealedRecord"]

@final
class QOREngine:
    """An audit engine: one signing key, one hash chain and one record log.

    ``QOREngine(path)`` appends every record to the log at ``path`` and keeps its Ed25519 seed
    (32 bytes, mode 0600) in ``path + ".key"``, creating it on first use; every engine on the
    same path signs with that key. ``QOREngine(":memory:")`` writes no file and signs with a fresh
    key that is never stored. Each engine starts its own chain at the genesis root, with no
    history and a reputation of 0.5, even on a log that already holds records: the log is never
    read.

    Not thread-safe across overlapping calls: a second call on an engine while a capture on it
    runs Python code raises ``RuntimeError``. The class cannot be subclassed.
    """

    def __new__(cls, wal_path: str) -> QOREngine:
        """Open (create) the log at ``wal_path`` and load or create its key file.

        A log that cannot be created is no error here (the failure shows at capture, as a
        warning). Raises ``TypeError`` when ``wal_path`` is not a ``str``, ``UnicodeEncodeError``
        for a lone surrogate, and ``PanicException`` when the key file cannot be read ("Failed to
        read signing key: ..."), has the wrong length ("Invalid key length: ...") or cannot be
        written ("Failed to write signing key: ..."). The key never appears in a message.
        """

    def capture(
        self,
        ctx: object,
        prompt: str,
        reasoning_trace: object,
        output: str,
        ppp_triplet: PPPTriplet,
        human_delta_chain: HumanDeltaChain,
        auto_insight: bool = True,
    ) -> SealedRecord:
        """Score, seal, chain and log one decision, and return it as a ``SealedRecord``.

        ``ctx`` and ``reasoning_trace`` are stored as ``json.dumps`` makes them; ``prompt`` and
        ``output`` are stored as given. The signed digest covers the triplet's provenance, place
        and purpose, ``prompt``, and the new coherence score and reputation; the output, context,
        reasoning trace, review chain, insight, id, timestamp and monotonic gap are logged but
        not sealed. ``auto_insight=False`` leaves ``core_insight_json`` None.

        Raises ``TypeError`` for wrong arguments, ``UnicodeEncodeError`` for a lone surrogate,
        whatever ``json.dumps`` raises (unchanged), and ``RuntimeError`` ("Already borrowed")
        when the engine or an input record is in use by a capture that is running Python code;
        a capture that fails this way changes nothing. A record that cannot be appended to the
        log is still returned, with a ``RuntimeWarning`` naming the path and the error; make the
        warning an error to have such a capture raise and change nothing instead.
        ``PanicException`` for a failing random source or clock.
        """

    def public_key_hex(self) -> str:
        """The engine's Ed25519 public key as 64 lowercase hex digits.

        Hand it to whoever verifies the log (``velm-qor-verify --public-key``). It never changes
        for the life of the engine. Raises ``RuntimeError`` ("Already mutably borrowed") when
        called from Python code that a capture on the same engine is running.
        """

@final
class PPPTriplet:
    """Where a decision comes from: its provenance, the place that processed it and its purpose.

    A mutable value holding three free texts (any ``str``, empty included; nothing is checked).
    All three are sealed: a capture copies them into the signed digest and into ``ppp_json``,
    so changing the triplet afterwards changes nothing already captured.

    Raises ``TypeError`` when an argument or assigned value is not a ``str``,
    ``UnicodeEncodeError`` for a lone surrogate, ``AttributeError`` on ``del`` of a field, and
    ``RuntimeError`` ("Already borrowed") for an assignment while a capture that was given the
    triplet runs Python code. The class cannot be subclassed.
    """

    def __new__(cls, provenance: str, place: str, purpose: str) -> PPPTriplet:
        """Build a triplet; the arguments are converted in order and the first bad one raises."""
    @property
    def provenance(self) -> str:
        """The lineage of the decision (for example a model and version). Sealed."""
    @provenance.setter
    def provenance(self, value: str) -> None: ...
    @property
    def place(self) -> str:
        """The node, environment or region that processed the decision. Sealed."""
    @place.setter
    def place(self, value: str) -> None: ...
    @property
    def purpose(self) -> str:
        """What the decision was made for. Sealed."""
    @purpose.setter
    def purpose(self, value: str) -> None: ...

@final
class HumanDeltaChain:
    """The human review of a decision: the decision it refers to, whether the review is closed,
    the node that closes it, and the review sequence it belongs to.

    A mutable value. A capture copies it into ``human_delta_chain_json`` (``chain_id`` first),
    which is logged but **not** sealed: none of these fields is covered by the signature.

    Raises ``TypeError`` for a text field that is not a ``str`` or a ``resolved`` that is not a
    ``bool`` (an ``int`` is refused; a NumPy boolean is accepted), ``UnicodeEncodeError`` for a
    lone surrogate, ``AttributeError`` on ``del`` of a field, and ``RuntimeError`` ("Already
    borrowed") for an assignment while a capture that was given the node runs Python code. The
    class cannot be subclassed.
    """

    def __new__(
        cls, agent_decision_ref: str, resolved: bool, terminal_node: str, chain_id: str | None = None
    ) -> HumanDeltaChain:
        """Build a review node; ``chain_id`` omitted or None draws a fresh random UUID (version 4).

        ``PanicException`` when the random source fails.
        """
    @property
    def chain_id(self) -> str:
        """The identity of the review sequence, as given or generated. Not sealed.

        Assigning None raises ``TypeError``: the generated default exists only in the constructor.
        """
    @chain_id.setter
    def chain_id(self, value: str) -> None: ...
    @property
    def agent_decision_ref(self) -> str:
        """A reference to the model decision under review. Not sealed."""
    @agent_decision_ref.setter
    def agent_decision_ref(self, value: str) -> None: ...
    @property
    def resolved(self) -> bool:
        """Whether the review is closed. Not sealed."""
    @resolved.setter
    def resolved(self, value: bool) -> None: ...
    @property
    def terminal_node(self) -> str:
        """The node (desk, reviewer, system) that closes the review. Not sealed."""
    @terminal_node.setter
    def terminal_node(self, value: str) -> None: ...

@final
class SealedRecord:
    """One captured decision with its seal, scores and stamps: read-only, made only by ``capture``.

    ``hash`` is the BLAKE3 digest of the seal text (provenance, place, purpose, prompt, coherence
    score and reputation), ``signature`` signs that digest and ``merkle_root`` chains it to the
    engine's earlier records: those six inputs are sealed. ``id``, ``timestamp``,
    ``monotonic_nanos``, ``ctx_json``, ``reasoning_trace_json``, ``output``,
    ``human_delta_chain_json`` and ``core_insight_json`` are logged but not sealed.

    Calling the class raises ``TypeError``; assigning or deleting a property raises
    ``AttributeError``. Each read returns a new object. The class cannot be subclassed.
    """

    @property
    def id(self) -> str:
        """ "qor_" and a random version-4 UUID, 40 characters. Not sealed."""
    @property
    def timestamp(self) -> str:
        """Wall-clock time of the capture, RFC 3339 in UTC ending in "+00:00". Not sealed."""
    @property
    def monotonic_nanos(self) -> int:
        """Gap in nanoseconds between two back-to-back monotonic clock readings. Not sealed."""
    @property
    def hash(self) -> str:
        """BLAKE3 digest of the seal text, 64 lowercase hex digits: the value that is signed."""
    @property
    def signature(self) -> list[int]:
        """Ed25519 signature over the 32 raw digest bytes (not the hex text), as 64 ints 0-255.

        Verify it with ``QOREngine.public_key_hex()``. The list is a copy: changing it changes
        nothing.
        """
    @property
    def merkle_root(self) -> str:
        """The engine's chain root after this record, 64 lowercase hex digits.

        BLAKE3 of the previous root and this ``hash``, starting from BLAKE3("genesis"): it links
        the record to every earlier one of the same engine.
        """
    @property
    def coherence_score(self) -> float:
        """Cosine similarity in [0, 1] of this decision to the engine's recent ones. Sealed."""
    @property
    def reputation_scalar(self) -> float:
        """The engine's moving average of coherence after this record (0.98 old + 0.02 new). Sealed."""
    @property
    def ppp_json(self) -> str:
        """The ``PPPTriplet`` as compact JSON. Its three values are sealed."""
    @property
    def ctx_json(self) -> str:
        """``json.dumps`` of the context, exactly as returned. Not sealed."""
    @property
    def prompt(self) -> str:
        """The prompt as given. Sealed."""
    @property
    def reasoning_trace_json(self) -> str:
        """``json.dumps`` of the reasoning trace, exactly as returned. Not sealed."""
    @property
    def output(self) -> str:
        """The output as given. Not sealed (its length feeds the sealed scores)."""
    @property
    def human_delta_chain_json(self) -> str:
        """The ``HumanDeltaChain`` as compact JSON, ``chain_id`` first. Not sealed."""
    @property
    def core_insight_json(self) -> str | None:
        """An insight as JSON when the coherence reached 0.92 and ``auto_insight`` was true,
        else None. Not sealed."""
