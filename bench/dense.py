#!/usr/bin/env python3
"""Dense buckets: the pipeline on N near-identical 32-dimensional vectors (one family, every pair at
a cosine of about 0.9999), on a fresh local cluster of 2 single-threaded workers.

    .venv/bin/python bench/dense.py                  # 100,000 and 1,000,000
    .venv/bin/python bench/dense.py --counts 5000    # other sizes

Prints per size the wall time, the groups found (the truth is 1), the pairs listed (dense cells
list a bounded number and then only the pairs that link their groups) and the peak resident
memory of each worker process (its own high-water mark, read at the end), beside the pairs of
the family. Nothing asserts on timings.
"""

from __future__ import annotations

import argparse
import logging
import resource
import tempfile
import time
from pathlib import Path

import numpy as np
from distributed import Client, LocalCluster

from ambrel_dedup import run

DIM = 32


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
            result = run(path, Path(tmp) / "out", 0.9, client=client)
            seconds = time.perf_counter() - started
            peaks = sorted(client.run(_peak_rss_mb).values())
    counts = result.summary["counts"]
    return {
        "count": count,
        "seconds": seconds,
        "groups": counts["groups"],
        "listed": counts["pairs"],
        "all_pairs": count * (count - 1) // 2,
        "worker_peak_mb": max(peaks),
    }


def table(counts: list[int]) -> list[str]:
    lines = [
        "| near-identical vectors (32-d) | time | groups (truth 1) | pairs listed | pairs of the family | largest worker peak |",
        "|---|---|---|---|---|---|",
    ]
    print("\n".join(lines), flush=True)
    for n in counts:
        m = measure(n)
        lines.append(
            f"| {n:,} | {m['seconds']:.1f} s | {m['groups']} | {m['listed']:,} | {m['all_pairs']:,} | "
            f"{m['worker_peak_mb']:,.0f} MB |"
        )
        print(lines[-1], flush=True)
    return lines


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--counts", default="100000,1000000", help="comma-separated sizes (default %(default)s)")
    args = ap.parse_args()
    table([int(c) for c in args.counts.split(",")])


if __name__ == "__main__":
    main()
