#!/usr/bin/env python3
"""Dense buckets: the pipeline on N near-identical 32-dimensional vectors (one family, every pair at
a cosine of about 0.9999), on a fresh local cluster of 2 single-threaded workers.

    .venv/bin/python bench/dense.py                  # 100,000 and 1,000,000
    .venv/bin/python bench/dense.py --counts 5000    # other sizes

Every pair is at or above the threshold, so the greedy rule keeps one row (row 0, the smallest id)
and removes the N - 1 others, each naming it. Prints per size the wall time, the rows kept (truth 1;
rows in no group of groups.parquet count as kept), the rows removed and those whose duplicate_of is
row 0 (truth N - 1 each), the pairs listed (dense cells list each row's pair with the rows kept
before it, not the family's every pair) and the peak resident memory of each worker process (its
own high-water mark, read at the end), beside the pairs of the family. Nothing asserts on timings.
"""

from __future__ import annotations

import argparse
import logging
import resource
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

from ambrel_dedup import run

DIM = 32
THRESHOLD = 0.9


def _peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def measure(count: int, workers: int = 2) -> dict[str, float]:
    rng = np.random.default_rng(count)
    base = rng.standard_normal(DIM).astype(np.float32)
    with tempfile.TemporaryDirectory(prefix="ambrel-dense-") as tmp:
        path = Path(tmp) / "dense.npy"
        np.save(path, base + 1e-3 * rng.standard_normal((count, DIM)).astype(np.float32))
        with (
            LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",
                silence_logs=logging.CRITICAL,
            ) as cluster,
            Client(cluster, set_as_default=False) as client,
        ):
            started = time.perf_counter()
            result = run(path, Path(tmp) / "out", THRESHOLD, client=client)
            seconds = time.perf_counter() - started
            peaks = sorted(client.run(_peak_rss_mb).values())
        groups = pd.read_parquet(result.output / "groups.parquet", columns=["id", "keep", "duplicate_of"])
    keep = groups["keep"].to_numpy(bool)
    ids = groups["id"].to_numpy(np.int64)
    named = groups["duplicate_of"].to_numpy(np.int64, na_value=-1)[~keep]
    counts = result.summary["counts"]
    return {
        "count": count,
        "seconds": seconds,
        "kept": count - int((~keep).sum()),  # rows in no group are kept too
        "alone": count - len(ids),
        "removed": int((~keep).sum()),
        "removed_naming_first": int((named == 0).sum()),  # the greedy rule keeps row 0 and removes the rest for it
        "groups": counts["groups"],
        "listed": counts["pairs"],
        "all_pairs": count * (count - 1) // 2,
        "worker_peak_mb": max(peaks),
        "worker_peaks_mb": peaks,
    }


def table(counts: list[int]) -> list[str]:
    lines = [
        f"| near-identical vectors (32-d), t = {THRESHOLD} | time | rows kept (truth 1) | rows removed (truth N - 1) | "
        "removed naming row 0 (truth N - 1) | pairs listed | pairs of the family | peak RSS per worker |",
        "|---|---|---|---|---|---|---|---|",
    ]
    print("\n".join(lines), flush=True)
    for n in counts:
        m = measure(n)
        lines.append(
            f"| {n:,} | {m['seconds']:.1f} s | {m['kept']:,} ({m['alone']:,} in no group) | {m['removed']:,} | "
            f"{m['removed_naming_first']:,} | {m['listed']:,} | {m['all_pairs']:,} | "
            + ", ".join(f"{p:,.0f} MB" for p in m["worker_peaks_mb"])
            + " |"
        )
        print(lines[-1], flush=True)
    return lines


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--counts", default="100000,1000000", help="comma-separated sizes (default %(default)s)")
    args = ap.parse_args()
    import sys

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from decisions import cpu_line, load

    print(f"dense family: {cpu_line()}; 2 worker processes, 1 thread each; {load()}", flush=True)
    table([int(c) for c in args.counts.split(",")])
    print(f"after the run: {load()}")


if __name__ == "__main__":
    main()
