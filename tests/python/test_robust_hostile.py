"""Hostile input: property-based tests for every callable.

Each test draws a call (arguments good, bad or absurd, by position or keyword)
and compares what the module does with an independent model of the argument
rules: matching, then the conversions in parameter order, each failure with
its exact type, arguments and note, then the result computed by `reference`.
The model calls the same CPython primitives the rules name (through ctypes),
so the interpreter's own messages come out identical. Whatever is drawn, the
call must end in the modelled result or exception; a crash fails the run.
"""

import array
import collections
import ctypes
import decimal
import fractions
import math
import re
import struct

import pytest
from hypothesis import HealthCheck, assume, event, example, given, settings
from hypothesis import strategies as st
from hypothesis.control import currently_in_test_context

import reference

try:
    import numpy as np
except ImportError:  # the large-vector tests need it; the rest do not
    np = None

pytestmark = pytest.mark.filterwarnings("ignore:.*__float__ returned non-float:DeprecationWarning")

PROPERTY = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
HEAVY = settings(
    max_examples=2, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large]
)

# ---- the CPython primitives of the conversion rules

_capi = ctypes.pythonapi
for _name, _argtypes, _restype in [
    ("PySequence_Check", [ctypes.py_object], ctypes.c_int),
    ("PyFloat_AsDouble", [ctypes.py_object], ctypes.c_double),
    ("PyNumber_Index", [ctypes.py_object], ctypes.py_object),
    ("PyLong_AsUnsignedLongLong", [ctypes.py_object], ctypes.c_ulonglong),
]:
    getattr(_capi, _name).argtypes = _argtypes
    getattr(_capi, _name).restype = _restype


class Panic(Exception):
    """The model's verdict: an internal failure with this message."""


MISSING = object()


def downcast(obj, target):
    if obj is None:
        return TypeError(f"'None' is not an instance of '{target}'")
    return TypeError(f"'{type(obj).__qualname__}' object is not an instance of '{target}'")


def model_unsigned(obj):
    if isinstance(obj, int):
        return _capi.PyLong_AsUnsignedLongLong(obj)
    return _capi.PyLong_AsUnsignedLongLong(_capi.PyNumber_Index(obj))


def _length_hint(obj, limit):
    try:
        n = len(obj)
    except BaseException:
        return 0
    if n >= limit:
        raise Panic("capacity overflow")
    return n


def _items(obj, limit):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _capi.PySequence_Check(obj):
        raise downcast(obj, "Sequence")
    if type(obj) not in (list, tuple):  # exact lists and tuples are read in place
        _length_hint(obj, limit)
    return iter(obj)


def model_vector(obj):
    return [reference.f32(_capi.PyFloat_AsDouble(item)) for item in _items(obj, 2**61)]


def model_text(obj):
    if not isinstance(obj, str):
        raise downcast(obj, "str")
    obj.encode("utf-8")  # lone surrogates: the interpreter's UnicodeEncodeError
    return str(obj)


def model_text_list(obj):
    return [model_text(item) for item in _items(obj, 2**61)]


class Callee:
    def __init__(self, full, names, required, converters, compute):
        self.full, self.names, self.required = full, names, required
        self.converters, self.compute = converters, compute


def _family_repr(family, bits, signature, bands):
    return f"LshFamily(family={family}, bits={bits}, signature='{signature[:8]}...', bands={len(bands)})"


def _default(value, default):
    return default if value is MISSING else value


