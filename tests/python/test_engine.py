"""Engine construction: log file, key file, memory mode and the signing identity."""

import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import warnings

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


@pytest.mark.parametrize("length", [245, 251, 252])
def test_log_names_up_to_the_longest_whose_key_name_fits(tmp_path, panic_type, length):
    wal = tmp_path / ("w" * length)
    if length + len(".key") > os.pathconf(tmp_path, "PC_NAME_MAX"):
        with pytest.raises(panic_type, match="^Failed to write signing key: File name too long"):
            velm_qor.QOREngine(str(wal))
        assert os.listdir(tmp_path) == [wal.name]
        return
    engine = velm_qor.QOREngine(str(wal))
    key = wal.with_name(wal.name + ".key").read_bytes()
    assert engine.public_key_hex() == SigningKey(key).verify_key.encode().hex()
    assert sorted(os.listdir(tmp_path)) == [wal.name, wal.name + ".key"]


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
    secret = b"\xab" * length
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


NO_LINKS_SHIM = """
#include <errno.h>
int link(const char *from, const char *to) { (void)from; (void)to; errno = EPERM; return -1; }
int linkat(int fd1, const char *from, int fd2, const char *to, int flags) {
  (void)fd1; (void)from; (void)fd2; (void)to; (void)flags; errno = EPERM; return -1;
}
"""


@pytest.fixture(scope="module")
def no_links_env(tmp_path_factory):
    """An environment whose processes get EPERM from link(), as on FAT and exFAT."""
    if shutil.which("gcc") is None:
        pytest.skip("gcc is needed to build the link() shim")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(NO_LINKS_SHIM)
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(where / "shim.so"), str(where / "shim.c")], check=True)
    env = dict(os.environ)
    # After whatever is preloaded already (the sanitizer runtimes must come first).
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(where / "shim.so")]))
    return env


def test_key_created_in_place_where_links_are_refused(tmp_path, no_links_env):
    wal = str(tmp_path / "nl.wal")
    code = f"import velm_qor; print(velm_qor.QOREngine({wal!r}).public_key_hex())"
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=no_links_env
        )
        for _ in range(6)
    ]
    outs = [p.communicate(timeout=60) for p in procs]
    assert [p.returncode for p in procs] == [0] * 6, outs
    seed = (tmp_path / "nl.wal.key").read_bytes()
    assert {out.strip() for out, _ in outs} == {SigningKey(seed).verify_key.encode().hex()}
    assert stat.S_IMODE(os.stat(tmp_path / "nl.wal.key").st_mode) == 0o600
    assert sorted(os.listdir(tmp_path)) == ["nl.wal", "nl.wal.key"]


def test_reader_waits_for_a_key_still_being_written(tmp_path):
    seed = bytes(range(32))
    fd = os.open(tmp_path / "w.wal.key", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    os.write(fd, seed[:10])
    threading.Timer(0.3, lambda: (os.write(fd, seed[10:]), os.close(fd))).start()
    engine = velm_qor.QOREngine(str(tmp_path / "w.wal"))
    assert engine.public_key_hex() == SigningKey(seed).verify_key.encode().hex()


@pytest.fixture
def vfat_dir(tmp_path):
    """A small FAT file system (no hard links, no permission bits) mounted on a loop device."""
    image, where = tmp_path / "fat.img", tmp_path / "fat"
    where.mkdir()
    if os.geteuid() != 0 or shutil.which("mkfs.vfat") is None:
        pytest.skip("a FAT image needs root and mkfs.vfat (dosfstools)")
    with open(image, "wb") as f:
        f.truncate(4 << 20)
    subprocess.run(["mkfs.vfat", str(image)], check=True, capture_output=True)
    out = subprocess.run(["mount", "-o", "loop", str(image), str(where)], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip(f"cannot mount a FAT image here: {out.stderr.strip()}")
    try:
        yield where
    finally:
        subprocess.run(["umount", str(where)], capture_output=True)


def test_engine_on_a_fat_file_system(vfat_dir, ppp, review):
    wal = str(vfat_dir / "a.wal")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        first = velm_qor.QOREngine(wal)
        record = first.capture(None, "p", None, "o", ppp, review)
        second = velm_qor.QOREngine(wal)
    # FAT shows every file as readable by all: the key is made and used, with a warning saying so.
    assert {str(w.message) for w in caught} <= {
        f"velm_qor: the signing key '{wal}.key' may be read by other users (mode {m:04o})" for m in (0o644, 0o755)
    }
    seed = (vfat_dir / "a.wal.key").read_bytes()
    assert first.public_key_hex() == second.public_key_hex() == SigningKey(seed).verify_key.encode().hex()
    assert json.loads((vfat_dir / "a.wal").read_bytes())["id"] == record.id
    assert sorted(os.listdir(vfat_dir)) == ["a.wal", "a.wal.key"]


@pytest.mark.parametrize(
    "mode, problem",
    [
        (0o620, "may be written by other users (mode 0620)"),
        (0o602, "may be written by other users (mode 0602)"),
        (0o640, None),
        (0o604, None),
        (0o600, None),
    ],
    ids=["group-writable", "world-writable", "group-readable", "world-readable", "private"],
)
def test_key_files_others_may_write_are_refused_and_readable_ones_warned(tmp_path, panic_type, mode, problem):
    key = tmp_path / "p.wal.key"
    key.write_bytes(bytes(range(32)))
    key.chmod(mode)
    wal = str(tmp_path / "p.wal")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if problem:
            with pytest.raises(panic_type) as info:
                velm_qor.QOREngine(wal)
            assert str(info.value) == f"Failed to read signing key: '{key}' {problem}"
        else:
            velm_qor.QOREngine(wal)
    readable = mode & 0o044 and not problem
    assert [(w.category, str(w.message)) for w in caught] == (
        [(RuntimeWarning, f"velm_qor: the signing key '{key}' may be read by other users (mode {mode:04o})")]
        if readable
        else []
    )


def test_key_file_of_another_user_is_refused_except_for_root(panic_type):
    if os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    with tempfile.TemporaryDirectory(dir="/tmp") as shared:  # reachable by that user
        os.chmod(shared, 0o755)
        wal, key = os.path.join(shared, "o.wal"), os.path.join(shared, "o.wal.key")
        with open(key, "wb") as f:
            f.write(bytes(range(32)))
        os.chmod(key, 0o600)
        os.chown(key, 12345, 12345)
        velm_qor.QOREngine(wal)  # root may use any owner
        os.chown(key, 0, 0)
        os.chmod(key, 0o644)
        os.seteuid(12345)
        try:
            with pytest.raises(panic_type) as info:
                velm_qor.QOREngine(wal)
        finally:
            os.seteuid(0)
    assert str(info.value) == (
        f"Failed to read signing key: '{key}' belongs to user 0, not to this process's user 12345"
    )
