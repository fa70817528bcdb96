"""Per-partition work: plain numpy on one partition, run inside the Dask tasks.

Frames passed between stages hold only fixed-width numbers: int64 ids and uint64
words (fingerprints, packed codes, bucket keys, sketches), so shuffles move
compact blocks and never Python objects.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .params import LshParams

PAIR_BATCH = 1 << 22  # candidate pairs materialised at once inside one bucket partition
MAX_TASK_PAIRS = 1 << 24  # distinct candidate pairs one bucket task may hold before it chains every bucket
CHAIN_WINDOW = 2  # a member of a dense bucket is paired with this many members after it
_U64 = np.uint64


@dataclass(frozen=True)
class Layout:
    """Where things sit in a signed row."""

    params: LshParams

    @property
    def code_words(self) -> int:
        return -(-self.params.families * self.params.code_bytes // 8)

    @property
    def code_columns(self) -> list[str]:
        return [f"c{i}" for i in range(self.code_words)]

    @property
    def signed_columns(self) -> list[str]:
        return ["id", "s0", "s1", "s2", "s3", *self.code_columns]


def frame(columns: dict[str, Any], n: int = 0) -> pd.DataFrame:
    return pd.DataFrame({name: np.zeros(n, dtype=dtype) for name, dtype in columns.items()})


def signed_meta(layout: Layout) -> pd.DataFrame:
    return frame({"id": np.int64, **dict.fromkeys(layout.signed_columns[1:], np.uint64)})


EDGE_META = frame({"id_a": np.int64, "id_b": np.int64})
BAND_META = frame({"key": np.uint64, "id": np.int64, "sketch": np.uint64})
PAIRS_META = frame({"id_a": np.int64, "id_b": np.int64, "hamming": np.int64, "cosine": np.float64})


# --------------------------------------------------------------------------
# Sign


_HEX = np.full(256, 0, dtype=np.uint8)
_HEX[np.frombuffer(b"0123456789", dtype=np.uint8)] = np.arange(10, dtype=np.uint8)
_HEX[np.frombuffer(b"abcdef", dtype=np.uint8)] = np.arange(10, 16, dtype=np.uint8)


def hex_digests_to_words(digests: np.ndarray) -> np.ndarray:
    """(n,) 'S64' hex digests -> (n, 4) uint64 holding the 32 digest bytes."""
    chars = np.frombuffer(digests.tobytes(), dtype=np.uint8).reshape(len(digests), 64)
    nibbles = _HEX[chars]
    raw = (nibbles[:, 0::2] << 4) | nibbles[:, 1::2]
    return np.ascontiguousarray(raw).view(_U64)


def codes_to_words(codes: np.ndarray) -> np.ndarray:
    """(n, F, B/8) packed codes -> (n, words) uint64, the families' bytes back to back, zero padded."""
    n = codes.shape[0]
    flat = codes.reshape(n, -1)
    pad = -flat.shape[1] % 8
    if pad:
        flat = np.concatenate([flat, np.zeros((n, pad), dtype=np.uint8)], axis=1)
    return np.ascontiguousarray(flat).view(_U64)


