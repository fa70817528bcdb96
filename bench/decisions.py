#!/usr/bin/env python3
"""The rows a user deletes by the pipeline's decision, beside what the tools a user would pick
instead delete, on data whose exact answer is known.

    PYTHONPATH=... .venv/bin/python bench/decisions.py              # real and clustered sets, t = 0.8 and 0.9
    .venv/bin/python bench/decisions.py --quick                     # 3,000 rows a set, seconds; as CI runs it
    .venv/bin/python bench/decisions.py --sets clustered --count 20000 --markdown

The truth: every pair at cosine >= t by the float64 cosine of the two rows (bench/baselines.py
`exact_pairs`, cached under ~/.cache/ambrel-bench/truth; not cached with --quick), and the
sequential greedy rule on those pairs, rows ranked by id (smallest first; `ambrel_batch.greedy_keep`):
what a tool with every pair removes.

Tools, each run twice (rounds alternate between the tools), the time of the tool's whole job on the
embeddings:

- ours: `ambrel_dedup.run(npy, out, t, in_process=True)` on an .npy of the rows (written before the
  clock starts), outputs included; the decision read back from groups.parquet.
- ours, components: the same with `groups="components"` (one kept row per connected component of the
  pairs, the grouping the greedy rule replaced), run once.
- semhash: `SemHash.from_records` on the row numbers as records, with an encoder that returns the
  rows' embeddings (its index: the default usearch backend), then `self_deduplicate(t)`.
- FAISS IVF: IndexIVFFlat, nlist 4 sqrt(N), nprobe 8 (normalise, train, add, range_search), then the
  greedy rule on its pairs.

Per tool: rows removed; that over the rows the greedy rule on the truth removes; unjustified
removals (removed rows with no kept row at exact cosine >= t); true pairs left between two kept
rows, and that as a share of the kept rows; rows decided unlike the truth's greedy rule; the
largest group (a kept row and the rows removed for it); whether both runs removed the same rows.
Under each table: the true pairs that ours did not list and their cosines, and checks of every
removed row's `duplicate_of` (a kept row at exact cosine >= t, the listed cosine).

faiss-cpu and semhash are optional (pip install -r requirements-bench.txt): a tool that is not
importable is skipped, and the output says so. Nothing asserts on timings or results: the exit
status only says whether the benchmark could run.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from ambrel_dedup import run
from ambrel_dedup.datasets.clustered import Clustered

sys.path.insert(0, str(Path(__file__).resolve().parent))
import baselines as bl
import real_embeddings
from printing import cpu_line, load, log, table

QUICK_ROWS = 3000
GOAL_RATIO = 1.02  # ours: rows removed / rows the greedy rule on the truth removes
GOAL_KEPT_PAIRS = 0.0005  # ours: true pairs between two kept rows, as a share of the kept rows
GOAL_TIME = 0.25  # ours: seconds / semhash's seconds


# -- the truth ----------------------------------------------------------------------------


@dataclass
class Truth:
    """Every pair at >= threshold by the exact cosine, and the greedy rule on them."""

    n: int
    threshold: float
    i: np.ndarray
    j: np.ndarray
    cosine: np.ndarray
    removed: np.ndarray = field(init=False)  # what the greedy rule on every true pair removes
    duplicate_of: np.ndarray = field(init=False)

    def __post_init__(self) -> None:
        found = bl.greedy(self.n, self.i, self.j, self.cosine)
        self.removed = ~found.keep
        self.duplicate_of = found.duplicate_of

    @property
    def keys(self) -> np.ndarray:
        return self.i * self.n + self.j  # sorted: exact_pairs lists them row by row


@dataclass
class Decision:
    """What one tool removed in each of its runs, and what each removed row duplicates."""

    tool: str
    seconds: list[float]
    removed: list[np.ndarray]  # a mask over the rows, per run
    duplicate_of: np.ndarray  # per row: its group's kept row (-1 for kept rows), first run

    @property
    def identical(self) -> bool | None:
        if len(self.removed) < 2:
            return None
        return all(np.array_equal(self.removed[0], r) for r in self.removed[1:])

    @property
    def differing(self) -> int:
        """Rows removed in one run and not in another."""
        return int(np.any([r != self.removed[0] for r in self.removed[1:]], axis=0).sum())


def assess(truth: Truth, d: Decision) -> dict[str, float]:
    removed = d.removed[0]
    kept = ~removed
    i, j = truth.i, truth.j
    justified = np.zeros(truth.n, bool)
    justified[j[kept[i] & removed[j]]] = True
    justified[i[kept[j] & removed[i]]] = True
    kept_pairs = int((kept[i] & kept[j]).sum())
    groups = np.bincount(d.duplicate_of[removed], minlength=truth.n) if removed.any() else np.zeros(1, np.int64)
    perfect = int(truth.removed.sum())
    return {
        "removed": int(removed.sum()),
        "ratio": removed.sum() / perfect if perfect else float("nan"),
        "unjustified": int((removed & ~justified).sum()),
        "kept_pairs": kept_pairs,
        "kept_share": kept_pairs / max(int(kept.sum()), 1),
        "unlike": int((removed != truth.removed).sum()),
        "largest": int(groups.max()) + 1,
    }


def cells(truth: Truth, d: Decision) -> list[str]:
    m = assess(truth, d)
    same = d.identical
    return [
        f"{truth.threshold:g}",
        d.tool,
        " / ".join(f"{s:.1f}" for s in d.seconds) if d.seconds else "-",
        f"{m['removed']:,}",
        f"{m['ratio']:.4f}",
        f"{m['unjustified']:,}",
        f"{m['kept_pairs']:,} ({m['kept_share']:.3%})",
        f"{m['unlike']:,}",
        f"{m['largest']:,}",
        "-" if same is None else ("yes" if same else f"NO ({d.differing:,} rows differ)"),
    ]


HEADERS = [
    "t",
    "tool",
    "seconds (run 1 / 2)",
    "removed",
    "removed / greedy-truth",
    "unjustified",
    "kept-kept true pairs (of kept)",
    "unlike greedy-truth",
    "largest group",
    "same run to run",
]


# -- the tools ----------------------------------------------------------------------------


@dataclass
class Ours:
    """One run of the pipeline: its seconds, decision and listed pairs (copies' pairs included)."""

    seconds: float
    removed: np.ndarray
    duplicate_of: np.ndarray
    cosine: np.ndarray  # per row: the listed cosine to duplicate_of (NaN for kept rows or components)
    pairs: np.ndarray  # keys i * n + j of every pair it stands for
    summary: dict


def run_ours(source: Path, n: int, threshold: float, scratch: Path, groups: str = "greedy") -> Ours:
    out = scratch / f"out-{os.urandom(4).hex()}"
    started = time.perf_counter()
    result = run(source, out, threshold, in_process=True, groups=groups)
    seconds = time.perf_counter() - started
    frame = pd.read_parquet(result.output / "groups.parquet")
    pairs = pd.read_parquet(result.output / "pairs.parquet")
    ids = frame["id"].to_numpy(np.int64)
    keep = frame["keep"].to_numpy(bool)
    removed = np.zeros(n, bool)
    removed[ids[~keep]] = True
    duplicate_of = np.full(n, -1, np.int64)
    duplicate_of[ids[~keep]] = frame["group"].to_numpy(np.int64)[~keep]
    if groups == "greedy":
        named = frame["duplicate_of"].to_numpy(np.float64, na_value=np.nan)[~keep]
        if not np.array_equal(named, duplicate_of[ids[~keep]]):
            raise RuntimeError("groups.parquet: a removed row's duplicate_of differs from its group")
    cosine = np.full(n, np.nan)
    cosine[ids] = frame["cosine"].to_numpy(np.float64, na_value=np.nan)
    a, b = pairs["id_a"].to_numpy(np.int64), pairs["id_b"].to_numpy(np.int64)
    exact = pairs["exact"].to_numpy(bool)
    a, b = bl._with_copies(a[~exact], b[~exact], a[exact], b[exact])
    return Ours(seconds, removed, duplicate_of, cosine, bl.keys(a, b, n), result.summary)


def unit64(rows: np.ndarray) -> np.ndarray:
    x = np.asarray(rows, np.float64)
    return x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-300)


