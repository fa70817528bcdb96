"""Per-partition work: plain numpy on one partition, run inside the Dask tasks.

Frames passed between stages hold only fixed-width numbers (int64 ids, uint64
fingerprint words, float64 cosines), so shuffles move compact blocks and never
Python objects.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

_U64 = np.uint64


def frame(columns: dict[str, Any], n: int = 0) -> pd.DataFrame:
    return pd.DataFrame({name: np.zeros(n, dtype=dtype) for name, dtype in columns.items()})


EDGE_META = frame({"id_a": np.int64, "id_b": np.int64})


# --------------------------------------------------------------------------
# Rows and fingerprints


_HEX = np.full(256, 0, dtype=np.uint8)
_HEX[np.frombuffer(b"0123456789", dtype=np.uint8)] = np.arange(10, dtype=np.uint8)
_HEX[np.frombuffer(b"abcdef", dtype=np.uint8)] = np.arange(10, 16, dtype=np.uint8)


def hex_digests_to_words(digests: np.ndarray) -> np.ndarray:
    """(n,) 'S64' hex digests -> (n, 4) uint64 holding the 32 digest bytes."""
    chars = np.frombuffer(digests.tobytes(), dtype=np.uint8).reshape(len(digests), 64)
    nibbles = _HEX[chars]
    raw = (nibbles[:, 0::2] << 4) | nibbles[:, 1::2]
    return np.ascontiguousarray(raw).view(_U64)


def scale_rows(vectors: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Every row times the power of two that brings its largest magnitude into [0.5, 1), and which
    rows are zero.

    Normalisation squares and sums in float32: the squares of components below about
    1e-23 round to zero, and the sum of a row whose norm is above about 1.8e19
    overflows, so such rows would come out unchanged or as zeros and look like
    copies of each other. A power of two keeps the direction bit for bit, and for
    every other row the normalised result is exactly what it was without it.
    Zero rows have no direction: they are set aside, never paired.
    """
    x = np.asarray(vectors, dtype=np.float32)
    if x.size == 0:
        return x, np.zeros(len(x), dtype=bool)
    top = np.max(np.abs(x), axis=1)
    zero = top == 0
    _, exponent = np.frexp(top)
    if not np.any(exponent[~zero]):
        return x, zero
    return np.ldexp(x, (-exponent)[:, None].astype(np.int32)), zero


def mix64(x: np.ndarray) -> np.ndarray:
    """SplitMix64's finaliser: a bijection of 64-bit words that spreads every input bit."""
    with np.errstate(over="ignore"):
        z = np.asarray(x, dtype=_U64) + _U64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> _U64(30))) * _U64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> _U64(27))) * _U64(0x94D049BB133111EB)
        return z ^ (z >> _U64(31))


