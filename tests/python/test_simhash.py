import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
from reference import as_tuples, hex_to_bits, projection_sign

V = (0.5, -0.25, 1.0, 0.125)

GENERATOR = [  # (u, w, i, SplitMix64 output, sign)
    (0, 0, 0, 0xE220A8397B1DCDAF, 1),
    (0, 0, 1, 0x910A2DEC89025CC1, 1),
    (0, 0, 2, 0x975835DE1C9756CE, -1),
    (0, 0, 3, 0x1D0B14E4DB018FED, 1),
    (0, 1, 0, 0x6DC4E0AB7011D21C, -1),
    (0, 1, 1, 0xD9119D74A403EC0A, -1),
    (0, 1, 2, 0xA105813F665F8AE2, -1),
    (0, 1, 3, 0x6089EA752C63C42F, 1),
    (1, 0, 0, 0xA285E7B0DEB63750, -1),
]


@pytest.mark.parametrize("u, w, i, z, sign", GENERATOR)
def test_reference_generator_table(u, w, i, z, sign):
    assert reference.splitmix64((u << 48) ^ (w << 24) ^ i) == z
    assert projection_sign(u, w, i) == sign


@pytest.mark.parametrize("i", range(4))
def test_one_hot_vector_reveals_signs(native, i):
    one_hot = [0.0] * 4
    one_hot[i] = 1.0
    for record in native.simhash_lsh_multi(one_hot, families=2, bits=64, bands=1):
        bits = hex_to_bits(record.signature, 64)
        assert bits == [int(projection_sign(record.family, w, i) == 1) for w in range(64)]
    for u, w, j, _, sign in GENERATOR:
        if j == i:
            bits = hex_to_bits(native.simhash_lsh_multi(one_hot, families=u + 1, bits=64)[u].signature, 64)
            assert bits[w] == int(sign == 1)


def test_seed_fields_overlap(native):
    # bit index 2**24 lands on the family field; only 16 family bits survive
    assert projection_sign(0, 2**24, 0) == projection_sign(1, 0, 0)
    assert all(projection_sign(u, 5, 3) == projection_sign(u + 65536, 5, 3) for u in range(8))
    bits = 2**24 + 4
    family0 = native.simhash_lsh_multi([1.0], families=1, bits=bits, bands=1)[0]
    assert len(family0.signature) == bits // 4 and family0.bands == [family0.signature]
    family1 = native.simhash_lsh_multi([1.0], families=2, bits=64)[1]
    assert hex_to_bits(family0.signature[-1], 4)[0] == hex_to_bits(family1.signature, 1)[0]


def test_family_and_family_plus_65536_are_equal(native):
    result = native.simhash_lsh_multi([0.3, -1.2, 0.7], families=65537, bits=64, bands=2)
    assert len(result) == 65537 and result[65536].family == 65536
    assert result[65536].signature == result[0].signature
    assert result[65536].bands == result[0].bands


WORKED = [
    (
        (2, 64, 4),
        [
            (0, 64, "35a2e263a8b16baa", ["35a2", "e263", "a8b1", "6baa"]),
            (1, 64, "0bfd78d1784c9733", ["0bfd", "78d1", "784c", "9733"]),
        ],
    ),
    ((1, 66, 16), [(0, 66, "35a2e263a8b16baa8", list("35a2e263a8b16baa"))]),
    ((1, 10, 0), [(0, 64, "35a2e263a8b16baa", ["35a2e263a8b16baa"])]),
    ((0, 0, 0), [(0, 64, "35a2e263a8b16baa", ["35a2e263a8b16baa"])]),
]


@pytest.mark.parametrize("params, expected", WORKED)
def test_worked_calls(impl, params, expected):
    assert as_tuples(impl.simhash_lsh_multi(list(V), *params)) == expected


@pytest.mark.parametrize(
    "bits, length, bands, chunk, count, unused",
    [
        (256, 64, 16, 4, 16, 0),
        (64, 16, 16, 1, 16, 0),
        (100, 25, 7, 3, 7, 4),
        (256, 64, 1000, 1, 64, 0),
        (256, 64, 3, 21, 3, 1),
        (130, 33, 4, 8, 4, 1),
        (65, 17, 16, 1, 16, 1),
        (64, 16, 0, 16, 1, 0),
    ],
)
def test_band_table(impl, bits, length, bands, chunk, count, unused):
    ((_, b, signature, cut),) = as_tuples(impl.simhash_lsh_multi(list(V), 1, bits, bands))
    assert (b, len(signature), len(cut)) == (bits, length, count)
    assert all(len(band) == chunk for band in cut)
    assert "".join(cut) == signature[: length - unused]


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 300), st.integers(0, 400))
def test_reference_band_split_rules(length, k):
    text = "".join(random.Random(length).choice("0123456789abcdef") for _ in range(length))
    bands = reference.split_bands(text, max(k, 1))
    if length == 0:
        return
    chunk = len(bands[0])
    assert all(len(b) == chunk for b in bands)
    assert len(bands) == (max(k, 1) if max(k, 1) <= length else length)
    assert "".join(bands) == text[: len(bands) * chunk]