def check_named(rows64: np.ndarray, truth: Truth, o: Ours) -> str:
    """Whether every removed row names a kept row at exact cosine >= t, with that cosine."""
    gone = np.flatnonzero(o.removed)
    target = o.duplicate_of[gone]
    exact = np.einsum("ij,ij->i", rows64[gone], rows64[target])
    not_kept = int(o.removed[target].sum())
    below = int((exact < truth.threshold).sum())
    off = np.abs(exact - o.cosine[gone])
    return (
        f"every removed row's duplicate_of: {not_kept:,} not kept, {below:,} below t by the exact cosine; "
        f"listed cosine within {off.max() if len(off) else 0.0:.1e} of the exact one"
    )


def missed_pairs(truth: Truth, o: Ours) -> list[str]:
    """The true pairs ours does not list, by cosine, and those left between two kept rows."""
    t = truth.threshold
    listed = np.isin(truth.keys, o.pairs, assume_unique=True)
    extra = len(np.setdiff1d(o.pairs, truth.keys, assume_unique=True))
    cos = truth.cosine[~listed]
    lines = [
        f"ours lists {int(listed.sum()):,} of the {len(truth.i):,} true pairs "
        f"(recall {listed.mean() if len(listed) else 1.0:.4f}), and {extra:,} pairs below t by the exact cosine"
    ]
    if len(cos):
        edges = [t, t + 0.01, t + 0.02, t + 0.05, 1.0 + 1e-9]
        hist = np.histogram(cos, bins=edges)[0]
        spans = [
            f"[{lo:.2f}, {min(hi, 1.0):.2f}{')' if hi <= 1.0 else ']'}: {c:,}"
            for lo, hi, c in zip(edges, edges[1:], hist)
        ]
        lines.append(f"  the {len(cos):,} true pairs not listed, by exact cosine: " + ", ".join(spans))
    kept = ~o.removed
    both = kept[truth.i] & kept[truth.j]
    if both.any():
        shown = ", ".join(
            f"({a}, {b}) {c:.4f}" for a, b, c in zip(truth.i[both][:8], truth.j[both][:8], truth.cosine[both][:8])
        )
        more = ", ..." if both.sum() > 8 else ""
        lines.append(
            f"  true pairs left between two kept rows: {int(both.sum()):,}, cosines "
            f"{truth.cosine[both].min():.4f} .. {truth.cosine[both].max():.4f}: {shown}{more}"
        )
    return lines