CALLEES = {
    "normalize_vector": Callee(
        "normalize_vector()",
        ["vector"],
        1,
        [model_vector],
        lambda v: [reference.float_key(x) for x in reference.normalize_vector(v)],
    ),
    "simhash_lsh_multi": Callee(
        "simhash_lsh_multi()",
        ["normalized_vector", "families", "bits", "bands"],
        1,
        [model_vector, model_unsigned, model_unsigned, model_unsigned],
        lambda v, f, b, k: _simhash_model(v, _default(f, 3), _default(b, 256), _default(k, 16)),
    ),
    "hamming_distance_hex": Callee(
        "hamming_distance_hex()", ["a", "b"], 2, [model_text, model_text], lambda a, b: fast_hamming(a, b)
    ),
    "cosine_from_hamming": Callee(
        "cosine_from_hamming()",
        ["distance_bits", "total_bits"],
        2,
        [model_unsigned, model_unsigned],
        lambda d, t: reference.float_key(reference.cosine_from_hamming(d, t)),
    ),
    "compute_embedding_sha256": Callee(
        "compute_embedding_sha256()", ["normalized_embedding"], 1, [model_vector], reference.compute_embedding_sha256
    ),
    "LshConfig": Callee(
        "LshConfig.__new__()",
        ["families", "bits", "bands"],
        0,
        [model_unsigned, model_unsigned, model_unsigned],
        lambda f, b, k: _config_model(_default(f, 3), _default(b, 256), _default(k, 16)),
    ),
    "LshFamily": Callee(
        "LshFamily.__new__()",
        ["family", "bits", "signature", "bands"],
        4,
        [model_unsigned, model_unsigned, model_text, model_text_list],
        lambda f, b, s, k: (f, b, s, k, _family_repr(f, b, s, k)),
    ),
}


def _config_model(f, b, k):
    return (f, b, k, f"LshConfig(families={f}, bits={b}, bands={k})")


def _simhash_model(v, f, b, k):
    if max(f, 1) >= 2**57 or max(b, 64) >= 2**63:
        raise Panic("capacity overflow")
    return reference.simhash_lsh_multi(v, f, b, k)


def fast_hamming(a, b):
    """The distance rules, fast enough for ten-million-character texts."""
    ca = re.sub(r"[^0-9a-fA-F]", "", a, flags=re.ASCII).lower()
    cb = re.sub(r"[^0-9a-fA-F]", "", b, flags=re.ASCII).lower()
    m = min(len(ca), len(cb))
    common = (int(ca[:m], 16) ^ int(cb[:m], 16)).bit_count() if m else 0
    return common + 4 * abs(len(ca) - len(cb))


def model_call(name, args, kwargs):
    """What the call must give: ("ok", value), ("raised", type, args, notes)
    or ("panic", message)."""
    callee = CALLEES[name]
    n = len(callee.names)
    slots = [MISSING] * n
    for i, value in enumerate(args[:n]):
        slots[i] = value
    if len(args) > n:
        given_ = len(args)
        was = "was" if given_ == 1 else "were"
        if callee.required == n:
            text = f"{callee.full} takes {n} positional arguments but {given_} {was} given"
        else:
            text = f"{callee.full} takes from {callee.required} to {n} positional arguments but {given_} {was} given"
        return ("raised", TypeError, (text,), None)
    for key, value in kwargs.items():
        index = callee.names.index(key) if key in callee.names else None
        if index is None:
            return ("raised", TypeError, (f"{callee.full} got an unexpected keyword argument '{key}'",), None)
        if slots[index] is not MISSING:
            return (
                "raised",
                TypeError,
                (f"{callee.full} got multiple values for argument '{callee.names[index]}'",),
                None,
            )
        slots[index] = value
    missing = [callee.names[i] for i in range(callee.required) if slots[i] is MISSING]
    if len(args) < callee.required and missing:
        quoted = [f"'{m}'" for m in missing]
        if len(quoted) == 1:
            listed = quoted[0]
        elif len(quoted) == 2:
            listed = " and ".join(quoted)
        else:
            listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        plural = "" if len(missing) == 1 else "s"
        return (
            "raised",
            TypeError,
            (f"{callee.full} missing {len(missing)} required positional argument{plural}: {listed}",),
            None,
        )
    values = []
    for parameter, convert, slot in zip(callee.names, callee.converters, slots):
        if slot is MISSING:
            values.append(MISSING)
            continue
        try:
            values.append(convert(slot))
        except Panic as exc:
            return ("panic", str(exc))
        except Exception as exc:
            return ("raised", type(exc), exc.args, [f"while processing '{parameter}'"])
    try:
        return ("ok", callee.compute(*values))
    except Panic as exc:
        return ("panic", str(exc))


