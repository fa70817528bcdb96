#!/usr/bin/env python3
"""Benchmark of the persistent index (ambrel_dedup's `create_index`, `add_to_index` and `Index`)
beside a full run and FAISS IVF, measured in the same run, on the same rows and machine.

    .venv/bin/python bench/index.py                  # clustered 1,000,000 + 10,000, and the real set
    .venv/bin/python bench/index.py --quick          # smoke run with tiny counts
    .venv/bin/python bench/index.py --sets clustered --count 50000 --add 2000 --queries 200

Per data set, N rows go into an index (`create_index`), ADD more are added to it (`add_to_index`), and the same
N + ADD rows go through one `run` (a directory of the two .npy files: the same ids). Then:

- add: seconds of `add` against the full run's (the ratio), and of `create`. With --rounds R,
  add (to a fresh copy of the created index) and the full run alternate R times and the best
  of each counts.
- queries: `Index.open` of version 1 (the N rows of `create`), then the query rows as one batch,
  twice (the first call and a repeated one), then one row at a time (median and p90 of the
  single-row calls); again on the newest version (N + ADD, in two segments).
- size: the index's bytes per vector on disk (`info()`), beside the float32 row itself.
- recall and precision against the exact answer (float64 cosines of the float32 rows, candidates
  from float32 products). For add: every pair of one of up to 2,000 sampled new rows with any
  row, old or new, at or above the threshold, less the pairs of exact copies that are not their
  group's representative (the pipeline pairs a copy with its representative only); found: the
  add's pairs.parquet pairs of the sampled rows. For queries: every indexed id at or above the
  threshold from each query row; found: the matches. Precision is the share of listed pairs
  whose exact cosine reaches the threshold (every one of the add's pairs, every match).
- FAISS IndexIVFFlat (inner product, nlist = 4 sqrt(N), nprobe 8 and 16) on the same N rows:
  train + add, one range_search of the query rows, single-row range_search, recall; then the
  time to add the ADD rows to it. Its size is that of `faiss.write_index`'s file.

Query rows: half are rows of the set that version 1 does not hold (for the clustered set the rows
after N + ADD, in no version; for the real set, whose every row is indexed or added at the
default sizes, the ADD rows, which version 2 holds), half are indexed rows turned to a cosine of
0.90 .. 0.99 from themselves in a random direction.

Everything runs on the default engine (in this process) with every core, FAISS on 2 threads.
faiss-cpu is optional (pip install -r requirements-bench.txt). Nothing asserts on timings.
"""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from ambrel_dedup import Index, add_to_index, create_index, run
from ambrel_dedup.datasets.clustered import Clustered

sys.path.insert(0, str(Path(__file__).resolve().parent))
import baselines as bl
import real_embeddings
from dedup import SAMPLE_ROWS, cpu_line, load, log, sampled_truth, table, touching

NPROBES = (8, 16)
SINGLE_CALLS = 200


@dataclass
class DataSet:
    """Rows of create (ids 0 .. N-1), of add (ids N .. N+ADD-1) and rows in neither."""

    label: str
    old: np.ndarray
    new: np.ndarray
    fresh: np.ndarray
    fresh_from: str


@dataclass
class Queried:
    """One way of answering the query rows: its times and the pairs it listed."""

    first: float
    again: float
    single: np.ndarray  # seconds of each one-row call
    row: np.ndarray
    id: np.ndarray
    opened: float | None = None
    bytes_per_vector: float | None = None


@dataclass
class Truth:
    """Exact pairs as keys: of the sampled new rows (over all rows), and of the query rows."""

    n: int  # pair keys of `add` are i * n + j
    add: np.ndarray
    query: np.ndarray  # keys query row * (N + ADD) + id, ids of both versions
    query_v1: np.ndarray  # those with ids of version 1


# -- data -----------------------------------------------------------------------------


