"""The batch engine's own answers: size checks as OverflowError (no panic), every message naming
the function called, the documented floors, 0-d codes refused, and subinterpreters refused."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ambrel_batch as ab

CORE_FUNCTIONS = [
    "simhash_lsh_batch",
    "band_values",
    "band_texts",
    "normalize_batch",
    "sha256_batch",
    "hamming_one_to_many",
    "hamming_pairs",
    "cosine_from_hamming_batch",
]


def test_sizes_floors_and_names(capfd):
    capfd.readouterr()
    for families, bits in ((2**20, 2**62), (2**57, 256), (1, 2**63)):
        with pytest.raises(OverflowError, match=r"^simhash_lsh_batch\(\): a layout of .* is too large$"):
            ab.simhash_lsh_batch([[1.0]], families, bits)
    with pytest.raises(OverflowError, match=r"^band_texts\(\): a layout of"):
        ab._core.band_texts(b"", 0, 2**20, 2**62, 1, 1)
    with pytest.raises(OverflowError, match=r"^sha256_batch\(\): .* is too large$"):
        ab.sha256_batch(np.broadcast_to(np.float32(0.5), (2**59, 2)))
    assert "panicked" not in capfd.readouterr().err
    for name in CORE_FUNCTIONS:
        with pytest.raises(TypeError, match=rf"^{name}\(\) "):
            getattr(ab._core, name)()
    rows = np.random.default_rng(1).standard_normal((3, 16)).astype(np.float32)
    floored = ab.simhash_lsh_batch(rows, families=-2, bits=-1, bands=-5)
    least = ab.simhash_lsh_batch(rows, families=1, bits=64, bands=1)
    assert (floored.families, floored.bits, floored.bands) == (1, 64, 1)
    np.testing.assert_array_equal(floored.codes, least.codes)
    code = np.uint8(7)
    for call in (lambda: ab.hamming_distance_pairs(code, code), lambda: ab.hamming_distance_batch(code, code)):
        with pytest.raises(ValueError, match="first dimension"):
            call()


def test_subinterpreters_refuse_the_batch_core_and_share_the_native_types():
    script = textwrap.dedent(
        """
        import _interpreters
        import ambrel_native

        for config in ("legacy", "isolated"):
            interp = _interpreters.create(config)
            failed = _interpreters.exec(interp, "import ambrel_batch")
            print(config, "batch", failed.type.__name__, failed.msg)
            failed = _interpreters.exec(interp, "import ambrel_native; print(ambrel_native.cosine_from_hamming(4, 8))")
            print(config, "native", failed and failed.msg)
            _interpreters.destroy(interp)
        import ambrel_batch
        print("main", ambrel_batch.sha256_batch([[1.0]])[0] == ambrel_native.compute_embedding_sha256([1.0]).encode())
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    refused = "ambrel_batch._core does not support subinterpreters"
    assert (
        lines[0]
        == f"legacy batch ImportError {refused} (it keeps process-wide state); import ambrel_batch in the main interpreter"
    )
    # The native module keeps its documented default: a legacy interpreter shares its types, an isolated one refuses.
    assert lines[1:3] == ["6.123233995736766e-17", "legacy native None"]
    assert (
        lines[3] == "isolated batch ImportError module ambrel_batch._core does not support loading in subinterpreters"
    )
    assert lines[4] == "isolated native module ambrel_native does not support loading in subinterpreters"
    assert lines[5] == "main True"
