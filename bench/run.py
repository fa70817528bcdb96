#!/usr/bin/env python3
"""Benchmarks of ambrel_native against baselines measured in the same run.

    .venv/bin/python bench/run.py            # full run, about a minute
    .venv/bin/python bench/run.py --quick    # smoke run with tiny counts (CI)
    .venv/bin/python bench/run.py --markdown # the table as Markdown

Prints the CPU model, the signature kernel the module dispatches to, and a
table: case, median time per call, baseline, its median, the ratio, the goal
and whether it is met. Nothing here asserts on timings: the exit status only
reports whether the benchmark itself could run.

The signature kernels are timed by a small C++ program (simhash_kernels.cpp)
linked against the numeric core, which calls the core once per kernel the CPU
supports, the portable loop included. It is the CMake target simhash_kernels
(AMBREL_BUILD_BENCH), built into build/bench (or --build-dir). Everything else is timed here, in this process,
with time.perf_counter_ns: each case and its baseline alternate round by round
and the median round counts; the cost of the empty timing loop is subtracted
from both.
"""

from __future__ import annotations

import argparse
import array
import hashlib
import json
import math
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DIMENSION = 1536

try:
    import numpy as np
except ImportError:  # the numpy rows are skipped
    np = None

import ambrel_native as an

# ---------------------------------------------------------------- baselines --


def _expand_exponent(text: str) -> str:
    """A shortest repr in exponent notation ('5e-06', '1.5e+16') written out."""
    mantissa, exponent = text.split("e")
    digits = mantissa.replace(".", "").lstrip("0") or "0"
    point = int(exponent) + 1  # value = 0.d1d2... * 10**point
    if point <= 0:
        return "0." + "0" * -point + digits
    if point < len(digits):
        return digits[:point] + "." + digits[point:]
    return digits + "0" * (point - len(digits))


def _component_text(x: float) -> str:
    product = x * 1000000.0
    if product != product:
        return "NaN"
    if math.isinf(product):
        return "inf" if product > 0 else "-inf"
    whole = math.trunc(product + math.copysign(0.49999999999999994, product))
    value = math.copysign(float(whole), product) / 1000000.0
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    magnitude = abs(value)
    if magnitude == 0.0:
        return sign + "0.0"
    text = repr(magnitude)
    if "e" in text:
        text = _expand_exponent(text)
    if "." not in text and magnitude == math.trunc(magnitude):
        text += ".0"
    return sign + text


def python_embedding_sha256(values) -> str:
    """The canonical embedding text and its SHA-256, in plain Python."""
    narrowed = array.array("f", values)
    text = "[" + ", ".join(_component_text(x) for x in narrowed) + "]"
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def baseline_agrees_with_module() -> bool:
    samples = [
        [],
        [0.6, 0.8],
        [1.0, 0.0],
        [-0.0],
        [-1e-07],
        [3e-07, -3e-07],
        [5e-06],
        [1e20],
        [2.0**60],
        [float("nan"), float("inf"), -float("inf")],
        [123.456787, -0.5, 1e-30],
    ]
    rng = random.Random(5)
    samples.append([rng.gauss(0, 1) for _ in range(DIMENSION)])
    samples.append([rng.uniform(-1e7, 1e7) for _ in range(200)])
    return all(python_embedding_sha256(s) == an.compute_embedding_sha256(s) for s in samples)


# ------------------------------------------------------------------ timing --


@dataclass
class Settings:
    rounds: int
    round_ns: float


def _timer(stmt: str, namespace: dict) -> timeit.Timer:
    return timeit.Timer(stmt, globals=namespace, timer=time.perf_counter_ns)


def _calls_per_round(timer: timeit.Timer, round_ns: float) -> int:
    timer.timeit(1)  # warm-up
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= round_ns / 8 or number >= 1 << 24:
            return max(1, int(number * round_ns / max(elapsed, 1)))
        number *= 4


def time_one(stmt: str, namespace: dict, settings: Settings) -> float:
    """Median nanoseconds per call of stmt."""
    timer = _timer(stmt, namespace)
    empty_timer = _timer("pass", namespace)
    calls = _calls_per_round(timer, settings.round_ns)
    samples = []
    for _ in range(settings.rounds):
        empty = empty_timer.timeit(calls) / calls
        samples.append(timer.timeit(calls) / calls - empty)
    return statistics.median(samples)