def observe(name, result):
    if name == "normalize_vector":
        assert type(result) is list and all(type(x) is float for x in result)
        return [reference.float_key(x) for x in result]
    if name == "simhash_lsh_multi":
        assert type(result) is list
        return reference.as_tuples(result)
    if name == "cosine_from_hamming":
        assert type(result) is float
        return reference.float_key(result)
    if name == "LshConfig":
        return (result.families, result.bits, result.bands, repr(result))
    if name == "LshFamily":
        first, second = result.bands, result.bands
        assert first == second and first is not second
        return (result.family, result.bits, result.signature, first, repr(result))
    assert type(result) in (int, str)
    return result


@pytest.fixture(scope="module")
def panic_type(native):
    try:
        native.simhash_lsh_multi([1.0], families=2**57)
    except BaseException as exc:
        return type(exc)
    pytest.fail("no PanicException")


def actual_call(native, panic_type, name, args, kwargs):
    try:
        result = getattr(native, name)(*args, **kwargs)
    except panic_type as exc:
        return ("panic", str(exc))
    except Exception as exc:
        return ("raised", type(exc), exc.args, getattr(exc, "__notes__", None))
    return ("ok", observe(name, result))


def check_call(native, panic_type, name, args, kwargs):
    expected = model_call(name, args, kwargs)
    got = actual_call(native, panic_type, name, args, kwargs)
    assert got == expected, (name, args, kwargs)
    if currently_in_test_context():
        event(f"{name}: {expected[0]}" + (f" {expected[1].__name__}" if expected[0] == "raised" else ""))


# ---- hostile objects


class Err:
    """An exception to raise, created afresh each time (the module adds its
    note to the very object it receives)."""

    def __init__(self, kind, *args):
        self.kind, self.args = kind, args

    def make(self):
        return self.kind(*self.args)

    def __repr__(self):
        return f"Err({self.kind.__name__}, {self.args!r})"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Err):
            raise self.value.make()
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, Err):
            raise self.value.make()
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class FloatSub(float):
    pass


class IntSub(int):
    def __index__(self):  # never consulted: an int subclass is read as an int
        raise AssertionError("__index__ of an int subclass was called")


class LyingSeq:
    """A sequence protocol object whose length lies, raises or is absurd,
    and whose items may raise at one position."""

    def __init__(self, items, length, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, Err):
            raise self.length.make()
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error.make()
        return self.items[i]

    def __repr__(self):
        return f"LyingSeq({self.items!r}, length={self.length!r}, fail_at={self.fail_at!r})"


class BadIter(list):
    """A list subclass: converted through its (failing) iterator."""

    def __iter__(self):
        raise RuntimeError("iteration refused")


class NonIterator(list):
    def __iter__(self):
        return 42


class ListWithOtherItems(list):
    """Iteration yields other items than indexing: the iterator is what counts."""

    def __iter__(self):
        return iter([1.0, 2.0])


class NotASequence:
    def __len__(self):
        return 3


class MappingOnly:
    """Registered nowhere, has __getitem__: the sequence protocol accepts it."""

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return float(i)


class StrSub(str):
    pass


class Outer:
    class Inner:
        pass


errors = st.sampled_from(
    [
        Err(ValueError, "bad"),
        Err(ZeroDivisionError, "zero"),
        Err(OverflowError, "big"),
        Err(KeyError, "k"),
        Err(TypeError, "odd"),
        Err(IndexError, "stop early"),
        Err(StopIteration),
    ]
)


