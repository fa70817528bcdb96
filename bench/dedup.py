#!/usr/bin/env python3
"""Benchmark of the deduplication pipeline (ambrel_dedup) beside the tools a user
would pick instead, measured in the same run, on the same data and machine.

    .venv/bin/python bench/dedup.py                   # every part at the default sizes
    .venv/bin/python bench/dedup.py --quick           # smoke run with tiny counts
    .venv/bin/python bench/dedup.py --only sets --sets clustered --set-sizes 50000,200000,1000000

Parts (--only picks one):

- small: 3,000 x 512 clustered rows through `run` in this process, after the
  imports and one warm-up run (the wall time a user waits for a small input),
  beside numpy brute force on the same rows.
- sets: per data set and threshold, the time, recall and precision against the
  exact answer (float64 cosines of the float32 rows, cached under
  ~/.cache/ambrel-bench/truth) of FAISS IndexFlatIP range_search, IndexIVFFlat
  (nlist 4 sqrt(N), nprobe 8 and 16; train + add + range_search), HNSW
  (usearch, k = 32 then cut at the threshold) and the pipeline (its default
  engine, in this process; --cluster adds a run on a local cluster of 2
  single-threaded workers, cluster start excluded). All on 2 threads. Sets:
  random (384-d directions with planted pairs), clustered
  (ambrel_dedup.datasets.clustered: topics, families of near duplicates, exact copies)
  and real (Debian package descriptions embedded by all-MiniLM-L6-v2, built and
  cached by bench/real_embeddings.py). Above --full-truth rows, recall is
  measured on the pairs of 2,000 sampled rows against all others, and
  precision is left out (every pair ours reports carries its exact cosine).
- stages: seconds of each stage on the clustered set, in process and on 2 workers.
- dense: N near-identical 32-d vectors on 2 worker processes (bench/dense.py):
  time, groups (truth 1) and the largest worker's peak memory.

faiss-cpu and usearch are optional (pip install -r requirements-bench.txt);
their rows say so when they are missing. Nothing asserts on timings.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from ambrel_dedup import Generated, connect, run
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.pipeline.job import STAGES

sys.path.insert(0, str(Path(__file__).resolve().parent))
import baselines as bl
import dense
import real_embeddings
from printing import cpu_line, load, log, table

SAMPLE_ROWS = 2000


# -- small --------------------------------------------------------------------------


def small(args: argparse.Namespace, scratch: Path) -> None:
    count = 1000 if args.quick else 3000
    rows = Clustered(count=count, dim=512, seed=1).rows(0, count)
    source = scratch / "small.npy"
    np.save(source, rows)
    run(source, scratch / "small-warm", 0.9)  # first calls of every stage
    times = []
    for k in range(3):
        started = time.perf_counter()
        result = run(source, scratch / f"small-{k}", 0.9)
        times.append(time.perf_counter() - started)
    started = time.perf_counter()
    bl.exact_pairs(rows, 0.9)
    brute = time.perf_counter() - started
    engine = result.summary["engine"]["name"]
    print(f"\n== small input: {count:,} x 512 clustered, threshold 0.9 ({cpu_line()}; {load()})")
    print(
        table(
            ["method", "seconds (best of 3)", "pairs"],
            [
                [f"ours, run() ({engine})", f"{min(times):.2f}", f"{result.summary['counts']['pairs']:,}"],
                ["numpy brute force (float32 tiles, float64 recheck)", f"{brute:.2f}", "-"],
            ],
            args.markdown,
        )
    )


# -- sets ---------------------------------------------------------------------------


def sampled_truth(rows: np.ndarray, threshold: float, sample: np.ndarray) -> np.ndarray:
    """Keys of every pair (s, j) with s in `sample` at float64 cosine >= threshold."""
    u32 = bl.unit32(rows)
    u64 = np.asarray(rows, np.float64)
    u64 /= np.maximum(np.linalg.norm(u64, axis=1, keepdims=True), 1e-300)
    out = []
    for s0 in range(0, len(sample), 512):
        q = sample[s0 : s0 + 512]
        for c0 in range(0, len(rows), bl.TILE):
            hit_q, hit_c = np.nonzero(u32[q] @ u32[c0 : c0 + bl.TILE].T >= threshold - bl.MARGIN)
            a, b = q[hit_q], hit_c + c0
            cos = np.einsum("ij,ij->i", u64[a], u64[b])
            keep = (cos >= threshold) & (a != b)
            out.append(bl.keys(a[keep], b[keep], len(rows)))
    return np.unique(np.concatenate(out)) if out else np.zeros(0, np.int64)


def touching(found: np.ndarray, sample: np.ndarray, n: int) -> np.ndarray:
    return found[np.isin(found // n, sample) | np.isin(found % n, sample)]


def data_sets(args: argparse.Namespace) -> None:
    sizes = [3000] if args.quick else [int(s) for s in args.set_sizes.split(",")]
    thresholds = [0.9] if args.quick else [float(t) for t in args.thresholds.split(",")]
    names = ["random", "clustered"] if args.quick else args.sets.split(",")
    sets: list[tuple[str, str, np.ndarray]] = []  # (label, truth cache key, rows)
    for name in names:
        if name == "random":
            for n in sizes:
                sets.append((f"random {n:,} x 384", f"random-{n}-384-s0", Generated(count=n, dim=384).rows(0, n)))
        elif name == "clustered":
            for n in sizes:
                rows = Clustered(count=n, dim=384, seed=0).rows(0, n)
                sets.append((f"clustered {n:,} x 384", f"clustered-{n}-384-s0", rows))
        elif name == "real":
            emb = real_embeddings.load_or_skip()
            if emb is None:
                continue
            key = f"real-{len(emb)}-{real_embeddings.MODEL}"
            for n in sorted({min(n, len(emb)) for n in sizes} | {len(emb)}):
                sets.append((f"real {n:,} x {emb.shape[1]}", f"{key}-{n}", emb[:n]))
        else:
            raise SystemExit(f"unknown data set {name!r}: random, clustered or real")
    bl.set_threads(bl.THREADS)
    print(f"\n== data sets ({cpu_line()}; {bl.THREADS} threads; {load()})")
    with contextlib.ExitStack() as stack:
        client = stack.enter_context(connect(workers=2, threads_per_worker=1)) if args.cluster else None
        for label, key, rows in sets:
            n = len(rows)
            unit = bl.unit32(rows)
            for t in thresholds:
                full = n <= args.full_truth
                if full:
                    ti, tj, _ = bl.exact_pairs(rows, t, key=key, log=lambda m, w=label: log(f"{w}: {m}"))
                    truth = bl.keys(ti, tj, n)
                    sample = None
                else:
                    sample = np.sort(np.random.default_rng(0).choice(n, SAMPLE_ROWS, replace=False))
                    truth = sampled_truth(rows, t, sample)
                out: list[list[str]] = []

                def add(
                    method: str,
                    seconds: float,
                    found: np.ndarray,
                    out=out,
                    truth=truth,
                    sample=sample,
                    n=n,
                    what=f"{label} t={t}",
                ) -> None:
                    if sample is None:
                        rec, prec = bl.score(found, truth)
                        cells = [f"{rec:.4f}", f"{prec:.4f}"]
                    else:
                        rec, _ = bl.score(touching(found, sample, n), truth)
                        cells = [f"{rec:.4f} (sampled)", "-"]
                    out.append([method, f"{seconds:.1f}", *cells, f"{len(found):,}"])
                    log(f"{what}: {method} {seconds:.1f} s, recall {cells[0]}")

                if not args.no_ours:
                    seconds, a, b, summary = bl.run_ours(rows, t)
                    promised = summary["promised_recall"]
                    add(f"ours ({summary['engine']['name']})", seconds, bl.keys(a, b, n))
                    if client is not None:
                        seconds, a, b, _ = bl.run_ours(rows, t, client=client)
                        add("ours (2 worker processes)", seconds, bl.keys(a, b, n))
                if bl.faiss is not None:
                    if n <= args.flat_limit:
                        add("FAISS flat range_search", *bl.faiss_flat(unit, t))
                    for nprobe, seconds, found in bl.faiss_ivf(unit, t):
                        add(f"FAISS IVF nprobe {nprobe}", seconds, found)
                if bl.usearch_index is not None and n <= args.hnsw_limit:
                    add(f"HNSW (usearch) k={bl.HNSW_K}", *bl.hnsw(unit, t))
                what = f"{len(truth):,} true pairs" + (
                    f" of {SAMPLE_ROWS:,} sampled rows" if sample is not None else ""
                )
                print(f"\n{label}, threshold {t}: {what}")
                if not args.no_ours:
                    print(
                        "recall the layout promises: "
                        + ", ".join(f"{k} {'n/a' if v is None else f'{v:.4f}'}" for k, v in promised.items())
                    )
                print(table(["method", "seconds", "recall", "precision", "pairs"], out, args.markdown), flush=True)
    missing = [name for name, mod in (("faiss-cpu", bl.faiss), ("usearch", bl.usearch_index)) if mod is None]
    if missing:
        print(f"not installed, so not measured: {', '.join(missing)} (pip install -r requirements-bench.txt)")


# -- stages ---------------------------------------------------------------------------


def stage_table(args: argparse.Namespace, scratch: Path) -> None:
    n = 6000 if args.quick else args.stage_count
    source = scratch / "stages.npy"
    np.save(source, Clustered(count=n, dim=384, seed=0).rows(0, n))
    seconds = {}
    run(source, scratch / "stages-warm", 0.9, in_process=True)
    local = run(source, scratch / "stages-local", 0.9, in_process=True, kept=scratch / "stages-local-kept")
    seconds["in process"] = local.seconds
    with connect(workers=2, threads_per_worker=1) as client:
        run(source, scratch / "stages-warm2", 0.9, client=client)
        cluster = run(source, scratch / "stages-cluster", 0.9, client=client, kept=scratch / "stages-cluster-kept")
        seconds["2 workers"] = cluster.seconds
    ran = [stage for stage in [*STAGES, "total"] if all(stage in s for s in seconds.values())]
    rows = [[stage, *(f"{s[stage]:.2f}" for s in seconds.values())] for stage in ran]
    print(f"\n== stages: {n:,} x 384 clustered, threshold 0.9, seconds ({cpu_line()}; {load()})")
    print(table(["stage", *seconds], rows, args.markdown))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="tiny counts: checks that the benchmark runs")
    ap.add_argument("--markdown", action="store_true")
    ap.add_argument("--only", choices=("small", "sets", "stages", "dense"))
    ap.add_argument("--sets", default="real,clustered,random", help="data sets of the sets part")
    ap.add_argument("--set-sizes", default="50000,200000", help="N of the sets part")
    ap.add_argument("--thresholds", default="0.8,0.85,0.9,0.95")
    ap.add_argument("--full-truth", type=int, default=250_000, help="largest N whose whole truth is computed")
    ap.add_argument("--flat-limit", type=int, default=100_000, help="largest N for FAISS flat")
    ap.add_argument("--hnsw-limit", type=int, default=100_000, help="largest N for HNSW")
    ap.add_argument("--cluster", action="store_true", help="also run the pipeline on 2 worker processes")
    ap.add_argument("--no-ours", action="store_true", help="the sets part without the pipeline")
    ap.add_argument("--stage-count", type=int, default=200_000)
    ap.add_argument("--dense-counts", default="100000,1000000")
    args = ap.parse_args()
    print(f"ambrel_dedup benchmark: {cpu_line()}; {load()}")
    with tempfile.TemporaryDirectory(prefix="ambrel-dedup-bench-") as tmp:
        scratch = Path(tmp)
        if args.only in (None, "small"):
            small(args, scratch)
        if args.only in (None, "sets"):
            data_sets(args)
        if args.only in (None, "stages"):
            stage_table(args, scratch)
        if args.only in (None, "dense"):
            print(f"\n== dense family ({cpu_line()}; {load()})")
            dense.table([2000] if args.quick else [int(c) for c in args.dense_counts.split(",")])
    print(f"after the run: {load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
