"""The functions of ambrel_batch._core under allocation failure, swept as
tests/python/test_robust_nomemory.py sweeps ambrel_native: for every k, the
k-th allocation (or every one from the k-th on) fails; each call gives its
normal result or raises MemoryError or PanicException("PyObject pointer is
null"), never aborts, and everything works as before afterwards.

`python test_batch_nomemory.py CASE` sweeps one case in this process.
"""

import array
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

import test_robust_nomemory as base


def build_cases(core):
    """name -> (callable, args, kwargs, observe), every callable in C."""
    rows = [[0.5, -0.25, 1.0, 0.125], (3, True, 2.5e-30, -7.0), [1e-40, 0.0, -0.0, 1e39]]
    grid = memoryview(array.array("d", [0.5, -1.5, 2.0, 1e-300, 4.0, -0.0])).cast("B").cast("d", (3, 2))
    codes, n, families, bits, width, count, row_bytes = core.simhash_lsh_batch(rows, 2, 70, 5, 1)
    distances = array.array("Q", [0, 7, 140, 2**64 - 1])

    def c(fn, *args):
        return (fn, args, {}, lambda result: result)

    return {
        "simhash_lsh_batch": c(core.simhash_lsh_batch, rows, 2, 70, 5, 2),
        "normalize_batch": c(core.normalize_batch, grid, 2),
        "sha256_batch": c(core.sha256_batch, rows, 1),
        "band_texts": c(core.band_texts, codes, n, families, bits, width, count),
        "hamming_pairs": c(core.hamming_pairs, codes, codes[::-1], n, row_bytes, 2),
        "cosine_from_hamming_batch": c(core.cosine_from_hamming_batch, distances, 4, 140),
        "cosine_pairs": c(core.cosine_pairs, rows, array.array("q", [0, 1, 2]), array.array("q", [2, 1, 1]), 3, 2),
        "similar_pairs": c(core.similar_pairs, rows, -1.0, None, 2, 2),
        "nearest_cells": c(core.nearest_cells, rows, rows[1:], 0.5, 2, 2),
        "error/threshold": c(core.similar_pairs, rows, 2.0, 1, 5, 1),
        "error/ragged": c(core.simhash_lsh_batch, [[1.0, 2.0], [3.0]], 1, 64, 1, 1),
        "error/row item": c(core.normalize_batch, [[1.0], [None]], 1),
        "error/threads": c(core.normalize_batch, rows, 0),
        "error/capacity": c(core.simhash_lsh_batch, [[1.0]], 2**57, 64, 1, 1),
    }


def _core():
    from ambrel_batch import _core

    return _core


if __name__ != "__main__":
    import pytest

    @pytest.fixture(scope="module", autouse=True)
    def _testcapi_required():
        capi = pytest.importorskip("_testcapi")
        if not hasattr(capi, "set_nomemory"):
            pytest.skip("this interpreter's _testcapi has no set_nomemory")

    @pytest.mark.parametrize("case", list(build_cases(_core())))
    def test_call_under_allocation_failure(case):
        import ambrel_batch

        paths = [os.path.dirname(os.path.dirname(ambrel_batch.__file__)), os.environ.get("PYTHONPATH", "")]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
        if "ASAN_OPTIONS" in env:
            env["ASAN_OPTIONS"] += ":handle_segv=0"
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), case], env=env, capture_output=True, text=True, timeout=600
        )
        assert proc.returncode == 0, base._describe(proc)
        summary = json.loads(proc.stdout.strip().splitlines()[-1])
        assert summary["problems"] == [], summary
        assert summary["memory_errors"] + summary["panics"] > 0, summary
        assert set(summary["last_k"]) == {"single", "persistent"}, summary


def _panic_type(cases):
    """_core's PanicException. No argument raises it (sizes too large to count are
    OverflowErrors, "error/capacity" included), so it is caught where a result
    object cannot be made: kernel() with one allocation failing."""
    import _testcapi

    core = _core()
    for k in range(64):
        _testcapi.set_nomemory(k, k + 1)
        try:
            core.kernel()
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            if type(exc).__name__ == "PanicException":
                return type(exc)
        _testcapi.remove_mem_hooks()
    return None


if __name__ == "__main__":
    base._panic_type = _panic_type
    print(json.dumps(base.sweep(sys.argv[1], _core(), build_cases)))
