"""velm_qor_verify.records(): each row against json.loads of its line, and its chain and failure
against an independent chain walk and the verifier's report."""

import json

import pytest

import velm_qor
import velm_qor_verify
from conftest import GENESIS_HEX, next_root_hex

pd = pytest.importorskip("pandas", reason="records() needs pandas: pip install velm_qor[pandas]")


def capture(engine, n, tag):
    ppp = velm_qor.PPPTriplet(f"prov-{tag}", "place é", "purpose\n✓")
    for i in range(n):
        review = velm_qor.HumanDeltaChain(f"ref-{i}", i % 2 == 0, f"node-{i}", f"chain-{tag}")
        engine.capture(
            {"i": i, "tag": tag},
            f"prompt {tag}{i}" * (1 + i % 3),
            ["step", i],
            "out\n" * (i % 4),
            ppp,
            review,
            auto_insight=i % 3 != 1,
        )


@pytest.fixture(scope="module")
def two_chains(tmp_path_factory):
    """Seven records of two engines on one log (two chains, one key), interleaved, and the key."""
    path = str(tmp_path_factory.mktemp("frame") / "a.wal")
    a, b = velm_qor.QOREngine(path), velm_qor.QOREngine(path)
    for engine, tag in ((a, "a"), (b, "b"), (a, "c"), (b, "d"), (a, "e"), (a, "f"), (b, "g")):
        capture(engine, 1, tag)
    with open(path, "rb") as f:
        return f.read().splitlines(keepends=True), a.public_key_hex()


def oracle_rows(lines):
    """What each complete line holds by json.loads, and its chain by walking the roots."""
    heads, rows = [], []
    for raw in lines:
        try:
            rec = json.loads(raw)
        except ValueError:
            rows.append(None)
            continue
        chain = next((i + 1 for i, h in enumerate(heads) if next_root_hex(h, rec["hash"]) == rec["merkle_root"]), None)
        if chain is not None:
            heads[chain - 1] = rec["merkle_root"]
        elif next_root_hex(GENESIS_HEX, rec["hash"]) == rec["merkle_root"]:
            heads.append(rec["merkle_root"])
            chain = len(heads)
        ppp, review = json.loads(rec["ppp_json"]), json.loads(rec["human_delta_chain_json"])
        insight = rec["core_insight_json"]
        rows.append(
            {
                "chain": chain,
                "id": rec["id"],
                "timestamp": pd.Timestamp(rec["timestamp"]),
                "monotonic_nanos": rec["monotonic_nanos"],
                **ppp,
                "prompt": rec["prompt"],
                "output": rec["output"],
                "ctx": json.loads(rec["ctx_json"]),
                "trace": json.loads(rec["reasoning_trace_json"]),
                **review,
                "coherence_score": rec["coherence_score"],
                "reputation_scalar": rec["reputation_scalar"],
                "insight": None if insight is None else json.loads(insight),
                "hash": rec["hash"],
                "merkle_root": rec["merkle_root"],
                "signature": bytes(rec["signature"]),
            }
        )
    return rows


def check_rows(frame, lines, files, chains=True):
    """Each row against the oracle; `files` gives (file, line) per row."""
    expected = oracle_rows(lines)
    assert len(frame) == len(expected)
    assert list(zip(frame["file"], frame["line"])) == files
    assert list(frame["series_line"]) == list(range(1, len(lines) + 1))
    for row, want in zip(frame.to_dict("records"), expected):
        if want is None:  # not JSON: nulls
            assert all(
                pd.isna(row[k]) for k in ("id", "hash", "timestamp", "chain", "ctx", "signature", "coherence_score")
            )
            continue
        if not chains:
            want = {k: v for k, v in want.items() if k != "chain"}
        got = {k: (None if k == "chain" and pd.isna(row[k]) else row[k]) for k in want}
        assert got == want


def split(lines, at):
    return [lines[a:b] for a, b in zip((0, *at), (*at, len(lines)))]


def write(folder, name, lines):
    path = folder / name
    path.write_bytes(b"".join(lines))
    return str(path)