def mostly(good, bad, odds=4):
    """`good` about `odds` times as often as `bad`."""
    return st.integers(0, odds).flatmap(lambda r: bad if r == 0 else good)


huge_ints = st.one_of(
    st.integers(-(2**200), 2**200), st.sampled_from([2**64 - 1, 2**64, -1, 2**63, 2**57, 2**61, 10**400, -(10**400)])
)
text_chars = st.one_of(
    st.sampled_from(list("0123456789abcdefABCDEF xg-:_\u00e9\uff10\U0001f600\U00010000\ud800\udfff\x00")),
    st.characters(exclude_categories=()),
)
texts = st.text(text_chars, max_size=40)
odd_objects = st.one_of(
    st.none(),
    st.just(Ellipsis),
    st.just(NotImplemented),
    st.builds(object),
    st.just(int),
    st.just(len),
    st.complex_numbers(),
    st.binary(max_size=8),
    st.just({1: 2}),
    st.just({1.0}),
    st.just(frozenset()),
    st.builds(Outer.Inner),
    st.builds(NotASequence),
    st.just(x for x in [1.0]),
    st.just(iter([1.0])),
)
plain_numbers = st.one_of(
    st.floats(),
    st.floats(width=32),
    st.floats(min_value=-1e-38, max_value=1e-38),
    st.integers(-(2**64), 2**64),
    st.booleans(),
)
numbers = st.one_of(
    plain_numbers,
    huge_ints,
    st.fractions(),
    st.decimals(allow_nan=True),
    st.builds(FloatSub, st.floats()),
    st.builds(IntSub, st.integers(-5, 5)),
)
elements = mostly(
    plain_numbers,
    st.one_of(
        numbers,
        st.builds(
            FloatLike, st.one_of(st.floats(), st.integers(0, 3), st.none(), st.builds(FloatSub, st.floats()), errors)
        ),
        st.builds(Index, st.one_of(st.integers(-(2**70), 2**70), st.floats(), errors)),
        texts,
        odd_objects,
    ),
    odds=30,
)
lengths = st.one_of(
    st.integers(0, 50),
    st.integers(2**61, 2**63 - 1),
    st.integers(2**63, 2**70),
    st.integers(-5, -1),
    errors,
    st.just(1.5),
    st.just("3"),
)


def containers(items):
    lists = st.lists(items, max_size=12)
    return mostly(
        st.one_of(
            lists,
            lists.map(tuple),
            lists.map(collections.deque),
            lists.map(ListWithOtherItems),
            st.just(MappingOnly()),
            st.builds(LyingSeq, lists, lengths, st.one_of(st.none(), st.integers(0, 12)), errors),
        ),
        st.one_of(lists.map(BadIter), lists.map(NonIterator)),
    )


vectors = mostly(
    st.one_of(
        containers(elements),
        st.lists(st.floats(), max_size=12).map(lambda xs: array.array("d", xs)),
        st.lists(st.floats(width=32), max_size=12).map(lambda xs: array.array("f", xs)),
        st.lists(st.floats(width=32), max_size=12).map(lambda xs: memoryview(array.array("f", xs))),
        st.lists(st.integers(-100, 100), max_size=12).map(lambda xs: array.array("i", xs)),
        st.binary(max_size=12),
        st.binary(max_size=12).map(bytearray),
        st.builds(range, st.integers(-5, 5), st.integers(-5, 12)),
    ),
    st.one_of(texts, texts.map(StrSub), odd_objects, numbers),
)
good_counts = st.one_of(
    st.integers(0, 70),
    st.integers(0, 2**64 - 1),
    st.booleans(),
    st.builds(IntSub, st.integers(0, 70)),
    st.builds(Index, st.integers(0, 2**64 - 1)),
)
counts = mostly(
    good_counts,
    st.one_of(
        huge_ints,
        st.builds(Index, st.one_of(huge_ints, st.floats(), st.none(), errors)),
        st.floats(),
        texts,
        odd_objects,
    ),
)
# simhash reserves room for its families and bits: keep a count that passes
# the size limits small, so that no call asks for terabytes.
family_counts = mostly(
    st.one_of(st.integers(0, 3), st.builds(Index, st.integers(0, 3)), st.booleans()),
    st.one_of(
        st.integers(2**57, 2**64 - 1), st.integers(2**64, 2**80), st.integers(-(2**70), -1), st.none(), st.floats()
    ),
)
bit_counts = mostly(
    st.one_of(st.integers(0, 130), st.builds(Index, st.integers(0, 130))),
    st.one_of(st.integers(2**63, 2**64 - 1), st.integers(-3, -1), st.just("64")),
)
signature_texts = mostly(texts, st.one_of(texts.map(StrSub), odd_objects, numbers))
band_lists = mostly(
    containers(mostly(texts, st.one_of(st.none(), st.integers(), texts.map(StrSub)), odds=30)),
    st.one_of(texts, odd_objects),
)