def words_to_bytes(words: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(words, dtype=_U64).view(np.uint8)


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


def sign_partition(data: tuple[np.ndarray, np.ndarray], layout: Layout) -> tuple[pd.DataFrame, np.ndarray]:
    """Normalises, signs and fingerprints one partition: id, fingerprint words s0..s3, code words c*;
    and the ids of its zero rows, which are left out."""
    import ambrel_batch as ab

    ids, vectors = data
    if len(ids) == 0:
        return signed_meta(layout), np.zeros(0, np.int64)
    scaled, zero = scale_rows(vectors)
    zero_ids = ids[zero].astype(np.int64)
    if zero.any():
        ids, scaled = ids[~zero], scaled[~zero]
        if len(ids) == 0:
            return signed_meta(layout), zero_ids
    p = layout.params
    unit = ab.normalize_batch(scaled, threads=1)
    res = ab.simhash_lsh_batch(unit, p.families, p.bits, p.bands, threads=1)
    digests = ab.sha256_batch(unit, threads=1)
    words = np.concatenate([hex_digests_to_words(digests), codes_to_words(np.asarray(res.codes))], axis=1)
    out = pd.DataFrame(words, columns=layout.signed_columns[1:], copy=False)
    out.insert(0, "id", ids.astype(np.int64, copy=False))
    return out, zero_ids


# --------------------------------------------------------------------------
# Exact duplicates


def split_exact(part: pd.DataFrame, layout: Layout) -> tuple[pd.DataFrame, pd.DataFrame, int]:
    """Rows with equal fingerprints (all in this partition after the shuffle by fingerprint).

    Returns the representatives (smallest id of each fingerprint: id and code words),
    one edge (representative, copy) for every other row, and the number of representatives.
    """
    keep = ["id", *layout.code_columns]
    if len(part) == 0:
        return part[keep], EDGE_META, 0
    ids = part["id"].to_numpy()
    s = [part[f"s{i}"].to_numpy() for i in range(4)]
    order = np.lexsort((ids, s[3], s[2], s[1], s[0]))
    first = np.ones(len(order), dtype=bool)
    first[1:] = np.zeros(len(order) - 1, dtype=bool)
    for col in s:
        sc = col[order]
        first[1:] |= sc[1:] != sc[:-1]
    group_start = np.maximum.accumulate(np.where(first, np.arange(len(order)), 0))
    ids_sorted = ids[order]
    reps = part.iloc[np.sort(order[first])][keep].reset_index(drop=True)
    copies = ~first
    edges = pd.DataFrame({"id_a": ids_sorted[group_start[copies]], "id_b": ids_sorted[copies]})
    return reps, edges, len(reps)


# --------------------------------------------------------------------------
# Bucket keys


def _be64(padded: np.ndarray, byte_offsets: np.ndarray) -> np.ndarray:
    """Big-endian 64-bit words read at these byte offsets of every row: (n, len(offsets))."""
    idx = byte_offsets[:, None] + np.arange(8)[None, :]
    gathered = np.ascontiguousarray(padded[:, idx])  # (n, k, 8)
    return gathered.view(">u8")[..., 0].astype(_U64)


def _bits(padded: np.ndarray, bit_offsets: np.ndarray, width: int) -> np.ndarray:
    """`width` (<= 64) bits starting at each bit offset (multiples of 4), as integers: (n, k)."""
    byte = bit_offsets // 8
    shift = (bit_offsets % 8).astype(_U64)
    hi = _be64(padded, byte)
    nxt = padded[:, byte + 8].astype(_U64)
    with np.errstate(over="ignore"):
        joined = np.where(shift > 0, (hi << shift) | (nxt >> (_U64(8) - shift)), hi)
    return joined >> _U64(64 - width)


def mix64(x: np.ndarray) -> np.ndarray:
    """SplitMix64's finaliser: a bijection of 64-bit words that spreads every input bit."""
    with np.errstate(over="ignore"):
        z = np.asarray(x, dtype=_U64) + _U64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> _U64(30))) * _U64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> _U64(27))) * _U64(0x94D049BB133111EB)
        return z ^ (z >> _U64(31))


def band_positions(params: LshParams) -> tuple[np.ndarray, np.ndarray]:
    """(family, bit offset inside the row's code bytes) of each band used as a bucket key."""
    k = params.bands_per_family
    fam = np.arange(params.tables) // k
    band = np.arange(params.tables) % k
    return fam, fam * params.code_bytes * 8 + band * params.band_bits


def bucket_keys(code_bytes: np.ndarray, params: LshParams) -> np.ndarray:
    """One 64-bit key per (row, used band) that identifies (family, band position, band text).

    When the band and its index fit in 64 bits the key is index << width | value and
    distinct bands never share a key; wider bands are hashed (a collision only adds
    a candidate that verification then rejects).
    """
    n = code_bytes.shape[0]
    padded = np.concatenate([code_bytes, np.zeros((n, 9), dtype=np.uint8)], axis=1)
    _, offsets = band_positions(params)
    width = params.band_bits
    index = np.arange(params.tables, dtype=_U64)[None, :]
    index_bits = max(1, (params.tables - 1).bit_length())
    if width + index_bits <= 64:
        return (index << _U64(width)) | _bits(padded, offsets, width)
    key = np.broadcast_to(mix64(index + _U64(1)), (n, params.tables)).copy()
    for start in range(0, width, 64):
        piece = _bits(padded, offsets + start, min(64, width - start))
        key = mix64(key ^ piece)
    return key


