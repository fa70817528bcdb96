#!/usr/bin/env python3
"""Benchmarks of the batch engine (ambrel_batch) against baselines measured in
the same run.

    .venv/bin/python bench/batch.py            # full run, a few minutes
    .venv/bin/python bench/batch.py --quick    # smoke run with tiny counts (CI)
    .venv/bin/python bench/batch.py --markdown # the tables as Markdown

Prints the CPU, its vector instruction sets and the kernel the engine uses,
then tables of time per row: the engine on one thread against FAISS
IndexLSH(d, 768, rotate_data=True).add on one thread (faiss-cpu is an optional
benchmark dependency; its rows are skipped when it is missing), a float32
numpy product with a +-1 matrix on one thread, and the per-vector loop; the
engine on 1, 2 and all threads; other lengths and batch sizes; the peak
working memory of a large batch. Every figure is the median of several rounds,
the engine and its baselines alternating. Nothing asserts on timings.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

# The baselines run on one thread: set before numpy and FAISS load their BLAS.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_variable] = "1"

import numpy as np

import ambrel_batch as ab
import ambrel_native as an

try:
    import faiss  # type: ignore[import-not-found]
except ImportError:
    faiss = None

FAMILIES, BITS, BANDS = 3, 256, 16


@dataclass
class Row:
    case: str
    per_row_us: float
    baseline: str = "-"
    baseline_us: float | None = None
    goal: str = "-"
    ratio_text: str = "-"
    met: str = "-"


def cpu_description() -> str:
    model = platform.processor() or "unknown CPU"
    flags: list[str] = []
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name") and model in ("", "unknown CPU", platform.machine()):
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    present = set(line.split(":", 1)[1].split())
                    wanted = ("avx2", "fma", "avx512f", "avx512dq", "avx512vl", "avx512bw", "avx512_vpopcntdq")
                    flags = [flag for flag in wanted if flag in present]
                    break
    except OSError:
        pass
    return (
        f"{model}; {os.cpu_count()} CPUs, {ab.available_cpus()} usable; instruction sets: {' '.join(flags) or 'none'}"
    )


def unit_rows(n: int, d: int, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d)).astype(np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def median_times(functions: list[Callable[[], object]], rounds: int) -> list[float]:
    """Median seconds per call of each function, the functions alternating."""
    samples: list[list[float]] = [[] for _ in functions]
    for function in functions:  # warm up: caches, first-use allocations
        function()
    for _ in range(rounds):
        for k, function in enumerate(functions):
            start = time.perf_counter()
            function()
            samples[k].append(time.perf_counter() - start)
    return [statistics.median(s) for s in samples]


def faiss_lsh(rows: np.ndarray) -> Callable[[], object] | None:
    if faiss is None:
        return None
    faiss.omp_set_num_threads(1)
    index = faiss.IndexLSH(rows.shape[1], FAMILIES * BITS, True)
    index.train(rows)

    def add() -> None:
        index.reset()
        index.add(rows)

    return add


def ratio(case_us: float, baseline_us: float, faster_goal: float | None = None, slower_goal: float | None = None):
    value = case_us / baseline_us
    if faster_goal is not None:
        speedup = baseline_us / case_us
        return f"{speedup:.1f}x faster", f">= {faster_goal:g}x faster", "yes" if speedup >= faster_goal else "no"
    assert slower_goal is not None
    return f"{value:.2f}x", f"<= {slower_goal:g}x", "yes" if value <= slower_goal else "no"


def one_thread_table(n: int, d: int, rounds: int, loop_rows: int) -> list[Row]:
    rows = unit_rows(n, d)
    signs = np.where(np.random.default_rng(1).random((d, FAMILIES * BITS)) < 0.5, -1.0, 1.0).astype(np.float32)
    engine = lambda: ab.simhash_lsh_batch(rows, FAMILIES, BITS, BANDS, threads=1)  # noqa: E731
    product = lambda: rows @ signs  # noqa: E731
    functions: list[Callable[[], object]] = [engine, product]
    add = faiss_lsh(rows)
    if add is not None:
        functions.append(add)
    times = median_times(functions, rounds)
    engine_us, product_us = times[0] * 1e6 / n, times[1] * 1e6 / n
    label = f"simhash_lsh_batch, {n} x {d} float32, {FAMILIES} x {BITS} bits, 1 thread [{ab.kernel()}]"
    table = []
    if add is not None:
        faiss_us = times[2] * 1e6 / n
        text, goal, met = ratio(engine_us, faiss_us, slower_goal=1.25)
        table.append(
            Row(label, engine_us, "FAISS IndexLSH(d, 768, rotate_data=True).add, 1 thread", faiss_us, goal, text, met)
        )
    else:
        table.append(Row(label, engine_us, "FAISS IndexLSH: faiss-cpu not installed (pip install faiss-cpu)"))
    text, _, _ = ratio(engine_us, product_us, slower_goal=1e9)
    table.append(Row(label, engine_us, "numpy float32 rows @ (+-1 matrix), 1 thread", product_us, "-", text, "-"))

    sample = [row.tolist() for row in rows[:loop_rows]]
    loop = lambda: [an.simhash_lsh_multi(v, FAMILIES, BITS, BANDS) for v in sample]  # noqa: E731
    (loop_time,) = median_times([loop], max(1, rounds // 3))
    loop_us = loop_time * 1e6 / loop_rows
    text, goal, met = ratio(engine_us, loop_us, faster_goal=10)
    table.append(Row(label, engine_us, "simhash_lsh_multi, one call per row (lists)", loop_us, goal, text, met))
    return table


def threads_table(n: int, d: int, rounds: int) -> list[Row]:
    rows = unit_rows(n, d)
    counts = sorted({1, 2, ab.available_cpus()})
    functions = [lambda t=t: ab.simhash_lsh_batch(rows, FAMILIES, BITS, BANDS, threads=t) for t in counts]
    times = median_times(functions, rounds)
    table = []
    for count, seconds in zip(counts, times, strict=True):
        case = f"simhash_lsh_batch, {n} x {d}, threads={count}"
        if count == 1:
            table.append(Row(case, seconds * 1e6 / n))
            continue
        speedup = times[0] / seconds
        goal = ">= 1.85x" if count == 2 else "-"
        met = ("yes" if speedup >= 1.85 else "no") if count == 2 else "-"
        table.append(Row(case, seconds * 1e6 / n, "threads=1", times[0] * 1e6 / n, goal, f"{speedup:.2f}x faster", met))
    return table


def sizes_table(lengths: list[int], batches: list[int], rounds: int) -> list[Row]:
    table = []
    for d in lengths:
        rows = unit_rows(max(batches), d, seed=d)
        sample = [row.tolist() for row in rows[:8]]
        loop = lambda sample=sample: [an.simhash_lsh_multi(v, FAMILIES, BITS, BANDS) for v in sample]  # noqa: E731
        for n in batches:
            part = rows[:n]
            engine = lambda part=part: ab.simhash_lsh_batch(part, FAMILIES, BITS, BANDS, threads=1)  # noqa: E731
            engine_time, loop_time = median_times([engine, loop], rounds)
            engine_us, loop_us = engine_time * 1e6 / n, loop_time * 1e6 / len(sample)
            table.append(
                Row(
                    f"d={d}, batch of {n}, 1 thread",
                    engine_us,
                    "simhash_lsh_multi per row",
                    loop_us,
                    "-",
                    f"{loop_us / engine_us:.1f}x faster",
                    "-",
                )
            )
    return table


def other_functions_table(n: int, d: int, rounds: int) -> list[Row]:
    rows = unit_rows(n, d, seed=3)
    sample = [row.tolist() for row in rows[:64]]
    codes = ab.simhash_lsh_batch(rows, threads=1).codes
    signatures = [[f.signature for f in ab.simhash_lsh_batch(rows[:64]).records(r)] for r in range(64)]
    cases = [
        (
            "normalize_batch",
            lambda: ab.normalize_batch(rows, threads=1),
            lambda: [an.normalize_vector(v) for v in sample],
        ),
        (
            "sha256_batch",
            lambda: ab.sha256_batch(rows, threads=1),
            lambda: [an.compute_embedding_sha256(v) for v in sample],
        ),
        (
            "hamming_distance_pairs (3 families)",
            lambda: ab.hamming_distance_pairs(codes[:-1], codes[1:], threads=1),
            lambda: [
                sum(an.hamming_distance_hex(a, b) for a, b in zip(signatures[r], signatures[r + 1], strict=True))
                for r in range(63)
            ],
        ),
    ]
    table = []
    for name, batch, loop in cases:
        batch_time, loop_time = median_times([batch, loop], rounds)
        batch_us, loop_us = batch_time * 1e6 / n, loop_time * 1e6 / 64
        table.append(
            Row(
                f"{name}, {n} x {d}, 1 thread",
                batch_us,
                "per-vector function per row",
                loop_us,
                "-",
                f"{loop_us / batch_us:.1f}x faster",
                "-",
            )
        )
    return table


MEMORY_PROBE = """
import sys
import numpy as np
import ambrel_batch as ab

