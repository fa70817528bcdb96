import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference

HAMMING = [
    ("ff", "00", 8),
    ("0f", "0e", 1),
    ("8", "7", 4),
    ("f0f0", "0f0f", 16),
    ("deadbeef", "DEADBEEF", 0),
    (" a-b ", "AB", 0),
    ("ab", "abcd", 8),
    ("", "ffff", 16),
    ("", "", 0),
    ("0xff", "ff", 8),
    ("g1", "01", 5),
    ("\u00e95", "5", 0),
    ("xyz!", "-- --", 0),
    ("ab", "ab00", 8),
    ("\uff11\uff21f", "f", 0),
    ("0123456789abcdef", "0123456789ABCDEF", 0),
    ("1", "\uff11", 4),
]


@pytest.mark.parametrize("a, b, expected", HAMMING)
def test_hamming_worked_examples(impl, a, b, expected):
    assert impl.hamming_distance_hex(a, b) == expected
    assert impl.hamming_distance_hex(b, a) == expected
    assert type(impl.hamming_distance_hex(a, b)) is int


SIGNATURE_CHARS = (
    "0123456789abcdefABCDEF" + " -:_x0X\t\n" + "g\u00e9\u00df\u0130\uff10\uff19\uff41\uff26\U0001f600\u0663"
)


@settings(max_examples=500, deadline=None)
@given(st.text(alphabet=SIGNATURE_CHARS, max_size=80), st.text(alphabet=SIGNATURE_CHARS, max_size=80))
def test_hamming_differential(native, a, b):
    assert native.hamming_distance_hex(a, b) == reference.hamming_distance_hex(a, b)


@settings(max_examples=200, deadline=None)
@given(st.text(max_size=60), st.text(max_size=60))
def test_hamming_any_text(native, a, b):
    try:
        a.encode("utf-8"), b.encode("utf-8")
    except UnicodeEncodeError:
        return
    assert native.hamming_distance_hex(a, b) == reference.hamming_distance_hex(a, b)


@pytest.mark.parametrize("seed", range(3))
def test_hamming_of_simhash_signatures_is_bounded(native, seed):
    rng = random.Random(seed)
    bits = rng.choice([64, 65, 66, 67, 128, 250])
    x = [rng.gauss(0, 1) for _ in range(16)]
    y = [rng.gauss(0, 1) for _ in range(16)]
    for fx, fy in zip(native.simhash_lsh_multi(x, 3, bits), native.simhash_lsh_multi(y, 3, bits)):
        d = native.hamming_distance_hex(fx.signature, fy.signature)
        assert 0 <= d <= bits
        assert d == sum(
            p != q for p, q in zip(reference.hex_to_bits(fx.signature, bits), reference.hex_to_bits(fy.signature, bits))
        )


COSINE = [
    (0, 256, 1.0),
    (64, 256, 0.7071067811865476),
    (128, 256, 6.123233995736766e-17),
    (192, 256, -0.7071067811865475),
    (256, 256, -1.0),
    (384, 256, -1.8369701987210297e-16),
    (512, 256, 1.0),
    (1, 3, 0.5000000000000001),
    (7, 12, -0.25881904510252085),
    (5, 0, 0.0),
    (0, 0, 0.0),
    (2**64 - 1, 0, 0.0),
    (2**64 - 1, 2**64 - 1, -1.0),
]


@pytest.mark.parametrize("d, t, expected", COSINE)
def test_cosine_worked_examples(impl, d, t, expected):
    result = impl.cosine_from_hamming(d, t)
    assert type(result) is float
    assert reference.float_key(result) == reference.float_key(expected)


@settings(max_examples=500, deadline=None)
@given(
    st.one_of(st.integers(0, 4096), st.integers(0, 2**64 - 1)),
    st.one_of(st.integers(0, 4096), st.integers(0, 2**64 - 1)),
)
def test_cosine_differential(native, d, t):
    expected = 0.0 if t == 0 else math.cos((float(d) / float(t)) * math.pi)
    result = native.cosine_from_hamming(d, t)
    assert reference.float_key(result) == reference.float_key(expected)
    assert -1.0 <= result <= 1.0


@pytest.mark.parametrize("d, t", [(2**53 + 1, 2**53), (2**60 + 3, 2**61 - 1), (2**64 - 2, 2**64 - 1)])
def test_cosine_rounds_large_counts(native, d, t):
    assert native.cosine_from_hamming(d, t) == math.cos((float(d) / float(t)) * math.pi)
