"""Engine construction: log file, key file, memory mode and the signing identity."""

import os
import stat
import subprocess
import sys

import pytest
from nacl.signing import SigningKey

import velm_qor


def test_memory_mode_touches_no_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    a = velm_qor.QOREngine(":memory:")
    b = velm_qor.QOREngine(":memory:")
    assert a.public_key_hex() != b.public_key_hex()
    assert os.listdir(tmp_path) == []
    for path in [":MEMORY:", ":memory: "]:
        velm_qor.QOREngine(path)
        assert os.path.exists(tmp_path / path) and os.path.getsize(tmp_path / (path + ".key")) == 32


def test_new_path_creates_log_and_private_key(tmp_path):
    wal = tmp_path / "audit.wal"
    old_umask = os.umask(0)
    try:
        engine = velm_qor.QOREngine(str(wal))
    finally:
        os.umask(old_umask)
    assert wal.read_bytes() == b""
    key = (tmp_path / "audit.wal.key").read_bytes()
    assert len(key) == 32
    assert stat.S_IMODE(os.stat(tmp_path / "audit.wal.key").st_mode) == 0o600
    # The identity is the RFC 8032 key of the stored seed, stable across engines.
    expected = SigningKey(key).verify_key.encode().hex()
    assert engine.public_key_hex() == expected
    assert velm_qor.QOREngine(str(wal)).public_key_hex() == expected
    assert sorted(os.listdir(tmp_path)) == ["audit.wal", "audit.wal.key"]


def test_existing_key_and_log_are_left_alone(tmp_path):
    seed = bytes(range(32))
    (tmp_path / "l.wal.key").write_bytes(seed)
    (tmp_path / "l.wal.key").chmod(0o600)
    (tmp_path / "l.wal").write_bytes(b'{"old":1}\n')
    engine = velm_qor.QOREngine(str(tmp_path / "l.wal"))
    assert engine.public_key_hex() == SigningKey(seed).verify_key.encode().hex()
    assert (tmp_path / "l.wal.key").read_bytes() == seed
    assert (tmp_path / "l.wal").read_bytes() == b'{"old":1}\n'


@pytest.mark.parametrize("length", [0, 31, 33, 10_000_000])
def test_wrong_key_length_is_fatal_and_never_printed(tmp_path, panic_type, capfd, length):
    secret = (b"\xab" * length)
    (tmp_path / "k.wal.key").write_bytes(secret)
    with pytest.raises(panic_type) as info:
        velm_qor.QOREngine(str(tmp_path / "k.wal"))
    message = str(info.value)
    assert message.startswith("Invalid key length: ")
    assert "32" in message and str(length) in message
    assert "171" not in message  # the bytes themselves (0xab) never appear
    err = capfd.readouterr().err
    assert "Invalid key length" in err and "171" not in err
    assert (tmp_path / "k.wal.key").stat().st_size == length


def test_key_path_that_is_a_directory(tmp_path, panic_type):
    (tmp_path / "d.wal.key").mkdir()
    with pytest.raises(panic_type) as info:
        velm_qor.QOREngine(str(tmp_path / "d.wal"))
    assert str(info.value).startswith("Failed to read signing key: ")


def test_key_path_that_is_a_fifo_does_not_hang(tmp_path):
    fifo = tmp_path / "f.wal.key"
    os.mkfifo(fifo)
    code = (
        "import velm_qor, sys\n"
        "try:\n"
        f"    velm_qor.QOREngine({str(tmp_path / 'f.wal')!r})\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert out.stdout.startswith("PanicException Failed to read signing key: ")


@pytest.mark.parametrize("name", ["missing-dir/x.wal", "nul\0byte.wal"])
def test_unwritable_key_path_is_fatal(tmp_path, panic_type, capfd, name):
    with pytest.raises(panic_type) as info:
        velm_qor.QOREngine(str(tmp_path / name))
    assert str(info.value).startswith("Failed to write signing key: ")
    assert "Failed to write signing key" in capfd.readouterr().err
    assert os.listdir(tmp_path) == []


def test_empty_path_uses_dot_key_in_cwd(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    velm_qor.QOREngine("")
    assert os.listdir(tmp_path) == [".key"]
    assert (tmp_path / ".key").stat().st_size == 32


def test_long_path(tmp_path):
    name = "n" * 200
    deep = tmp_path / name / name
    deep.mkdir(parents=True)
    velm_qor.QOREngine(str(deep / "x.wal"))
    assert (deep / "x.wal.key").stat().st_size == 32


def test_concurrent_creation_agrees_on_one_key(tmp_path):
    wal = str(tmp_path / "race.wal")
    code = f"import velm_qor; print(velm_qor.QOREngine({wal!r}).public_key_hex())"
    procs = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True) for _ in range(8)]
    keys = {p.communicate(timeout=60)[0].strip() for p in procs}
    assert len(keys) == 1
    seed = (tmp_path / "race.wal.key").read_bytes()
    assert keys == {SigningKey(seed).verify_key.encode().hex()}
    assert sorted(os.listdir(tmp_path)) == ["race.wal", "race.wal.key"]


def test_public_key_hex_is_stable_lowercase():
    engine = velm_qor.QOREngine(":memory:")
    key = engine.public_key_hex()
    assert len(key) == 64 and set(key) <= set("0123456789abcdef")
    assert engine.public_key_hex() == key
    with pytest.raises(TypeError):
        engine.public_key_hex(1)


def test_lone_surrogate_path_raises_unicode_error(tmp_path):
    with pytest.raises(UnicodeEncodeError):
        velm_qor.QOREngine(str(tmp_path) + "/\udcff.wal")
    assert os.listdir(tmp_path) == []