def sketches(code_bytes: np.ndarray, params: LshParams) -> np.ndarray:
    """The sketch carried by each used band: the first 64 bits of the next family (n, tables)."""
    n = code_bytes.shape[0]
    padded = np.concatenate([code_bytes, np.zeros((n, 9), dtype=np.uint8)], axis=1)
    fam, _ = band_positions(params)
    other = (np.arange(params.families) + 1) % params.families
    per_family = _be64(padded, other * params.code_bytes)
    return per_family[:, fam]


def band_rows(reps: pd.DataFrame, layout: Layout) -> pd.DataFrame:
    """One row (key, id, sketch) per representative and used band."""
    if len(reps) == 0:
        return BAND_META
    p = layout.params
    code_bytes = words_to_bytes(reps[layout.code_columns].to_numpy())
    keys = bucket_keys(code_bytes, p)
    sk = sketches(code_bytes, p)
    ids = np.repeat(reps["id"].to_numpy(), p.tables)
    return pd.DataFrame({"key": keys.reshape(-1), "id": ids, "sketch": sk.reshape(-1)})


# --------------------------------------------------------------------------
# Buckets to candidate pairs


@dataclass
class BucketStats:
    band_rows: int = 0
    buckets: int = 0  # buckets with at least two members
    largest_bucket: int = 0
    chained_buckets: int = 0  # buckets linked along a chain instead of pair by pair
    pairs_in_buckets: int = 0  # all pairs of all buckets, chained or not
    pairs_skipped: int = 0  # pairs of chained buckets that were not compared
    pairs_sketch_rejected: int = 0
    candidates: int = 0  # after the sketch, distinct within the partition

    def add(self, other: BucketStats) -> BucketStats:
        merged = BucketStats()
        for name in self.__dataclass_fields__:
            a, b = getattr(self, name), getattr(other, name)
            setattr(merged, name, max(a, b) if name == "largest_bucket" else a + b)
        return merged


