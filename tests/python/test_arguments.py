"""Argument matching and conversion shared by every callable of the module."""

import array
import collections.abc

import pytest

import reference
from reference import f32

MATCHING = [
    ("normalize_vector", ([1.0], 2), {}, "normalize_vector() takes 1 positional arguments but 2 were given"),
    (
        "normalize_vector",
        ([1.0], 2, 3),
        {"bogus": 1},
        "normalize_vector() takes 1 positional arguments but 3 were given",
    ),
    ("normalize_vector", (), {}, "normalize_vector() missing 1 required positional argument: 'vector'"),
    ("normalize_vector", (), {"x": 1}, "normalize_vector() got an unexpected keyword argument 'x'"),
    ("normalize_vector", ([1.0],), {"vector": [1.0]}, "normalize_vector() got multiple values for argument 'vector'"),
    ("normalize_vector", (), {"\udc80": 1}, "normalize_vector() got an unexpected keyword argument '\udc80'"),
    (
        "simhash_lsh_multi",
        ([1.0], 1, 2, 3, 4),
        {},
        "simhash_lsh_multi() takes from 1 to 4 positional arguments but 5 were given",
    ),
    ("simhash_lsh_multi", (), {}, "simhash_lsh_multi() missing 1 required positional argument: 'normalized_vector'"),
    (
        "simhash_lsh_multi",
        (),
        {"families": 2, "bits": 64},
        "simhash_lsh_multi() missing 1 required positional argument: 'normalized_vector'",
    ),
    (
        "simhash_lsh_multi",
        (),
        {"vector": [1.0], "normalized_vector": [1.0]},
        "simhash_lsh_multi() got an unexpected keyword argument 'vector'",
    ),
    (
        "simhash_lsh_multi",
        ([1.0],),
        {"normalized_vector": 2, "bogus": 1},
        "simhash_lsh_multi() got multiple values for argument 'normalized_vector'",
    ),
    (
        "simhash_lsh_multi",
        ([1.0],),
        {"bogus": 1, "normalized_vector": 2},
        "simhash_lsh_multi() got an unexpected keyword argument 'bogus'",
    ),
    ("simhash_lsh_multi", ([1.0], 1, 2), {"bits": 3}, "simhash_lsh_multi() got multiple values for argument 'bits'"),
    ("simhash_lsh_multi", ([1.0],), {"Bits": 3}, "simhash_lsh_multi() got an unexpected keyword argument 'Bits'"),
    (
        "simhash_lsh_multi",
        ("not a vector",),
        {"bogus": 1},
        "simhash_lsh_multi() got an unexpected keyword argument 'bogus'",
    ),
    (
        "hamming_distance_hex",
        ("a", "b", "c"),
        {},
        "hamming_distance_hex() takes 2 positional arguments but 3 were given",
    ),
    ("hamming_distance_hex", (), {}, "hamming_distance_hex() missing 2 required positional arguments: 'a' and 'b'"),
    ("hamming_distance_hex", ("0f",), {}, "hamming_distance_hex() missing 1 required positional argument: 'b'"),
    ("hamming_distance_hex", (), {"b": "0f"}, "hamming_distance_hex() missing 1 required positional argument: 'a'"),
    ("hamming_distance_hex", ("0f",), {"a": "0f"}, "hamming_distance_hex() got multiple values for argument 'a'"),
    (
        "cosine_from_hamming",
        (),
        {},
        "cosine_from_hamming() missing 2 required positional arguments: 'distance_bits' and 'total_bits'",
    ),
    ("cosine_from_hamming", (1, 2, 3, 4), {}, "cosine_from_hamming() takes 2 positional arguments but 4 were given"),
    (
        "cosine_from_hamming",
        (1,),
        {"distance": 2},
        "cosine_from_hamming() got an unexpected keyword argument 'distance'",
    ),
    (
        "compute_embedding_sha256",
        (),
        {},
        "compute_embedding_sha256() missing 1 required positional argument: 'normalized_embedding'",
    ),
    (
        "compute_embedding_sha256",
        ([1.0], [2.0]),
        {},
        "compute_embedding_sha256() takes 1 positional arguments but 2 were given",
    ),
    (
        "compute_embedding_sha256",
        (),
        {"vector": [1.0]},
        "compute_embedding_sha256() got an unexpected keyword argument 'vector'",
    ),
    (
        "LshFamily",
        (),
        {},
        "LshFamily.__new__() missing 4 required positional arguments: 'family', 'bits', 'signature', and 'bands'",
    ),
    (
        "LshFamily",
        (0,),
        {},
        "LshFamily.__new__() missing 3 required positional arguments: 'bits', 'signature', and 'bands'",
    ),
    ("LshFamily", (0, 1), {}, "LshFamily.__new__() missing 2 required positional arguments: 'signature' and 'bands'"),
    ("LshFamily", (0, 1, "a"), {}, "LshFamily.__new__() missing 1 required positional argument: 'bands'"),
    (
        "LshFamily",
        (),
        {"bits": 1},
        "LshFamily.__new__() missing 3 required positional arguments: 'family', 'signature', and 'bands'",
    ),
    (
        "LshFamily",
        (0,),
        {"signature": "a"},
        "LshFamily.__new__() missing 2 required positional arguments: 'bits' and 'bands'",
    ),
    ("LshFamily", (0, 1, "a", [], 5), {}, "LshFamily.__new__() takes 4 positional arguments but 5 were given"),
    ("LshFamily", (0, 1, "a", []), {"family": 0}, "LshFamily.__new__() got multiple values for argument 'family'"),
    ("LshFamily", (0, 1, "a", []), {"x": 1}, "LshFamily.__new__() got an unexpected keyword argument 'x'"),
    ("LshConfig", (1, 2, 3, 4), {}, "LshConfig.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    ("LshConfig", (), {"family": 1}, "LshConfig.__new__() got an unexpected keyword argument 'family'"),
    ("LshConfig", (1,), {"families": 2}, "LshConfig.__new__() got multiple values for argument 'families'"),
    ("LshConfig", (), {"\ud800x": 1}, "LshConfig.__new__() got an unexpected keyword argument '\ud800x'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", MATCHING)
def test_matching_errors(native, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(native, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert getattr(info.value, "__notes__", None) is None


@pytest.mark.parametrize(
    "name, args, message",
    [
        ("LshConfig", (1, 2, 3, 4), "LshConfig.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        (
            "LshFamily",
            (0,),
            "LshFamily.__new__() missing 3 required positional arguments: 'bits', 'signature', and 'bands'",
        ),
    ],
)
def test_matching_errors_through_dunder_new(native, name, args, message):
    cls = getattr(native, name)
    with pytest.raises(TypeError) as info:
        cls.__new__(cls, *args)
    assert str(info.value) == message


def test_every_parameter_accepted_by_keyword(native):
    assert native.normalize_vector(vector=[3, 4]) == reference.normalize_vector([3, 4])
    assert native.hamming_distance_hex(b="0f", a="0e") == 1
    assert native.cosine_from_hamming(total_bits=256, distance_bits=256) == -1.0
    assert native.compute_embedding_sha256(normalized_embedding=[]) == reference.compute_embedding_sha256([])
    got = native.simhash_lsh_multi(bands=2, bits=64, families=1, normalized_vector=[1.0, -2.0])
    assert reference.as_tuples(got) == reference.simhash_lsh_multi([1.0, -2.0], 1, 64, 2)
    fam = native.LshFamily(bands=["b"], signature="s", bits=2, family=1)
    assert (fam.family, fam.bits, fam.signature, fam.bands) == (1, 2, "s", ["b"])


# --- unsigned counts ---------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntWithIndex(int):
    def __index__(self):
        return 99


class BadIndex:
    def __index__(self):
        raise ValueError("bad index")


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, 0),
        (True, 1),
        (False, 0),
        (Index(7), 7),
        (IntWithIndex(5), 5),
        (2**64 - 1, 2**64 - 1),
        (2**63, 2**63),
    ],
)
def test_unsigned_accepted(native, value, expected):
    config = native.LshConfig(value, value, bands=value)
    assert (config.families, config.bits, config.bands) == (expected,) * 3
    family = native.LshFamily(value, value, "", [])
    assert (family.family, family.bits) == (expected, expected)
    assert native.cosine_from_hamming(value, 0) == 0.0


@pytest.mark.parametrize(
    "value, exc_type",
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (-(2**64), OverflowError),
        (Index(-1), OverflowError),
        (Index(2**64), OverflowError),
        (1.0, TypeError),
        ("8", TypeError),
        (None, TypeError),
        (Index(1.5), TypeError),
        (BadIndex(), ValueError),
        ([], TypeError),
    ],
)
@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda n, v: n.cosine_from_hamming(v, 8), "distance_bits"),
        (lambda n, v: n.cosine_from_hamming(8, v), "total_bits"),
        (lambda n, v: n.simhash_lsh_multi([1.0], families=v), "families"),
        (lambda n, v: n.simhash_lsh_multi([1.0], 1, v), "bits"),
        (lambda n, v: n.simhash_lsh_multi([1.0], 1, 64, v), "bands"),
        (lambda n, v: n.LshConfig(v), "families"),
        (lambda n, v: n.LshConfig(bits=v), "bits"),
        (lambda n, v: n.LshConfig(1, 2, v), "bands"),
        (lambda n, v: n.LshFamily(v, 1, "", []), "family"),
        (lambda n, v: n.LshFamily(0, v, "", []), "bits"),
    ],
)
def test_unsigned_refused(native, conversion_error, call, parameter, value, exc_type):
    conversion_error(exc_type, parameter, call, native, value)


