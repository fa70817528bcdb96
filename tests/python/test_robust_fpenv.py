"""Results stay bit-exact when another library has switched on flush-to-zero
and denormals-are-zero, or changed the rounding direction.

A shared object built with -ffast-math sets FTZ and DAZ in the MXCSR register
when it is loaded (gcc links crtfastmath.o into it). The test builds such a
library, loads it with ctypes in a fresh interpreter, checks that the flags
really are on (the library's own arithmetic flushes a subnormal), and then
requires every result to be the bit pattern computed before the load, and the
caller's control state to be left as it was.
"""

import hashlib
import json
import math
import os
import platform
import shutil
import struct
import subprocess
import sys

import pytest

import reference

pytestmark = pytest.mark.skipif(
    platform.machine() not in ("x86_64", "AMD64"), reason="FTZ/DAZ live in the x86-64 MXCSR register"
)

FAST_MATH_SOURCE = r"""
#include <xmmintrin.h>

/* Compilers that no longer link crtfastmath.o into shared objects get the
   same effect from a constructor. */
#ifdef SET_FTZ_DAZ_AT_LOAD
__attribute__((constructor)) static void set_ftz_daz(void) { _mm_setcsr(_mm_getcsr() | 0x8040u); }
#endif

unsigned int read_mxcsr(void) { return _mm_getcsr(); }
double multiply(double a, double b) { return a * b; }
"""

FTZ_DAZ = 0x8040  # bit 15 flush-to-zero, bit 6 denormals-are-zero

CHILD = r"""
import ctypes, json, struct, sys
import ambrel_native as m

def bits(x):
    return struct.pack("<d", x).hex()

# Every input exists before the library is loaded: parsing a literal under
# DAZ/FTZ could already flush it.
subnormal_f32 = [1e-40, -3.5e-41, 2.2e-39, 7e-42, -1.1e-38, 4e-45, 9.8e-39, -6.1e-40]
cases = {
    "normalize [1e-20, 0]": lambda: [bits(x) for x in m.normalize_vector([1e-20, 0])],
    "normalize [1e-22]": lambda: [bits(x) for x in m.normalize_vector([1e-22])],
    "normalize [2**-75]": lambda: [bits(x) for x in m.normalize_vector([2.0**-75])],
    "normalize [1e-30, 2e-30]": lambda: [bits(x) for x in m.normalize_vector([1e-30, 2e-30])],
    "normalize subnormal floats": lambda: [bits(x) for x in m.normalize_vector(subnormal_f32)],
    "simhash subnormal sums": lambda: [r.signature for r in m.simhash_lsh_multi(subnormal_f32, 2, 256, 4)],
    "simhash subnormal sums, tuple": lambda: [r.signature for r in m.simhash_lsh_multi(tuple(subnormal_f32), 1, 70)],
    "sha256 subnormal": lambda: m.compute_embedding_sha256(subnormal_f32),
    "sha256 small": lambda: m.compute_embedding_sha256([1e-20, -4e-7, 5e-7, 1.5e-6, -0.0000025]),
    "cosine": lambda: bits(m.cosine_from_hamming(7, 12)),
}
tiny = 1e-310
before = {name: fn() for name, fn in cases.items()}
lib = ctypes.CDLL(sys.argv[1])
lib.read_mxcsr.restype = ctypes.c_uint
lib.multiply.restype = ctypes.c_double
lib.multiply.argtypes = [ctypes.c_double, ctypes.c_double]
control = lib.read_mxcsr()
flushed = lib.multiply(tiny, 1.0)
after = {name: fn() for name, fn in cases.items()}
control_after = lib.read_mxcsr()
print(json.dumps({"before": before, "after": after, "control": control,
                  "control_after": control_after, "flushed": bits(flushed)}))
"""