def segment_pairs(starts: np.ndarray, lengths: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Every pair (i, j), i < j, of positions inside each segment [start, start + length)."""
    reps = np.maximum(lengths - 1, 0)
    rows = np.repeat(starts, reps) + (np.arange(reps.sum()) - np.repeat(np.cumsum(reps) - reps, reps))
    after = np.repeat(starts + lengths, reps) - rows - 1
    left = np.repeat(rows, after)
    right = left + 1 + (np.arange(after.sum()) - np.repeat(np.cumsum(after) - after, after))
    return left, right


def chain_pairs(starts: np.ndarray, lengths: np.ndarray, window: int) -> tuple[np.ndarray, np.ndarray]:
    """Each position paired with the next `window` positions of its segment: (i, i + 1 .. i + window)."""
    if len(starts) == 0:
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    pos = np.repeat(starts, lengths) + (np.arange(lengths.sum()) - np.repeat(np.cumsum(lengths) - lengths, lengths))
    end = np.repeat(starts + lengths, lengths)
    left, right = [], []
    for step in range(1, window + 1):
        ok = pos + step < end
        left.append(pos[ok])
        right.append(pos[ok] + step)
    return np.concatenate(left), np.concatenate(right)


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


class _PairSet:
    """Distinct (a, b) pairs, de-duplicated as batches arrive so that repeats never pile up."""

    def __init__(self) -> None:
        self.a: list[np.ndarray] = []
        self.b: list[np.ndarray] = []
        self.pending = 0
        self.distinct = 0

    def add(self, a: np.ndarray, b: np.ndarray) -> None:
        self.a.append(a)
        self.b.append(b)
        self.pending += len(a)
        if self.pending > max(PAIR_BATCH, self.distinct):
            self.compact()

    def compact(self) -> None:
        if len(self.a) > 1 or self.pending:
            a, b = unique_pairs(np.concatenate(self.a), np.concatenate(self.b)) if self.a else (_I64, _I64)
            self.a, self.b = [a], [b]
            self.distinct, self.pending = len(a), 0

    def frame(self) -> pd.DataFrame:
        self.compact()
        if not self.a:
            return EDGE_META
        return pd.DataFrame({"id_a": self.a[0], "id_b": self.b[0]})


_I64 = np.zeros(0, np.int64)


def bucket_pairs(
    part: pd.DataFrame, cap: int, sketch_max: int, max_pairs: int = MAX_TASK_PAIRS
) -> tuple[pd.DataFrame, BucketStats]:
    """Candidate pairs of one partition of band rows (every row of a key is in this partition).

    A bucket of at most `cap` members gives all its pairs. A larger one, a dense
    bucket, is linked along a chain: its members in a fixed pseudo-random order of
    their ids (the same in every band, so that the bands of a family of
    near-identical rows give the same few pairs), each paired with the next
    CHAIN_WINDOW members. That is about CHAIN_WINDOW pairs per member instead of
    n (n - 1) / 2, and it links a dense family into one group through pairs that
    verification confirms; the pairs not compared are counted as skipped. Once the
    distinct pairs of the partition exceed `max_pairs`, the buckets that follow
    (in key order) are chained whatever their size, so that no task holds more
    than about `max_pairs` pairs. Pairs whose sketches differ in more than
    `sketch_max` bits are dropped.
    """
    stats = BucketStats(band_rows=len(part))
    if len(part) < 2:
        return EDGE_META, stats
    keys = part["key"].to_numpy()
    ids = part["id"].to_numpy()
    sk = part["sketch"].to_numpy()
    # Most keys occur once. Sorting the bare keys (much faster than an index sort) finds the
    # shared ones; only their rows are then ordered by (key, chain order).
    plain = np.sort(keys)
    shared = np.unique(plain[1:][plain[1:] == plain[:-1]])
    if len(shared) == 0:
        return EDGE_META, stats
    member = shared[np.minimum(np.searchsorted(shared, keys), len(shared) - 1)] == keys
    keys, ids, sk = keys[member], ids[member], sk[member]
    # mix64 is a bijection, so ids never tie in the chain order; keys are then sorted stably.
    order = np.argsort(mix64(ids.view(_U64)))
    order = order[np.argsort(keys[order], kind="stable")]
    keys, ids, sk = keys[order], ids[order], sk[order]
    boundary = np.flatnonzero(np.concatenate([[True], keys[1:] != keys[:-1], [True]]))
    starts, lengths = boundary[:-1], np.diff(boundary)
    multi = lengths >= 2
    starts, lengths = starts[multi], lengths[multi]
    if len(starts) == 0:
        return EDGE_META, stats
    stats.buckets = len(starts)
    stats.largest_bucket = int(lengths.max())
    all_pairs = lengths * (lengths - 1) // 2
    stats.pairs_in_buckets = int(all_pairs.sum())
    found = _PairSet()

    def emit(left: np.ndarray, right: np.ndarray) -> None:
        close = np.bitwise_count(sk[left] ^ sk[right]) <= sketch_max
        stats.pairs_sketch_rejected += int(len(left) - close.sum())
        ia, ib = ids[left[close]], ids[right[close]]
        found.add(np.minimum(ia, ib), np.maximum(ia, ib))

    # Buckets are taken in key order: runs of dense ones are chained, the others give all their
    # pairs in batches of about PAIR_BATCH pairs, until the partition holds too many.
    dense = lengths > cap
    batch = max(1, min(PAIR_BATCH, max_pairs // 4))
    edges = np.flatnonzero(np.concatenate([[True], dense[1:] != dense[:-1], [True]]))
    for lo, hi in zip(edges[:-1].tolist(), edges[1:].tolist()):
        if dense[lo]:
            emit(*chain_pairs(starts[lo:hi], lengths[lo:hi], CHAIN_WINDOW))
            continue
        cuts = np.searchsorted(np.cumsum(all_pairs[lo:hi]), np.arange(batch, all_pairs[lo:hi].sum(), batch))
        bounds = np.unique(np.concatenate([[0], np.minimum(cuts + 1, hi - lo), [hi - lo]])) + lo
        for i, j in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
            if found.distinct + found.pending > max_pairs:
                found.compact()
                if found.distinct > max_pairs:
                    dense[i:] = True
                    emit(*chain_pairs(starts[i:], lengths[i:], CHAIN_WINDOW))
                    break
            emit(*segment_pairs(starts[i:j], lengths[i:j]))
        else:
            continue
        break
    chained = dense
    stats.chained_buckets = int(chained.sum())
    window = np.minimum(lengths[chained] - 1, CHAIN_WINDOW)
    compared = window * lengths[chained] - window * (window + 1) // 2
    stats.pairs_skipped = int((all_pairs[chained] - compared).sum())
    out = found.frame()
    stats.candidates = len(out)
    return out, stats


# --------------------------------------------------------------------------
# Verification


def _lookup(ids: np.ndarray, codes: pd.DataFrame, layout: Layout) -> np.ndarray:
    """Code words of these ids from a partition of representatives holding every one of them."""
    have = codes["id"].to_numpy()
    order = np.argsort(have)
    pos = np.searchsorted(have, ids, sorter=order)
    pos = np.minimum(pos, len(have) - 1) if len(have) else pos
    rows = order[pos] if len(have) else pos
    if len(ids) and (len(have) == 0 or not np.array_equal(have[rows], ids)):
        raise RuntimeError("candidate pairs and codes are not partitioned alike")
    return codes[layout.code_columns].to_numpy()[rows]


def attach_first(cands: pd.DataFrame, codes: pd.DataFrame, layout: Layout) -> tuple[pd.DataFrame, int]:
    """Distinct candidate pairs (column `id` = id_a, partitioned by it) with the code words of id_a,
    and their number."""
    a, b = unique_pairs(cands["id"].to_numpy(), cands["id_b"].to_numpy())
    words = _lookup(a, codes, layout)
    out = pd.DataFrame(words, columns=[f"a_{c}" for c in layout.code_columns])
    out.insert(0, "id_b", b)
    out.insert(0, "id_a", a)
    return out, len(out)


def attach_second_and_verify(cands: pd.DataFrame, codes: pd.DataFrame, layout: Layout) -> tuple[pd.DataFrame, int]:
    """Hamming distance over every family from the packed codes, cosine estimate, threshold.

    `cands` has column `id` = id_b (partitioned by it) and the code words of id_a. Returns
    the pairs whose estimate reaches the threshold and their number.
    """
    import ambrel_batch as ab

    if len(cands) == 0:
        return PAIRS_META, 0
    p = layout.params
    id_b = cands["id"].to_numpy()
    a = words_to_bytes(cands[[f"a_{c}" for c in layout.code_columns]].to_numpy())
    b = words_to_bytes(_lookup(id_b, codes, layout))
    hamming = np.asarray(ab.hamming_distance_pairs(a, b, threads=1), dtype=np.int64)
    cosine = np.asarray(ab.cosine_from_hamming_batch(hamming, p.total_bits), dtype=np.float64)
    keep = cosine >= p.threshold
    out = pd.DataFrame(
        {"id_a": cands["id_a"].to_numpy()[keep], "id_b": id_b[keep], "hamming": hamming[keep], "cosine": cosine[keep]}
    )
    return out, len(out)


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


GROUPS_META = frame({"id": np.int64, "group": np.int64, "keep": bool})


def mark_keepers(part: pd.DataFrame, keep: str) -> tuple[pd.DataFrame, dict[int, int]]:
    """Distinct (id, group) rows of whole groups (shuffled by group), the member kept in each group
    (smallest or largest id) and the number of groups of each size."""
    if len(part) == 0:
        return GROUPS_META, {}
    groups, ids = unique_pairs(part["group"].to_numpy(), part["id"].to_numpy())  # by group, then id
    starts, lengths = _groups(groups)
    chosen = starts if keep == "min" else starts + lengths - 1
    flags = np.zeros(len(ids), dtype=bool)
    flags[chosen] = True
    sizes, counts = np.unique(lengths, return_counts=True)
    out = pd.DataFrame({"id": ids, "group": groups, "keep": flags})
    return out, {int(s): int(c) for s, c in zip(sizes, counts)}


def sort_groups(part: pd.DataFrame) -> pd.DataFrame:
    return part.iloc[np.argsort(part["id"].to_numpy(), kind="stable")].reset_index(drop=True)


def sort_pairs(part: pd.DataFrame) -> pd.DataFrame:
    order = np.lexsort((part["id_b"].to_numpy(), part["id_a"].to_numpy()))
    return part.iloc[order].reset_index(drop=True)