def data_sets(args: argparse.Namespace) -> Iterator[DataSet]:
    half = args.queries - args.queries // 2
    for name in args.sets.split(","):
        if name == "clustered":
            n, extra = args.count, args.add
            c = Clustered(count=n + extra + half, dim=args.dim, seed=0)
            log(f"clustered: making {n + extra + half:,} rows")
            yield DataSet(
                f"clustered {n:,} + {extra:,} x {args.dim}",
                c.rows(0, n),
                c.rows(n, n + extra),
                c.rows(n + extra, n + extra + half),
                f"rows {n + extra:,} .. of the same set",
            )
        elif name == "real":
            emb = real_embeddings.load_or_skip()
            if emb is None:
                continue
            extra = min(args.add, len(emb) // 2)
            n = min(args.count, len(emb) - extra)
            rest = emb[n + extra :]
            fresh, where = (
                (rest, f"rows {n + extra:,} ..") if len(rest) >= half else (emb[n : n + extra], "the ADD rows")
            )
            yield DataSet(f"real {n:,} + {extra:,} x {emb.shape[1]}", emb[:n], emb[n : n + extra], fresh, where)
        else:
            raise SystemExit(f"unknown data set {name!r}: clustered or real")


def moved(rows: np.ndarray, rng: np.random.Generator, low: float = 0.90, high: float = 0.99) -> np.ndarray:
    """Each row turned to a cosine drawn in [low, high] from itself, in a random direction, its norm kept."""
    x = rows.astype(np.float64)
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    u = x / norms
    z = rng.standard_normal(u.shape)
    z -= np.sum(z * u, axis=1, keepdims=True) * u
    z /= np.linalg.norm(z, axis=1, keepdims=True)
    cos = rng.uniform(low, high, (len(u), 1))
    return ((cos * u + np.sqrt(1.0 - cos**2) * z) * norms).astype(np.float32)


def query_rows(data: DataSet, count: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """(rows, whether each is a moved indexed row) in random order: half fresh, half moved."""
    fresh = data.fresh[rng.choice(len(data.fresh), min(count - count // 2, len(data.fresh)), replace=False)]
    near = moved(data.old[rng.choice(len(data.old), count - len(fresh), replace=False)], rng)
    order = rng.permutation(count)
    return np.concatenate([fresh, near])[order], np.repeat([False, True], [len(fresh), len(near)])[order]


def cosines(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Float64 cosines of the rows of x and y, row by row."""
    x, y = x.astype(np.float64), y.astype(np.float64)
    return np.einsum("ij,ij->i", x, y) / (np.linalg.norm(x, axis=1) * np.linalg.norm(y, axis=1))


def truth(data: DataSet, queries: np.ndarray, threshold: float, copies: np.ndarray, sample: np.ndarray) -> Truth:
    """The exact pairs of the sampled new rows and of the query rows, from one pass over every row."""
    rows = np.concatenate([data.old, data.new, queries])
    n, held = len(rows), len(data.old) + len(data.new)
    found = sampled_truth(rows, threshold, np.concatenate([sample, np.arange(held, n)]))
    lo, hi = found // n, found % n
    # Pairs of the sampled rows with indexed ones, less those of copies that are not a representative.
    ours = (hi < held) & (np.isin(lo, sample) | np.isin(hi, sample)) & ~np.isin(lo, copies) & ~np.isin(hi, copies)
    asked = (hi >= held) & (lo < held)
    query = np.sort((hi[asked] - held) * held + lo[asked])
    return Truth(n, found[ours], query, query[query % held < len(data.old)])


# -- measures -------------------------------------------------------------------------


def timed(call: Callable[[], object]) -> tuple[float, object]:
    started = time.perf_counter()
    out = call()
    return time.perf_counter() - started, out


def single_calls(call: Callable[[np.ndarray], object], queries: np.ndarray, count: int) -> np.ndarray:
    seconds = np.empty(count)
    for k in range(count):
        row = queries[k % len(queries)][None, :]
        seconds[k], _ = timed(lambda row=row: call(row))
    return seconds


def query_version(root: Path, version: int, queries: np.ndarray, calls: int) -> Queried:
    opened, index = timed(lambda: Index.open(root, version))
    first, found = timed(lambda: index.query(queries))
    again, _ = timed(lambda: index.query(queries))
    single = single_calls(index.query, queries, calls)
    return Queried(first, again, single, found.row, found.id, opened, index.info()["bytes_per_vector"])


def warm_up(scratch: Path, threshold: float) -> None:
    """create, add, run and a query on a small set: the first calls of every stage are paid here."""
    rows = Clustered(count=3000, dim=64, seed=1).rows(0, 3000)
    np.save(scratch / "warm-a.npy", rows[:2500])
    np.save(scratch / "warm-b.npy", rows[2500:])
    create_index(scratch / "warm-a.npy", scratch / "warm-index", threshold)
    add_to_index(scratch / "warm-b.npy", scratch / "warm-index", scratch / "warm-added")
    run(scratch / "warm-a.npy", scratch / "warm-run", threshold)
    Index.open(scratch / "warm-index").query(rows[:100])
    for path in scratch.iterdir():
        shutil.rmtree(path) if path.is_dir() else path.unlink()


@dataclass
class Ours:
    create: float
    add: float
    full: float
    engine: str
    pairs: pd.DataFrame  # the add's pairs.parquet
    copies: np.ndarray  # every id the index holds as an exact copy of another
    versions: dict[int, Queried]
    promised: dict[str, float | None]


def ours(data: DataSet, queries: np.ndarray, args: argparse.Namespace, scratch: Path, calls: int) -> Ours:
    rows, index = scratch / "rows", scratch / "index"
    rows.mkdir()
    np.save(rows / "a.npy", data.old)
    np.save(rows / "b.npy", data.new)
    t = args.threshold
    made, _ = timed(lambda: create_index(rows / "a.npy", index, t))
    log(f"{data.label}: create {made:.1f} s")
    adds, fulls = [], []
    for k in range(args.rounds, 0, -1):
        # Every round but the last adds to a copy of the index as create left it.
        target = index if k == 1 else scratch / "index-copy"
        if k > 1:
            shutil.copytree(index, target)
        grown, added = timed(lambda target=target, k=k: add_to_index(rows / "b.npy", target, scratch / f"added-{k}"))
        full, result = timed(lambda k=k: run(rows, scratch / f"full-{k}", t))
        log(f"{data.label}: add {grown:.1f} s, full run {full:.1f} s")
        adds.append(grown)
        fulls.append(full)
        if k > 1:
            for path in (target, added.output, result.output):
                shutil.rmtree(path)
    pairs = pd.read_parquet(added.output / "pairs.parquet")
    # The index knows every copy; the add's exact pairs name the new ones (id_b) too.
    copies = np.union1d(Index.open(index).copies().ids, pairs.id_b[pairs.exact].to_numpy(np.int64))
    versions = {v: query_version(index, v, queries, calls) for v in (1, 2)}
    log(f"{data.label}: queries {versions[1].first:.2f} s")
    promised = Index.open(index, 1).info()["parameters"]["promised"]
    return Ours(made, min(adds), min(fulls), result.summary["engine"]["name"], pairs, copies, versions, promised)


@dataclass
class Ivf:
    build: float
    add: float
    probes: dict[int, Queried]


def ivf(data: DataSet, queries: np.ndarray, threshold: float, scratch: Path, calls: int) -> Ivf:
    import faiss

    unit, asked = bl.unit32(data.old), bl.unit32(queries)
    built, index = timed(lambda: bl.ivf_index(unit))
    log(f"{data.label}: FAISS IVF built in {built:.1f} s")
    saved = scratch / "ivf.faiss"
    faiss.write_index(index, str(saved))
    size = saved.stat().st_size / index.ntotal
    saved.unlink()
    probes = {}
    for nprobe in NPROBES:
        index.nprobe = nprobe

        def search(rows: np.ndarray, index=index):
            return index.range_search(rows, threshold)

        first, (lims, _, ids) = timed(lambda: search(asked))
        again, _ = timed(lambda: search(asked))
        single = single_calls(search, asked, calls)
        rows = np.repeat(np.arange(len(asked)), np.diff(lims.astype(np.int64)))
        probes[nprobe] = Queried(first, again, single, rows, ids.astype(np.int64), bytes_per_vector=size)
    grown, _ = timed(lambda: index.add(bl.unit32(data.new)))
    return Ivf(built, grown, probes)


# -- the table ------------------------------------------------------------------------


def seconds(s: float) -> str:
    if s >= 1:
        return f"{s:.2f} s"
    return f"{s * 1e3:.1f} ms" if s >= 1e-3 else f"{s * 1e6:.0f} us"


@dataclass
class Score:
    """Recall and precision of listed pairs against the true ones, with what was missed."""

    recall: float
    listed: int
    below: int  # listed pairs whose exact cosine is under the threshold
    missed: np.ndarray  # exact cosines of the true pairs not listed, ascending

    @property
    def precision(self) -> float:
        return 1.0 - self.below / self.listed if self.listed else 1.0

    def text(self) -> str:
        return f"{self.precision:.4f}" if self.below == 0 else f"{self.precision:.6f} ({self.below:,} below)"

    def misses(self) -> str:
        if len(self.missed) == 0:
            return "none"
        return f"{len(self.missed):,} at {self.missed[0]:.6f} .. {self.missed[-1]:.6f}"


def scored(
    found: np.ndarray, true: np.ndarray, listed: np.ndarray, t: float, cos: Callable[[np.ndarray], np.ndarray]
) -> Score:
    """`found` and `true` are pair keys, `listed` the exact cosines of every listed pair and
    `cos` gives those of keys."""
    recall, _ = bl.score(found, true)
    missed = np.setdiff1d(true, found, assume_unique=True)
    return Score(recall, len(listed), int((listed < t).sum()), np.sort(cos(missed)))


def query_score(q: Queried, asked: np.ndarray, rows: np.ndarray, true: np.ndarray, t: float) -> Score:
    held = len(rows)
    return scored(
        np.unique(q.row * held + q.id),
        true,
        cosines(asked[q.row], rows[q.id]),
        t,
        lambda k: cosines(asked[k // held], rows[k % held]),
    )


def query_cells(q: Queried) -> list[str]:
    """The open, batch, single-row and size cells of a table row."""
    median, p90 = np.median(q.single), np.percentile(q.single, 90)
    return [
        "-" if q.opened is None else seconds(q.opened),
        f"{seconds(q.first)}, {seconds(q.again)}",
        f"{seconds(float(median))} ({seconds(float(p90))})",
        "-" if q.bytes_per_vector is None else f"{q.bytes_per_vector:,.0f}",
    ]


def measure(data: DataSet, args: argparse.Namespace, scratch: Path) -> None:
    t, calls = args.threshold, args.single_calls
    rng = np.random.default_rng(0)
    queries, near = query_rows(data, args.queries, rng)
    n, extra = len(data.old), len(data.new)
    held = n + extra
    mine = ours(data, queries, args, scratch, calls)
    sample = np.arange(n, held)
    if extra > SAMPLE_ROWS:
        sample = np.sort(rng.choice(sample, SAMPLE_ROWS, replace=False))
    log(f"{data.label}: exact truth of {len(sample):,} new rows and {len(queries):,} queries")
    true = truth(data, queries, t, mine.copies, sample)
    rows = np.concatenate([data.old, data.new])

    a, b = mine.pairs.id_a.to_numpy(np.int64), mine.pairs.id_b.to_numpy(np.int64)
    m = true.n
    added = scored(
        touching(bl.keys(a, b, m), sample, m),
        true.add,
        cosines(rows[a], rows[b]),
        t,
        lambda k: cosines(rows[k // m], rows[k % m]),
    )
    v1 = query_score(mine.versions[1], queries, rows, true.query_v1, t)
    v2 = query_score(mine.versions[2], queries, rows, true.query, t)
    ratio = mine.add / mine.full

    headers = [
        "method",
        "build",
        f"add {extra:,}",
        "full run",
        "add/full",
        "open",
        f"{len(queries):,} queries (first, again)",
        "1 query median (p90)",
        "bytes/vector",
        "add recall",
        "query recall",
        "precision (add; queries)",
    ]
    out = [
        [
            f"ours ({mine.engine}), version 1: {n:,}",
            *(seconds(s) for s in (mine.create, mine.add, mine.full)),
            f"{ratio:.1%}",
            *query_cells(mine.versions[1]),
            f"{added.recall:.4f}",
            f"{v1.recall:.4f}",
            f"{added.text()}; {v1.text()}",
        ],
        [
            f"ours, version 2: {held:,} in 2 segments",
            *["-"] * 4,
            *query_cells(mine.versions[2]),
            "-",
            f"{v2.recall:.4f}",
            v2.text(),
        ],
    ]
    missed = [f"add {added.misses()}", f"queries, version 1 {v1.misses()}", f"version 2 {v2.misses()}"]
    if not args.no_faiss and bl.faiss is not None:
        base = ivf(data, queries, t, scratch, calls)
        for nprobe, q in base.probes.items():
            s = query_score(q, queries, rows, true.query_v1, t)
            out.append(
                [
                    f"FAISS IVF nprobe {nprobe}: {n:,}",
                    seconds(base.build),
                    seconds(base.add),
                    *["-"] * 2,
                    *query_cells(q),
                    "-",
                    f"{s.recall:.4f}",
                    s.text(),
                ]
            )
            missed.append(f"FAISS nprobe {nprobe} {s.misses()}")
    out.append(["float32 rows", *["-"] * 7, f"{4 * data.old.shape[1]:,}", *["-"] * 3])

    fresh = int((~near).sum())
    print(f"\n== {data.label}, threshold {t} ({cpu_line()}; {load()})")
    print(
        f"true pairs: {len(true.add):,} of {len(sample):,} sampled new rows; {len(true.query_v1):,} of "
        f"{len(queries):,} query rows in version 1 ({fresh:,} fresh: {data.fresh_from}; "
        f"{len(queries) - fresh:,} moved indexed rows), {len(true.query):,} in version 2"
    )
    print(
        "recall the layout promises: "
        + ", ".join(f"{k} {'n/a' if v is None else f'{v:.4f}'}" for k, v in mine.promised.items())
    )
    if args.rounds > 1:
        print(f"add and full run: the best of {args.rounds} alternating rounds")
    print(table(headers, out, True))
    print("true pairs missed (their exact cosines): " + "; ".join(missed))
    median = float(np.median(mine.versions[1].single))
    first = mine.versions[1].first
    # The add goal is stated for 10,000 rows into 1,000,000; a smaller index adds a larger share.
    at_scale = len(data.old) >= 1_000_000 and len(data.new) <= len(data.old) // 100
    goals = [
        ["add <= 5% of the full run (10,000 into 1,000,000)", f"{ratio:.1%}", ratio <= 0.05 if at_scale else None],
        [f"{len(queries):,} queries <= 1 s (version 1, first call)", seconds(first), first <= 1.0],
        ["1 query <= 20 ms (version 1, median)", seconds(median), median <= 0.02],
        ["add recall >= 0.99", f"{added.recall:.4f}", added.recall >= 0.99],
        [
            "query recall >= 0.99 (versions 1, 2)",
            f"{v1.recall:.4f}, {v2.recall:.4f}",
            min(v1.recall, v2.recall) >= 0.99,
        ],
        [
            "precision 1 (add; queries, versions 1, 2)",
            f"{added.text()}; {v1.text()}, {v2.text()}",
            added.below + v1.below + v2.below == 0,
        ],
    ]
    verdict = {True: "yes", False: "NO", None: "n/a at this size"}
    print(table(["goal", "measured", "met"], [[g, m, verdict[ok]] for g, m, ok in goals], True), flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="tiny counts: checks that the benchmark runs")
    ap.add_argument("--sets", default="clustered,real", help="data sets: clustered, real")
    ap.add_argument(
        "--count",
        type=int,
        default=1_000_000,
        help="N: rows of create (the real set: at most its rows less ADD, 50,250)",
    )
    ap.add_argument("--add", type=int, default=10_000, help="ADD: rows of add")
    ap.add_argument("--queries", type=int, default=1000, help="query rows of the batch")
    ap.add_argument("--single-calls", type=int, default=SINGLE_CALLS, help="one-row query calls")
    ap.add_argument("--dim", type=int, default=384, help="dimensions of the clustered set")
    ap.add_argument("--threshold", type=float, default=0.9)
    ap.add_argument("--rounds", type=int, default=1, help="add and full run alternately this often; the best counts")
    ap.add_argument("--no-faiss", action="store_true", help="leave FAISS IVF out")
    ap.add_argument("--keep-dir", action="store_true", help="keep the temporary directory (rows, index, outputs)")
    args = ap.parse_args()
    if min(args.count, args.add, args.queries, args.single_calls, args.rounds) < 1:
        ap.error("--count, --add, --queries, --single-calls and --rounds must be at least 1")
    if args.quick:
        args.count, args.add, args.queries, args.single_calls = 4000, 400, 100, 50
    bl.set_threads(bl.THREADS)
    print(f"ambrel_dedup index benchmark: {cpu_line()}; {load()}")
    if bl.faiss is None and not args.no_faiss:
        print("faiss-cpu not installed, so FAISS IVF is not measured (pip install -r requirements-bench.txt)")
    top = Path(tempfile.mkdtemp(prefix="ambrel-index-bench-"))
    try:
        warm_up(top, args.threshold)
        for k, data in enumerate(data_sets(args)):
            scratch = top / f"set-{k}"
            scratch.mkdir()
            measure(data, args, scratch)
            del data  # its rows go before the next set's are made
    finally:
        if args.keep_dir:
            print(f"kept: {top}")
        else:
            shutil.rmtree(top, ignore_errors=True)
    print(f"after the run: {load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