ARGUMENTS = {
    "normalize_vector": [vectors],
    "simhash_lsh_multi": [vectors, family_counts, bit_counts, counts],
    "hamming_distance_hex": [signature_texts, signature_texts],
    "cosine_from_hamming": [counts, counts],
    "compute_embedding_sha256": [vectors],
    "LshConfig": [counts, counts, counts],
    "LshFamily": [counts, counts, signature_texts, band_lists],
}


@st.composite
def calls(draw, name):
    """Some parameters by position, others by keyword, some left out, and now
    and then a positional surplus, a duplicate or a misspelt keyword."""
    callee = CALLEES[name]
    strategies = ARGUMENTS[name]
    values = [draw(s) for s in strategies]
    positional = draw(st.integers(0, len(values)))
    args = values[:positional]
    kwargs = {}
    for i in range(positional, len(values)):
        # a required parameter is rarely left out, an optional one often
        if draw(st.integers(0, 19)) > 0 if i < callee.required else draw(st.booleans()):
            kwargs[callee.names[i]] = values[i]
    mischief = draw(st.integers(0, 19))
    if mischief == 0:
        args.append(draw(elements))
    elif mischief == 1 and positional > 0:
        kwargs[callee.names[draw(st.integers(0, positional - 1))]] = draw(elements)
    elif mischief == 2:
        kwargs[draw(st.one_of(texts, st.sampled_from(["Bits", "vector", "family", "a "])))] = 1
    if draw(st.booleans()):  # keyword order matters
        items = list(kwargs.items())
        kwargs = dict(draw(st.permutations(items))) if items else {}
    return args, kwargs


@pytest.mark.parametrize("name", list(CALLEES))
@PROPERTY
@given(data=st.data())
def test_any_call_gives_the_modelled_outcome(native, panic_type, name, data):
    args, kwargs = data.draw(calls(name))
    check_call(native, panic_type, name, args, kwargs)


# ---- focused properties


@PROPERTY
@given(vector=vectors)
@example(vector=LyingSeq([1.0, 2.0], length=2**61))
@example(vector=LyingSeq([3.0, 4.0], length=Err(ValueError, "no length")))
@example(vector=LyingSeq([3.0, 4.0, 5.0], length=0))
@example(vector=LyingSeq([3.0, 4.0], length=2**63))
@example(vector=[FloatLike(1), 2.0])
@example(vector=LyingSeq([1.0, 2.0], length=2, fail_at=1, error=Err(IndexError, "early end")))
@example(vector=[FloatLike(FloatSub(0.5))])
@example(vector=[Index(1.5)])
@example(vector=[10**400])
@example(vector=[decimal.Decimal("sNaN")])
@example(vector=[fractions.Fraction(1, 3), True, IntSub(-2)])
def test_every_vector_function_agrees_on_conversion(native, panic_type, vector):
    outcomes = []
    for name in ("normalize_vector", "compute_embedding_sha256"):
        check_call(native, panic_type, name, [vector], {})
        outcomes.append(model_call(name, [vector], {})[0])
    check_call(native, panic_type, "simhash_lsh_multi", [vector], {"families": 1, "bits": 64, "bands": 4})
    assert len(set(outcomes)) == 1  # the conversion decides alike for all