def time_pair(stmt: str, baseline: str, namespace: dict, settings: Settings) -> tuple[float, float]:
    """Median nanoseconds per call of stmt and of baseline, rounds interleaved."""
    case_timer = _timer(stmt, namespace)
    base_timer = _timer(baseline, namespace)
    empty_timer = _timer("pass", namespace)
    case_calls = _calls_per_round(case_timer, settings.round_ns)
    base_calls = _calls_per_round(base_timer, settings.round_ns)
    case_samples, base_samples = [], []
    for _ in range(settings.rounds):
        empty = empty_timer.timeit(max(case_calls, base_calls)) / max(case_calls, base_calls)
        case_samples.append(case_timer.timeit(case_calls) / case_calls - empty)
        base_samples.append(base_timer.timeit(base_calls) / base_calls - empty)
    return statistics.median(case_samples), statistics.median(base_samples)


# ------------------------------------------------------------------- table --


@dataclass
class Row:
    case: str
    median_ns: float | None
    baseline: str
    baseline_ns: float | None
    kind: str  # "speedup": baseline / case >= goal; "cost": case / baseline <= goal; "info"
    goal: float | None
    note: str = ""

    def ratio(self) -> float | None:
        if self.median_ns is None or self.baseline_ns is None or self.median_ns <= 0 or self.baseline_ns <= 0:
            return None
        if self.kind == "speedup":
            return self.baseline_ns / self.median_ns
        return self.median_ns / self.baseline_ns

    def goal_text(self) -> str:
        if self.goal is None:
            return "-"
        return f">= {self.goal:g}x faster" if self.kind == "speedup" else f"<= {self.goal:g}x"

    def ratio_text(self) -> str:
        r = self.ratio()
        if r is None:
            return "-"
        return f"{r:.1f}x faster" if self.kind == "speedup" else f"{r:.2f}x"

    def met(self) -> str:
        r = self.ratio()
        if self.note:
            return self.note
        if r is None or self.goal is None:
            return "-"
        ok = r >= self.goal if self.kind == "speedup" else r <= self.goal
        return "yes" if ok else "NO"


def format_ns(ns: float | None) -> str:
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:.3f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def print_table(rows: list[Row], markdown: bool) -> None:
    header = ["case", "median", "baseline", "baseline median", "ratio", "goal", "met"]
    cells = [
        [r.case, format_ns(r.median_ns), r.baseline, format_ns(r.baseline_ns), r.ratio_text(), r.goal_text(), r.met()]
        for r in rows
    ]
    if markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "|".join("---" for _ in header) + "|")
        for c in cells:
            print("| " + " | ".join(x.replace("|", "\\|") for x in c) + " |")
        return
    widths = [max(len(h), *(len(c[k]) for c in cells)) for k, h in enumerate(header)]
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for c in cells:
        print("  ".join(x.ljust(w) for x, w in zip(c, widths)))


# --------------------------------------------------------- kernel program --


def build_kernel_program(build_dir: Path) -> Path:
    """The simhash_kernels target of the CMake build, with the project's flags."""
    tools = Path(sys.executable).parent
    cmake = str(tools / "cmake") if (tools / "cmake").exists() else shutil.which("cmake") or "cmake"
    configure = [
        cmake,
        "-S",
        str(ROOT),
        "-B",
        str(build_dir),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DAMBREL_BUILD_BENCH=ON",
        "-DAMBREL_BUILD_EXTENSIONS=OFF",
    ]
    ninja = str(tools / "ninja") if (tools / "ninja").exists() else shutil.which("ninja")
    if ninja and not (build_dir / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.PIPE, "text": True, "check": True}
    subprocess.run(configure, **quiet)
    subprocess.run([cmake, "--build", str(build_dir), "--target", "simhash_kernels"], **quiet)
    return build_dir / "simhash_kernels"


def kernel_rows(program: Path, settings: Settings) -> tuple[str, list[dict]]:
    out = subprocess.run(
        [str(program), str(settings.rounds), str(settings.round_ns / 1e6)], check=True, capture_output=True, text=True
    ).stdout
    records = [json.loads(line) for line in out.splitlines() if line.strip()]
    dispatched = next(r["dispatched"] for r in records if "dispatched" in r)
    return dispatched, [r for r in records if "kernel" in r]