# --- text ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, exc_type, parameter, message",
    [
        ((1, "0f"), TypeError, "a", "'int' object is not an instance of 'str'"),
        ((1, 2), TypeError, "a", "'int' object is not an instance of 'str'"),
        (("0f", None), TypeError, "b", "'None' is not an instance of 'str'"),
        (("0f", b"0f"), TypeError, "b", "'bytes' object is not an instance of 'str'"),
        (("\ud800", "ff"), UnicodeEncodeError, "a", None),
        (("\ud800", 5), UnicodeEncodeError, "a", None),
        (("ff", "f\udfff"), UnicodeEncodeError, "b", None),
    ],
)
def test_text_conversion_errors(native, conversion_error, args, exc_type, parameter, message):
    conversion_error(exc_type, parameter, native.hamming_distance_hex, *args, message=message)


def test_text_accepts_str_subclass(native):
    class S(str):
        pass

    assert native.hamming_distance_hex(S("ff"), S("0f")) == 4


# --- vectors ------------------------------------------------------------------


class Outer:
    class Inner:
        pass


class RegisteredOnly:
    pass


collections.abc.Sequence.register(RegisteredOnly)


class StrSub(str):
    pass


class Seq:
    """Sequence protocol object with a configurable (possibly wrong) length."""

    def __init__(self, items, length=None, fail_at=None, exc=None):
        self.items, self.length, self.fail_at, self.exc = list(items), length, fail_at, exc

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.exc() if callable(self.exc) else self.exc
        return self.items[i]


