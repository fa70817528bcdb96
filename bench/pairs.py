#!/usr/bin/env python3
"""similar_pairs and nearest_cells of the batch engine against numpy float32
brute force, measured in the same run.

    .venv/bin/python bench/pairs.py            # 20,000 x 384, a minute or so
    .venv/bin/python bench/pairs.py --quick    # smoke run with tiny counts

Two sets of unit rows: random (almost no pair near the threshold) and
clustered (groups of 10 around random centres, most pairs inside a group
above it). The baseline is a blocked float32 ``x @ x.T`` on one thread that
keeps the upper-triangle entries >= threshold (approximate cosines, no exact
decision); the engine gives exact cosines, on one thread and on all. Every
figure is the best of a few rounds. Nothing asserts on timings.
"""

from __future__ import annotations

import argparse
import os
import time

# The baseline runs on one thread: set before numpy loads its BLAS.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_variable] = "1"

import numpy as np

import ambrel_batch as ab


def random_rows(n: int, d: int, seed: int = 0) -> np.ndarray:
    return ab.normalize_batch(np.random.default_rng(seed).standard_normal((n, d)))


def clustered_rows(n: int, d: int, seed: int = 1, size: int = 10, spread: float = 0.015) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((n // size + 1, d))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    rows = centres[np.arange(n) // size] + spread * rng.standard_normal((n, d))
    return ab.normalize_batch(rows)


def numpy_pairs(x: np.ndarray, threshold: float, block: int = 2048) -> int:
    """Upper-triangle pairs with a float32 product >= threshold, blocked."""
    found = 0
    for i in range(0, len(x), block):
        sims = x[i : i + block] @ x[i:].T
        rows, cols = np.nonzero(sims >= threshold)
        found += int(np.count_nonzero(cols > rows))
    return found


def best_of(rounds: int, call) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(rounds):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny counts, one round")
    parser.add_argument("--count", type=int, default=20_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--threshold", type=float, default=0.9)
    args = parser.parse_args()
    n, d, rounds = (600, 64, 1) if args.quick else (args.count, args.dim, 3)
    cpus = ab.available_cpus()
    print(f"kernel: {ab.kernel()}; {cpus} CPUs usable; {n} rows x {d}, threshold {args.threshold}")
    print(f"{'case':<44} {'seconds':>9} {'pairs/s':>12} {'found':>9}")
    pairs = n * (n - 1) / 2
    for name, x in (("random", random_rows(n, d)), ("clustered", clustered_rows(n, d))):
        cases = [
            ("numpy float32 x @ x.T, 1 thread", lambda x=x: numpy_pairs(x, args.threshold)),
            ("similar_pairs, 1 thread", lambda x=x: len(ab.similar_pairs(x, args.threshold, threads=1).a)),
            (f"similar_pairs, {cpus} threads", lambda x=x: len(ab.similar_pairs(x, args.threshold).a)),
        ]
        for label, call in cases:
            seconds, found = best_of(rounds, call)
            print(f"{name + ': ' + label:<44} {seconds:>9.3f} {pairs / seconds:>12.3g} {found:>9}")
    x = random_rows(n, d)
    centroids = x[:: max(1, n // 256)][:256]
    seconds, _ = best_of(rounds, lambda: ab.nearest_cells(x, centroids, threads=1))
    numpy_seconds, _ = best_of(rounds, lambda: np.argmax(x @ centroids.T, axis=1))
    print(
        f"nearest_cells, {len(centroids)} cells, 1 thread: {seconds:.3f} s ({n / seconds:.3g} rows/s); "
        f"numpy argmax(x @ c.T): {numpy_seconds:.3f} s"
    )


if __name__ == "__main__":
    main()
