"""Row r of every batch function equals the per-vector function of
ambrel_native on row r, bit for bit, whatever the input layout, the values,
the sizes and the thread count."""

import array
from concurrent.futures import ThreadPoolExecutor
from fractions import Fraction

import numpy as np
import pytest

import ambrel_batch as ab
import ambrel_native as an

RNG = np.random.default_rng(20240612)


def fields(records):
    return [(r.family, r.bits, r.signature, r.bands) for r in records]


def check_simhash(rows, families=3, bits=256, bands=16, **kwargs):
    """Every row's records, packed codes and band keys equal simhash_lsh_multi
    of that row; returns the batch."""
    batch = ab.simhash_lsh_batch(rows, families, bits, bands, **kwargs)
    rows = rows.tolist() if isinstance(rows, memoryview) else rows
    assert len(batch) == len(rows)
    for r in range(len(rows)):
        expected = an.simhash_lsh_multi(rows[r], families, bits, bands)
        assert fields(batch.records(r)) == fields(expected), f"row {r}"
        for f, record in enumerate(expected):
            code = batch.codes[r, f].tobytes()
            padding = 8 * len(code) - record.bits
            assert len(code) == -(-record.bits // 8) and code.hex().startswith(record.signature)
            assert int.from_bytes(code) & ((1 << padding) - 1) == 0, f"padding bits of row {r}"
            assert [k.decode() for k in batch.band_keys[r, f]] == record.bands
            if batch.band_width <= 16:
                assert batch.band_values[r, f].tolist() == [int(b, 16) for b in record.bands]
    return batch


def check_rowwise(rows, **kwargs):
    """normalize_batch and sha256_batch equal the per-vector functions on every row."""
    normalized = ab.normalize_batch(rows, **kwargs)
    digests = ab.sha256_batch(rows, **kwargs)
    rows = rows.tolist() if isinstance(rows, memoryview) else rows
    assert normalized.dtype == np.float32 and normalized.shape == (len(rows), len(rows[0]))
    for r in range(len(rows)):
        expected = np.array(an.normalize_vector(rows[r]), dtype=np.float32)
        assert normalized[r].view(np.uint32).tolist() == expected.view(np.uint32).tolist(), f"row {r}"
        assert digests[r].decode() == an.compute_embedding_sha256(rows[r]), f"row {r}"


def random_rows(n, d, dtype=np.float32):
    """Gaussian rows at scales from 1e-3 to 1e3, half of them unit length."""
    rows = RNG.standard_normal((n, d)) * 10.0 ** RNG.uniform(-3, 3, (n, 1))
    rows[::2] = ab.normalize_batch(rows[::2])
    return rows.astype(dtype)


def special_rows(d, dtype=np.float32):
    """NaN, infinities, subnormals, signed zeros, all-zero rows and huge
    magnitudes, each in an otherwise ordinary row."""
    info = np.finfo(dtype)
    values = [np.nan, -np.nan, np.inf, -np.inf, info.smallest_subnormal, -info.smallest_subnormal * 3]
    values += [info.tiny, -0.0, info.max, 1e38, 1e30, 1e-30, -1e-40]
    if dtype == np.float64:
        values += [1e300, -1e300, 1e-310, 3.5e38]  # beyond the float32 range and below it
    base = random_rows(len(values), d, np.float64)
    base[np.arange(len(values)), RNG.integers(0, d, len(values))] = values
    zeros = np.zeros((2, d))
    zeros[1, ::2] = -0.0
    huge = np.full((2, d), 1e38)
    huge[1, 1::2] = -1e38
    return np.concatenate([base, zeros, huge, np.full((1, d), info.tiny)]).astype(dtype)


@pytest.mark.parametrize("d", [1, 7, 64, 384, 1536])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_random_and_special_rows(d, dtype):
    rows = np.concatenate([random_rows(48 if d < 1536 else 12, d, dtype), special_rows(d, dtype)])
    RNG.shuffle(rows)  # rows of the exact path among rows of the fast one
    check_simhash(rows)
    check_rowwise(rows)


def layouts():
    base = random_rows(9, 40, np.float64)
    wide = np.asfortranarray(random_rows(40, 9, np.float64))
    small_ints = RNG.integers(-3, 4, (6, 20))
    # 2**60 + 2**36 + 1 rounds to a different float32 directly than through a double.
    big_ints = np.array([[2**60 + 2**36 + 1, -(2**63), 2**31 - 1, 3], [2**53 + 1, 1, -1, 0]], dtype=np.int64)
    flat = array.array("f", base.astype(np.float32).ravel())
    return {
        "strided rows and columns": base[::2, ::3],
        "transposed": wide.T,
        "negative strides": base[::-1, ::-2],
        "fortran order": np.asfortranarray(base.astype(np.float32)),
        "float16": np.clip(base, -65504, 65504).astype(np.float16),
        "int8": small_ints.astype(np.int8),
        "uint16": (small_ints + 3).astype(np.uint16),
        "int64 beyond 2**53": big_ints,
        "uint64": np.array([[2**64 - 1, 2**63 + 2**39 + 1, 5]], dtype=np.uint64),
        "bool": small_ints > 0,
        "list of lists": base.tolist(),
        "tuple of tuples": tuple(map(tuple, base[:3].tolist())),
        "list of 1-D arrays": list(base[:, ::2]),
        "lists of ints and bools": [[1, True, -2, 2**70], [0, False, 3, -(2**64)]],
        "2-D memoryview": memoryview(flat).cast("B").cast("f", (9, 40)),
        "any float32 bit pattern": RNG.integers(0, 2**32, (12, 40), dtype=np.uint32).view(np.float32),
        "floats of every exponent": np.ldexp(RNG.uniform(-1, 1, (12, 40)), RNG.integers(-148, 129, (12, 40))),
    }


@pytest.mark.parametrize("name", list(layouts()))
def test_input_layouts(name):
    rows = layouts()[name]
    check_simhash(rows, 2, 100, 7)
    check_rowwise(rows)


def sign_matrix(d, families, bits):
    """The +-1 sign of every component in every signature bit, read from the
    per-vector function: a one-hot row's bit is 1 exactly when its sign is +1."""
    signs = np.empty((d, families * bits))
    for i in range(d):
        one_hot = [0.0] * d
        one_hot[i] = 1.0
        text = "".join(
            f"{int(r.signature, 16):0{4 * len(r.signature)}b}"[:bits]
            for r in an.simhash_lsh_multi(one_hot, families, bits, 1)
        )
        signs[i] = [1.0 if c == "1" else -1.0 for c in text]
    return signs


def cancelling_row(signs, bit):
    """A float32 row with exponents spread over 2**-12 .. 2**12 whose signed
    sum for `bit` is cancelled, step by step, down to far below the rounding
    error of a float32 or double summation of it, then (for most bits)
    moved off zero by one unit in the last place of one component."""
    d = len(signs)
    x = (RNG.standard_normal(d) * 2.0 ** RNG.integers(-12, 13, d)).astype(np.float32)
    for _ in range(4):
        exact = sum(Fraction(float(s) * float(v)) for s, v in zip(signs[:, bit], x))
        if exact == 0:
            break
        larger = np.flatnonzero(np.abs(x) >= 4 * abs(float(exact)))
        # The smallest component that can absorb the sum, else the largest.
        j = larger[np.argmin(np.abs(x[larger]))] if larger.size else np.argmax(np.abs(x))
        x[j] = np.float32(float(x[j]) - signs[j, bit] * float(exact))
    if bit % 4:  # else the sum stays exactly zero
        k = RNG.integers(0, d)
        x[k] = np.nextafter(x[k], np.float32(RNG.choice([-np.inf, np.inf])))
    return x


@pytest.mark.parametrize("d", [16, 384, 1536])
def test_rows_whose_float32_and_double_sums_straddle_zero(d):
    families, bits = 2, 128
    signs = sign_matrix(d, families, bits)
    targets = RNG.integers(0, families * bits, 32)
    crafted = np.array([cancelling_row(signs, t) for t in targets])
    handmade = [[1, -1, 1e-8, -1e-8, 3e-9], [1e30, 1, -1e30], [1e30, -1e30, 1e-30, 1], [1, 2**-24, -1, 2**-25]]
    rows = np.concatenate([crafted, np.array([(v + [0] * d)[:d] for v in handmade], dtype=np.float32)])
    batch = check_simhash(rows, families, bits, 4)
    # The rows are adversarial: a float32 product alone gets many target bits wrong.
    exact_bits = np.unpackbits(batch.codes[: len(targets)], axis=2)[..., :bits].reshape(len(targets), -1)
    float32_sums = crafted @ signs.astype(np.float32)
    picked = np.arange(len(targets)), targets
    wrong = (float32_sums[picked] > 0) != exact_bits[picked]
    assert wrong.sum() >= 3, wrong


@pytest.mark.parametrize(
    "families, bits, bands",
    [(0, 0, 0), (1, 65, 1000), (2, 100, 3), (1, 257, 7), (3, 256, 16), (1, 64, 64), (2, 256, 2), (1, 300, 1)],
)
def test_sizes_floors_and_bands(families, bits, bands):
    batch = check_simhash(random_rows(5, 33), families, bits, bands)
    record = an.simhash_lsh_multi([1.0], families, bits, bands)
    assert (batch.families, batch.bits, batch.bands) == (len(record), record[0].bits, len(record[0].bands))
    assert batch.band_keys.dtype == f"S{len(record[0].bands[0])}"
    if batch.band_width > 16:
        with pytest.raises(ValueError, match="use band_keys"):
            _ = batch.band_values


def test_thread_count_never_changes_a_bit():
    rows = np.concatenate([random_rows(300, 96), special_rows(96)] * 2)
    calls = [
        lambda t: ab.simhash_lsh_batch(rows, 2, 200, 5, threads=t).codes,
        lambda t: ab.normalize_batch(rows, threads=t),
        lambda t: ab.sha256_batch(rows, threads=t),
    ]
    for call in calls:
        expected = call(1).tobytes()
        assert {call(t).tobytes() for t in (None, 2, 3, 16)} == {expected}
        with ThreadPoolExecutor(4) as pool:  # from several Python threads at once
            assert set(pool.map(lambda t, call=call: call(t).tobytes(), [1, 2, 3, None] * 2)) == {expected}
    check_simhash(rows[::9], 2, 200, 5, threads=2)


def hex_distance(a, b):
    """The per-vector distance of two packed codes: the sum over families."""
    return sum(an.hamming_distance_hex(x.tobytes().hex(), y.tobytes().hex()) for x, y in zip(a, b))


@pytest.mark.parametrize("threads", [1, 2])
def test_hamming_distances(threads):
    codes = ab.simhash_lsh_batch(random_rows(40, 24), 3, 100, 4).codes  # padding bits in every family
    noise = RNG.integers(0, 256, (40, 3, 13), dtype=np.uint8)  # arbitrary bytes, padding included
    for many in (codes, noise):
        one = many[7]
        assert ab.hamming_distance_batch(one, many, threads=threads).tolist() == [hex_distance(one, c) for c in many]
        other = many[::-1]
        assert ab.hamming_distance_pairs(many, other, threads=threads).tolist() == [
            hex_distance(a, b) for a, b in zip(many, other)
        ]


def test_cosine_from_hamming():
    distances = [0, 1, 7, 64, 100, 255, 256, 300, 2**53 + 1, 2**63, 2**64 - 1]
    for total in (0, 1, 12, 256, 768, 2**53 + 1, 2**64 - 1):
        got = ab.cosine_from_hamming_batch(np.array(distances, dtype=np.uint64), total)
        assert [x.hex() for x in got.tolist()] == [an.cosine_from_hamming(d, total).hex() for d in distances]
    grid = np.arange(12, dtype=np.int64).reshape(3, 4)
    got = ab.cosine_from_hamming_batch(grid, 11)
    assert got.shape == (3, 4) and got.ravel().tolist() == [an.cosine_from_hamming(d, 11) for d in range(12)]
    with pytest.raises(OverflowError):
        ab.cosine_from_hamming_batch(np.array([3, -1]), 8)
