#!/usr/bin/env python3
"""Find near-duplicate embeddings with ambrel_native.

The pipeline is the one a deduplication job runs over a store of embeddings:

1. normalise every vector (`normalize_vector`), compute its banded SimHash
   signatures (`simhash_lsh_multi`) and its canonical fingerprint
   (`compute_embedding_sha256`);
2. put every vector into one bucket per band; two vectors that share a bucket
   in any band become a candidate pair;
3. verify each candidate pair from the signatures alone: the Hamming distance
   summed over the families (`hamming_distance_hex`) gives an estimated cosine
   (`cosine_from_hamming`), and pairs at or above the threshold are reported;
4. group the vectors with equal fingerprints: these are exact duplicates.

The result is then checked against brute-force cosine similarity computed with
numpy: recall and precision at the threshold, the share of true pairs that
became candidates, and estimated against true cosine for a few pairs.

Without --input the script builds its own data set from a fixed seed: 20,000
embeddings of 384 dimensions grouped in topics, at random norms (as a model
returns them), with 1,000 planted near-duplicate pairs whose cosines run evenly
from 0.99 down to 0.80 and 100 exact copies, some of them stored at another
power-of-two scale. --input embeddings.npy runs the same pipeline on a
two-dimensional array of your own.

Examples:
    python examples/near_duplicates.py
    python examples/near_duplicates.py --threshold 0.85 --plot near_duplicates.png
    python examples/near_duplicates.py --input embeddings.npy --no-truth
"""

from __future__ import annotations

import argparse
import itertools
import math
import multiprocessing
import os
import sys
import time
from collections import defaultdict
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from dataclasses import dataclass, field
from types import TracebackType
from typing import Any, Self

try:
    import numpy as np
except ImportError:
    sys.exit("near_duplicates.py needs numpy: pip install numpy (or pip install -r requirements-demo.txt)")

import ambrel_native as an

try:
    from tqdm import tqdm
except ImportError:  # progress bars are optional
    tqdm = None

TRUTH_LIMIT = 50_000  # brute force is quadratic: above this it runs only with --truth
CHUNK = 250  # vectors per work item


class Bar:
    """A tqdm progress bar, when tqdm is installed and standard error is a terminal."""

    def __init__(self, total: int, desc: str, unit: str, enabled: bool) -> None:
        self._bar = None
        if tqdm is not None and enabled:
            self._bar = tqdm(total=total, desc=desc, unit=unit, unit_scale=True, leave=False, disable=None)

    def update(self, count: int) -> None:
        if self._bar is not None:
            self._bar.update(count)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        if self._bar is not None:
            self._bar.close()


# --------------------------------------------------------------------------
# Data


@dataclass
class Dataset:
    vectors: np.ndarray  # (n, dim) float32, not normalised
    description: str
    planted: list[tuple[int, int, float]] = field(default_factory=list)  # (i, j, cosine) with i < j
    copies: list[tuple[int, int]] = field(default_factory=list)  # (original, copy)


def unit_rows(a: np.ndarray) -> np.ndarray:
    norms: np.ndarray = np.linalg.norm(a, axis=1, keepdims=True)
    return np.asarray(a / norms)


