"""The engine's check of the C library's sinf at its first capture: a process whose sinf differs
from the recorded one in a single last bit is warned once, and a process with the usual sinf is
not. The differing sinf is a preloaded shim around the real one."""

import ctypes
import json
import shutil
import struct
import subprocess
import sys

import pytest

PHASE = 0x40366666  # one of the decision-vector phases whose sine the engine compares

SHIM = (
    r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>

float sinf(float x) {
  float (*real)(float) = (float (*)(float))dlsym(RTLD_NEXT, "sinf");
  float s = real(x);
  unsigned bits;
  memcpy(&bits, &x, sizeof bits);
  if (bits == %dU) {
    memcpy(&bits, &s, sizeof bits);
    bits ^= 1U;
    memcpy(&s, &bits, sizeof bits);
  }
  return s;
}
"""
    % PHASE
)

SCRIPT = """
import json, warnings, velm_qor
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for engine in (velm_qor.QOREngine(":memory:"), velm_qor.QOREngine(":memory:")):
        for n in range(3):
            engine.capture({}, "prompt " * n, [], "output", velm_qor.PPPTriplet("m", "n", "p"),
                           velm_qor.HumanDeltaChain("d", True, "desk"))
print(json.dumps([[w.category.__name__, str(w.message)] for w in caught]))
"""


def hex32(value: float) -> str:
    return "0x%08x" % struct.unpack("<I", struct.pack("<f", value))[0]


def warnings_under(preload: str) -> list:
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120, env=_env(preload))
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def _env(preload: str) -> dict:
    # A preloaded sanitizer runtime (make sanitize) must stay first; the shim comes after it.
    import os

    env = dict(os.environ)
    if preload:
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD", ""), preload]))
    return env


def test_a_sinf_differing_in_one_bit_is_warned_about_once(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the sinf shim")
    shim = tmp_path / "sinf_shim.so"
    (tmp_path / "shim.c").write_text(SHIM)
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(shim), str(tmp_path / "shim.c"), "-ldl"], check=True)

    libm = ctypes.CDLL("libm.so.6")
    libm.sinf.restype = ctypes.c_float
    libm.sinf.argtypes = [ctypes.c_float]
    real = libm.sinf(struct.unpack("<f", struct.pack("<I", PHASE))[0])
    shimmed = struct.unpack("<f", struct.pack("<I", struct.unpack("<I", struct.pack("<f", real))[0] ^ 1))[0]

    cases = [
        ("", []),
        (
            str(shim),
            [
                [
                    "RuntimeWarning",
                    f"velm_qor: this machine's sinf(0x{PHASE:08x}) is {hex32(shimmed)}, not the recorded {hex32(real)}:"
                    " its scores differ from other machines', so records written here may not verify elsewhere",
                ]
            ],
        ),
    ]
    for preload, expected in cases:
        assert warnings_under(preload) == expected, preload