# -- one data set ----------------------------------------------------------------------------


def measure(
    label: str, rows: np.ndarray, key: str | None, thresholds: list[float], args: argparse.Namespace, scratch: Path
) -> None:
    n = len(rows)
    print(f"\n== {label}: {n:,} x {rows.shape[1]} ({load()} before)", flush=True)
    source = scratch / f"{label.split()[0]}.npy"
    np.save(source, np.ascontiguousarray(rows, dtype=np.float32))
    rows64 = unit64(rows)
    tools = set(args.tools.split(","))
    semhash = "semhash" in tools and bl.semhash_module() is not None
    faiss = "faiss" in tools and bl.faiss is not None
    out: list[list[str]] = []
    notes: list[str] = []
    goals: list[list[str]] = []
    for t in sorted(thresholds):  # the lowest first: its cached truth serves the higher thresholds
        started = time.perf_counter()
        ti, tj, tc = bl.exact_pairs(rows, t, key=key, log=lambda m, w=label: log(f"{w}: {m}"))
        truth = Truth(n, t, ti, tj, tc)
        log(f"{label} t={t}: {len(ti):,} true pairs ({time.perf_counter() - started:.1f} s)")
        decided: dict[str, Decision] = {}
        runs: list[Ours] = []
        for r in range(args.runs):
            if "ours" in tools:
                o = run_ours(source, n, t, scratch)
                runs.append(o)
                d = decided.setdefault("ours", Decision("ours", [], [], o.duplicate_of))
                d.seconds.append(o.seconds)
                d.removed.append(o.removed)
                log(f"{label} t={t} run {r + 1}: ours {o.seconds:.1f} s, {int(o.removed.sum()):,} removed")
            if semhash:
                seconds, removed, dup = bl.semhash_decision(rows, t)
                d = decided.setdefault("semhash", Decision("semhash", [], [], dup))
                d.seconds.append(seconds)
                d.removed.append(removed)
                log(f"{label} t={t} run {r + 1}: semhash {seconds:.1f} s, {int(removed.sum()):,} removed")
            if faiss:
                seconds, removed, dup = bl.faiss_ivf_decision(rows, t)
                name = "FAISS IVF nprobe 8 + greedy"
                d = decided.setdefault("faiss", Decision(name, [], [], dup))
                d.seconds.append(seconds)
                d.removed.append(removed)
                log(f"{label} t={t} run {r + 1}: FAISS {seconds:.1f} s, {int(removed.sum()):,} removed")
        out.append(cells(truth, Decision("greedy rule on the exact pairs", [], [truth.removed], truth.duplicate_of)))
        for d in decided.values():
            out.append(cells(truth, d))
        if "components" in tools:
            c = run_ours(source, n, t, scratch, groups="components")
            out.append(cells(truth, Decision("ours, groups=components", [c.seconds], [c.removed], c.duplicate_of)))
        if runs:
            notes.append(f"t={t}: " + check_named(rows64, truth, runs[0]))
            notes.extend(f"t={t}: {line}" for line in missed_pairs(truth, runs[0]))
            goals.append(goal_row(truth, decided))
    print(table(HEADERS, out, args.markdown))
    for line in notes:
        print(line)
    if goals:
        print()
        print(
            table(
                [
                    "t",
                    "removed / greedy on truth <= 1.02",
                    "kept-kept true pairs <= 0.05% of kept",
                    "time <= 0.25x semhash",
                    "same run to run",
                ],
                goals,
                args.markdown,
            )
        )
    skipped = [
        name for name, ok in (("semhash", semhash), ("faiss-cpu", faiss)) if not ok and name.split("-")[0] in tools
    ]
    if skipped:
        print(f"not installed, so not measured: {', '.join(skipped)} (pip install -r requirements-bench.txt)")
    print(f"({load()} after)", flush=True)


