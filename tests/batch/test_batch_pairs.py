"""The exact cosines (cosine_pairs, similar_pairs, nearest_cells) against a
float64 numpy loop that sums every dot left to right, for several layouts,
values and thread counts; the pair budget keeps the components of all
qualifying pairs; bad arguments name the function and the parameter."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ambrel_batch as ab

RNG = np.random.default_rng(20250301)
BLOCK = 256  # the row blocks of similar_pairs' order


def dots(x, y):
    """The ordered double sums of x[k] * y[k] along the last axis, from +0.0:
    np.cumsum adds one element after the other."""
    with np.errstate(all="ignore"):
        products = x.astype(np.float64) * y.astype(np.float64)
        start = np.zeros(products.shape[:-1] + (1,))
        return np.cumsum(np.concatenate([start, products], axis=-1), axis=-1)[..., -1]


def cosines(x, y):
    ab_, aa, bb = dots(x, y), dots(x, x), dots(y, y)
    with np.errstate(all="ignore"):
        c = np.clip(ab_ / np.sqrt(aa * bb), -1.0, 1.0)
    c = np.where((aa == 0) | (bb == 0), 0.0, c)
    return np.where(np.isnan(c), np.nan, c)


def clustered(n, d, groups, spread, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((groups, d))
    return ab.normalize_batch(centres[np.arange(n) % groups] + spread * rng.standard_normal((n, d)))


def same_bits(x, y):
    x, y = np.asarray(x), np.asarray(y)
    return x.shape == y.shape and x.tobytes() == y.tobytes()


def all_pairs(rows, threshold, owners=None):
    """Every qualifying pair in block order."""
    x = np.asarray(rows, dtype=np.float32)
    n = len(x)
    owners = n if owners is None else owners
    found = []
    for bi in range(0, owners, BLOCK):
        for bj in range(bi, n, BLOCK):
            i, j = np.meshgrid(np.arange(bi, min(bi + BLOCK, owners)), np.arange(bj, min(bj + BLOCK, n)), indexing="ij")
            keep = j > i
            i, j = i[keep], j[keep]
            # The ordered sums only where a float64 product comes near the threshold: both sum the same
            # double products, so they differ by at most d * 2**-53 of the cosine (Cauchy-Schwarz).
            with np.errstate(all="ignore"):
                x64 = x.astype(np.float64)
                norms = np.sqrt(np.einsum("ij,ij->i", x64, x64))
                rough = (x64[bi : bi + BLOCK] @ x64[bj : bj + BLOCK].T)[i - bi, j - bj] / (norms[i] * norms[j])
            near = ~(rough < threshold - 1e-9)
            i, j = i[near], j[near]
            c = cosines(x[i], x[j])
            q = c >= threshold
            found.append((i[q], j[q], c[q]))
    return [np.concatenate(parts) for parts in zip(*found, strict=True)] if found else [np.array([])] * 3


def components(n, a, b):
    parent = list(range(n))

    def find(v):
        while parent[v] != v:
            parent[v] = parent[parent[v]]
            v = parent[v]
        return v

    for i, j in zip(a.tolist(), b.tolist(), strict=True):
        parent[find(i)] = find(j)
    labels = [find(v) for v in range(n)]
    first = {}
    return [first.setdefault(label, v) for v, label in enumerate(labels)]


def special_rows(d):
    """Rows that must take the exact path: zero, NaN, infinity, subnormal, huge, tiny."""
    rows = RNG.standard_normal((6, d)).astype(np.float32)
    rows[0] = 0
    rows[1, 0] = np.nan
    rows[2, -1] = np.inf
    rows[3] = np.float32(1e-40) * (np.arange(d) % 3 + 1)
    rows[4] *= np.float32(3e37)
    rows[5] *= np.float32(1e-25)
    return rows


@pytest.mark.parametrize("d", [1, 3, 64, 385, 1600])
def test_cosine_pairs_equal_the_loop(d):
    rows = np.concatenate([clustered(60, d, 6, 0.5, d), special_rows(d)])
    a = RNG.integers(0, len(rows), 500)
    b = RNG.integers(0, len(rows), 500)
    expected = cosines(rows[a], rows[b])
    for layout in (rows, rows.astype(np.float64), np.asfortranarray(rows)):
        results = [ab.cosine_pairs(layout, a, b, threads=t) for t in (1, 2, 3)]
        assert all(same_bits(r, expected) for r in results)
    assert same_bits(ab.cosine_pairs(rows, a[:3], b[:3]), expected[:3])  # fewer pairs than rows
    assert ab.cosine_pairs(rows, [], []).shape == (0,)


@pytest.mark.parametrize(("d", "threshold"), [(1, 0.5), (5, -1.0), (48, 0.0), (48, 0.9), (384, 0.8), (1000, 0.95)])
def test_similar_pairs_equal_the_loop(d, threshold):
    rows = clustered(600, d, 30, 0.4, d)
    a, b, c = all_pairs(rows, threshold)
    for t in (1, 2, 3):
        found = ab.similar_pairs(rows, threshold, threads=t)
        assert found.complete
        assert same_bits(found.a, a) and same_bits(found.b, b) and same_bits(found.cosine, c)


def test_similar_pairs_at_the_threshold_and_with_special_rows():
    rows = np.concatenate([clustered(300, 40, 5, 0.05, 9), special_rows(40), special_rows(40)])
    exact = cosines(rows[7], rows[8:300])
    for threshold in [*exact[:4].tolist(), *np.nextafter(exact[:4], 2).tolist(), 1.0]:
        a, b, c = all_pairs(rows, threshold)
        found = ab.similar_pairs(rows, threshold)
        assert same_bits(found.a, a) and same_bits(found.b, b) and same_bits(found.cosine, c), threshold
        assert (found.cosine >= threshold).all() and (found.a < found.b).all()


@pytest.mark.parametrize("owners", [0, 1, 255, 256, 300, 599, 600])
def test_similar_pairs_with_visitors(owners):
    rows = clustered(600, 16, 40, 0.3, 3)
    a, b, c = all_pairs(rows, 0.8, owners)
    found = ab.similar_pairs(rows, 0.8, owners=owners, threads=2)
    assert same_bits(found.a, a) and same_bits(found.b, b) and same_bits(found.cosine, c)
    assert (found.a < owners).all()


@pytest.mark.parametrize("max_pairs", [1, 1000, 30000])
def test_the_budget_keeps_the_components(max_pairs):
    rows = clustered(900, 8, 7, 0.03, 4)
    a, b, c = all_pairs(rows, 0.9)
    assert len(a) > max_pairs
    results = [ab.similar_pairs(rows, 0.9, max_pairs=max_pairs, threads=t) for t in (1, 2, 3)]
    found = results[0]
    assert all(same_bits(r.a, found.a) and same_bits(r.b, found.b) for r in results)
    assert not found.complete and max_pairs <= len(found.a) < max_pairs + len(rows)
    assert same_bits(found.a[:max_pairs], a[:max_pairs]) and same_bits(found.cosine[:max_pairs], c[:max_pairs])
    assert components(len(rows), found.a, found.b) == components(len(rows), a, b)
    # Every listed pair qualifies, with its exact cosine.
    assert same_bits(found.cosine, cosines(rows[found.a], rows[found.b]))
    assert ab.similar_pairs(rows, 0.9, max_pairs=len(a)).complete


def nearest_reference(rows, centroids, margin, max_cells):
    e = cosines(rows[:, None, :], centroids[None, :, :])
    cells = np.full((len(rows), max_cells), -1, dtype=np.int32)
    sims = np.full((len(rows), max_cells), np.nan)
    for r in range(len(rows)):
        valid = np.flatnonzero(~np.isnan(e[r]))
        if valid.size == 0:
            continue
        order = valid[np.lexsort((valid, -e[r, valid]))]
        chosen = order[e[r, order] >= e[r, order[0]] - margin][:max_cells]
        cells[r, : chosen.size] = chosen
        sims[r, : chosen.size] = e[r, chosen]
    return cells, sims


@pytest.mark.parametrize("d", [1, 2, 33, 384, 1500])
def test_nearest_cells_equal_the_loop(d):
    centroids = clustered(37, d, 37, 0.0, d)
    # Near ties: copies of centroids and copies moved by one float step.
    nudged = centroids[:8].copy()
    nudged[:, 0] = np.nextafter(nudged[:, 0], np.float32(2))
    centroids = np.concatenate([centroids, centroids[:5], nudged])
    rows = np.concatenate([clustered(150, d, 37, 0.5, d + 1), special_rows(d)])
    for margin, max_cells in [(0.0, 1), (0.0, 3), (1e-7, 4), (0.05, 5), (3.0, 60)]:
        cells, sims = nearest_reference(rows, centroids, margin, max_cells)
        for t in (1, 2, 3):
            got_cells, got_sims = ab.nearest_cells(rows, centroids, margin=margin, max_cells=max_cells, threads=t)
            assert got_cells.dtype == np.int32 and got_cells.shape == (len(rows), max_cells)
            assert same_bits(got_cells, cells) and same_bits(got_sims, sims), (margin, max_cells, t)


floats32 = hnp.arrays(
    np.float32,
    st.tuples(st.integers(2, 12), st.integers(1, 9)),
    elements=st.floats(width=32, allow_nan=True, allow_infinity=True),
)


@settings(max_examples=60, deadline=None)
@given(floats32, st.floats(-1, 1))
def test_hostile_values(rows, threshold):
    a, b, c = all_pairs(rows, threshold)
    found = ab.similar_pairs(rows, threshold)
    assert same_bits(found.a, a) and same_bits(found.b, b) and same_bits(found.cosine, c)
    cells, sims = nearest_reference(rows, rows[::2], 0.1, 2)
    got_cells, got_sims = ab.nearest_cells(rows, rows[::2], margin=0.1, max_cells=2)
    assert same_bits(got_cells, cells) and same_bits(got_sims, sims)


@pytest.mark.parametrize(
    ("call", "error", "words"),
    [
        (lambda x: ab.similar_pairs(x, 1.5), ValueError, "similar_pairs(): threshold"),
        (lambda x: ab.similar_pairs(x, float("nan")), ValueError, "similar_pairs(): threshold"),
        (lambda x: ab.similar_pairs(x, "0.5"), TypeError, "similar_pairs(): threshold"),
        (lambda x: ab.similar_pairs(x, 0.5, owners=11), ValueError, "similar_pairs(): owners"),
        (lambda x: ab.similar_pairs(x, 0.5, owners=-1), ValueError, "similar_pairs(): owners"),
        (lambda x: ab.similar_pairs(x, 0.5, max_pairs=0), ValueError, "similar_pairs(): max_pairs"),
        (lambda x: ab.similar_pairs(x, 0.5, max_pairs=2.0), TypeError, "similar_pairs(): max_pairs"),
        (lambda x: ab.similar_pairs(x[:, :0], 0.5), ValueError, "rows has rows of no components"),
        (lambda x: ab.nearest_cells(x, x[:, :2]), ValueError, "nearest_cells(): centroids"),
        (lambda x: ab.nearest_cells(x, x, margin=-0.1), ValueError, "nearest_cells(): margin"),
        (lambda x: ab.nearest_cells(x, x, margin=float("inf")), ValueError, "nearest_cells(): margin"),
        (lambda x: ab.nearest_cells(x, x, max_cells=0), ValueError, "nearest_cells(): max_cells"),
        (lambda x: ab.nearest_cells(x, x[:0]), ValueError, "centroids has no rows"),
        (lambda x: ab.cosine_pairs(x, [0, 10], [1, 2]), IndexError, "cosine_pairs(): a[1] = 10"),
        (lambda x: ab.cosine_pairs(x, [0], [-1]), IndexError, "cosine_pairs(): b[0] = -1"),
        (lambda x: ab.cosine_pairs(x, [0.5], [1]), TypeError, "cosine_pairs(): a must hold integers"),
        (lambda x: ab.cosine_pairs(x, [0, 1], [1]), ValueError, "cosine_pairs(): a and b"),
        (lambda x: ab.cosine_pairs(x, [[0]], [[1]]), ValueError, "cosine_pairs(): a must be one-dimensional"),
    ],
)
def test_bad_arguments_are_named(call, error, words):
    rows = RNG.standard_normal((10, 4)).astype(np.float32)
    with pytest.raises(error) as info:
        call(rows)
    assert words in str(info.value) + " ".join(getattr(info.value, "__notes__", []))


def test_empty_results_feed_the_next_call():
    """An empty result (its buffer an empty bytearray's, which may not be aligned) is valid input."""
    rows = np.eye(4, dtype=np.float32)
    none = ab.similar_pairs(rows, 0.9)
    assert len(none.a) == 0
    assert len(ab.cosine_pairs(rows, none.a, none.b)) == 0
    assert ab.greedy_keep(4, none.a, none.b, none.cosine).keep.all()
    empty = np.frombuffer(bytearray(), dtype=np.int64)
    assert len(ab.cosine_pairs(rows, empty, empty)) == 0