def status(field):
    with open("/proc/self/status") as info:
        for line in info:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)

n, d, threads = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
rows = np.random.default_rng(0).standard_normal((n, d), dtype=np.float32)
ab.simhash_lsh_batch(rows[:64], threads=threads)  # the sign matrix of this configuration is kept per process
with open("/proc/self/clear_refs", "w") as clear:  # restart the peak (VmHWM) from the current size
    clear.write("5")
before = status("VmRSS")
result = ab.simhash_lsh_batch(rows, threads=threads)
print(status("VmHWM") - before, result.codes.nbytes, rows.nbytes)
"""


def memory_row(n: int, d: int) -> Row:
    threads = ab.available_cpus()
    output = subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE, str(n), str(d), str(threads)], capture_output=True, text=True, check=True
    ).stdout.split()
    growth, codes, rows = (int(value) for value in output)
    working = growth - codes
    case = f"peak memory of simhash_lsh_batch, {n} x {d} float32, threads={threads}"
    note = f"input {rows / 2**20:.0f} MiB (read in place), output {codes / 2**20:.1f} MiB"
    return Row(case, float("nan"), note, None, "independent of N", f"{working / 2**20:.1f} MiB working", "-")


def print_table(title: str, table: list[Row], markdown: bool) -> None:
    print()
    print(f"## {title}" if markdown else f"== {title}")
    header = ["case", "per row", "baseline", "baseline per row", "ratio", "goal", "met"]
    lines = []
    for row in table:
        per_row = "-" if row.per_row_us != row.per_row_us else f"{row.per_row_us:.2f} us"
        base = "-" if row.baseline_us is None else f"{row.baseline_us:.2f} us"
        lines.append([row.case, per_row, row.baseline, base, row.ratio_text, row.goal, row.met])
    if markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
        for line in lines:
            print("| " + " | ".join(line) + " |")
    else:
        for line in lines:
            print("  " + " | ".join(line))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny counts: a smoke run")
    parser.add_argument("--markdown", action="store_true", help="print Markdown tables")
    args = parser.parse_args()
    quick = args.quick

    print(f"CPU: {cpu_description()}")
    print(
        f"batch kernel: {ab.kernel()}; Python {platform.python_version()}; numpy {np.__version__}; "
        f"faiss {'not installed' if faiss is None else faiss.__version__}"
    )
    rounds = 3 if quick else 15
    n = 64 if quick else 1024
    print_table(
        "One thread, 1536 dims, 3 x 256 bits", one_thread_table(n, 1536, rounds, 4 if quick else 32), args.markdown
    )
    print_table("Threads", threads_table(2 * n, 1536, rounds), args.markdown)
    print_table(
        "Lengths and batch sizes (per-vector loop on 8 rows)",
        sizes_table([384] if quick else [384, 768, 1536], [1, 8] if quick else [1, 8, 64, 1024], rounds),
        args.markdown,
    )
    print_table("The other batch functions", other_functions_table(n, 1536, rounds), args.markdown)
    counts = [2_000] if quick else [10_000, 100_000]
    print_table("Memory", [memory_row(count, 1536) for count in counts], args.markdown)
    return 0


if __name__ == "__main__":
    sys.exit(main())
