"""`ambrel-dedup demo`: the pipeline on the built-in data set, checked and timed against brute force.

1. The full run (default 200,000 x 384) on a local cluster: seconds and vectors/s per stage.
2. Recall and precision against brute-force cosine on the first rows (whole blocks
   of the data set, so their planted pairs are complete), and recall of every
   planted pair by its cosine.
3. A crossover table: the whole pipeline and numpy brute force at growing N, on the
   same cluster and machine; brute force runs only while its predicted time stays
   within a budget, and larger sizes are extrapolated (N^2) and marked so.
"""

from __future__ import annotations

import argparse
import contextlib
import shutil
import tempfile
import time
from dataclasses import replace
from pathlib import Path

import numpy as np
import pandas as pd

from ..datasets.generate import Generated
from ..datasets.truth import brute_force_pairs, compare
from ..engine.opening import connect
from ..pipeline.job import run


def _read_output(path: Path) -> tuple[pd.DataFrame, pd.DataFrame]:
    return pd.read_parquet(path / "pairs.parquet"), pd.read_parquet(path / "groups.parquet")


def _time_brute_force(gen: Generated, n: int, threshold: float) -> float:
    vectors = replace(gen, count=n).rows(0, n)
    started = time.perf_counter()
    brute_force_pairs(vectors, threshold)
    return time.perf_counter() - started


def demo(args: argparse.Namespace) -> int:
    gen = Generated(count=args.count, dim=args.dim)
    threshold = args.threshold
    sizes = sorted({int(s) for s in args.sizes.split(",") if s.strip() and int(s) < args.count} | {args.count})
    keep = Path(args.output) if args.output else None
    scratch = Path(tempfile.mkdtemp(prefix="ambrel-dedup-demo-"))
    wants_cluster = args.engine == "cluster" or args.scheduler is not None or args.workers is not None
    try:
        with (
            connect(workers=args.workers, threads_per_worker=args.threads_per_worker, scheduler=args.scheduler)
            if wants_cluster
            else contextlib.nullcontext()
        ) as client:
            where = {"client": client} if client is not None else {"in_process": args.engine != "cluster"}
            print(f"== the pipeline on {gen.describe()}")
            out = keep or scratch / "full"
            result = run(gen, out, threshold, log=print, progress=True, overwrite=keep is not None, **where)
            s = result.summary
            c = s["counts"]
            print(
                f"   {s['seconds']['total']:.1f} s in all ({args.count / s['seconds']['total']:,.0f} vectors/s); "
                f"{c['near_pairs']:,} near pairs, {c['exact_pairs']:,} exact copies, {c['groups']:,} groups, "
                f"{c['removed']:,} ids to remove"
            )
            pairs, _ = _read_output(out)
            _report_truth(gen, threshold, pairs, min(args.truth_sample, args.count))
            if args.plot:
                from ..review.plot import plot_summary

                print(f"   plot: {plot_summary(s, args.plot)}")

            print("\n== crossover: the whole pipeline against numpy brute force (float32 X @ X.T in blocks, all cores)")
            timings = {args.count: s["seconds"]["total"]}
            for n in sizes:
                if n in timings:
                    continue
                sub = replace(gen, count=n)
                timings[n] = run(sub, scratch / f"n{n}", threshold, **where).summary["seconds"]["total"]
            _crossover(gen, threshold, sizes, timings, args.brute_budget)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


def _report_truth(gen: Generated, threshold: float, pairs: pd.DataFrame, sample: int) -> None:
    exact = pairs[pairs["exact"]]
    reps = dict(zip(exact["id_b"].astype(int), exact["id_a"].astype(int)))
    near = pairs[~pairs["exact"]]
    vectors = gen.rows(0, sample)
    started = time.perf_counter()
    agreement = compare(vectors, np.arange(sample), threshold, (near["id_a"].to_numpy(), near["id_b"].to_numpy()), reps)
    print(f"\n== against brute force on the first {sample:,} vectors ({time.perf_counter() - started:.1f} s)")
    print(
        f"   recall {agreement.recall:.4f} ({agreement.found:,} of {agreement.true_pairs:,} pairs at cosine >= {threshold}), "
        f"precision {agreement.precision:.4f} ({agreement.reported_true:,} of {agreement.reported:,} listed near pairs; a true pair through an exact copy counts as found), "
        f"{agreement.far_below} reported pairs below {threshold - 0.1:.2f}"
    )
    planted = gen.planted()
    found = {(int(a), int(b)) for a, b in zip(near["id_a"], near["id_b"])}
    bins = [(threshold, threshold + 0.02), (threshold + 0.02, threshold + 0.05), (threshold + 0.05, 1.0001)]
    cells = []
    for lo, hi in bins:
        members = [(i, j) for i, j, c in planted.pairs if lo <= c < hi]
        got = sum((i, j) in found for i, j in members)
        cells.append(f"[{lo:.2f}, {min(hi, 1.0):.2f}): {got}/{len(members)}")
    copies = sum(reps.get(j) == i or reps.get(i) == j for i, j in planted.copies)
    print(
        f"   planted pairs of all {gen.count:,} found, by planted cosine: {', '.join(cells)}; exact copies {copies}/{len(planted.copies)}"
    )


def _crossover(gen: Generated, threshold: float, sizes: list[int], pipeline: dict[int, float], budget: float) -> None:
    brute: dict[int, tuple[float, bool]] = {}
    last: tuple[int, float] | None = None
    for n in sizes:
        predicted = last[1] * (n / last[0]) ** 2 if last else 0.0
        if predicted <= budget:
            measured = _time_brute_force(gen, n, threshold)
            brute[n] = (measured, True)
            last = (n, measured)
        else:
            assert last is not None
            brute[n] = (predicted, False)
    print(f"   {'N':>9} | {'pipeline':>10} | {'brute force':>13} | {'brute / pipeline':>16}")
    print(f"   {'-' * 9}-+-{'-' * 10}-+-{'-' * 13}-+-{'-' * 16}")
    for n in sizes:
        b, measured = brute[n]
        mark = "" if measured else " ~"
        print(f"   {n:>9,} | {pipeline[n]:>8.1f} s | {b:>9.1f} s{mark:2} | {b / pipeline[n]:>15.1f}x")
    print(
        "   ~ extrapolated from the largest measured brute-force run (time grows as N^2); pipeline times include every stage and the write"
    )