KERNEL_GOALS = {"avx512": 15.0, "avx2": 6.0}
# "Keyword calls close behind": naming the arguments adds at most 1.5 times what
# it adds to a builtin function of the interpreter.
KEYWORD_GOAL = 1.5


# ------------------------------------------------------------------- cases --


def cpu_model() -> str:
    fields: dict[str, str] = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    except OSError:
        return platform.processor() or platform.machine()
    flags = set(fields.get("flags", "").split())
    features = ", ".join(f"{name} {'yes' if name in flags else 'no'}" for name in ("avx2", "avx512f", "avx512dq"))
    return (
        f"{fields.get('model name', platform.machine())} (family {fields.get('cpu family', '?')}, "
        f"model {fields.get('model', '?')}; {features})"
    )


def test_vector() -> list[float]:
    rng = random.Random(1536)
    xs = [rng.gauss(0.0, 1.0) for _ in range(DIMENSION)]
    norm = math.sqrt(sum(x * x for x in xs))
    return [x / norm for x in xs]


def buffer_inputs(xs: list[float]) -> list[tuple[str, object, list[float]]]:
    """(label, object, the same values as a list)."""
    f32 = array.array("f", xs)
    f64 = array.array("d", xs)
    inputs = []
    if np is not None:
        a32 = np.array(xs, dtype=np.float32)
        a64 = np.array(xs, dtype=np.float64)
        inputs += [("numpy float32", a32, a32.tolist()), ("numpy float64", a64, a64.tolist())]
    inputs += [
        ("array 'f'", f32, f32.tolist()),
        ("array 'd'", f64, f64.tolist()),
        ("memoryview 'f'", memoryview(f32), f32.tolist()),
        ("memoryview 'd'", memoryview(f64), f64.tolist()),
    ]
    return inputs


def python_rows(settings: Settings, dispatched: str, scalar_ns: float | None) -> list[Row]:
    xs = test_vector()
    ns = {
        "an": an,
        "math": math,
        "array": array,
        "xs": xs,
        "a": an.simhash_lsh_multi(xs)[0].signature,
        "b": an.simhash_lsh_multi([-x for x in xs])[1].signature,
        "python_embedding_sha256": python_embedding_sha256,
    }

    def pair(stmt, baseline, extra=None):
        if extra:
            ns.update(extra)
        return time_pair(stmt, baseline, ns, settings)

    # simhash through the module against the portable loop of the core.
    t = time_one("an.simhash_lsh_multi(xs)", ns, settings)
    rows = [
        Row(
            f"simhash_lsh_multi(list of {DIMENSION}) [{dispatched}]",
            t,
            "scalar loop (core, C++ run)",
            scalar_ns,
            "speedup",
            KERNEL_GOALS.get(dispatched),
        )
    ]
    rows += buffer_rows(xs, pair)
    rows += list_rows(pair)
    rows += call_overhead_rows(pair)
    return rows


def buffer_rows(xs: list[float], pair) -> list[Row]:
    """Buffers against the same values as a list."""
    rows = []
    for label, obj, as_list in buffer_inputs(xs):
        for name, stmt in [
            ("normalize_vector", "an.normalize_vector({})"),
            ("simhash_lsh_multi", "an.simhash_lsh_multi({})"),
            ("compute_embedding_sha256", "an.compute_embedding_sha256({})"),
        ]:
            t, base = pair(stmt.format("obj"), stmt.format("as_list"), {"obj": obj, "as_list": as_list})
            rows.append(Row(f"{name}({label})", t, "same values as a list", base, "cost", 1.1))
    return rows


def list_rows(pair) -> list[Row]:
    """The canonical hash against plain Python, normalisation against array('f')."""
    agrees = baseline_agrees_with_module()
    t, base = pair("an.compute_embedding_sha256(xs)", "python_embedding_sha256(xs)")
    rows = [
        Row(
            f"compute_embedding_sha256(list of {DIMENSION})",
            t,
            "pure Python text + hashlib",
            base,
            "speedup",
            50.0,
            "" if agrees else "baseline disagrees",
        )
    ]
    t, base = pair("an.normalize_vector(xs)", "array.array('f', xs).tolist()")
    rows.append(Row(f"normalize_vector(list of {DIMENSION})", t, "array('f', xs).tolist()", base, "cost", 1.3))
    return rows