class RaisingIter(Seq):
    def __iter__(self):
        raise RuntimeError("no iteration today")


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class RaisingFloat:
    def __float__(self):
        raise ValueError("boom")


class FloatSubclass(float):
    def __float__(self):
        return 99.0


def _gen():
    yield 1.0


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        ("1.0", TypeError, "Can't extract `str` to `Vec`"),
        ("", TypeError, "Can't extract `str` to `Vec`"),
        (StrSub("12"), TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        (1.5, TypeError, "'float' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        ({1.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ({1: 1.0}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        (_gen(), TypeError, "'generator' object is not an instance of 'Sequence'"),
        (RegisteredOnly(), TypeError, "'RegisteredOnly' object is not an instance of 'Sequence'"),
        (Outer.Inner(), TypeError, "'Outer.Inner' object is not an instance of 'Sequence'"),
        ([1.0, "x"], TypeError, None),
        ([1.0, None], TypeError, None),
        ([10**400], OverflowError, None),
        ([1.0, RaisingFloat()], ValueError, "boom"),
        (RaisingIter([1.0]), RuntimeError, "no iteration today"),
        (Seq([1.0, 2.0, 3.0], fail_at=1, exc=lambda: ZeroDivisionError("item")), ZeroDivisionError, "item"),
    ],
)
@pytest.mark.parametrize(
    "function, parameter",
    [
        ("normalize_vector", "vector"),
        ("compute_embedding_sha256", "normalized_embedding"),
        ("simhash_lsh_multi", "normalized_vector"),
    ],
)
def test_vector_conversion_errors(native, conversion_error, function, parameter, value, exc_type, message):
    conversion_error(exc_type, parameter, getattr(native, function), value, message=message)