@PROPERTY
@given(a=signature_texts, b=signature_texts)
@example(a="\ud800", b=5)
@example(a="0xFF\U0001f600", b="\uff10\uff11ff")
@example(a="é5", b="5")
def test_texts_with_surrogates_and_astral_characters(native, panic_type, a, b):
    check_call(native, panic_type, "hamming_distance_hex", [a, b], {})
    check_call(native, panic_type, "LshFamily", [0, 0, a, [b] if isinstance(b, str) else b], {})


@PROPERTY
@given(families=counts, bits=counts, bands=counts)
def test_counts_of_records_and_cosine(native, panic_type, families, bits, bands):
    check_call(native, panic_type, "LshConfig", [families], {"bands": bands, "bits": bits})
    check_call(native, panic_type, "cosine_from_hamming", [], {"total_bits": bits, "distance_bits": families})
    check_call(native, panic_type, "LshFamily", [families, bits, "ab", ()], {})


# ---- sizes far beyond the usual


@HEAVY
@given(
    a=st.text(text_chars, min_size=1, max_size=6),
    b=st.text(text_chars, min_size=1, max_size=6),
    extra=st.text(st.sampled_from("0f"), max_size=3),
)
def test_ten_million_character_signatures(native, panic_type, a, b, extra):
    assume("\ud800" not in a + b and all(not 0xD800 <= ord(c) <= 0xDFFF for c in a + b))
    big_a = (a * (10**7 // len(a) + 1))[: 10**7]
    big_b = (b * (10**7 // len(b) + 1))[: 10**7 - len(extra)] + extra
    assert native.hamming_distance_hex(big_a, big_b) == fast_hamming(big_a, big_b)
    assert native.hamming_distance_hex(big_a, big_a) == 0
    record = native.LshFamily(2**64 - 1, 2**64 - 1, big_a, [big_b, a])
    assert record.signature == big_a
    assert record.bands == [big_b, a]
    assert repr(record) == _family_repr(2**64 - 1, 2**64 - 1, big_a, [big_b, a])


def test_ten_million_character_signature_with_a_late_surrogate(native):
    text = "f" * 10**7 + "\udc00"
    with pytest.raises(UnicodeEncodeError) as info:
        native.hamming_distance_hex("00", text)
    assert info.value.start == 10**7 and info.value.__notes__ == ["while processing 'b'"]


def test_hundred_thousand_band_texts(native):
    bands = [f"{i:05x}" for i in range(10**5)]
    record = native.LshFamily(0, 1, "", bands)
    assert record.bands == bands
    assert repr(record) == "LshFamily(family=0, bits=1, signature='...', bands=100000)"
    with pytest.raises(TypeError) as info:
        native.LshFamily(0, 1, "", bands + [None])
    assert str(info.value) == "'None' is not an instance of 'str'"


def _f32_array(rng, n):
    scale = np.float32(10.0) ** rng.integers(-44, 38, n).astype(np.float32)
    values = (rng.standard_normal(n).astype(np.float32) * scale).astype(np.float32)
    values[rng.integers(0, n, 100)] = 0.0
    return values


def _normalize_model(x):
    squares = x * x  # float32, each rounded
    total = np.add.accumulate(squares, dtype=np.float32)[-1] if len(x) else np.float32(0)
    if total == 0:
        return x.copy()
    norm = np.float32(math.sqrt(float(total)))
    return (x / norm).astype(np.float32)


def _simhash_bits_model(v64, family, bits):
    i = np.arange(len(v64), dtype=np.uint64)
    out = []
    for w in range(bits):
        z = ((np.uint64(family) << np.uint64(48)) ^ (np.uint64(w) << np.uint64(24)) ^ i) + np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        z = z ^ (z >> np.uint64(31))
        terms = np.where((z & np.uint64(1)) == 1, v64, -v64)
        total = np.add.accumulate(terms)[-1]  # strictly left to right
        out.append(1 if total > 0.0 else 0)
    return out


@pytest.mark.skipif(np is None, reason="needs numpy")
@HEAVY
@given(seed=st.integers(0, 2**32 - 1))
def test_million_element_vectors(native, seed):
    with np.errstate(over="ignore", under="ignore"):
        rng = np.random.default_rng(seed)
        x = _f32_array(rng, 10**6)
        as_list = x.astype(np.float64).tolist()
        got = np.array(native.normalize_vector(as_list), dtype=np.float64)
        expected = _normalize_model(x).astype(np.float64)
        assert np.array_equal(got.view(np.uint64), expected.view(np.uint64)) or np.array_equal(
            got, expected, equal_nan=True
        )

        signature = native.simhash_lsh_multi(as_list, families=1, bits=64, bands=4)[0].signature
        assert signature == reference.bits_to_hex(_simhash_bits_model(x.astype(np.float64), 0, 64))

    # The canonical text from a pool of values, rendered once each.
    pool = [float(v) for v in _f32_array(rng, 50)] + [math.nan, -0.0, math.inf]
    picks = rng.integers(0, len(pool), 10**6)
    vector = [pool[p] for p in picks]
    texts = [reference.format_canonical_float(reference.quantize_6dp(v)) for v in pool]
    text = "[" + ", ".join(texts[p] for p in picks) + "]"
    import hashlib

    assert native.compute_embedding_sha256(vector) == hashlib.sha256(text.encode()).hexdigest()
    assert native.compute_embedding_sha256(tuple(vector)) == native.compute_embedding_sha256(array.array("d", vector))


def test_vector_of_a_million_hostile_items_fails_at_the_last(native):
    vector = [0.5] * (10**6 - 1) + [FloatLike(Err(ValueError, "last one"))]
    with pytest.raises(ValueError, match="last one") as info:
        native.normalize_vector(vector)
    assert info.value.args == ("last one",)
    assert info.value.__notes__ == ["while processing 'vector'"]


def test_huge_integers_in_every_count(native, panic_type):
    for value in (2**64, 2**1000, -(2**1000), 10**4000):
        for name, args in [
            ("cosine_from_hamming", [value, 1]),
            ("LshConfig", [1, value]),
            ("LshFamily", [0, value, "", []]),
            ("simhash_lsh_multi", [[1.0], 1, 64, value]),
        ]:
            check_call(native, panic_type, name, args, {})
    check_call(native, panic_type, "normalize_vector", [[10**4000]], {})


def test_model_is_not_vacuous(native, panic_type):
    """The comparison notices a wrong note, message or value."""
    got = actual_call(native, panic_type, "normalize_vector", [[1.0, "x"]], {})
    assert got == model_call("normalize_vector", [[1.0, "x"]], {})
    assert got != ("raised", TypeError, ("must be real number, not str",), ["while processing 'vector '"])
    assert model_call("normalize_vector", [[3, 4]], {}) != model_call("normalize_vector", [[4, 3]], {})
    assert model_call("LshConfig", [], {"bits": None})[3] == ["while processing 'bits'"]
    assert model_call("simhash_lsh_multi", [[1.0]], {"families": 2**57}) == ("panic", "capacity overflow")
    assert struct.pack("<d", 0.0) != struct.pack("<d", -0.0)
    for a, b in [("ff", "00"), ("0xff", "ff"), ("g1", "01"), ("\u00e95", "5"), ("", "ffff"), ("AB", " a-b ")]:
        assert fast_hamming(a, b) == reference.hamming_distance_hex(a, b)