def make_dataset(count: int, dim: int, pairs: int, copies: int, seed: int) -> Dataset:
    """Topic-clustered embeddings at random norms, with planted near duplicates.

    A background vector is a topic centroid plus noise, so that vectors of one
    topic have cosines around 0.4, as embeddings of related texts do. A planted
    pair is a source vector and a partner at an exact cosine between 0.99 and
    0.80. A copy is another vector times a power of two: normalisation removes
    such a scale bit for bit, so the copy has the same fingerprint.
    """
    if count < 2 * (pairs + copies):
        raise SystemExit(f"--count {count} is too small for {pairs} pairs and {copies} copies")
    rng = np.random.default_rng(seed)
    topics = max(1, count // 100)
    centroids = unit_rows(rng.standard_normal((topics, dim)))
    noise = unit_rows(rng.standard_normal((count, dim)))
    base = unit_rows(0.8 * centroids[rng.integers(topics, size=count)] + noise)

    roles = rng.permutation(count)
    sources, partners = roles[:pairs], roles[pairs : 2 * pairs]
    originals = roles[2 * pairs : 2 * pairs + copies]
    duplicates = roles[2 * pairs + copies : 2 * pairs + 2 * copies]

    cosines = np.linspace(0.99, 0.80, pairs)
    x = base[sources]
    z = rng.standard_normal((pairs, dim))
    z -= np.sum(z * x, axis=1, keepdims=True) * x  # orthogonal to the source
    z /= np.maximum(np.linalg.norm(z, axis=1, keepdims=True), 1e-300)
    base[partners] = cosines[:, None] * x + np.sqrt(1.0 - cosines**2)[:, None] * z

    scales = rng.lognormal(mean=1.0, sigma=0.5, size=count)
    vectors = (base * scales[:, None]).astype(np.float32)
    powers = np.float32(2.0) ** rng.integers(-1, 3, size=copies).astype(np.float32)
    vectors[duplicates] = vectors[originals] * powers[:, None]

    planted = [(int(min(a, b)), int(max(a, b)), float(c)) for a, b, c in zip(sources, partners, cosines, strict=True)]
    copied = [(int(a), int(b)) for a, b in zip(originals, duplicates, strict=True)]
    description = (
        f"built-in (seed {seed}): {count:,} vectors of {dim} dimensions in {topics} topics, "
        f"{pairs:,} planted pairs at cosine 0.99 .. 0.80, {copies} exact copies"
    )
    return Dataset(vectors, description, planted, copied)


def load_dataset(path: str) -> Dataset:
    try:
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except (OSError, ValueError) as exc:
        raise SystemExit(f"{path}: cannot read a .npy array: {exc}") from None
    if not isinstance(array, np.ndarray):
        raise SystemExit(f"{path}: expected a single array (.npy), not an archive")
    if array.ndim != 2 or array.shape[0] < 2 or array.shape[1] < 1:
        raise SystemExit(f"{path}: expected a two-dimensional array with at least 2 rows, got shape {array.shape}")
    if not np.issubdtype(array.dtype, np.number) or np.issubdtype(array.dtype, np.complexfloating):
        raise SystemExit(f"{path}: expected real numbers, got dtype {array.dtype}")
    vectors = np.ascontiguousarray(array, dtype=np.float32)
    return Dataset(vectors, f"{path}: {vectors.shape[0]:,} vectors of {vectors.shape[1]} dimensions")


# --------------------------------------------------------------------------
# 1. Normalise, sign and fingerprint


@dataclass
class Signed:
    normalized: np.ndarray  # (n, dim) float32, as normalize_vector returned them
    signatures: list[tuple[str, ...]]  # per vector: one signature per family
    bands: list[tuple[str, ...]]  # per vector: the bands of every family, family after family
    digests: list[str]
    seconds: tuple[float, float, float]  # time spent in normalize, simhash and sha256 calls
    wall: float = 0.0


def sign_chunk(job: tuple[np.ndarray, int, int, int]) -> Signed:
    """Normalises, signs and fingerprints a block of vectors (runs in a worker)."""
    rows, families, bits, bands = job
    normalize, simhash, sha256 = an.normalize_vector, an.simhash_lsh_multi, an.compute_embedding_sha256
    clock = time.perf_counter
    spent = [0.0, 0.0, 0.0]
    normalized, signatures, band_texts, digests = [], [], [], []
    for row in rows.tolist():
        t0 = clock()
        unit = normalize(row)
        t1 = clock()
        records = simhash(unit, families, bits, bands)
        t2 = clock()
        digests.append(sha256(unit))
        t3 = clock()
        spent[0] += t1 - t0
        spent[1] += t2 - t1
        spent[2] += t3 - t2
        normalized.append(unit)
        signatures.append(tuple(r.signature for r in records))
        band_texts.append(tuple(text for r in records for text in r.bands))
    matrix = np.array(normalized, dtype=np.float32).reshape(len(normalized), rows.shape[1])
    return Signed(matrix, signatures, band_texts, digests, (spent[0], spent[1], spent[2]))


def gil_enabled() -> bool:
    check = getattr(sys, "_is_gil_enabled", None)
    return True if check is None else bool(check())


def make_executor(workers: int) -> Executor | None:
    """Threads on a free-threaded interpreter (the module does not need the GIL),
    processes otherwise, and nothing for a single worker."""
    if workers <= 1:
        return None
    if not gil_enabled():
        return ThreadPoolExecutor(workers)
    # "spawn": the parent already runs numpy's threads, which fork would not copy.
    return ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"))


def sign_all(vectors: np.ndarray, families: int, bits: int, bands: int, workers: int, show: bool) -> Signed:
    jobs = [(vectors[a : a + CHUNK], families, bits, bands) for a in range(0, len(vectors), CHUNK)]
    start = time.perf_counter()
    executor = make_executor(min(workers, len(jobs)))
    parts: list[Signed] = []
    try:
        results = map(sign_chunk, jobs) if executor is None else executor.map(sign_chunk, jobs)
        with Bar(len(vectors), "signatures", "vec", show) as bar:
            for part in results:
                parts.append(part)
                bar.update(len(part.digests))
    finally:
        if executor is not None:
            executor.shutdown(cancel_futures=True)
    return Signed(
        normalized=np.concatenate([p.normalized for p in parts]),
        signatures=[s for p in parts for s in p.signatures],
        bands=[b for p in parts for b in p.bands],
        digests=[d for p in parts for d in p.digests],
        seconds=(sum(p.seconds[0] for p in parts), sum(p.seconds[1] for p in parts), sum(p.seconds[2] for p in parts)),
        wall=time.perf_counter() - start,
    )


# --------------------------------------------------------------------------
# 2-4. Candidates, verification, exact duplicates


@dataclass
class Candidates:
    pairs: np.ndarray  # (m, 2) int64 with i < j, sorted
    buckets: int
    shared: int  # buckets that hold two vectors or more
    oversized: int  # shared buckets skipped for holding more than --max-bucket vectors


def candidate_pairs(bands: list[tuple[str, ...]], max_bucket: int) -> Candidates:
    """The pairs of vectors that share the bucket of at least one band."""
    n = len(bands)
    keys: set[int] = set()
    buckets = shared = oversized = 0
    for slot in range(len(bands[0]) if bands else 0):
        table: defaultdict[str, list[int]] = defaultdict(list)
        for i, texts in enumerate(bands):
            table[texts[slot]].append(i)
        buckets += len(table)
        for members in table.values():
            if len(members) < 2:
                continue
            shared += 1
            if len(members) > max_bucket:
                oversized += 1
                continue
            for a, i in enumerate(members):
                keys.update(i * n + j for j in members[a + 1 :])
    flat = np.fromiter(sorted(keys), dtype=np.int64, count=len(keys))
    return Candidates(np.stack([flat // max(n, 1), flat % max(n, 1)], axis=1), buckets, shared, oversized)


def verify(
    pairs: np.ndarray, signatures: list[tuple[str, ...]], total_bits: int, show: bool
) -> tuple[np.ndarray, np.ndarray]:
    """Hamming distance summed over the families, and the cosine it implies."""
    hamming, cosine = an.hamming_distance_hex, an.cosine_from_hamming
    distances = np.empty(len(pairs), dtype=np.int64)
    estimates = np.empty(len(pairs), dtype=np.float64)
    block = 10_000
    with Bar(len(pairs), "verify", "pair", show and len(pairs) > 20 * block) as bar:
        for start in range(0, len(pairs), block):
            part = pairs[start : start + block].tolist()
            for k, (i, j) in enumerate(part, start):
                d = sum(map(hamming, signatures[i], signatures[j]))
                distances[k] = d
                estimates[k] = cosine(d, total_bits)
            bar.update(len(part))
    return distances, estimates


def digest_groups(digests: list[str]) -> list[list[int]]:
    groups: defaultdict[str, list[int]] = defaultdict(list)
    for i, digest in enumerate(digests):
        groups[digest].append(i)
    return [members for members in groups.values() if len(members) > 1]


def identical_groups(normalized: np.ndarray) -> list[list[int]]:
    """Vectors whose normalised float32 components are all equal (numpy)."""
    _, inverse, counts = np.unique(normalized, axis=0, return_inverse=True, return_counts=True)
    groups: defaultdict[int, list[int]] = defaultdict(list)
    for i, g in enumerate(inverse.reshape(-1).tolist()):
        if counts[g] > 1:
            groups[g].append(i)
    return list(groups.values())


# --------------------------------------------------------------------------
# 5. Brute force and the comparison


def pair_cosines(exact: np.ndarray, pairs: np.ndarray) -> np.ndarray:
    out = np.empty(len(pairs), dtype=np.float64)
    for a in range(0, len(pairs), 20_000):
        p = pairs[a : a + 20_000]
        out[a : a + len(p)] = np.einsum("ij,ij->i", exact[p[:, 0]], exact[p[:, 1]])
    return out


def brute_force(normalized: np.ndarray, floor: float, show: bool) -> tuple[np.ndarray, np.ndarray]:
    """Every pair i < j at true cosine >= floor, and its cosine (in float64)."""
    n = len(normalized)
    block = 2048
    found: list[np.ndarray] = []
    with Bar(n, "brute force", "vec", show) as bar:
        for a in range(0, n, block):
            sims = normalized[a : a + block] @ normalized.T  # a float32 screen, rechecked in float64 below
            ii, jj = np.nonzero(sims >= floor - 1e-4)
            ii += a
            found.append(np.stack([ii[jj > ii], jj[jj > ii]], axis=1))
            bar.update(min(block, n - a))
    pairs = np.concatenate(found).astype(np.int64) if found else np.empty((0, 2), dtype=np.int64)
    cos = pair_cosines(normalized.astype(np.float64), pairs)
    keep = cos >= floor
    return pairs[keep], cos[keep]


@dataclass
class Bin:
    low: float
    high: float
    pairs: int
    candidates: int
    reported: int
    mean_estimate: float
    mean_error: float


def rate(count: float, seconds: float) -> str:
    return f"{count / seconds:,.0f}/s" if seconds > 0 else "-"


def plural(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def share(part: int, whole: int) -> str:
    return f"{100.0 * part / whole:.1f}%" if whole else "-"


def band_layout(bits: int, bands: int) -> tuple[int, int]:
    """Bits per band and bands per family, as simhash_lsh_multi cuts a signature."""
    length = math.ceil(max(bits, 64) / 4)
    chunk = max(1, length // max(bands, 1))
    return 4 * chunk, min(max(bands, 1), math.ceil(length / chunk))


def candidate_probability(cosine: np.ndarray, band_bits: int, tables: int) -> np.ndarray:
    """The chance that a pair at this cosine shares at least one of `tables` buckets."""
    agree: np.ndarray = 1.0 - np.arccos(np.clip(cosine, -1.0, 1.0)) / math.pi
    return np.asarray(1.0 - (1.0 - agree**band_bits) ** tables)


# --------------------------------------------------------------------------
# Command line


@dataclass
class Setup:
    families: int
    bits: int
    bands: int
    band_bits: int
    tables: int
    threshold: float

    @property
    def total_bits(self) -> int:
        return self.families * self.bits


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        description="Find near-duplicate embeddings with ambrel_native (LSH banding, then verification).",
        epilog="Without --input a built-in data set with planted near duplicates is used.",
    )
    data = p.add_argument_group("data")
    data.add_argument("--input", metavar="FILE.npy", help="a 2-D array of embeddings, one vector per row")
    data.add_argument("--count", type=int, default=20_000, help="built-in data: number of vectors (20000)")
    data.add_argument("--dim", type=int, default=384, help="built-in data: dimensions (384)")
    data.add_argument("--pairs", type=int, default=1_000, help="built-in data: planted near-duplicate pairs (1000)")
    data.add_argument("--copies", type=int, default=100, help="built-in data: planted exact copies (100)")
    data.add_argument("--seed", type=int, default=20_240_611, help="built-in data: random seed")
    lsh = p.add_argument_group("LSH")
    lsh.add_argument("--families", type=int, default=3, help="hash families (3)")
    lsh.add_argument("--bits", type=int, default=256, help="bits per signature (256)")
    lsh.add_argument("--bands", type=int, default=16, help="bands per family (16)")
    lsh.add_argument("--threshold", type=float, default=0.90, help="report pairs at or above this cosine (0.90)")
    lsh.add_argument("--max-bucket", type=int, default=1_000, help="skip buckets holding more vectors (1000)")
    run = p.add_argument_group("run")
    run.add_argument("--workers", type=int, default=os.process_cpu_count() or 1, help="parallel workers (CPUs)")
    run.add_argument(
        "--truth",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=f"check against brute force with numpy (default: up to {TRUTH_LIMIT:,} vectors)",
    )
    run.add_argument("--plot", metavar="OUT.png", help="draw estimated against true cosine (needs matplotlib)")
    run.add_argument("--rows", type=int, default=8, help="example pairs to print (8)")
    run.add_argument("--no-progress", action="store_true", help="no progress bars")
    args = p.parse_args(argv)
    if args.input is None and (args.count < 2 or args.dim < 1):
        p.error("--count must be at least 2 and --dim at least 1")
    if min(args.families, args.bits, args.bands, args.pairs, args.copies, args.rows) < 0:
        p.error("sizes cannot be negative")
    if not -1.0 <= args.threshold <= 1.0:
        p.error("--threshold must lie in [-1, 1]")
    if args.workers < 1 or args.max_bucket < 2:
        p.error("--workers must be at least 1 and --max-bucket at least 2")
    return args


def load_pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        sys.exit("--plot needs matplotlib: pip install matplotlib (or pip install -r requirements-demo.txt)")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


@dataclass
class Truth:
    """The brute-force pairs at or above the floor, matched with the candidates."""

    pairs: np.ndarray  # (i, j) with i < j, sorted
    cosines: np.ndarray
    slot: np.ndarray  # index of each pair among the candidates (where it is one)
    is_candidate: np.ndarray
    is_reported: np.ndarray
    positive: np.ndarray  # true cosine at or above the threshold


def brute_force_truth(signed: Signed, cands: Candidates, estimates: np.ndarray, floor: float, thr: float, show: bool):
    n = len(signed.normalized)
    t0 = time.perf_counter()
    true_pairs, true_cos = brute_force(signed.normalized, floor, show)
    print(
        f"\n5. brute force with numpy: {n * (n - 1) // 2:,} pairs in {time.perf_counter() - t0:.1f} s, "
        f"{int((true_cos >= thr).sum()):,} at true cosine >= {thr:.2f}"
    )
    same = identical_groups(signed.normalized)
    if sorted(map(sorted, same)) == sorted(map(sorted, digest_groups(signed.digests))):
        print(f"   bit-identical normalised vectors: {plural(len(same), 'group')}, the same as by fingerprint")
    else:  # the fingerprint also joins vectors that agree to 6 decimal places
        print(
            f"   bit-identical normalised vectors: {plural(len(same), 'group')}; fingerprints join vectors equal to 6 dp"
        )
    cand_keys = cands.pairs[:, 0] * n + cands.pairs[:, 1]  # sorted, since the pairs are
    true_keys = true_pairs[:, 0] * n + true_pairs[:, 1]
    slot = np.minimum(np.searchsorted(cand_keys, true_keys), max(len(cand_keys) - 1, 0))
    is_candidate = cand_keys[slot] == true_keys if len(cand_keys) else np.zeros(len(true_keys), dtype=bool)
    is_reported = is_candidate & (estimates[slot] >= thr if len(cand_keys) else is_candidate)
    return Truth(true_pairs, true_cos, slot, is_candidate, is_reported, true_cos >= thr)


def report_recall(truth: Truth, estimates: np.ndarray, thr: float) -> tuple[float, float]:
    hits, positives = int((truth.is_reported & truth.positive).sum()), int(truth.positive.sum())
    reported = int((estimates >= thr).sum())
    recall = hits / positives if positives else math.nan
    precision = hits / reported if reported else math.nan
    print(
        f"\n   at threshold {thr:.2f}: recall {recall:.3f}, precision {precision:.3f}; "
        f"{hits:,} of {positives:,} true pairs reported, {reported - hits:,} false; "
        f"{share(int((truth.is_candidate & truth.positive).sum()), positives)} of the true pairs became candidates"
    )
    return recall, precision


def report_bins(truth: Truth, estimates: np.ndarray, floor: float, thr: float) -> list[Bin]:
    """How banding and verification treat each range of true cosine. The last
    bin is open above: float rounding puts some copies just over 1."""
    true_cos = truth.cosines
    edges = sorted({floor, (floor + thr) / 2, thr, (thr + 1.0) / 2, 1.0})
    bins: list[Bin] = []
    print(
        f"\n   {'true cosine':<13}  {'pairs':>6}  {'candidates':>10}  {'reported':>8}  {'mean estimate':>13}  {'error':>6}"
    )
    for k, (lo, hi) in enumerate(itertools.pairwise(edges)):
        sel = (true_cos >= lo) & ((true_cos < hi) if k < len(edges) - 2 else True)
        if not sel.any():
            continue
        seen = sel & truth.is_candidate
        est = estimates[truth.slot[seen]]
        mean_estimate = float(est.mean()) if len(est) else math.nan
        mean_error = float(np.abs(est - true_cos[seen]).mean()) if len(est) else math.nan
        b = Bin(
            lo, hi, int(sel.sum()), int(seen.sum()), int((sel & truth.is_reported).sum()), mean_estimate, mean_error
        )
        bins.append(b)
        print(
            f"   {lo:.3f} - {hi:.3f}  {b.pairs:6,}  {share(b.candidates, b.pairs):>10}  {share(b.reported, b.pairs):>8}"
            f"  {b.mean_estimate:13.3f}  {b.mean_error:6.3f}"
        )
    return bins


def report_examples(truth: Truth, signed: Signed, setup: Setup, rows: int) -> None:
    """A few pairs across the range: estimated against true cosine."""
    print(f"\n   {'pair':>15}  {'true':>7}  {'estimate':>8}  {'distance':>9}  outcome")
    order = np.argsort(-truth.cosines, kind="stable")
    picks = order[np.linspace(0, len(order) - 1, min(rows, len(order))).round().astype(int)] if len(order) else []
    for p in picks:
        i, j = (int(x) for x in truth.pairs[p])
        d = sum(map(an.hamming_distance_hex, signed.signatures[i], signed.signatures[j]))
        est = an.cosine_from_hamming(d, setup.total_bits)
        if not truth.is_candidate[p]:
            outcome = "no shared bucket"
        else:
            outcome = "reported" if truth.is_reported[p] else "rejected by its estimate"
        wanted, found = bool(truth.positive[p]), bool(truth.is_reported[p])
        verdict = {(True, True): "hit", (False, True): "false positive", (True, False): "missed"}.get(
            (wanted, found), "rightly left out"
        )
        print(
            f"   {i:>7},{j:<7}  {truth.cosines[p]:7.4f}  {est:8.3f}  {d:>4}/{setup.total_bits:<4}  {outcome}: {verdict}"
        )


def report_truth(
    setup: Setup,
    signed: Signed,
    cands: Candidates,
    distances: np.ndarray,
    estimates: np.ndarray,
    args: argparse.Namespace,
) -> tuple[float, float, list[Bin]]:
    """Compares with brute force; returns recall, precision and the cosine bins."""
    thr = setup.threshold
    floor = max(-1.0, min(0.80, thr - 0.10))
    truth = brute_force_truth(signed, cands, estimates, floor, thr, not args.no_progress)
    recall, precision = report_recall(truth, estimates, thr)
    bins = report_bins(truth, estimates, floor, thr)
    report_examples(truth, signed, setup, args.rows)
    return recall, precision, bins


def report_without_truth(
    setup: Setup, cands: Candidates, distances: np.ndarray, estimates: np.ndarray, rows: int
) -> None:
    order = np.argsort(-estimates, kind="stable")[:rows]
    if len(order):
        print(f"\n   {'pair':>15}  {'estimate':>8}  {'distance':>9}")
    for k in order:
        i, j = (int(x) for x in cands.pairs[k])
        print(f"   {i:>7},{j:<7}  {estimates[k]:8.3f}  {distances[k]:>4}/{setup.total_bits:<4}")


def plot(
    path: str, plt: Any, setup: Setup, true_cos: np.ndarray, estimates: np.ndarray, bins: list[Bin], title: str
) -> None:
    thr = setup.threshold
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 5.2))
    shown = np.arange(len(true_cos))
    if len(shown) > 30_000:  # keep every close pair, thin out the others
        close, rest = shown[true_cos >= thr - 0.2], shown[true_cos < thr - 0.2]
        keep = max(0, 30_000 - len(close))
        shown = np.concatenate([close, np.random.default_rng(0).choice(rest, size=min(keep, len(rest)), replace=False)])
    x, y = true_cos[shown], estimates[shown]
    hit = y >= thr
    left.scatter(x[~hit], y[~hit], s=3, alpha=0.35, color="tab:gray", label="not reported")
    left.scatter(x[hit], y[hit], s=4, alpha=0.6, color="tab:red", label="reported")
    low = float(min(x.min(initial=1.0), y.min(initial=1.0)))
    left.plot([low, 1], [low, 1], color="black", linewidth=0.8, label="estimate = true")
    left.axhline(thr, color="tab:red", linestyle=":", linewidth=0.8)
    left.axvline(thr, color="tab:blue", linestyle=":", linewidth=0.8)
    left.set(xlabel="true cosine (numpy)", ylabel="estimated cosine (cosine_from_hamming)")
    left.set_title("candidate pairs: estimate against truth")
    left.legend(loc="upper left", markerscale=3)

    xs = np.linspace(max(-1.0, min((b.low for b in bins), default=thr) - 0.3), 1.0, 200)
    right.plot(xs, candidate_probability(xs, setup.band_bits, setup.tables), color="black", linewidth=1, label="theory")
    right.plot(
        [(b.low + min(b.high, 1.0)) / 2 for b in bins],
        [b.candidates / b.pairs for b in bins],
        "o",
        color="tab:red",
        label="measured",
    )
    right.axvline(thr, color="tab:blue", linestyle=":", linewidth=0.8)
    right.set(ylim=(-0.02, 1.02), xlabel="true cosine", ylabel="share of pairs that became candidates")
    right.set_title(f"banding: {setup.tables} tables of {setup.band_bits}-bit bands")
    right.legend(loc="upper left")
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def print_setup(data: Dataset, setup: Setup, args: argparse.Namespace) -> None:
    print("ambrel_native near-duplicate finder")
    print(f"  data     {data.description}")
    print(
        f"  LSH      {setup.families} families x {setup.bits} bits, {setup.tables // setup.families} bands of "
        f"{setup.band_bits} bits per family ({setup.tables} bucket tables); threshold cosine {args.threshold:.2f}"
    )
    kind = "in this process" if args.workers == 1 else "processes" if gil_enabled() else "threads"
    print(f"  workers  {args.workers} {kind}{'' if tqdm else ' (install tqdm for progress bars)'}")


def sign_step(vectors: np.ndarray, setup: Setup, args: argparse.Namespace, show: bool) -> Signed:
    n = len(vectors)
    signed = sign_all(vectors, setup.families, setup.bits, setup.bands, args.workers, show)
    t_norm, t_sign, t_hash = signed.seconds
    print(f"\n1. {n:,} vectors normalised, signed and fingerprinted in {signed.wall:.1f} s: {rate(n, signed.wall)}")
    print(
        f"   per call on one core: normalize_vector {rate(n, t_norm)}, simhash_lsh_multi {rate(n, t_sign)}, "
        f"compute_embedding_sha256 {rate(n, t_hash)}"
    )
    return signed


def candidate_step(signed: Signed, setup: Setup, max_bucket: int) -> Candidates:
    n = len(signed.normalized)
    t0 = time.perf_counter()
    cands = candidate_pairs(signed.bands, max_bucket)
    all_pairs = n * (n - 1) // 2
    print(
        f"\n2. {n * setup.tables:,} band entries in {cands.buckets:,} buckets ({cands.shared:,} shared): "
        f"{len(cands.pairs):,} candidate pairs, {100 * len(cands.pairs) / max(all_pairs, 1):.3f}% of all {all_pairs:,}, "
        f"in {time.perf_counter() - t0:.1f} s"
    )
    if cands.oversized:
        print(f"   skipped {cands.oversized:,} buckets of more than {max_bucket:,} vectors (--max-bucket)")
    return cands


def verify_step(cands: Candidates, signed: Signed, setup: Setup, show: bool) -> tuple[np.ndarray, np.ndarray]:
    t0 = time.perf_counter()
    distances, estimates = verify(cands.pairs, signed.signatures, setup.total_bits, show)
    spent = time.perf_counter() - t0
    print(
        f"\n3. {len(cands.pairs):,} candidates verified from their signatures in {spent:.1f} s "
        f"({rate(len(cands.pairs), spent)}): {int((estimates >= setup.threshold).sum()):,} pairs "
        f"at estimated cosine >= {setup.threshold:.2f}"
    )
    return distances, estimates


def exact_step(signed: Signed, data: Dataset) -> None:
    groups = digest_groups(signed.digests)
    print(f"\n4. exact duplicates by fingerprint: {plural(len(groups), 'group')} of {sum(map(len, groups)):,} vectors")
    if data.copies:
        grouped = {i: k for k, members in enumerate(groups) for i in members}
        found = sum(1 for a, b in data.copies if a in grouped and grouped.get(b) == grouped[a])
        print(f"   planted copies found: {found} of {len(data.copies)}")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    plt = load_pyplot() if args.plot else None  # fail before the work, not after it
    show = not args.no_progress
    started = time.perf_counter()
    if args.input:
        data = load_dataset(args.input)
    else:
        data = make_dataset(args.count, args.dim, args.pairs, args.copies, args.seed)
    n = len(data.vectors)
    families, bits, bands = max(args.families, 1), max(args.bits, 64), max(args.bands, 1)
    band_bits, per_family = band_layout(bits, bands)
    setup = Setup(families, bits, bands, band_bits, families * per_family, args.threshold)
    print_setup(data, setup, args)

    signed = sign_step(data.vectors, setup, args, show)
    cands = candidate_step(signed, setup, args.max_bucket)
    distances, estimates = verify_step(cands, signed, setup, show)
    exact_step(signed, data)

    truth = args.truth if args.truth is not None else n <= TRUTH_LIMIT
    if not truth:
        print(f"\n(no brute-force check for {n:,} vectors; --truth runs it anyway)")
        report_without_truth(setup, cands, distances, estimates, args.rows)
    else:
        recall, precision, bins = report_truth(setup, signed, cands, distances, estimates, args)
        if plt is not None:
            title = (
                f"{n:,} vectors, {families} x {bits} bits, threshold {args.threshold:.2f}: "
                f"recall {recall:.3f}, precision {precision:.3f}"
            )
            cand_true = pair_cosines(signed.normalized.astype(np.float64), cands.pairs)
            plot(args.plot, plt, setup, cand_true, estimates, bins, title)
            print(f"\n   plot written to {args.plot}")
    if plt is not None and not truth:
        print("\n   (no plot without the brute-force check)")
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
