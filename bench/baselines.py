"""Exact truth and the baselines the deduplication pipeline is measured against.

- `exact_pairs`: every pair at or above a threshold, decided by float64 cosines
  (candidates from float32 products in tiles at threshold - 1e-4, then the exact
  float64 cosine of the two stored rows); cached per data set and threshold in
  ~/.cache/ambrel-bench/truth (or $AMBREL_BENCH_CACHE/truth).
- FAISS IndexFlatIP range_search (exact in float32), IndexIVFFlat (nlist =
  4 sqrt(N), nprobe 8 and 16; train, add and range_search), HNSW (usearch:
  k-NN with k = 32, then the neighbours at or above the threshold), all on
  `THREADS` threads.
- `run_ours`: the pipeline through its public `ambrel_dedup.run` API.
- Decisions (bench/decisions.py): `greedy` (the sequential greedy rule on any
  pairs, rows ranked by id), `faiss_ivf_decision` (IVF pairs, then that rule)
  and `semhash_decision` (semhash's own self_deduplicate, fed the cached
  embeddings through `RowEncoder`: nothing is downloaded).

Pairs are kept as int64 keys i * N + j (i < j), so that sets of millions of
pairs compare with numpy.
"""

from __future__ import annotations

import math
import os
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pandas as pd

try:
    import faiss  # type: ignore[import-not-found]
except ImportError:
    faiss = None
try:
    import usearch.index as usearch_index  # type: ignore[import-not-found]
except ImportError:
    usearch_index = None


def semhash_module():
    """The semhash package, or None where it is not installed (imported on first use: it is slow to
    import). Its hub client is put offline first: the benchmark gives it an encoder, and nothing may
    be fetched."""
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    try:
        import semhash  # type: ignore[import-not-found]
    except ImportError:
        return None
    return semhash


CACHE = Path(os.environ.get("AMBREL_BENCH_CACHE", "~/.cache/ambrel-bench")).expanduser()
THREADS = 2
MARGIN = 1e-4  # float32 products can be this far below the float64 cosine
TILE = 8192
HNSW_K = 32
HNSW = {"connectivity": 16, "expansion_add": 128, "expansion_search": 64}

Log = Callable[[str], None]


def unit32(vectors: np.ndarray) -> np.ndarray:
    """Rows scaled to unit length in float32 (zero rows stay zero)."""
    x = np.asarray(vectors, dtype=np.float32)
    norms = np.linalg.norm(x.astype(np.float64), axis=1, keepdims=True)
    return (x / np.where(norms > 0, norms, 1.0)).astype(np.float32)


def keys(i: np.ndarray, j: np.ndarray, n: int) -> np.ndarray:
    """Sorted unique keys of the pairs (min, max), self pairs dropped."""
    i, j = np.asarray(i, np.int64), np.asarray(j, np.int64)
    lo, hi = np.minimum(i, j), np.maximum(i, j)
    keep = lo != hi
    return np.unique(lo[keep] * n + hi[keep])