def goal_row(truth: Truth, decided: dict[str, Decision]) -> list[str]:
    ours = decided["ours"]
    m = assess(truth, ours)
    yes = lambda ok: "yes" if ok else "NO"  # noqa: E731
    best = min(ours.seconds)
    if "semhash" in decided:
        theirs = min(decided["semhash"].seconds)
        timing = f"{best / theirs:.3f}x: {yes(best <= GOAL_TIME * theirs)}"
    else:
        timing = "semhash not measured"
    return [
        f"{truth.threshold:g}",
        f"{m['ratio']:.4f}: {yes(m['ratio'] <= GOAL_RATIO)}",
        f"{m['kept_share']:.4%}: {yes(m['kept_share'] <= GOAL_KEPT_PAIRS)}",
        timing,
        yes(bool(ours.identical)) if ours.identical is not None else "one run",
    ]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument(
        "--quick", action="store_true", help=f"{QUICK_ROWS:,} rows a set, no truth cache: checks that it runs"
    )
    ap.add_argument("--markdown", action="store_true")
    ap.add_argument("--sets", default="real,clustered", help="real and/or clustered")
    ap.add_argument("--count", type=int, default=60_000, help="rows of the clustered set")
    ap.add_argument("--seed", type=int, default=0, help="seed of the clustered set")
    ap.add_argument("--thresholds", default="0.8,0.9")
    ap.add_argument("--runs", type=int, default=2, help="runs of each tool (the second checks identity)")
    ap.add_argument("--tools", default="ours,components,semhash,faiss")
    args = ap.parse_args()
    thresholds = [float(t) for t in args.thresholds.split(",")]
    bl.set_threads(bl.THREADS)
    print(f"ambrel_dedup decisions: {cpu_line()}; {load()}")
    print(
        f"semhash {'installed' if bl.semhash_module() else 'not installed'}; faiss-cpu "
        f"{'installed' if bl.faiss is not None else 'not installed'}; FAISS on {bl.THREADS} threads"
    )
    with tempfile.TemporaryDirectory(prefix="ambrel-decisions-") as tmp:
        scratch = Path(tmp)
        for name in args.sets.split(","):
            if name == "real":
                emb = real_embeddings.load_or_skip()
                if emb is None:
                    continue
                if args.quick:
                    measure(f"real (first {QUICK_ROWS:,} rows)", emb[:QUICK_ROWS], None, thresholds, args, scratch)
                else:
                    key = f"real-{len(emb)}-{real_embeddings.MODEL}-{len(emb)}"  # bench/dedup.py's key
                    measure(f"real ({real_embeddings.MODEL}, Debian descriptions)", emb, key, thresholds, args, scratch)
            elif name == "clustered":
                n = QUICK_ROWS if args.quick else args.count
                rows = Clustered(count=n, dim=384, seed=args.seed).rows(0, n)
                key = None if args.quick else f"clustered-{n}-384-s{args.seed}"
                measure(f"clustered (seed {args.seed})", rows, key, thresholds, args, scratch)
            else:
                raise SystemExit(f"unknown data set {name!r}: real or clustered")
    print(f"after the run: {load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