def test_a_good_log_and_its_series(tmp_path, two_chains):
    lines, key = two_chains
    path = write(tmp_path, "good.wal", lines)
    frame = velm_qor_verify.records(path, key)
    check_rows(frame, lines, [(path, n) for n in range(1, len(lines) + 1)])
    assert frame["verified"].all() and frame["failure"].isna().all()
    assert list(frame["chain"]) == [1, 2, 1, 2, 1, 1, 2]  # the oracle agrees, above
    assert str(frame["timestamp"].dt.tz) == "UTC"

    pieces = [write(tmp_path, f"s.wal.{i}", part) for i, part in enumerate(split(lines, (2, 5)))]
    series = velm_qor_verify.records(pieces, key, series=True)
    check_rows(
        series,
        lines,
        [
            (pieces[0], 1),
            (pieces[0], 2),
            (pieces[1], 1),
            (pieces[1], 2),
            (pieces[1], 3),
            (pieces[2], 1),
            (pieces[2], 2),
        ],
    )
    assert series["verified"].all()
    # Without series, each piece is its own log: later pieces' chains begin after a break.
    apart = velm_qor_verify.records(pieces, key)
    assert list(apart["series_line"]) == [1, 2, 1, 2, 3, 1, 2]
    assert not apart["verified"].all()

    with open(path, "rb") as f:  # a file object reads alike
        from_file = velm_qor_verify.records(f, key)
    assert from_file.drop(columns="file").equals(frame.drop(columns="file"))

    unkeyed = velm_qor_verify.records(path)
    assert "verified" not in unkeyed and "failure" not in unkeyed
    check_rows(unkeyed, lines, [(path, n) for n in range(1, len(lines) + 1)])


def flip_prompt(line):
    return line.replace(b'"prompt":"prompt', b'"prompt":"Prompt', 1)


# Each case: the damaged log from the good lines, and the rows that must fail with their kind.
DAMAGE = {
    "a sealed field changed": (lambda l: l[:2] + [flip_prompt(l[2])] + l[3:], {3: "hash mismatch"}),
    "a line that is not JSON": (lambda l: l[:3] + [b"not a record <script>\n"] + l[3:], {4: "bad form"}),
    "a record removed": (lambda l: l[:2] + l[3:], {4: "chain break"}),
    "an unexpected key": (lambda l: l[:1] + [l[1].replace(b"{", b'{"</svg>":1,', 1)] + l[2:], {2: "bad form"}),
}


@pytest.mark.parametrize("name", DAMAGE)
def test_a_damaged_log_flags_the_rows_the_report_names(tmp_path, two_chains, name):
    lines, key = two_chains
    damage, failing = DAMAGE[name]
    damaged = damage(lines)
    path = write(tmp_path, "damaged.wal", damaged)
    frame = velm_qor_verify.records(path, key)
    check_rows(frame, damaged, [(path, n) for n in range(1, len(damaged) + 1)], chains=False)
    report = velm_qor_verify.verify(path, key)
    first = {}
    for f in report.failures:
        first.setdefault(f.line, f.kind)
    assert {n: k for n, k in first.items() if n in failing} == failing
    assert dict(zip(frame["line"], frame["failure"])) == {n: first.get(n) for n in range(1, len(damaged) + 1)}
    assert list(frame["verified"]) == [n not in first for n in range(1, len(damaged) + 1)]


def test_a_torn_last_line_has_no_row(tmp_path, two_chains):
    lines, key = two_chains
    torn = lines[:-1] + [lines[-1][:40]]
    path = write(tmp_path, "torn.wal", torn)
    frame = velm_qor_verify.records(path, key)
    check_rows(frame, lines[:-1], [(path, n) for n in range(1, len(lines))])
    assert frame["verified"].all()
    assert [f.kind for f in velm_qor_verify.verify(path, key).failures] == ["torn line"]


@pytest.mark.parametrize(
    "args, error",
    [
        ((42,), TypeError),
        (("x.wal", 7), TypeError),
        (("x.wal", "00" * 31), ValueError),
        (("/nonexistent/x.wal",), FileNotFoundError),
    ],
)
def test_wrong_arguments(args, error):
    with pytest.raises(error):
        velm_qor_verify.records(*args)