def _exact(vectors: np.ndarray, threshold: float, log: Log | None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    u32 = unit32(vectors)
    x64 = np.asarray(vectors, dtype=np.float64)
    norms = np.linalg.norm(x64, axis=1, keepdims=True)
    u64 = x64 / np.where(norms > 0, norms, 1.0)
    n = len(u32)
    out_i, out_j, out_c = [], [], []
    started = time.time()
    for r0 in range(0, n, TILE):
        r1 = min(n, r0 + TILE)
        for c0 in range(r0, n, TILE):
            c1 = min(n, c0 + TILE)
            rows, cols = np.nonzero(u32[r0:r1] @ u32[c0:c1].T >= threshold - MARGIN)
            rows, cols = rows + r0, cols + c0
            upper = cols > rows
            rows, cols = rows[upper], cols[upper]
            cos = np.einsum("ij,ij->i", u64[rows], u64[cols])
            keep = cos >= threshold
            out_i.append(rows[keep])
            out_j.append(cols[keep])
            out_c.append(cos[keep])
        if log and r1 < n and (r0 // TILE) % 8 == 7:
            done = 1 - ((n - r1) / n) ** 2
            log(f"exact truth: {done:.0%} after {time.time() - started:.0f} s")
    if not out_i:
        return np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0)
    return np.concatenate(out_i).astype(np.int64), np.concatenate(out_j).astype(np.int64), np.concatenate(out_c)


def exact_pairs(
    vectors: np.ndarray, threshold: float, key: str | None = None, log: Log | None = None
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every pair (i, j), i < j, whose float64 cosine is at least `threshold`: (i, j, cosine).

    With a `key` naming the data set, the pairs are cached; a cached answer at a
    lower threshold serves a higher one.
    """
    if key is None:
        return _exact(vectors, threshold, log)
    where = CACHE / "truth"
    for path in sorted(where.glob(f"{key}-t*.npz"), key=lambda p: -float(p.stem.rsplit("-t", 1)[1])):
        if float(path.stem.rsplit("-t", 1)[1]) <= threshold:
            with np.load(path) as f:
                keep = f["c"] >= threshold
                return f["i"][keep], f["j"][keep], f["c"][keep]
    i, j, c = _exact(vectors, threshold, log)
    where.mkdir(parents=True, exist_ok=True)
    tmp = where / f"{key}-t{threshold:.4f}.tmp.npz"
    np.savez(tmp, i=i, j=j, c=c)
    tmp.rename(where / f"{key}-t{threshold:.4f}.npz")
    return i, j, c


def families(i: np.ndarray, j: np.ndarray, n: int) -> np.ndarray:
    """Sizes of the connected groups of rows that the pairs link (largest first)."""
    parent = np.arange(n)
    while True:
        while True:  # every row straight to its root
            grand = parent[parent]
            if np.array_equal(grand, parent):
                break
            parent = grand
        ri, rj = parent[i], parent[j]
        differ = ri != rj
        if not differ.any():
            break
        np.minimum.at(parent, np.maximum(ri, rj)[differ], np.minimum(ri, rj)[differ])
    sizes = np.bincount(parent, minlength=n)
    return np.sort(sizes[sizes > 1])[::-1]


def set_threads(threads: int = THREADS) -> None:
    if faiss is not None:
        faiss.omp_set_num_threads(threads)


def _range_keys(lims: np.ndarray, ids: np.ndarray, n: int) -> np.ndarray:
    rows = np.repeat(np.arange(len(lims) - 1), np.diff(lims.astype(np.int64)))
    return keys(rows, ids, n)


def faiss_flat(unit: np.ndarray, threshold: float) -> tuple[float, np.ndarray]:
    started = time.perf_counter()
    index = faiss.IndexFlatIP(unit.shape[1])
    index.add(unit)
    lims, _, ids = index.range_search(unit, threshold)
    return time.perf_counter() - started, _range_keys(lims, ids, len(unit))


def ivf_index(unit: np.ndarray):
    """IndexIVFFlat (inner product, nlist = 4 sqrt(N)) trained on the rows and holding them."""
    n, dim = unit.shape
    index = faiss.IndexIVFFlat(faiss.IndexFlatIP(dim), dim, max(1, round(4 * math.sqrt(n))), faiss.METRIC_INNER_PRODUCT)
    index.train(unit)
    index.add(unit)
    return index


def faiss_ivf(
    unit: np.ndarray, threshold: float, nprobes: tuple[int, ...] = (8, 16)
) -> list[tuple[int, float, np.ndarray]]:
    """(nprobe, seconds of train + add + range_search, pair keys) for each nprobe, on one trained index."""
    n = len(unit)
    started = time.perf_counter()
    index = ivf_index(unit)
    built = time.perf_counter() - started
    out = []
    for nprobe in nprobes:
        index.nprobe = nprobe
        started = time.perf_counter()
        lims, _, ids = index.range_search(unit, threshold)
        out.append((nprobe, built + time.perf_counter() - started, _range_keys(lims, ids, n)))
    return out


def faiss_ivf_pairs(
    vectors: np.ndarray, threshold: float, nprobe: int = 8
) -> tuple[float, np.ndarray, np.ndarray, np.ndarray]:
    """IndexIVFFlat (nlist 4 sqrt(N)) at `nprobe`: (seconds of normalising, train, add and
    range_search; i; j; the float32 inner products), i < j, each pair once."""
    started = time.perf_counter()
    unit = unit32(vectors)
    index = ivf_index(unit)
    index.nprobe = nprobe
    lims, sims, ids = index.range_search(unit, threshold)
    seconds = time.perf_counter() - started
    rows = np.repeat(np.arange(len(unit), dtype=np.int64), np.diff(lims.astype(np.int64)))
    ids = ids.astype(np.int64)
    upper = ids > rows  # each pair is found from both ends (or from one, when the other's probes miss it)
    i = np.concatenate([rows[upper], ids[~upper]])
    j = np.concatenate([ids[upper], rows[~upper]])
    c = np.concatenate([sims[upper], sims[~upper]])
    keep = i != j
    key, first = np.unique(i[keep] * len(unit) + j[keep], return_index=True)
    return seconds, key // len(unit), key % len(unit), c[keep][first].astype(np.float64)


def greedy(n: int, i: np.ndarray, j: np.ndarray, cosine: np.ndarray):
    """The sequential greedy rule on rows 0 .. n-1 ranked by id (smallest first) and the pairs
    (i, j, cosine): an `ambrel_batch.GreedyKeep` (keep, duplicate_of, cosine per row)."""
    import ambrel_batch

    return ambrel_batch.greedy_keep(n, np.asarray(i, np.int64), np.asarray(j, np.int64), np.asarray(cosine, np.float64))


def faiss_ivf_decision(vectors: np.ndarray, threshold: float, nprobe: int = 8) -> tuple[float, np.ndarray, np.ndarray]:
    """FAISS IVF's pairs, then the greedy rule on them: (seconds of both, removed mask, duplicate_of)."""
    seconds, i, j, c = faiss_ivf_pairs(vectors, threshold, nprobe)
    started = time.perf_counter()
    found = greedy(len(vectors), i, j, c)
    return seconds + time.perf_counter() - started, ~found.keep, found.duplicate_of


class RowEncoder:
    """An encoder for semhash whose records are row numbers written as text: `encode` returns
    those rows of the given embeddings (nothing is computed or fetched)."""

    def __init__(self, vectors: np.ndarray) -> None:
        self.vectors = np.asarray(vectors, dtype=np.float32)

    def encode(self, inputs, **kwargs) -> np.ndarray:
        rows = np.fromiter((int(x) for x in ([inputs] if isinstance(inputs, str) else inputs)), dtype=np.int64)
        return self.vectors[rows]


def semhash_decision(vectors: np.ndarray, threshold: float) -> tuple[float, np.ndarray, np.ndarray]:
    """semhash: `SemHash.from_records` (its index, default ANN backend) on the row numbers as
    records, then `self_deduplicate(threshold)`: (seconds of both, removed mask, duplicate_of,
    -1 for kept rows). Records are kept in input order, which semhash decides first to last."""
    semhash = semhash_module()
    n = len(vectors)
    records = [str(r) for r in range(n)]
    encoder = RowEncoder(vectors)
    started = time.perf_counter()
    deduper = semhash.SemHash.from_records(records=records, model=encoder)
    result = deduper.self_deduplicate(threshold=threshold)
    seconds = time.perf_counter() - started
    removed = np.zeros(n, bool)
    duplicate_of = np.full(n, -1, np.int64)
    for dup in result.filtered:
        removed[int(dup.record)] = True
        duplicate_of[int(dup.record)] = int(dup.duplicate_of)
    if len(result.selected) + int(removed.sum()) != n:
        raise RuntimeError(f"semhash returned {len(result.selected)} + {int(removed.sum())} records of {n}")
    return seconds, removed, duplicate_of


def hnsw(unit: np.ndarray, threshold: float, k: int = HNSW_K) -> tuple[float, np.ndarray]:
    """usearch HNSW: build, k nearest neighbours of every row (itself included), cut at the threshold."""
    n, dim = unit.shape
    started = time.perf_counter()
    index = usearch_index.Index(ndim=dim, metric="ip", dtype="f32", **HNSW)
    index.add(np.arange(n), unit, threads=THREADS)
    matches = index.search(unit, k, threads=THREADS)
    seconds = time.perf_counter() - started
    found = matches.keys.astype(np.int64)
    sims = 1.0 - matches.distances
    keep = (sims >= threshold) & (found >= 0) & (found < n)
    rows = np.repeat(np.arange(n), found.shape[1]).reshape(found.shape)
    return seconds, keys(rows[keep], found[keep], n)


def run_ours(vectors: np.ndarray, threshold: float, client=None) -> tuple[float, np.ndarray, np.ndarray, dict]:
    """The pipeline on these rows (ids are row numbers): (seconds, id_a, id_b, summary) of what it reports.

    Goes through the public `ambrel_dedup.run(source, output, threshold, ...)`
    only, on its default engine or on `client`; the seconds are the whole call,
    reading the .npy and writing the output included. Exact copies are reported
    against a representative, so every near pair of representatives stands for
    the pairs of their copies too: those are added.
    """
    from ambrel_dedup import run

    with tempfile.TemporaryDirectory(prefix="ambrel-bench-ours-") as tmp:
        source = Path(tmp) / "vectors.npy"
        np.save(source, np.ascontiguousarray(vectors, dtype=np.float32))
        started = time.perf_counter()
        result = run(source, Path(tmp) / "out", threshold, client=client)
        seconds = time.perf_counter() - started
        pairs = pd.read_parquet(result.output / "pairs.parquet")
    a, b = pairs["id_a"].to_numpy(np.int64), pairs["id_b"].to_numpy(np.int64)
    if "exact" in pairs:
        exact = pairs["exact"].to_numpy(bool)
        a, b = _with_copies(a[~exact], b[~exact], a[exact], b[exact])
    return seconds, a, b, result.summary


def _with_copies(a: np.ndarray, b: np.ndarray, ea: np.ndarray, eb: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Near pairs (a, b) and exact pairs (ea, eb): every pair that they stand for."""
    groups: dict[int, list[int]] = {}  # id -> the ids exactly equal to it, itself included
    for x, y in zip(ea.tolist(), eb.tolist()):
        gx, gy = groups.get(x, [x]), groups.get(y, [y])
        if gx is not gy:
            merged = gx + gy
            for m in merged:
                groups[m] = merged
    if not groups:
        return a, b
    ids = np.fromiter(groups, dtype=np.int64)
    touched = np.isin(a, ids) | np.isin(b, ids)
    extra = [
        (p, q)
        for x, y in zip(a[touched].tolist(), b[touched].tolist())
        for p in groups.get(x, [x])
        for q in groups.get(y, [y])
    ]
    extra += [(p, q) for g in {id(g): g for g in groups.values()}.values() for p in g for q in g if p < q]
    pa, pb = (np.array(v, dtype=np.int64) for v in zip(*extra))
    return np.concatenate([a[~touched], pa]), np.concatenate([b[~touched], pb])


def score(found: np.ndarray, truth: np.ndarray) -> tuple[float, float]:
    """(recall, precision) of found pair keys against the true ones."""
    hit = len(np.intersect1d(found, truth, assume_unique=True))
    return (hit / len(truth) if len(truth) else 1.0), (hit / len(found) if len(found) else 1.0)
