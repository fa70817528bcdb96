#!/usr/bin/env python3
"""Benchmark of the Dask deduplication pipeline (ambrel_dedup) against baselines
measured in the same run, on the same data and machine.

    .venv/bin/python bench/dedup.py              # full run: stages at 200,000, crossover up to 200,000
    .venv/bin/python bench/dedup.py --quick      # smoke run with tiny counts
    .venv/bin/python bench/dedup.py --markdown   # the tables as Markdown

Data: the built-in generated data set, random 384-dimensional directions with
planted pairs at cosine 0.95 (5 per 1,000 rows) and exact copies (2 per 1,000),
threshold 0.9. Random pairs there have cosines of about N(0, 1/384), so the
truth at any N is the planted pairs plus the copies; brute force and FAISS
IndexFlatIP confirm it wherever they run.

1. Stages: seconds and vectors per second of each stage on a local cluster of
   1 and of 2 single-threaded worker processes (cluster start excluded), and
   the speed-up of the read+sign stage (each task reads one partition and signs
   it; the time spent reading and signing inside the tasks is shown too, as
   vectors per second per core).
2. Crossover: the whole pipeline (2 workers, every stage and the write),
   numpy brute force (float32 X @ X.T in blocks, all cores), FAISS
   IndexFlatIP.range_search (exact) and IndexIVFFlat with nlist = 4 sqrt(N),
   nprobe = 8 (train, add and range_search; all cores) at growing N, with the
   recall of each. A baseline runs only while its predicted time stays within
   --budget seconds; faiss-cpu is optional (pip install faiss-cpu) and its
   columns say so when it is missing. Nothing asserts on timings.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from ambrel_dedup import Generated, choose_params, run
from ambrel_dedup.pipeline import STAGES, connect
from ambrel_dedup.truth import brute_force_pairs, unit_rows

try:
    import faiss  # type: ignore[import-not-found]
except ImportError:
    faiss = None

THRESHOLD = 0.9


@dataclass
class Measure:
    seconds: float | None  # None: not run
    recall: float | None = None
    extrapolated: bool = False

    def cell(self) -> str:
        if self.seconds is None:
            return "-"
        mark = " ~" if self.extrapolated else ""
        return f"{self.seconds:.1f} s{mark}"

    def recall_cell(self) -> str:
        return "-" if self.recall is None else f"{self.recall:.4f}"


def truth_pairs(gen: Generated) -> set[tuple[int, int]]:
    planted = gen.planted()
    return {(i, j) for i, j, _ in planted.pairs} | {(min(a, b), max(a, b)) for a, b in planted.copies}


def recall(found: set[tuple[int, int]], truth: set[tuple[int, int]]) -> float:
    return len(found & truth) / len(truth) if truth else 1.0


def pipeline_pairs(output: Path) -> set[tuple[int, int]]:
    pairs = pd.read_parquet(output / "pairs.parquet", columns=["id_a", "id_b"])
    return set(zip(pairs.id_a.tolist(), pairs.id_b.tolist()))


def range_pairs(lims: np.ndarray, ids: np.ndarray) -> set[tuple[int, int]]:
    rows = np.repeat(np.arange(len(lims) - 1), np.diff(lims.astype(np.int64)))
    keep = ids > rows
    return set(zip(rows[keep].tolist(), ids[keep].tolist()))


def faiss_flat(unit: np.ndarray) -> tuple[float, set[tuple[int, int]]]:
    started = time.perf_counter()
    index = faiss.IndexFlatIP(unit.shape[1])
    index.add(unit)
    lims, _, ids = index.range_search(unit, THRESHOLD)
    return time.perf_counter() - started, range_pairs(lims, ids)


def faiss_ivf(unit: np.ndarray) -> tuple[float, set[tuple[int, int]]]:
    n, dim = unit.shape
    nlist = max(1, round(4 * math.sqrt(n)))
    started = time.perf_counter()
    quantizer = faiss.IndexFlatIP(dim)
    index = faiss.IndexIVFFlat(quantizer, dim, nlist, faiss.METRIC_INNER_PRODUCT)
    index.train(unit)
    index.add(unit)
    index.nprobe = 8
    lims, _, ids = index.range_search(unit, THRESHOLD)
    return time.perf_counter() - started, range_pairs(lims, ids)


def predicted(history: list[tuple[int, float]], n: int, power: float) -> float:
    if not history:
        return 0.0
    n0, t0 = history[-1]
    return t0 * (n / n0) ** power


def table(headers: list[str], rows: list[list[str]], markdown: bool) -> str:
    if markdown:
        lines = ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)]
        lines += ["| " + " | ".join(r) + " |" for r in rows]
        return "\n".join(lines)
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    fmt = "  ".join(f"{{:>{w}}}" for w in widths)
    return "\n".join([fmt.format(*headers), fmt.format(*("-" * w for w in widths)), *(fmt.format(*r) for r in rows)])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="20000,50000,100000,200000")
    ap.add_argument("--stage-count", type=int, default=200_000, help="N of the per-stage table")
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--budget", type=float, default=60.0, help="seconds a baseline may be predicted to take")
    ap.add_argument("--quick", action="store_true", help="tiny counts: checks that the benchmark runs")
    ap.add_argument("--markdown", action="store_true")
    ap.add_argument("--only", choices=("stages", "crossover"), help="run one of the two parts")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    stage_n = args.stage_count
    if args.quick:
        sizes, stage_n, args.budget = [3000, 6000], 6000, 5.0

    def data(n: int) -> Generated:
        return Generated(count=n, dim=args.dim, groups_per_block=0, cosine_low=0.95, cosine_high=0.95)

    params = choose_params(THRESHOLD)
    load = os.getloadavg()
    print(f"ambrel_dedup benchmark: {os.cpu_count()} CPUs, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    print(f"threshold {THRESHOLD}; {params.describe()}")
    print(f"faiss: {getattr(faiss, '__version__', 'not installed (pip install faiss-cpu): its columns are skipped')}")
    scratch = Path(tempfile.mkdtemp(prefix="ambrel-dedup-bench-"))

    # 1. Stages on 1 and 2 workers.
    if args.only != "crossover":
        stage_seconds: dict[int, dict[str, float]] = {}
        task_seconds: dict[int, dict[str, float]] = {}
        for workers in (1, 2):
            with connect(workers=workers) as client:
                run(data(2000), scratch / f"warm{workers}", params=params, client=client)  # imports, first tasks
                result = run(data(stage_n), scratch / f"stages{workers}", params=params, client=client)
                stage_seconds[workers] = result.seconds
                task_seconds[workers] = result.summary["task_seconds"]
        rows = []
        for stage in [*STAGES, "total"]:
            one, two = stage_seconds[1][stage], stage_seconds[2][stage]
            rows.append(
                [
                    stage,
                    f"{one:.2f}",
                    f"{stage_n / one:,.0f}",
                    f"{two:.2f}",
                    f"{stage_n / two:,.0f}",
                    f"{one / two:.2f}x",
                ]
            )
        for part in ("read", "sign"):  # inside the read+sign tasks, summed over tasks: per core
            one, two = task_seconds[1][part], task_seconds[2][part]
            rows.append(
                [
                    f"({part}, task time)",
                    f"{one:.2f}",
                    f"{stage_n / one:,.0f}",
                    f"{two:.2f}",
                    f"{stage_n / two:,.0f}",
                    "-",
                ]
            )
        print(f"\n== stages at N = {stage_n:,} ({args.dim} dims): seconds and vectors/s")
        print(table(["stage", "1 worker s", "vectors/s", "2 workers s", "vectors/s", "speed-up"], rows, args.markdown))
        sign_up = stage_seconds[1]["read+sign"] / stage_seconds[2]["read+sign"]
        verdict = "met" if sign_up >= 1.7 else "not met"
        print(f"read+sign stage speed-up on 2 workers: {sign_up:.2f}x (goal >= 1.7x: {verdict})")

    # 2. Crossover.
    if args.only != "stages":
        results: dict[int, dict[str, Measure]] = {}
        brute_hist: list[tuple[int, float]] = []
        flat_hist: list[tuple[int, float]] = []
        ivf_hist: list[tuple[int, float]] = []
        with connect(workers=2) as client:
            run(data(2000), scratch / "warm", params=params, client=client)
            for n in sizes:
                gen = data(n)
                truth = truth_pairs(gen)
                row: dict[str, Measure] = {}
                res = run(gen, scratch / f"n{n}", params=params, client=client)
                row["pipeline"] = Measure(res.seconds["total"], recall(pipeline_pairs(res.output), truth))
                vectors = gen.rows(0, n)
                unit = unit_rows(vectors)
                guess = predicted(brute_hist, n, 2)
                if guess <= args.budget:
                    started = time.perf_counter()
                    bi, bj, _ = brute_force_pairs(vectors, THRESHOLD)
                    secs = time.perf_counter() - started
                    brute_hist.append((n, secs))
                    row["numpy"] = Measure(secs, recall(set(zip(bi.tolist(), bj.tolist())), truth))
                else:
                    row["numpy"] = Measure(guess, None, extrapolated=True)
                if faiss is None:
                    row["flat"] = row["ivf"] = Measure(None)
                else:
                    guess = predicted(flat_hist, n, 2)
                    if guess <= args.budget:
                        secs, found = faiss_flat(unit)
                        flat_hist.append((n, secs))
                        row["flat"] = Measure(secs, recall(found, truth))
                    else:
                        row["flat"] = Measure(guess, None, extrapolated=True)
                    guess = predicted(ivf_hist, n, 1.5)
                    if guess <= 4 * args.budget:
                        secs, found = faiss_ivf(unit)
                        ivf_hist.append((n, secs))
                        row["ivf"] = Measure(secs, recall(found, truth))
                    else:
                        row["ivf"] = Measure(guess, None, extrapolated=True)
                results[n] = row
                print(f"   N = {n:,}: " + ", ".join(f"{k} {m.cell()}" for k, m in row.items()), file=sys.stderr)

        rows = []
        for n, row in results.items():
            p, ivf = row["pipeline"], row["ivf"]
            ratio = f"{ivf.seconds / p.seconds:.2f}x" if ivf.seconds and p.seconds else "-"
            rows.append(
                [
                    f"{n:,}",
                    p.cell(),
                    p.recall_cell(),
                    row["numpy"].cell(),
                    row["flat"].cell(),
                    row["ivf"].cell(),
                    row["ivf"].recall_cell(),
                    ratio,
                ]
            )
        print(
            f"\n== crossover ({args.dim} dims, planted pairs at cosine 0.95, threshold {THRESHOLD}; ~ = extrapolated)"
        )
        print(
            table(
                ["N", "pipeline", "recall", "numpy brute", "FAISS flat", "FAISS IVF", "IVF recall", "IVF / pipeline"],
                rows,
                args.markdown,
            )
        )
        ns = list(results)
        if len(ns) >= 2:
            a, b = ns[-2], ns[-1]
            growth = results[b]["pipeline"].seconds / results[a]["pipeline"].seconds  # type: ignore[operator]
            text = f"pipeline time x{growth:.2f} from {a:,} to {b:,} (N x{b / a:.2f})"
            ivf_a, ivf_b = results[a]["ivf"], results[b]["ivf"]
            if ivf_a.seconds and ivf_b.seconds and not ivf_b.extrapolated:
                text += f"; IVF x{ivf_b.seconds / ivf_a.seconds:.2f}"
            print(text)
            last = results[b]
            if last["ivf"].seconds and not last["ivf"].extrapolated:
                faster = last["pipeline"].seconds < last["ivf"].seconds  # type: ignore[operator]
                no_lower = (last["pipeline"].recall or 0) >= (last["ivf"].recall or 0)
                verdict = "met" if faster and no_lower else "not met"
                print(f"goal at N = {b:,}: pipeline faster than IVF at no lower recall: {verdict}")
    load = os.getloadavg()
    print(f"load average after the run: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
