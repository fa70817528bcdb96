"""The batch functions give the same bits after a -ffast-math library has
switched on flush-to-zero and denormals-are-zero, and under every rounding
direction, on the calling thread and on worker threads; the caller's control
state is left as it was. The library is built and loaded as in
tests/python/test_robust_fpenv.py, in a fresh interpreter."""

import json
import os
import platform
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

from test_batch_equality import check_rowwise, check_simhash

import ambrel_batch as ab
import test_robust_fpenv as fpenv

pytestmark = pytest.mark.skipif(
    platform.machine() not in ("x86_64", "AMD64"), reason="FTZ/DAZ live in the x86-64 MXCSR register"
)


def inputs():
    """Rows whose results a flushing or differently rounding float unit would
    change: subnormal inputs, normal inputs with subnormal squares, products
    or sums, values between floats or beyond their range, large integers."""
    rng = np.random.default_rng(7)
    tiny = rng.standard_normal((40, 48)) * 1e-19  # squares below the smallest normal float
    near_min = rng.standard_normal((40, 48)) * 2e-38  # float32 sums that pass through subnormals
    subnormal = rng.standard_normal((6, 48)) * 1e-40
    narrowed = np.resize(np.array(fpenv.NARROWED), (12, 24))  # each row a rotation of the list
    return {
        "tiny float32": tiny.astype(np.float32),
        "near the smallest normal float32": near_min.astype(np.float32),
        "subnormal float32": subnormal.astype(np.float32),
        "narrowed float64": narrowed,
        "large int64": np.array([[2**60 + 2**36 + 1, 3, -(2**62) - 2**38 - 1], [2**53 + 1, -1, 2**63 - 1]]),
    }


CALLS = {
    "simhash": lambda rows, t: ab.simhash_lsh_batch(rows, 2, 100, 5, threads=t).codes,
    "normalize": lambda rows, t: ab.normalize_batch(rows, threads=t),
    "sha256": lambda rows, t: ab.sha256_batch(rows, threads=t),
    "cosine_pairs": lambda rows, t: ab.cosine_pairs(rows, np.arange(len(rows)), np.arange(len(rows))[::-1], threads=t),
    "similar_pairs": lambda rows, t: np.concatenate(
        [v.view(np.uint8) for v in ab.similar_pairs(rows, 0.2, threads=t)[:3]]
    ),
    "nearest_cells": lambda rows, t: np.concatenate(
        [v.view(np.uint8).ravel() for v in ab.nearest_cells(rows, rows[::3], margin=0.5, max_cells=3, threads=t)]
    ),
}


def results(rows_by_name):
    """Every batch function on every input, on the calling thread and on two."""
    out = {
        f"{name}/{fn}/{t}": call(rows, t).tobytes().hex()
        for name, rows in rows_by_name.items()
        for fn, call in CALLS.items()
        for t in (1, 2)
    }
    out["cosine"] = ab.cosine_from_hamming_batch(np.arange(300, dtype=np.uint64), 257).tobytes().hex()
    return out


CHILD = r"""
import ctypes, ctypes.util, json, sys
sys.path.insert(0, sys.argv[2])
from test_batch_fpenv import inputs, results

rows = inputs()  # made before the library is loaded: DAZ/FTZ could flush them
squares = lambda: float((rows["tiny float32"] ** 2).sum(dtype="f4"))  # numpy's own float32 arithmetic
report = {"before": results(rows), "squares": [squares()]}
lib = ctypes.CDLL(sys.argv[1])
lib.read_mxcsr.restype = ctypes.c_uint
lib.multiply.restype = ctypes.c_double
lib.multiply.argtypes = [ctypes.c_double, ctypes.c_double]
report["control"] = lib.read_mxcsr()
report["flushed"] = lib.multiply(1e-310, 1.0) == 0.0
report["flushing"] = results(rows)
report["squares"].append(squares())
libm = ctypes.CDLL(ctypes.util.find_library("m"))
for mode, value in json.loads(sys.argv[3]).items():
    assert libm.fesetround(value) == 0 and libm.fegetround() == value
    report[mode] = results(rows)
    report[mode + " kept"] = libm.fegetround() == value
    libm.fesetround(0)
report["control_after"] = lib.read_mxcsr()
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    here = os.path.dirname(os.path.abspath(__file__))
    tmp_path = tmp_path_factory.mktemp("batch-fpenv")

    paths = [os.path.dirname(os.path.dirname(ab.__file__)), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))  # the module this process tests

    def run(library):
        args = [str(library), here, json.dumps(fpenv.ROUNDING_MODES)]
        proc = subprocess.run(
            [sys.executable, "-c", CHILD, *args], capture_output=True, text=True, env=env, timeout=600
        )
        assert proc.returncode == 0, proc.stderr[-3000:]
        return json.loads(proc.stdout.strip().splitlines()[-1])

    found = run(fpenv._build(tmp_path, []))
    if found["control"] & fpenv.FTZ_DAZ != fpenv.FTZ_DAZ:  # this compiler leaves the flags alone
        found = run(fpenv._build(tmp_path, ["-DSET_FTZ_DAZ_AT_LOAD"]))
    return found


def test_the_inputs_are_computed_right():
    for rows in inputs().values():
        check_simhash(rows, 2, 100, 5)
        check_rowwise(rows)


def test_flushing_changes_no_bit(report):
    assert report["control"] & fpenv.FTZ_DAZ == fpenv.FTZ_DAZ and report["flushed"]
    before, flushing = report["squares"]
    assert flushing != before  # these inputs do change under flushing
    assert report["before"] == results(inputs())  # the fresh interpreter computes what this one does
    assert report["flushing"] == report["before"]
    assert report["control_after"] == report["control"]


@pytest.mark.parametrize("mode", list(fpenv.ROUNDING_MODES))
def test_no_rounding_direction_changes_a_bit(report, mode):
    assert report[mode + " kept"]
    assert report[mode] == report["before"]
