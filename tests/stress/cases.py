"""The calls the stress checks repeat: every public callable on success and
on every error path of argument matching and conversion, plus internal
failures. Stdlib only, so that debug and free-threaded interpreters without
any installed package can run it.

Each case is (label, callable, args, kwargs, expected exception type or None).
"""

import array
import collections
import os
import sys


class Seq:
    """The plain sequence protocol, with a configurable length and a failing item."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = list(items), length, fail_at, error

    def __len__(self):
        if isinstance(self.length, type) and issubclass(self.length, BaseException):
            raise self.length("no length")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error()  # a fresh exception each time: one raised again keeps its old traceback
        return self.items[i]


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value("no float")
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value("no index")
        return self.value


class RaisingIter(list):
    def __iter__(self):
        raise RuntimeError("no iteration")


class NonIterator(list):
    def __iter__(self):
        return 7


class StrSub(str):
    pass


class Unprintable:
    def __str__(self):
        raise RuntimeError("no str")


def panic_type(m):
    try:
        m.simhash_lsh_multi([1.0], families=2**57)
    except BaseException as exc:
        return type(exc)
    raise AssertionError("no PanicException")


class Cases(list):
    """Cases in order of addition."""

    def ok(self, label, fn, *args, **kwargs):
        self.append((label, fn, args, kwargs, None))

    def bad(self, label, exc, fn, *args, **kwargs):
        self.append((label, fn, args, kwargs, exc))


def build(m):
    """Returns the list of cases for module `m`."""
    panic = panic_type(m)
    cases = Cases()
    add_successes(cases, m)
    add_matching_errors(cases, m)
    add_conversion_errors(cases, m)
    add_internal_failures(cases, m, panic)
    return list(cases)


def add_successes(cases, m):
    """Success, through every conversion route, and every attribute and repr."""
    vec = [0.5, -0.25, 1.0, 0.125, 3, True, 2.5e-30, -7.0, 0.0, 1e-40]
    cfg = m.LshConfig(2**64 - 1, 300, 7)
    fam = m.LshFamily(5, 2**63, "\u00e9" * 10 + "0123abcd", ["ab", "\U0001f600", "c" * 50])
    made = m.simhash_lsh_multi(vec, 2, 70, 5)[1]
    cases.ok("normalize list", m.normalize_vector, vec)
    cases.ok("normalize tuple", m.normalize_vector, tuple(vec))
    cases.ok("normalize range", m.normalize_vector, range(9))
    cases.ok("normalize bytes", m.normalize_vector, b"\x01\x02\x03")
    cases.ok("normalize array d", m.normalize_vector, array.array("d", vec))
    cases.ok("normalize array f", m.normalize_vector, array.array("f", vec))
    cases.ok("normalize memoryview", m.normalize_vector, memoryview(array.array("f", vec)))
    cases.ok("normalize deque", m.normalize_vector, vector=collections.deque(vec))
    cases.ok("normalize Seq", m.normalize_vector, Seq(vec))
    cases.ok("normalize Seq raising len", m.normalize_vector, Seq(vec, length=ValueError))
    cases.ok("normalize Seq lying len", m.normalize_vector, Seq(vec, length=1000))
    cases.ok("normalize __float__/__index__ items", m.normalize_vector, [FloatLike(2.0), Index(3), 1])
    cases.ok("normalize zero", m.normalize_vector, [0, -0.0])
    cases.ok("normalize empty", m.normalize_vector, [])
    cases.ok("normalize nan", m.normalize_vector, [float("nan"), 1.0])
    cases.ok("simhash defaults", m.simhash_lsh_multi, vec)
    cases.ok("simhash keywords", m.simhash_lsh_multi, bands=1000, bits=66, families=0, normalized_vector=tuple(vec))
    cases.ok("simhash Index counts", m.simhash_lsh_multi, vec, Index(2), Index(65), Index(3))
    cases.ok("hamming", m.hamming_distance_hex, "deadbeef", "DEAD-BEE0")
    cases.ok("hamming non-ASCII", m.hamming_distance_hex, "\u00e9ff\U0001f600" * 20, b=StrSub("0x00"))
    cases.ok("hamming large result", m.hamming_distance_hex, "f" * 500, "")
    cases.ok("cosine", m.cosine_from_hamming, 7, 12)
    cases.ok("cosine large", m.cosine_from_hamming, 2**64 - 1, total_bits=2**64 - 1)
    cases.ok("sha256 list", m.compute_embedding_sha256, vec)
    cases.ok("sha256 Seq", m.compute_embedding_sha256, normalized_embedding=Seq([0.6, 0.8]))
    cases.ok("LshConfig()", m.LshConfig)
    cases.ok("LshConfig args", m.LshConfig, 2**64 - 1, bits=Index(9), bands=True)
    cases.ok("LshFamily args", m.LshFamily, 1, 256, "\u00e9" * 10, ("ab", "cd"))
    cases.ok("LshFamily keywords", m.LshFamily, bands=Seq(["a", "b"]), signature="s", bits=2, family=1)
    for record, name in ((cfg, "LshConfig"), (fam, "LshFamily"), (made, "simhash record")):
        for attribute in (
            ("families", "bits", "bands") if name == "LshConfig" else ("family", "bits", "signature", "bands")
        ):
            cases.ok(f"{name}.{attribute}", getattr, record, attribute)
        cases.ok(f"{name} repr", repr, record)


def add_matching_errors(cases, m):
    """Matching errors, fast-call and tuple-and-dictionary forms."""
    cases.bad("too many positional", TypeError, m.normalize_vector, [1.0], 2)
    cases.bad("too many positional (new)", TypeError, m.LshConfig, 1, 2, 3, 4)
    cases.bad("unexpected keyword", TypeError, m.simhash_lsh_multi, [1.0], bogus=1)
    cases.bad("unexpected keyword (new)", TypeError, m.LshFamily, 0, 1, "a", [], x=1)
    cases.bad("unexpected surrogate keyword", TypeError, m.normalize_vector, **{"\ud800": 1})
    cases.bad("multiple values", TypeError, m.normalize_vector, [1.0], vector=[1.0])
    cases.bad("multiple values (new)", TypeError, m.LshConfig, 1, families=2)
    cases.bad("missing one", TypeError, m.hamming_distance_hex, "0f")
    cases.bad("missing two", TypeError, m.cosine_from_hamming)
    cases.bad("missing four (new)", TypeError, m.LshFamily)


def add_conversion_errors(cases, m):
    """Conversion errors, each with its note."""
    cases.bad("vector str", TypeError, m.normalize_vector, "1.0")
    cases.bad("vector str subclass", TypeError, m.compute_embedding_sha256, StrSub("1.0"))
    cases.bad("vector int", TypeError, m.normalize_vector, 5)
    cases.bad("vector None", TypeError, m.simhash_lsh_multi, None)
    cases.bad("vector dict", TypeError, m.normalize_vector, {1: 2.0})
    cases.bad("vector item str", TypeError, m.normalize_vector, [1.0, "x"])
    cases.bad("vector item None (tuple)", TypeError, m.normalize_vector, (1.0, None))
    cases.bad("vector __float__ raises", ValueError, m.normalize_vector, [FloatLike(ValueError)])
    cases.bad("vector __float__ odd type", TypeError, m.normalize_vector, [FloatLike(3)])
    cases.bad("vector __index__ raises", ZeroDivisionError, m.compute_embedding_sha256, [Index(ZeroDivisionError)])
    cases.bad("vector item too large", OverflowError, m.normalize_vector, [10**400])
    cases.bad("vector iteration error", KeyError, m.normalize_vector, Seq([1.0, 2.0], fail_at=1, error=KeyError))
    cases.bad("vector __iter__ raises", RuntimeError, m.simhash_lsh_multi, RaisingIter([1.0]))
    cases.bad("vector non-iterator", TypeError, m.normalize_vector, NonIterator([1.0]))
    cases.bad("unsigned negative", OverflowError, m.cosine_from_hamming, -1, 8)
    cases.bad("unsigned too big", OverflowError, m.cosine_from_hamming, 8, 2**64)
    cases.bad("unsigned float", TypeError, m.simhash_lsh_multi, [1.0], 1.0)
    cases.bad("unsigned None", TypeError, m.LshConfig, bits=None)
    cases.bad("unsigned str", TypeError, m.LshFamily, "0", 1, "a", [])
    cases.bad("unsigned __index__ raises", ValueError, m.LshConfig, Index(ValueError))
    cases.bad("unsigned __index__ odd type", TypeError, m.simhash_lsh_multi, [1.0], bands=Index(1.5))
    cases.bad("unsigned __index__ too big", OverflowError, m.LshFamily, 0, Index(2**70), "a", [])
    cases.bad("text int", TypeError, m.hamming_distance_hex, 1, "0f")
    cases.bad("text None", TypeError, m.hamming_distance_hex, "0f", None)
    cases.bad("text surrogate", UnicodeEncodeError, m.hamming_distance_hex, "0f", "f\udfff")
    cases.bad("owned text bytes", TypeError, m.LshFamily, 0, 1, b"ab", [])
    cases.bad("owned text surrogate", UnicodeEncodeError, m.LshFamily, 0, 1, "\ud800", [])
    cases.bad("text list str", TypeError, m.LshFamily, 0, 1, "a", "cd")
    cases.bad("text list int", TypeError, m.LshFamily, 0, 1, "a", 5)
    cases.bad("text list item", TypeError, m.LshFamily, 0, 1, "a", ["b", 1])
    cases.bad("text list item surrogate", UnicodeEncodeError, m.LshFamily, 0, 1, "a", ["\ud800"])
    cases.bad("text list __iter__ raises", RuntimeError, m.LshFamily, 0, 1, "a", RaisingIter(["b"]))
    cases.bad("text list iteration error", KeyError, m.LshFamily, 0, 1, "a", Seq(["b", "c"], fail_at=1, error=KeyError))


def add_internal_failures(cases, m, panic):
    """Internal failures, raised here and resumed from Python code."""
    cases.bad("panic families", panic, m.simhash_lsh_multi, [1.0], families=2**57)
    cases.bad("panic bits", panic, m.simhash_lsh_multi, [1.0], 1, 2**63)
    cases.bad("panic vector length", panic, m.normalize_vector, Seq([1.0], length=2**61))
    cases.bad("panic text list length", panic, m.LshFamily, 0, 1, "a", Seq(["b"], length=2**61))
    cases.bad(
        "panic resumed from Python",
        panic,
        m.compute_embedding_sha256,
        Seq([1.0], fail_at=0, error=lambda: panic("inner")),
    )
    cases.bad(
        "panic resumed without str",
        panic,
        m.normalize_vector,
        Seq([1.0], fail_at=0, error=lambda: panic(Unprintable())),
    )


def batch_core():
    """ambrel_batch._core. The stress builds lay out the package as the wheel
    has it but without its Python files, which need numpy: the namespace
    package then holds the native module alone."""
    import importlib

    return importlib.import_module("ambrel_batch._core")


def build_batch(core):
    """The cases of ambrel_batch._core (the functions behind ambrel_batch),
    with stdlib inputs: lists of rows and 2-D buffers."""
    cases = Cases()
    add_batch_successes(cases, core)
    add_batch_errors(cases, core, type(call_raising(core.simhash_lsh_batch, [[1.0]], 2**57, 64, 1, 1)))
    return [("batch " + label, *rest) for label, *rest in cases]


BATCH_ROWS = [[0.5, -0.25, 1.0, 0.125, 3], (True, 2.5e-30, -7.0, 0.0, 1e-40), range(5), [float("nan")] * 5]


def float_grid(code, values, shape):
    return memoryview(array.array(code, values)).cast("B").cast(code, shape)


def add_batch_successes(cases, core):
    import ctypes

    grid = float_grid("f", [x * 0.37 - 3.0 for x in range(96)], (8, 12))
    doubles = float_grid("d", [1e300, -2.5, 1e-310, 4.0], (2, 2))
    ints = (ctypes.c_int64 * 3 * 2)((2**60 + 2**36 + 1, -1, 0), (5, 2**40, -(2**63)))
    codes, n, families, bits, width, count, row_bytes = core.simhash_lsh_batch(BATCH_ROWS, 2, 70, 5, 1)
    cases.ok("simhash lists", core.simhash_lsh_batch, BATCH_ROWS, 2, 70, 5, 2)
    cases.ok("simhash float32 buffer", core.simhash_lsh_batch, grid, 3, 256, 16, 2)
    cases.ok("simhash keywords", core.simhash_lsh_batch, threads=1, bands=0, bits=0, families=0, rows=doubles)
    cases.ok("simhash int64 buffer", core.simhash_lsh_batch, ints, 1, 65, 3, 1)
    cases.ok("normalize", core.normalize_batch, grid, 2)
    cases.ok("normalize lists", core.normalize_batch, BATCH_ROWS, 1)
    cases.ok("sha256", core.sha256_batch, doubles, 2)
    cases.ok("sha256 lists", core.sha256_batch, BATCH_ROWS, 1)
    cases.ok("band_texts", core.band_texts, codes, n, families, bits, width, count)
    cases.ok("band_values", core.band_values, codes, n, families, bits, width, count)
    cases.ok("hamming_pairs", core.hamming_pairs, codes, codes[::-1], n, row_bytes, 2)
    cases.ok("hamming_one_to_many", core.hamming_one_to_many, codes[:row_bytes], codes, n, row_bytes, 1)
    cases.ok("cosine", core.cosine_from_hamming_batch, array.array("Q", [0, 9, 140, 2**64 - 1]), 4, 140)
    cases.ok("available_cpus", core.available_cpus)
    cases.ok("kernel", core.kernel)


def add_batch_errors(cases, core, panic):
    import ctypes

    floats = array.array("f", range(96))
    codes, n, families, bits, width, count, row_bytes = core.simhash_lsh_batch(BATCH_ROWS, 2, 70, 5, 1)
    cases.bad("ragged", ValueError, core.simhash_lsh_batch, [[1.0, 2.0], [3.0]], 1, 64, 1, 1)
    cases.bad("row item", TypeError, core.normalize_batch, [[1.0], [None]], 1)
    cases.bad("row not a sequence", TypeError, core.sha256_batch, [[1.0], 5], 1)
    cases.bad("row iteration error", KeyError, core.normalize_batch, [Seq([1.0, 2.0], fail_at=1, error=KeyError)], 1)
    cases.bad("rows str", TypeError, core.simhash_lsh_batch, "[[1.0]]", 1, 64, 1, 1)
    cases.bad("rows iteration error", RuntimeError, core.sha256_batch, RaisingIter([[1.0]]), 1)
    cases.bad("one-dimensional", ValueError, core.normalize_batch, floats, 1)
    cases.bad("three-dimensional", ValueError, core.sha256_batch, float_grid("f", floats, (4, 4, 6)), 1)
    cases.bad("non-native order", TypeError, core.normalize_batch, (ctypes.c_float.__ctype_be__ * 2 * 2)(), 1)
    cases.bad("object format", TypeError, core.sha256_batch, (ctypes.py_object * 2 * 1)(), 1)
    cases.bad("no rows", ValueError, core.simhash_lsh_batch, (ctypes.c_float * 4 * 0)(), 1, 64, 1, 1)
    cases.bad("no components", ValueError, core.normalize_batch, (ctypes.c_float * 0 * 3)(), 1)
    cases.bad("exporter raises", ZeroDivisionError, core.normalize_batch, FailingExporter(), 1)
    cases.bad("threads 0", ValueError, core.sha256_batch, BATCH_ROWS, 0)
    cases.bad("families str", TypeError, core.simhash_lsh_batch, BATCH_ROWS, "3", 64, 1, 1)
    cases.bad("codes mismatch", ValueError, core.hamming_pairs, codes, codes[1:], n, row_bytes, 1)
    cases.bad("band sizes mismatch", ValueError, core.band_texts, codes, n + 1, families, bits, width, count)
    cases.bad("panic families", panic, core.simhash_lsh_batch, [[1.0]], 2**57, 64, 1, 1)
    cases.bad("panic resumed", panic, core.normalize_batch, [Seq([1.0], fail_at=0, error=lambda: panic("inner"))], 1)


class FailingExporter:
    def __buffer__(self, flags):
        raise ZeroDivisionError("no buffer")


def call_raising(fn, *args):
    try:
        fn(*args)
    except BaseException as exc:
        return exc
    raise AssertionError(f"{fn.__name__} did not raise")


def call(fn, args, kwargs, expected):
    """Calls once; returns None, or a description of an unexpected outcome."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:
        if expected is None or type(exc) is not expected:
            return f"raised {type(exc).__name__}: {exc}"
        return None
    if expected is not None:
        return f"returned instead of raising {expected.__name__}"
    return None


class Quiet:
    """Sends file descriptor 2 to /dev/null: internal failures write a report
    to standard error on every call."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc):
        sys.stderr.flush()
        os.dup2(self.saved, 2)
        os.close(self.saved)