def call_overhead_rows(pair) -> list[Row]:
    """Call overhead, and what naming the arguments adds to a call."""
    t, base = pair("an.cosine_from_hamming(64, 256)", "math.copysign(64, 256)")
    rows = [Row("cosine_from_hamming(64, 256)", t, "math.copysign(64, 256)", base, "cost", 1.3)]
    t, base = pair("an.hamming_distance_hex(a, b)", "math.copysign(64, 256)")
    rows.append(Row("hamming_distance_hex(a, b), 64 chars", t, "math.copysign(64, 256)", base, "cost", 2.0))
    # Keyword calls: the time that naming the two arguments adds to a call,
    # against what it adds to a builtin of the interpreter with two keywords.
    kw, positional = pair("round(number=1.5, ndigits=None)", "round(1.5, None)")
    builtin_extra = kw - positional
    for label, keywords, positional_call in [
        (
            "cosine_from_hamming(distance_bits=, total_bits=): keyword cost",
            "an.cosine_from_hamming(distance_bits=64, total_bits=256)",
            "an.cosine_from_hamming(64, 256)",
        ),
        (
            "hamming_distance_hex(a=, b=): keyword cost",
            "an.hamming_distance_hex(a=a, b=b)",
            "an.hamming_distance_hex(a, b)",
        ),
    ]:
        t, base = pair(keywords, positional_call)
        rows.append(
            Row(label, t - base, "keyword cost of round(number=, ndigits=)", builtin_extra, "cost", KEYWORD_GOAL)
        )
    t, base = pair(
        "an.simhash_lsh_multi(normalized_vector=xs, families=3, bits=256, bands=16)",
        "an.simhash_lsh_multi(xs, 3, 256, 16)",
    )
    rows.append(
        Row("simhash_lsh_multi(normalized_vector=xs, families=3, ...)", t, "the positional call", base, "cost", 1.1)
    )
    return rows


def kernel_table_rows(build_dir: Path, settings: Settings) -> tuple[str, float | None, list[Row]]:
    """The C++ kernel program's rows: (dispatched kernel, scalar median, rows)."""
    try:
        dispatched, kernels = kernel_rows(build_kernel_program(build_dir), settings)
    except (subprocess.CalledProcessError, OSError, StopIteration) as error:
        detail = getattr(error, "stderr", "") or ""
        print(f"kernel program unavailable: {error}\n{detail}", file=sys.stderr)
        dispatched, kernels = "unknown", []
    scalar_ns = next((k["median_ns"] for k in kernels if k["kernel"] == "scalar"), None)
    rows = []
    for k in kernels:
        name = k["kernel"]
        note = "" if k["identical_to_scalar"] else "SIGNATURES DIFFER"
        if name == "scalar":
            rows.append(
                Row("simhash core, default call [scalar]", k["median_ns"], "(the baseline)", None, "info", None, note)
            )
        else:
            rows.append(
                Row(
                    f"simhash core, default call [{name}]",
                    k["median_ns"],
                    "scalar loop, same process",
                    scalar_ns,
                    "speedup",
                    KERNEL_GOALS.get(name),
                    note,
                )
            )
    print(f"signature kernels: {', '.join(k['kernel'] for k in kernels) or 'not measured'}; dispatched: {dispatched}")
    return dispatched, scalar_ns, rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny iteration counts: a smoke run")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument(
        "--build-dir",
        type=Path,
        default=ROOT / "build" / "bench",
        help="CMake build directory of the kernel program (default: build/bench)",
    )
    parser.add_argument("--no-kernels", action="store_true", help="skip the C++ kernel program")
    args = parser.parse_args()
    settings = Settings(rounds=3, round_ns=1e6) if args.quick else Settings(rounds=15, round_ns=10e6)

    print(f"CPU: {cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"Python {platform.python_version()} ({sys.implementation.name}), module: {an.__file__}")
    print(f"numpy: {np.__version__ if np is not None else 'not installed (numpy rows skipped)'}")
    if hasattr(os, "getloadavg"):
        # Other work on the machine shows up in every figure: compare ratios, not times.
        print("load average before the run: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))

    rows: list[Row] = []
    dispatched, scalar_ns = "unknown", None
    if not args.no_kernels:
        dispatched, scalar_ns, rows = kernel_table_rows(args.build_dir, settings)
    rows += python_rows(settings, dispatched, scalar_ns)
    print()
    print_table(rows, args.markdown)
    if args.quick:
        print("\n(--quick: tiny iteration counts, figures are not meaningful)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