def unique_pairs(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct pairs (a[i], b[i]), sorted by a, then b."""
    if len(a) == 0:
        return a, b
    a_lo, b_lo = int(a.min()), int(b.min())
    if int(a.max()) - a_lo < 1 << 32 and int(b.max()) - b_lo < 1 << 32:
        # Both offsets fit 32 bits: one sort of packed words, far faster than an index sort.
        packed = np.sort(((a - a_lo).astype(_U64) << _U64(32)) | (b - b_lo).astype(_U64))
        packed = packed[np.concatenate([[True], packed[1:] != packed[:-1]])]
        return (packed >> _U64(32)).astype(a.dtype) + a_lo, (packed & _U64(0xFFFFFFFF)).astype(b.dtype) + b_lo
    order = np.lexsort((b, a))
    a, b = a[order], b[order]
    keep = np.ones(len(a), dtype=bool)
    keep[1:] = (a[1:] != a[:-1]) | (b[1:] != b[:-1])
    return a[keep], b[keep]


def unique_pairs_with(a: np.ndarray, b: np.ndarray, values: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The distinct pairs (a[i], b[i]) sorted by a, then b, each with its first value (a pair listed
    twice carries the same exact cosine both times)."""
    order = np.lexsort((b, a))
    a, b, values = a[order], b[order], values[order]
    keep = np.ones(len(a), dtype=bool)
    keep[1:] = (a[1:] != a[:-1]) | (b[1:] != b[:-1])
    return a[keep], b[keep], values[keep]


# --------------------------------------------------------------------------
# Connected components: alternating large-star and small-star steps
# (Kiveris et al., "Connected Components in MapReduce and Beyond", 2014).
# Edges are (a, b) with a < b; each step groups them by one endpoint after a shuffle.


def directed(part: pd.DataFrame) -> pd.DataFrame:
    """Both orientations (src, dst) of each edge, for the large-star step."""
    a, b = part["id_a"].to_numpy(), part["id_b"].to_numpy()
    return pd.DataFrame({"src": np.concatenate([a, b]), "dst": np.concatenate([b, a])})


def _groups(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    boundary = np.flatnonzero(np.concatenate([[True], keys[1:] != keys[:-1]]))
    return boundary, np.diff(np.concatenate([boundary, [len(keys)]]))


def large_star(part: pd.DataFrame) -> tuple[pd.DataFrame, int]:
    """For every node u: link each larger neighbour to the smallest of u and its neighbours."""
    if len(part) == 0:
        return EDGE_META, 0
    src, dst = unique_pairs(part["src"].to_numpy(), part["dst"].to_numpy())  # sorted by src
    starts, lengths = _groups(src)
    smallest = np.minimum(src[starts], np.minimum.reduceat(dst, starts))
    m = np.repeat(smallest, lengths)
    larger = dst > src
    has_larger = np.logical_or.reduceat(larger, starts)
    changes = int((has_larger & (smallest < src[starts])).sum())
    a, b = unique_pairs(m[larger], dst[larger])
    return pd.DataFrame({"id_a": a, "id_b": b}), changes


def small_star(part: pd.DataFrame) -> tuple[pd.DataFrame, int]:
    """For every node u: link u and its smaller neighbours to the smallest of them (edges grouped by id_b)."""
    if len(part) == 0:
        return EDGE_META, 0
    b, a = unique_pairs(part["id_b"].to_numpy(), part["id_a"].to_numpy())  # sorted by the larger end
    starts, lengths = _groups(b)
    smallest = np.minimum.reduceat(a, starts)
    m = np.repeat(smallest, lengths)
    changes = int((lengths >= 2).sum())
    others = a != m
    out_a = np.concatenate([smallest, m[others]])
    out_b = np.concatenate([b[starts], a[others]])
    out_a, out_b = unique_pairs(out_a, out_b)
    return pd.DataFrame({"id_a": out_a, "id_b": out_b}), changes


def star_members(part: pd.DataFrame) -> pd.DataFrame:
    """(id, group) rows of converged stars: every leaf and every centre (duplicates possible)."""
    a, b = part["id_a"].to_numpy(), part["id_b"].to_numpy()
    return pd.DataFrame({"id": np.concatenate([b, a]), "group": np.concatenate([a, a])})


def sort_groups(part: pd.DataFrame) -> pd.DataFrame:
    return part.iloc[np.argsort(part["id"].to_numpy(), kind="stable")].reset_index(drop=True)


def sort_pairs(part: pd.DataFrame) -> pd.DataFrame:
    order = np.lexsort((part["id_b"].to_numpy(), part["id_a"].to_numpy()))
    return part.iloc[order].reset_index(drop=True)


def component_labels(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(ids, group) of every id in some edge (a[i], b[i]): the smallest id of its connected component.

    Minimum-label hooking with pointer jumping on the edges held in memory; the labels are unique,
    so this gives exactly what the star steps give."""
    ids, inverse = np.unique(np.concatenate([a, b]), return_inverse=True)
    ea, eb = inverse[: len(a)], inverse[len(a) :]
    label = np.arange(len(ids))
    while True:
        la, lb = label[ea], label[eb]
        if np.array_equal(la, lb):
            break
        low = np.minimum(la, lb)
        np.minimum.at(label, la, low)
        np.minimum.at(label, lb, low)
        while True:
            jumped = label[label]
            if np.array_equal(jumped, label):
                break
            label = jumped
    return ids, ids[label]


def in_sorted(values: np.ndarray, sorted_values: np.ndarray) -> np.ndarray:
    """Which of `values` are in `sorted_values` (ascending): a binary search each, no sort."""
    at = np.searchsorted(sorted_values, values)
    hit = at < len(sorted_values)
    hit[hit] = sorted_values[at[hit]] == values[hit]
    return hit


# --------------------------------------------------------------------------
# Exact pairs between two sets of rows


def product_slack(dim: int) -> float:
    """A bound on |cosine - P / (|q| |x|)| for the float32 product P of two rows of `dim` floats
    summed in any order (each term through at most dim + 2 roundings of 2^-24: Higham's gamma, times
    the Cauchy-Schwarz |q| |x|), the norms taken in float64, and the exact cosine's own roundings
    (gamma_(2 dim + 8) of 2^-53, four times, as the batch engine bounds them); 2^-40 covers
    underflow and a flush-to-zero mode, at most 2^-126 per term."""
    u, w = 2.0**-24, 2.0**-53

    def gamma(k: int, e: float) -> float:
        return k * e / (1 - k * e)

    return (gamma(dim + 2, u) + 4 * gamma(2 * dim + 8, w)) * (1 + 2.0**-20) + 2.0**-40


def pairs_between(queries: np.ndarray, rows: np.ndarray, threshold: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every pair (query i, row j) of normalised float32 rows whose exact cosine is >= threshold:
    (i, j, cosine), by i then j. A float32 product of every query with every row (the batch engine's
    cell scan, the rows as the owners of one cell) rules out the pairs below a rigorous bound
    (`product_slack`); the others are decided on their exact cosines."""
    import ambrel_batch as ab

    none = np.zeros(0, np.int64)
    if len(queries) == 0 or len(rows) == 0:
        return none, none, np.zeros(0)
    q_norms = np.sqrt(np.einsum("ij,ij->i", queries.astype(np.float64), queries.astype(np.float64)))
    r_norms = np.sqrt(np.einsum("ij,ij->i", rows.astype(np.float64), rows.astype(np.float64)))
    low = threshold - product_slack(rows.shape[1])
    n = r_norms.min() if low >= 0 else r_norms.max()
    limits = np.nextafter((low * q_norms * n).astype(np.float32), np.float32(-np.inf))
    m = len(queries)
    q, r, _ = ab.cell_candidates(
        queries,
        limits,
        rows,
        np.array([0, len(rows)], np.int64),
        np.zeros(2, np.int64),
        none,
        np.zeros(1, np.int64),
        np.array([0, m], np.int64),
        np.arange(m, dtype=np.int64),
        np.zeros(m, np.uint8),
        threads=1,
    )
    if len(q) == 0:
        return none, none, np.zeros(0)
    both = np.concatenate([queries[q], rows[r]])
    cos = ab.cosine_pairs(both, np.arange(len(q)), np.arange(len(q), 2 * len(q)), threads=1)
    hit = cos >= threshold
    order = np.lexsort((r[hit], q[hit]))
    return q[hit][order], r[hit][order], cos[hit][order]