def _compiler():
    for name in (os.environ.get("CC"), "gcc", "cc", "clang"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def _build(tmp_path, extra):
    compiler = _compiler()
    if compiler is None:
        pytest.skip("no C compiler")
    source = tmp_path / "fast_math.c"
    source.write_text(FAST_MATH_SOURCE)
    library = tmp_path / f"libfastmath{len(extra)}.so"
    proc = subprocess.run(
        [compiler, "-O2", "-ffast-math", "-shared", "-fPIC", *extra, str(source), "-o", str(library)],
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        pytest.skip(f"cannot build a shared library: {proc.stderr[-500:]}")
    return library


def _run(native, library):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(native.__file__), env.get("PYTHONPATH", "")])
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(library)], capture_output=True, text=True, env=env, timeout=300
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def under_fast_math(native, tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("fpenv")
    report = _run(native, _build(tmp_path, []))
    if report["control"] & FTZ_DAZ != FTZ_DAZ:
        # This compiler does not set the flags for shared objects itself.
        report = _run(native, _build(tmp_path, ["-DSET_FTZ_DAZ_AT_LOAD"]))
    return report


def _bits(x):
    return struct.pack("<d", x).hex()


def test_the_library_really_switches_flushing_on(under_fast_math):
    assert under_fast_math["control"] & FTZ_DAZ == FTZ_DAZ
    assert under_fast_math["flushed"] == _bits(0.0)  # 1e-310 * 1.0 came back as zero


@pytest.mark.parametrize(
    "case, expected",
    [
        ("normalize [1e-20, 0]", [1.0000026226043701, 0.0]),
        ("normalize [1e-22]", [1.009684443473816]),
        ("normalize [2**-75]", [2.6469779601696886e-23]),
        ("normalize [1e-30, 2e-30]", [1.0000000031710769e-30, 2.0000000063421537e-30]),
    ],
)
def test_subnormal_examples_of_normalisation(under_fast_math, case, expected):
    assert under_fast_math["before"][case] == [_bits(x) for x in expected]
    assert under_fast_math["after"][case] == under_fast_math["before"][case]


SUBNORMAL_F32 = [1e-40, -3.5e-41, 2.2e-39, 7e-42, -1.1e-38, 4e-45, 9.8e-39, -6.1e-40]


def test_every_result_is_unchanged_under_fast_math(under_fast_math):
    before, after = under_fast_math["before"], under_fast_math["after"]
    assert after == before
    # ... and the results are the right ones, not merely stable.
    assert before["normalize subnormal floats"] == [_bits(x) for x in reference.normalize_vector(SUBNORMAL_F32)]
    signatures = [r[2] for r in reference.simhash_lsh_multi(SUBNORMAL_F32, 2, 256, 4)]
    assert before["simhash subnormal sums"] == signatures
    assert set("".join(signatures)) != {"0"}  # the sums are tiny, not zero
    assert before["simhash subnormal sums, tuple"] == [reference.simhash_lsh_multi(SUBNORMAL_F32, 1, 70)[0][2]]
    assert before["sha256 subnormal"] == reference.compute_embedding_sha256(SUBNORMAL_F32)
    assert before["sha256 small"] == reference.compute_embedding_sha256([1e-20, -4e-7, 5e-7, 1.5e-6, -0.0000025])
    assert before["cosine"] == _bits(-0.25881904510252085)


def test_callers_control_state_is_restored(under_fast_math):
    assert under_fast_math["control_after"] == under_fast_math["control"]


# ------------------------------------------------------ rounding direction --

# <fenv.h> on x86-64 glibc.
ROUNDING_MODES = {"downward": 0x400, "upward": 0x800, "toward zero": 0xC00}
# Values whose 32-bit rounding differs between the directions: beyond the
# largest float, between floats, at a tie, in the subnormal range.
NARROWED = [1e39, -1e39, 3.4028235e38, 0.1, -0.1, 1.0 + 2.0**-24, 1.0 + 3 * 2.0**-25, 3e-39, -7e-46, 1e-45]


def _rounding_cases(native):
    import array

    xs = list(NARROWED)
    cases = {
        "normalize [1e39, 1.0]": lambda: native.normalize_vector([1e39, 1.0]),
        "sha256 [1e39]": lambda: native.compute_embedding_sha256([1e39]),
        "normalize [0.1, 1.0]": lambda: native.normalize_vector([0.1, 1.0]),
        "sha256 list": lambda: native.compute_embedding_sha256(xs),
        "sha256 tuple": lambda: native.compute_embedding_sha256(tuple(xs)),
        "sha256 array d": lambda: native.compute_embedding_sha256(array.array("d", xs)),
        "sha256 memoryview d": lambda: native.compute_embedding_sha256(memoryview(array.array("d", xs))),
        "sha256 iterated": lambda: native.compute_embedding_sha256(range(3)),
        "normalize list": lambda: native.normalize_vector(xs[2:]),
        "simhash list": lambda: [r.signature for r in native.simhash_lsh_multi(xs[2:], 2, 64, 4)],
        "cosine": lambda: native.cosine_from_hamming(7, 12),
    }
    try:
        import numpy as np

        cases["sha256 numpy float64"] = lambda: native.compute_embedding_sha256(np.array(xs))
    except ImportError:
        pass
    return cases


def _outcome(result):
    if isinstance(result, list):
        return [_outcome(x) for x in result]
    return _bits(result) if isinstance(result, float) else result


@pytest.fixture(scope="module")
def under_rounding_modes(native):
    import ctypes
    import ctypes.util

    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    cases = _rounding_cases(native)
    nearest = {name: _outcome(fn()) for name, fn in cases.items()}
    results = {}
    for mode, value in ROUNDING_MODES.items():
        assert libm.fesetround(value) == 0
        try:
            assert libm.fegetround() == value
            results[mode] = {name: _outcome(fn()) for name, fn in cases.items()}
        finally:
            libm.fesetround(0)
    assert libm.fegetround() == 0
    return nearest, results


def test_examples_under_nearest_rounding(under_rounding_modes):
    nearest, _ = under_rounding_modes
    nan, zero = nearest["normalize [1e39, 1.0]"]
    assert math.isnan(struct.unpack("<d", bytes.fromhex(nan))[0]) and zero == _bits(0.0)
    assert nearest["sha256 [1e39]"] == hashlib.sha256(b"[inf]").hexdigest()
    assert nearest["normalize [0.1, 1.0]"] == [_bits(x) for x in reference.normalize_vector([0.1, 1.0])]
    assert nearest["sha256 list"] == reference.compute_embedding_sha256(NARROWED)


@pytest.mark.parametrize("mode", list(ROUNDING_MODES))
def test_no_rounding_direction_changes_a_bit(under_rounding_modes, mode):
    nearest, results = under_rounding_modes
    assert results[mode] == nearest