@pytest.mark.parametrize(
    "value, equivalent",
    [
        ([1, True, 2.5], [1.0, 1.0, 2.5]),
        (b"\x01\x02", [1.0, 2.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ((3, 4), [3.0, 4.0]),
        ([FloatLike(3.0), Index(4)], [3.0, 4.0]),
        ([FloatSubclass(3.0), 4.0], [3.0, 4.0]),
        ([1e39, 1.0], [float("inf"), 1.0]),
        ([-(2**1000), 1.0], [float("-inf"), 1.0]),
        ([0.1, 0.2, 0.7], [f32(0.1), f32(0.2), f32(0.7)]),
        ([1e-46, -1e-46, 7.1e-46, 1e-45], [0.0, -0.0, 2.0**-149, 2.0**-149]),
        (array.array("f", [3, 4]), [3.0, 4.0]),
        (array.array("d", [0.1, 5]), [f32(0.1), 5.0]),
        (memoryview(array.array("d", [0.3, -2])), [f32(0.3), -2.0]),
        (memoryview(b"\x03\x04"), [3.0, 4.0]),
        (Seq([3.0, 4.0], length=RuntimeError("len fails")), [3.0, 4.0]),
        (Seq([3.0, 4.0], length=2**63), [3.0, 4.0]),
        (Seq([1.0, 2.0, 3.0], length=10), [1.0, 2.0, 3.0]),
        (Seq([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], length=1), [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]),
        (Seq([]), []),
    ],
)
def test_vector_conversion_accepted(native, value, equivalent):
    key = lambda xs: [reference.float_key(x) for x in xs]  # noqa: E731
    assert key(native.normalize_vector(value)) == key(reference.normalize_vector(equivalent))
    assert native.compute_embedding_sha256(value) == reference.compute_embedding_sha256(equivalent)
    got = native.simhash_lsh_multi(value, families=2, bits=68, bands=5)
    assert reference.as_tuples(got) == reference.simhash_lsh_multi(equivalent, 2, 68, 5)


def test_huge_length_hint_does_not_crash(native):
    """A length that fits the address space but cannot be reserved."""
    try:
        result = native.normalize_vector(Seq([3.0, 4.0, 0.0], length=2**60))
    except MemoryError:
        return
    assert result == reference.normalize_vector([3.0, 4.0, 0.0])


def test_first_failing_argument_wins(native, conversion_error):
    conversion_error(
        TypeError,
        "normalized_vector",
        native.simhash_lsh_multi,
        "x",
        families=-1,
        message="Can't extract `str` to `Vec`",
    )
    conversion_error(OverflowError, "families", native.simhash_lsh_multi, [1.0], families=-1, bits="x")
    conversion_error(TypeError, "normalized_vector", native.simhash_lsh_multi, [1.0, "x"], bits=None)
    conversion_error(TypeError, "bits", native.simhash_lsh_multi, [1.0], bands=-1, bits=None)
    conversion_error(OverflowError, "distance_bits", native.cosine_from_hamming, -1, "x")
    conversion_error(TypeError, "family", native.LshFamily, "0", -1, 1, "x")
    conversion_error(TypeError, "signature", native.LshFamily, 0, 1, 1, "x")
    conversion_error(TypeError, "bits", native.LshConfig, bands=-1, bits=None)
