"""Checkpoints, proofs and checks over a rotated series, proofs by record id, and the engine's public
key from its key file, each against an oracle written here: the pieces concatenated by hand and run
through the single-log path, the RFC 6962 tree of test_checkpoints, and json/QOREngine."""

import json
import os

import pytest
from test_checkpoints import ORIGIN, audit_path, checkpoint_cmd, cli, logs, mth, read_note, witness, write_log

import velm_qor
import velm_qor_verify as vq

__all__ = ["logs", "witness"]  # the fixtures, shared with test_checkpoints

CUTS = [(0, 20), (20, 20), (20, 21), (21, 70)]  # one piece empty, one of one line


def pieces(folder, lines):
    paths = []
    for i, (a, b) in enumerate(CUTS):
        paths.append(write_log(folder / f"audit.wal.{len(CUTS) - 1 - i}", lines[a:b]))
    return paths


def test_a_series_is_checkpointed_and_proved_as_its_concatenation(tmp_path, witness, logs):
    wk, _, public, vkey = witness
    lines, key = logs["long"], logs["long_key"]
    series = pieces(tmp_path, lines)
    whole = write_log(tmp_path / "whole.wal", lines)
    proc = checkpoint_cmd(series[0], key, witness, *series[1:], "--series")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == checkpoint_cmd(whole, key, witness).stdout
    assert read_note(proc.stdout, ORIGIN, public) == (ORIGIN, 70, mth(lines))
    assert vq.checkpoint(series, key, wk, ORIGIN, series=True) == proc.stdout.decode()
    cp = tmp_path / "70.cp"
    cp.write_bytes(proc.stdout)
    for n in (1, 20, 21, 22, 70):
        got = cli("prove", *series, "--series", "--line", n, "--checkpoint", cp)
        assert got.returncode == 0, got.stderr
        assert got.stdout == cli("prove", whole, "--line", n, "--checkpoint", cp).stdout
        bundle = json.loads(got.stdout)
        assert bundle["record"].encode() == lines[n - 1]
        assert [__import__("base64").b64decode(h) for h in bundle["inclusion_proof"]] == audit_path(n - 1, lines)
        assert vq.prove(series, n, proc.stdout.decode(), series=True) == got.stdout.decode()
    ok = cli(*series, "--series", "--public-key", key, "--checkpoint", cp, "--witness", vkey, "--json")
    assert ok.returncode == 0 and json.loads(ok.stdout)["ok"], ok.stdout
    report = vq.verify(series, key, series=True, checkpoints=[proc.stdout.decode()], witnesses=[vkey])
    assert report.ok and report.to_json().encode() == ok.stdout
    for kwargs, words in [
        ({"series": True, "witnesses": [vkey]}, "witnesses are given without checkpoints"),
        ({"checkpoints": [proc.stdout.decode()], "witnesses": [vkey]}, "exactly one log, or a series"),
    ]:
        with pytest.raises(ValueError, match=words):
            vq.verify(series, key, **kwargs)


def test_a_cut_piece_is_named_by_the_checkpoint_check(tmp_path, witness, logs):
    lines, key, vkey = logs["long"], logs["long_key"], witness[3]
    series = pieces(tmp_path, lines)
    cp = tmp_path / "cp"
    cp.write_bytes(checkpoint_cmd(series[0], key, witness, *series[1:], "--series").stdout)
    write_log(tmp_path / "extra.wal", lines[21:24])  # the newest piece, cut to 3 of its 49 lines
    cut = series[:3] + [tmp_path / "extra.wal"]
    proc = cli(*cut, "--series", "--public-key", key, "--checkpoint", cp, "--witness", vkey, "--json")
    assert proc.returncode == 1, proc.stderr
    failures = [f for f in json.loads(proc.stdout)["logs"][0]["failures"] if f["kind"] == "log truncated"]
    # The series has 21 + 3 lines: the checkpoint's 70 reach past its end, into the last piece.
    assert [(f["file"], f["line"], f.get("log_line")) for f in failures] == [(str(cut[3]), 4, 25)]
    text = cli(*cut, "--series", "--public-key", key, "--checkpoint", cp, "--witness", vkey)
    assert f"line 4 of {cut[3]} (line 25 of the series): log truncated".encode() in text.stdout
    assert b"lines 25..70 were removed or cut off (the lines named here count over the series)" in text.stdout
    refused = checkpoint_cmd(cut[0], key, witness, *cut[1:], "--series", "--previous", cp)
    assert refused.returncode == 1 and b"does not extend the previous checkpoint" in refused.stderr
    with pytest.raises(ValueError, match=r"line 4 of .*extra.wal \(line 25 of the series\): log truncated"):
        vq.checkpoint(cut, key, witness[0], ORIGIN, previous=cp.read_text(), series=True)


def test_prove_by_record_id_is_prove_by_its_line(tmp_path, witness, logs):
    lines, key = logs["long"], logs["long_key"]
    series = pieces(tmp_path, lines)
    note = checkpoint_cmd(series[0], key, witness, *series[1:], "--series").stdout
    cp = tmp_path / "cp"
    cp.write_bytes(note)
    for n in (1, 21, 45, 70):
        record_id = json.loads(lines[n - 1])["id"]
        by_id = cli("prove", *series, "--series", "--id", record_id, "--checkpoint", cp)
        assert by_id.returncode == 0, by_id.stderr
        assert by_id.stdout == cli("prove", *series, "--series", "--line", n, "--checkpoint", cp).stdout
        assert vq.prove(series, checkpoint=note.decode(), series=True, record_id=record_id) == by_id.stdout.decode()
    whole = write_log(tmp_path / "whole.wal", lines)
    first = json.loads(lines[0])["id"]
    assert vq.prove(whole, None, note.decode(), record_id=first) == vq.prove(whole, 1, note.decode())
    for record_id, shown in [("qor_none", b"qor_none"), ("qor_\x1b[2J", b"qor_\\x1b[2J")]:
        proc = cli("prove", whole, "--id", record_id, "--checkpoint", cp)
        assert (proc.returncode, proc.stdout) == (1, b""), proc.stderr
        assert b"no record with id " + shown + b" among the checkpoint's 70 lines" in proc.stderr
    with pytest.raises(ValueError, match="no record with id qor_none"):
        vq.prove(whole, checkpoint=note.decode(), record_id="qor_none")
    for args in (["--line", 1, "--id", first], []):
        proc = cli("prove", whole, "--checkpoint", cp, *args)
        assert proc.returncode == 2 and b"give either --line or --id" in proc.stderr
    with pytest.raises(TypeError):
        vq.prove(whole, 1, note.decode(), record_id=first)


def test_public_key_is_the_engines(tmp_path):
    wal = str(tmp_path / "a.wal")
    engine = velm_qor.QOREngine(wal)
    proc = cli("public-key", wal + ".key")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, (engine.public_key_hex() + "\n").encode(), b"")
    os.chmod(wal + ".key", 0o620)
    shared = cli("public-key", wal + ".key")
    assert (shared.returncode, shared.stdout) == (2, b"") and b"may be written by other users" in shared.stderr
    missing = cli("public-key", tmp_path / "none.key")
    assert missing.returncode == 2 and b"No such file" in missing.stderr
    assert not (tmp_path / "none.key").exists()