def test_defaults_and_result_types(native):
    result = native.simhash_lsh_multi(list(V))
    assert type(result) is list and len(result) == 3
    for u, record in enumerate(result):
        assert type(record) is native.LshFamily
        assert (record.family, record.bits, len(record.signature)) == (u, 256, 64)
        assert all(type(b) is str and len(b) == 4 for b in record.bands) and len(record.bands) == 16
        assert set(record.signature) <= set("0123456789abcdef")
    assert as_tuples(result) == reference.simhash_lsh_multi(V)


@pytest.mark.parametrize("vector", [[], [0.0], [0.0, -0.0, 0.0], [1.0, math.nan, 2.0], [math.nan]])
@pytest.mark.parametrize("bits, bands", [(64, 16), (66, 3), (256, 16)])
def test_zero_and_nan_vectors_give_zero_bits(native, vector, bits, bands):
    for record in native.simhash_lsh_multi(vector, families=2, bits=bits, bands=bands):
        assert record.signature == "0" * -(-bits // 4)
        assert all(set(b) == {"0"} for b in record.bands)


@pytest.mark.parametrize("bits", [0, 1, 63, 64])
def test_bits_floor(native, bits):
    (record,) = native.simhash_lsh_multi(list(V), families=0, bits=bits, bands=16)
    assert (record.family, record.bits, len(record.signature)) == (0, 64, 16)


def test_equal_components_cancel_where_signs_differ(native):
    (record,) = native.simhash_lsh_multi([1.0, 1.0], families=1, bits=128)
    expected = [int(projection_sign(0, w, 0) == projection_sign(0, w, 1) == 1) for w in range(128)]
    assert hex_to_bits(record.signature, 128) == expected


def bit_sums(vector, u, bits):
    vector = [reference.f32(x) for x in vector]
    sums = []
    for w in range(bits):
        acc = -0.0
        for i, x in enumerate(vector):
            acc += x if projection_sign(u, w, i) == 1 else -x
        sums.append(acc)
    return sums


@pytest.mark.parametrize("seed", range(6))
def test_negation_and_scaling(native, seed):
    rng = random.Random(seed)
    vector = [rng.choice([1.0, -1.0, 0.5, 0.25, rng.gauss(0, 1)]) for _ in range(rng.randint(1, 9))]
    for u, (plain, negated, doubled) in enumerate(
        zip(
            native.simhash_lsh_multi(vector, 2, 96),
            native.simhash_lsh_multi([-x for x in vector], 2, 96),
            native.simhash_lsh_multi([2 * x for x in vector], 2, 96),
        )
    ):
        assert doubled.signature == plain.signature
        sums = bit_sums(vector, u, 96)
        for s, a, b in zip(sums, hex_to_bits(plain.signature, 96), hex_to_bits(negated.signature, 96)):
            assert (a, b) == ((0, 0) if s == 0 else (int(s > 0), int(s < 0)))


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.floats(-4, 4, width=32), min_size=1, max_size=12),
    st.integers(16, 40).map(lambda n: 4 * n),
    st.integers(1, 100),
)
def test_prefix_and_family_independence(native, vector, bits1, extra):
    short = native.simhash_lsh_multi(vector, 2, bits1, 1)
    long = native.simhash_lsh_multi(vector, 4, bits1 + extra, 1)
    for a, b in zip(short, long):
        assert b.signature.startswith(a.signature)


def random_vector(rng):
    n = rng.randint(1, 48)
    kind = rng.random()
    if kind < 0.15:  # exact cancellations: sums land on +0.0 / -0.0
        half = [rng.choice([0.5, 1.0, 3.0, 2.0**-20]) for _ in range(n // 2)]
        return half + [-x for x in half]
    if kind < 0.45:  # two equal large components: what survives depends on order and precision
        big = 2.0 ** rng.choice([0, 20, 40])
        vector = [rng.choice([-1, 1]) * rng.uniform(1, 2) * 2.0 ** rng.choice([-30, -40]) for _ in range(n)]
        vector[rng.randrange(n)] = big
        vector[rng.randrange(n)] = rng.choice([big, -big])
        return vector
    if kind < 0.55:
        return [rng.choice([math.inf, -math.inf, math.nan, 1.0, 0.0, -0.0]) for _ in range(n)]
    if kind < 0.65:
        return [reference.f32_from_bits(rng.getrandbits(32)) for _ in range(n)]
    return [rng.gauss(0.0, 1.0) * 2.0 ** rng.randint(-30, 30) for _ in range(n)]


@pytest.mark.parametrize("seed", range(6))
def test_differential_against_reference(native, seed):
    rng = random.Random(seed)
    for _ in range(12):
        vector = random_vector(rng)
        params = (rng.randint(0, 2), rng.choice([0, 64, 65, 66, 67, 70, 99, 130, 257]), rng.randint(0, 40))
        got = as_tuples(native.simhash_lsh_multi(vector, *params))
        assert got == reference.simhash_lsh_multi(vector, *params), (vector, params)


def test_huge_bits_is_a_memory_error(native):
    with pytest.raises(MemoryError):
        native.simhash_lsh_multi([1.0], families=1, bits=2**62)
