"""Bad input gets a clear exception naming the argument and the row at fault,
size limits raise what the per-vector functions raise, and other Python
threads run while a batch is computed."""

import sys
import threading

import numpy as np
import pytest

import ambrel_batch as ab
import ambrel_native as an

ROW_FUNCTIONS = [ab.simhash_lsh_batch, ab.normalize_batch, ab.sha256_batch]


class FailingExporter:
    def __buffer__(self, flags):
        raise KeyError("no buffer today")


def raised(fn, *args, **kwargs):
    """The exception a call raises; only a PanicException may bypass Exception."""
    try:
        fn(*args, **kwargs)
    except Exception as exc:
        return exc
    except BaseException as exc:
        error = exc
    else:
        pytest.fail("no exception raised")
    assert type(error).__name__ == "PanicException", error
    return error


@pytest.mark.parametrize(
    "rows, error, message",
    [
        ([[1.0, 2.0], [3.0]], ValueError, "rows[1] has 1 components, but rows[0] has 2"),
        (np.zeros(3, np.float32), ValueError, "rows must be two-dimensional (rows by components), not 1-dimensional"),
        (np.zeros((2, 2, 2)), ValueError, "rows must be two-dimensional (rows by components), not 3-dimensional"),
        (np.ones((2, 2), ">f8"), TypeError, "rows has elements in non-native byte order (format '>d');"),
        (
            np.array([[1.0, 2.0]], dtype=object),
            TypeError,
            "rows has elements of format 'O', which are not supported",
        ),
        (np.array([["a", "b"]]), TypeError, "rows has elements of format '1w', which are not numbers"),
        (np.zeros((2, 2), np.complex64), TypeError, "rows has elements of format 'Zf', which are not numbers"),
        ("[[1.0, 2.0]]", TypeError, "rows must be a 2-D array or a sequence of sequences of numbers, not str"),
        (None, TypeError, "rows must be a 2-D array or a sequence of sequences of numbers, not NoneType"),
        (np.zeros((0, 3), np.float32), ValueError, "rows has no rows"),
        ([], ValueError, "rows has no rows"),
        (np.zeros((3, 0)), ValueError, "rows has rows of no components"),
        ([[], []], ValueError, "rows[0] has no components"),
    ],
)
def test_bad_rows_are_named(rows, error, message):
    references = sys.getrefcount(rows)
    for fn in ROW_FUNCTIONS:
        exc = raised(fn, rows)
        assert type(exc) is error and str(exc).startswith(message), exc
        assert getattr(exc, "__notes__", None) is None
    del exc
    assert sys.getrefcount(rows) == references  # a buffer taken before the error is released


@pytest.mark.parametrize(
    "rows",
    [[[1.0, 2.0], [1.0, "x"]], [[1.0], 5], [(1.0,), "ab"], ([1.0], [2**1024]), [[0.5], [FailingExporter()]]],
    ids=["item", "int row", "str row", "huge int", "object item"],
)
def test_a_bad_row_fails_as_the_per_vector_function_does(rows):
    expected = raised(an.normalize_vector, rows[-1])
    for fn in ROW_FUNCTIONS:
        exc = raised(fn, rows)
        assert (type(exc), str(exc)) == (type(expected), str(expected))
        assert exc.__notes__ == [f"while processing 'rows[{len(rows) - 1}]'"]
        exc = raised(fn, FailingExporter())  # the exporter's own exception, with the note
        assert type(exc) is KeyError and exc.args == ("no buffer today",)
        assert exc.__notes__ == ["while processing 'rows'"]


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-1, ValueError), ("x", TypeError), (1.5, TypeError)])
def test_bad_counts(threads, error):
    codes = np.zeros((2, 8), np.uint8)
    calls = [lambda fn=fn: fn([[1.0]], threads=threads) for fn in ROW_FUNCTIONS]
    calls += [lambda: ab.hamming_distance_batch(codes[0], codes, threads=threads)]
    calls += [lambda: ab.hamming_distance_pairs(codes, codes, threads=threads)]
    for call in calls:
        assert type(raised(call)) is error
    assert str(raised(ab._core.normalize_batch, [[1.0]], 0)) == "threads must be at least 1"
    assert raised(ab.simhash_lsh_batch, [[1.0]], bits=2**64).__notes__ == ["while processing 'bits'"]


@pytest.mark.parametrize(
    "families, bits, bands",
    [(2**57, 256, 16), (1, 2**63, 16), (2**64 - 1, 2**64 - 1, 1), (2, 2**62, 0), (2**20, 2**40, 1)],
)
def test_size_limits_as_the_per_vector_function(families, bits, bands):
    single = raised(an.simhash_lsh_multi, [1.0], families, bits, bands)
    batch = raised(ab.simhash_lsh_batch, [[1.0]], families, bits, bands)
    if type(single).__name__ == "PanicException":
        # What the per-vector function cannot address, the batch API's size check refuses.
        assert type(batch) is OverflowError and str(batch).endswith("is too large"), batch
    else:
        assert (type(batch).__name__, batch.args) == (type(single).__name__, single.args)


def freed_blocks_with_nonzero_bytes():
    """Leaves small freed blocks holding nonzero bytes, as in a busy process.
    (CPython 3.13's PyByteArray_FromStringAndSize frees its new object
    without setting its export count when the buffer cannot be allocated,
    and then reports a SystemError if the leftover count is positive.)"""
    blocks = [b"\x01" * (31 + k % 1) for k in range(200)]
    del blocks


def test_outputs_beyond_the_address_space(capfd):
    capfd.readouterr()
    # Zero-stride views: 2**60 rows of one float each, without the memory.
    many = np.broadcast_to(np.float32(0.5), (2**60, 1))
    assert type(raised(ab.simhash_lsh_batch, many, 1, 1024)) is OverflowError
    assert type(raised(ab.sha256_batch, np.broadcast_to(np.float32(0.5), (2**59, 2)))) is OverflowError
    for fn, shape in (
        (ab.normalize_batch, (2**59, 2)),
        (ab.sha256_batch, (2**50, 1)),
        (ab.simhash_lsh_batch, (2**40, 1)),
    ):
        freed_blocks_with_nonzero_bytes()
        assert type(raised(fn, np.broadcast_to(np.float32(0.5), shape))) is MemoryError
    err = capfd.readouterr().err
    # Nothing at all: no panic report, no SystemError, no traceback.
    assert "panicked at" not in err and "Error" not in err, err


def test_other_python_threads_run_while_a_batch_is_computed():
    rows = np.random.default_rng(5).standard_normal((8000, 1536), dtype=np.float32)
    state = {"counting": False, "count": 0, "stop": False}

    def counter():
        while not state["stop"]:
            if state["counting"]:
                state["count"] += 1

    def count_during(call):
        state["count"], state["counting"] = 0, True
        call()
        state["counting"] = False
        return state["count"]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    thread = threading.Thread(target=counter)
    thread.start()
    try:
        during_batch = count_during(lambda: ab.simhash_lsh_batch(rows, threads=1))
        # The per-vector function keeps the interpreter attached: the counter
        # only runs in the moments around the call.
        during_attached = count_during(lambda: an.simhash_lsh_multi(rows[0], families=600))
    finally:
        state["stop"] = True
        thread.join()
        sys.setswitchinterval(interval)
    assert during_batch > 100_000, (during_batch, during_attached)
    if sys._is_gil_enabled():
        assert during_batch > 20 * during_attached, (during_batch, during_attached)
