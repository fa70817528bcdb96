import hashlib
import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
from reference import f32, f32_bits, f32_from_bits

CANONICAL = [
    ([], "[]"),
    ([0.6, 0.8], "[0.6, 0.8]"),
    ([1.0, 0.0], "[1.0, 0.0]"),
    ([-0.0], "[-0.0]"),
    ([-1e-07], "[-0.0]"),
    ([3e-07, -3e-07], "[0.0, -0.0]"),
    ([1e-06], "[0.000001]"),
    ([0.0078125, -0.0078125], "[0.007813, -0.007813]"),
    ([0.1234565], "[0.123457]"),
    ([123.456789], "[123.456787]"),
    ([0.25, -0.75], "[0.25, -0.75]"),
    ([8388607.5], "[8388607.5]"),
    ([1e20], "[100000002004087730000.0]"),
    ([math.nan, math.inf, -math.inf], "[NaN, inf, -inf]"),
    ([2.0**60], "[1152921504606847000.0]"),
    ([12345678], "[12345678.0]"),
    ([5e-06, -5e-06], "[0.000005, -0.000005]"),
    ([1e39, -1e39], "[inf, -inf]"),
    ([-math.nan], "[NaN]"),
    ([2.0**-149, -(2.0**-149)], "[0.0, -0.0]"),
    ([-0.5, 2.5e-07], "[-0.5, 0.0]"),
    ([1, 2, 3], "[1.0, 2.0, 3.0]"),
]


def sha(text):
    return hashlib.sha256(text.encode("ascii")).hexdigest()


@pytest.mark.parametrize("vector, text", CANONICAL)
def test_reference_canonical_text(vector, text):
    assert reference.canonical_embedding_text(vector) == text


@pytest.mark.parametrize("vector, text", CANONICAL)
def test_digest_of_canonical_text(impl, vector, text):
    assert impl.compute_embedding_sha256(vector) == sha(text)


@pytest.mark.parametrize(
    "value, quantised",
    [
        (0.0234375, 0.023438),
        (-0.0234375, -0.023438),
        (0.0078125, 0.007813),
        (-0.0078125, -0.007813),
        (-1e-07, -0.0),
        (0.0, 0.0),
        (-0.0, -0.0),
        (5e-06, 5e-06),
    ],
)
def test_reference_quantisation(value, quantised):
    assert reference.float_key(reference.quantize_6dp(f32(value))) == reference.float_key(quantised)


def test_end_to_end_equalities(native):
    assert native.compute_embedding_sha256([]) == hashlib.sha256(b"[]").hexdigest()
    assert native.compute_embedding_sha256([1.0, 0.0]) == hashlib.sha256(b"[1.0, 0.0]").hexdigest()
    assert native.compute_embedding_sha256([-0.0]) == native.compute_embedding_sha256([-1e-07])
    assert native.compute_embedding_sha256([0.0]) != native.compute_embedding_sha256([-0.0])
    same = {
        native.compute_embedding_sha256(v)
        for v in ([0.6, 0.8], [0.6000001, 0.8000001], native.normalize_vector([3, 4]))
    }
    assert same == {sha("[0.6, 0.8]")}


def check_against_reference(native, values):
    got = native.compute_embedding_sha256(values)
    assert got == reference.compute_embedding_sha256(values), reference.canonical_embedding_text(values)
    assert len(got) == 64 and set(got) <= set("0123456789abcdef")


@pytest.mark.parametrize("seed", range(4))
def test_differential_random_bit_patterns(native, seed):
    rng = random.Random(seed)
    special = [
        0x7F800000,
        0xFF800000,
        0x7FC00000,
        0xFFC00001,
        0x00000001,
        0x807FFFFF,
        0x7F7FFFFF,
        0xFF7FFFFF,
        0x4B000000,
        0x4AFFFFFF,
        0x5F000000,
        0x80000000,
    ]
    for _ in range(50):
        patterns = [rng.getrandbits(32) for _ in range(rng.randint(1, 60))] + rng.sample(special, 3)
        check_against_reference(native, [f32_from_bits(p) for p in patterns])
    for p in special:  # one component at a time: any mismatch points at that value
        check_against_reference(native, [f32_from_bits(p)])


@pytest.mark.parametrize("scale", [1, 1000, 10**6, 10**8])
def test_differential_half_way_points(native, scale):
    rng = random.Random(scale)
    values = []
    for _ in range(400):
        k = rng.randrange(-scale, scale)
        x = f32((k + 0.5) / 1e6)
        bits = f32_bits(x)
        values += [x, f32_from_bits(bits + 1), f32_from_bits(bits - 1)]
        m = min(scale, 2**22)
        values.append((2 * rng.randrange(-m, m) + 1) / 128)  # product exactly k + 0.5
    for start in range(0, len(values), 40):
        check_against_reference(native, values[start : start + 40])


@settings(max_examples=400, deadline=None)
@given(st.lists(st.floats(width=32), max_size=20))
def test_differential_property(native, values):
    check_against_reference(native, values)
