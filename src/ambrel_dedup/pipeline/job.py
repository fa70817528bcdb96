"""The deduplication job: read, exact, cells, pairs, group, write and (asked for) kept; in this process
or on a Dask cluster."""

from __future__ import annotations

import contextlib
import json
import logging
import math
import os
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa
from dask import delayed
from distributed import Client, LocalCluster

from .. import partition as k
from ..datasets.generate import Generated
from ..engine import connection, failures, monitor
from ..engine.engines import ClusterEngine, Engine, LocalEngine, local_frame, shuffle_method
from ..errors import DedupError
from ..files.outputs import ANNOTATED, KEPT, KEYS, Output
from ..files.sources import Source, open_source
from ..ranking import KeepRule
from . import cells as cl
from . import exact as ex
from . import fit
from . import group as gr
from . import pairs as pr
from . import read as rd
from . import recheck as rc
from .kept import removed_ids, removed_rows, write_annotated, write_kept

STAGES = ("read", "exact", "cells", "pairs", "group", "recheck", "write", "kept", "annotate")
GROUPINGS = ("greedy", "components")
ROWS_PER_OUTPUT_PARTITION = 2_000_000
IN_PROCESS_BYTES = 4 << 30  # inputs of up to this many bytes of float32 rows run in process by default
RECALL_FLOOR = 0.9  # a chosen margin whose promised recall at the threshold is lower is refused
PROMISE_WARNING = 0.99  # a run whose cells promise less at the threshold says so

Log = Callable[[str], None]
StageHook = Callable[[str, Client | None], None]


@dataclass
class RunResult:
    output: Path
    summary: dict[str, Any]
    kept: Path | None = None
    annotated: Path | None = None

    @property
    def seconds(self) -> dict[str, float]:
        return dict(self.summary["seconds"])


def available_cores() -> int:
    """The CPUs this process may run on, counted as the batch engine counts them."""
    import ambrel_batch

    return ambrel_batch.available_cpus()


@contextlib.contextmanager
def connect(
    client: Client | None = None,
    scheduler: str | None = None,
    workers: int | None = None,
    threads_per_worker: int | None = None,
    timeout: float = 10.0,
) -> Iterator[Client]:
    """The given client, a client of the scheduler at `scheduler`, or a new local cluster.

    The local cluster has one single-threaded worker process per core: the batch
    engine's calls release the interpreter, but the shuffles and the per-partition
    numpy code around them partly hold it, and separate processes keep one failing
    worker from taking the others with it.
    """
    if client is not None:
        yield client
        return
    if scheduler is not None:
        remote = connection.open_client(scheduler, timeout)
        with remote:
            yield remote
        return
    connection.check_local_cluster(workers, threads_per_worker, available_cores())
    n = workers if workers is not None else available_cores()
    # distributed starts workers with MALLOC_TRIM_THRESHOLD_ set, which also fixes glibc's
    # mmap threshold: every large array is then a fresh mapping, faulted in page by page.
    no_trim = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}
    with (
        dask.config.set(no_trim),
        LocalCluster(
            n_workers=n,
            threads_per_worker=threads_per_worker or 1,
            processes=True,
            dashboard_address=":0",
            silence_logs=logging.CRITICAL,
        ) as cluster,
        Client(cluster, set_as_default=False) as local,
    ):
        yield local


def _prepare_worker() -> None:
    import pyarrow.parquet  # noqa: F401

    import ambrel_batch  # noqa: F401


@contextlib.contextmanager
def open_engine(
    in_process: bool,
    client: Client | None,
    scheduler: str | None,
    workers: int | None,
    threads_per_worker: int | None,
    timeout: float,
    progress: bool,
) -> Iterator[Engine]:
    if in_process:
        yield LocalEngine(available_cores(), progress)
        return
    with connect(client, scheduler, workers, threads_per_worker, timeout=timeout) as c, c.as_current():
        if sum(c.nthreads().values()) == 0:
            raise DedupError("the Dask cluster has no workers")
        try:
            c.run(_prepare_worker)  # fails early where a worker lacks a package; warms the imports
        except Exception as exc:
            raise DedupError(
                f"a Dask worker cannot run the pipeline ({type(exc).__name__}: {exc}); "
                "install ambrel-native[dedup] on every worker"
            ) from None
        yield ClusterEngine(c, progress)


def run(
    source: str | os.PathLike[str] | Generated,
    output: str | os.PathLike[str],
    threshold: float = 0.9,
    *,
    client: Client | None = None,
    scheduler: str | None = None,
    workers: int | None = None,
    threads_per_worker: int | None = None,
    in_process: bool | None = None,
    id_column: str = "id",
    vector_column: str = "embedding",
    keep: str = "min",
    keep_by: str | None = None,
    groups: str = "greedy",
    kept: str | os.PathLike[str] | None = None,
    annotate: str | os.PathLike[str] | None = None,
    overwrite: bool = False,
    partition_rows: int | None = None,
    shuffle: str = "tasks",
    margin: float | None = None,
    force_layout: bool = False,
    log: Log | None = None,
    progress: bool = False,
    on_stage: StageHook | None = None,
    connect_timeout: float = 10.0,
) -> RunResult:
    """Finds exact and near duplicates of the vectors in `source` and writes them to `output`.

    `source` is a Parquet file or directory (integer `id_column`, `vector_column`
    of list or fixed-size-list numbers), a .npy file or a directory of them (ids are
    row numbers, continuing across files in name order), a `Generated` data set or
    the text "generated[:COUNTxDIM...]". `output` becomes a directory with
    pairs.parquet, groups.parquet and summary.json, written to a temporary directory
    beside it and moved into place, so that a failed run leaves nothing behind.

    Every reported pair carries the exact cosine of the two normalised rows and is
    reported when that cosine reaches `threshold`. Rows are ranked by the keep rule:
    the smallest id (`keep="min"`), the largest (`"max"`), or a Parquet column
    (`keep_by="COLUMN"` or `"COLUMN:asc"`; `desc`, the default, ranks the largest
    value first; missing values last; ties by the smallest id). A row is removed if
    and only if a better-ranked kept row is at cosine >= `threshold` (`groups=
    "greedy"`); groups.parquet names, for every removed row, the kept row it
    duplicates (`duplicate_of`, the one of highest cosine) and their cosine.
    `groups="components"` keeps one row of each connected component of the pairs
    instead (rows a chain of pairs reaches are removed, however far apart). Runs on `client`, else on the
    scheduler at `scheduler`, else in this process when the input fits comfortably
    in memory and no `workers` are asked for (`in_process` decides it explicitly),
    else on a new local cluster of `workers` processes (default: one per core). The
    outputs are the same on every engine. `margin` overrides the cell margin chosen
    from a held-out sample; one whose promised recall at the threshold is below 0.9
    is refused unless `force_layout`. `on_stage(name, client)` is called as each
    stage starts (client None in process).

    With `kept`, the input rows that are kept (every group's kept member and every
    row in no group, zero rows included) are also written there, in input order,
    as a directory of Parquet files, one per input partition: Parquet input with
    every column and the input's schema, .npy and generated input as `id` (int64)
    and `embedding` (the float32 rows as read). With `annotate`, every input row is
    written there the same way, with two more columns: `duplicate_of` and `cosine`
    (null for kept rows).

    Before any work, `output`, `kept` and `annotate` are checked (see `ambrel_dedup.files.outputs`):
    they must lie apart from the input and from each other; with `overwrite`, an
    existing directory is replaced only if this tool wrote it.
    """
    check_threshold(threshold)
    rule = KeepRule.of(keep, keep_by)
    check_grouping(groups)
    if margin is not None and not (isinstance(margin, (int, float)) and 0.0 <= margin <= 2.0):
        raise ValueError(f"margin must be a number in [0, 2], got {margin!r}")
    where = Where(client, scheduler, workers, threads_per_worker, in_process, connect_timeout, progress, shuffle)
    where.check()
    inputs = input_paths(source)
    token = os.urandom(5).hex()
    target = Output(output, inputs, overwrite, token)
    kept_target, annotated = extra_outputs(kept, annotate, inputs, overwrite, token, [target])

    plan = planner(source, id_column, vector_column, partition_rows, key_column=rule.column)

    def job(engine: Engine, src: Source) -> _Job:
        return _Job(
            engine,
            src,
            threshold,
            target,
            kept_target,
            rule,
            shuffle,
            margin,
            force_layout,
            log,
            on_stage,
            grouping=groups,
            annotated=annotated,
        )

    targets = [t for t in (target, kept_target, annotated) if t is not None]
    return launch(where, plan, targets, job, log)


def check_grouping(groups: str) -> None:
    if groups not in GROUPINGS:
        raise ValueError(f"groups must be 'greedy' or 'components', got {groups!r}")


def extra_outputs(
    kept: str | os.PathLike[str] | None,
    annotate: str | os.PathLike[str] | None,
    inputs: list[str | os.PathLike[str]],
    overwrite: bool,
    token: str,
    others: list[Output],
) -> tuple[Output | None, Output | None]:
    """The kept and annotated data sets' directories, checked apart from the inputs, the other
    outputs and each other."""
    kept_target = None if kept is None else Output(kept, inputs, overwrite, token, KEPT, apart_from=others)
    apart = [*others, *([kept_target] if kept_target else [])]
    annotated = None if annotate is None else Output(annotate, inputs, overwrite, token, ANNOTATED, apart_from=apart)
    return kept_target, annotated


def planner(
    source: str | os.PathLike[str] | Generated,
    id_column: str,
    vector_column: str,
    partition_rows: int | None,
    first_id: int = 0,
    check: Callable[[Source], None] | None = None,
    key_column: str | None = None,
) -> Callable[[int], Source]:
    """The input's plan for a given parallelism (see `open_source`), checked by `check`."""

    def plan(parallelism: int) -> Source:
        src = open_source(
            source,
            id_column=id_column,
            vector_column=vector_column,
            partition_rows=partition_rows,
            parallelism=parallelism,
            first_id=first_id,
            key_column=key_column,
        )
        if check is not None:
            check(src)
        return src

    return plan


def check_threshold(threshold: float) -> None:
    if not (isinstance(threshold, (int, float)) and -1.0 <= threshold <= 1.0):
        raise ValueError(f"threshold must be a number in [-1, 1], got {threshold!r}")


def input_paths(source: str | os.PathLike[str] | Generated) -> list[str | os.PathLike[str]]:
    return [] if isinstance(source, Generated) or not os.path.lexists(source) else [source]


@dataclass
class Where:
    """Where a job runs: on `client`, on the cluster at `scheduler`, in this process, or on a new
    local cluster (see `run`)."""

    client: Client | None = None
    scheduler: str | None = None
    workers: int | None = None
    threads_per_worker: int | None = None
    in_process: bool | None = None
    connect_timeout: float = 10.0
    progress: bool = False
    shuffle: str = "tasks"

    @property
    def cluster_asked(self) -> bool:
        return self.client is not None or self.scheduler is not None

    def check(self) -> None:
        if self.shuffle not in ("tasks", "p2p"):
            raise ValueError(f"shuffle must be 'tasks' or 'p2p', got {self.shuffle!r}")
        if self.in_process and self.cluster_asked:
            raise ValueError("in_process=True cannot run on a client or scheduler")
        if not self.cluster_asked:
            connection.check_local_cluster(self.workers, self.threads_per_worker, available_cores())


def launch(
    where: Where,
    plan: Callable[[int], Source],
    targets: list[Any],
    job: Callable[[Engine, Source], _Job],
    log: Log | None,
) -> RunResult:
    """Plans the input, opens the targets (temporary directories beside them) and the engine, and
    runs the job; a failure names its stage, and the targets are left as they were."""
    # Validated before any cluster starts: schemas, shapes, row counts.
    local_threads = (where.workers or available_cores()) * (where.threads_per_worker or 1)
    planned = plan(local_threads if not where.cluster_asked else 1)
    in_process = where.in_process
    if in_process is None:
        small = planned.count * planned.dim * 4 <= IN_PROCESS_BYTES
        asked = where.cluster_asked or where.workers is not None or where.threads_per_worker is not None
        in_process = not asked and small
    if where.shuffle == "p2p" and in_process:
        raise ValueError("shuffle='p2p' needs a Dask cluster; in process the shuffles are tasks")
    with contextlib.ExitStack() as stack:
        for target in targets:
            stack.enter_context(target)
        engine = stack.enter_context(
            open_engine(
                in_process,
                where.client,
                where.scheduler,
                where.workers,
                where.threads_per_worker,
                where.connect_timeout,
                where.progress,
            )
        )
        stack.enter_context(shuffle_method(where.shuffle))
        src = planned if in_process else plan(engine.threads)
        running = job(engine, src)
        try:
            with monitor.heartbeat(running, getattr(engine, "client", None), log):
                return running.execute()
        except DedupError:
            raise
        except Exception as exc:  # escaped from a stage outside the engine's waits
            raise failures.stage_failure(running.stage, exc) from exc
    raise AssertionError("not reached")


@dataclass
class _Job:
    engine: Engine
    source: Source
    threshold: float
    target: Output | None
    kept: Output | None
    rule: KeepRule
    shuffle: str
    margin: float | None
    force_layout: bool
    log: Log | None
    on_stage: StageHook | None
    stage: str = STAGES[0]
    seconds: dict[str, float] = field(default_factory=dict)
    counts: dict[str, int] = field(default_factory=dict)
    started: float = 0.0
    zero_ids: list[int] = field(default_factory=list)
    index: Any = None  # an index being written (`ambrel_dedup.index.jobs`): fed the blocks, then the groups
    grouping: str = "greedy"
    annotated: Output | None = None

    def say(self, text: str) -> None:
        if self.log is not None:
            self.log(text)

    def start(self, stage: str) -> None:
        self.stage = stage
        if self.on_stage is not None:
            self.on_stage(stage, getattr(self.engine, "client", None))
        self.started = time.perf_counter()

    def finish(self, note: str = "") -> None:
        secs = self.seconds.setdefault(self.stage, time.perf_counter() - self.started)
        rate = self.source.count / secs if secs > 0 else float("inf")
        self.say(f"  {self.stage:<6} {secs:8.2f} s {rate:12,.0f} vectors/s   {note}".rstrip())

    def execute(self) -> RunResult:
        src, engine = self.source, self.engine
        self.say(f"input:  {src.description}")
        where = "in this process" if engine.name == "in-process" else f"{engine.workers} workers"
        self.say(f"engine: {where}, {engine.threads} threads; {len(src.partitions)} partitions")
        began = time.perf_counter()

        blocks = self.read(cl.cell_count(src.count))

        self.start("exact")
        exact = ex.exact(engine, blocks, self.rule, src.key_dtype)
        reps = src.count - blocks.zero_count - exact.count
        self.counts.update(exact_copies=exact.count, exact_pairs=exact.count, representatives=reps)
        self.finish(f"{exact.count:,} exact copies")

        self.start("cells")
        layout = self.fit(blocks, exact, reps)
        self.finish(layout.describe())
        self.warn_promise(layout)

        self.start("pairs")
        found = pr.pairs(engine, blocks, exact, layout, reps, src.dim, self.rule)
        self.counts.update(placements=found.placed, near_pairs=found.count, dense_cells=found.dense_cells)
        note = f"{found.placed:,} placements in cells, {found.count:,} pairs at or above {self.threshold}"
        if found.dense_cells:
            note += f"; {found.dense_cells:,} dense cells list each row's pairs with the rows kept before it"
        self.finish(note)
        if self.index is not None:
            self.start("index")
            self.finish(self.index.segments(self, blocks, exact, layout, found))

        self.start("group")
        groups = self.decide(blocks, exact, found)
        self.finish(self.describe_groups(groups))
        if self.grouping == "greedy":
            self.start("recheck")
            found, groups = self.recheck(blocks, exact, found, groups, layout)
            self.finish(
                f"{self.counts['recheck_pairs']:,} pairs between kept rows found by other cells; "
                f"{groups.removed:,} rows removed"
            )
        del blocks
        self.counts.update(
            component_rounds=groups.rounds, components=groups.components, largest_component=groups.largest
        )

        self.start("write")
        exact_frame = local_frame(exact.pairs)
        near = engine.frame(found.handles, pr.PAIR_META)
        cos_hist, edges, written = self.write(exact_frame, near, groups)
        self.counts["pairs"] = written
        self.finish(str(self.target.shown) if self.target is not None else "")
        self.write_rows(groups)

        summary = self.summary(cos_hist, edges, groups, layout)
        summary["seconds"]["total"] = time.perf_counter() - began
        return self.commit(summary, groups)

    def recheck(
        self, blocks: rd.Blocks, exact: ex.Exact, found: pr.Pairs, groups: gr.Groups, layout: cl.Layout
    ) -> tuple[pr.Pairs, gr.Groups]:
        """Other layouts over the kept rows, while they find pairs the cells missed between two of
        them; the decision is taken again on every pair found."""
        removed = removed_ids(self.engine, groups.frame)
        again = rc.recheck(self.engine, blocks, exact, removed, layout, self.rule)
        self.counts["recheck_pairs"] = again.count
        for _ in range(rc.RECHECK_EXACT_ROUNDS):
            if not again.count:
                break
            found = rc.both(found, again)
            groups = self.decide(blocks, exact, found)
            # The rows kept now that were removed before: each against every kept row, exactly.
            now = removed_ids(self.engine, groups.frame)
            back = np.setdiff1d(removed, now, assume_unique=True)
            removed = now
            again = rc.exact_recheck(self.engine, blocks, exact, removed, back, self.threshold)
            self.counts["recheck_pairs"] += again.count
        return found, groups

    def decide(self, blocks: rd.Blocks, exact: ex.Exact, found: pr.Pairs) -> gr.Groups:
        src = self.source
        return gr.groups(
            self.engine, blocks, exact, found, self.rule, self.grouping, self.output_parts(), src.key_dtype
        )

    def describe_groups(self, groups: gr.Groups) -> str:
        how = "by the keep rule" if self.grouping == "greedy" else "one per connected component"
        note = f"{groups.removed:,} rows removed for {sum(groups.sizes.values()):,} kept rows ({how})"
        note += f"; largest connected component {groups.largest:,} ids"
        return note + (f"; {groups.rounds} rounds" if groups.rounds else "")

    def warn_promise(self, layout: cl.Layout) -> None:
        """Says so when the cells promise less than PROMISE_WARNING of the pairs at the threshold."""
        level = f"{self.threshold:.2f}"
        promised, lower = layout.promised.get(level), layout.promised_lower.get(level)
        if promised is not None and promised < PROMISE_WARNING:
            self.say(
                f"  warning: the cells promise a recall of {promised:.4f} at {self.threshold} "
                f"(at least {lower:.4f} with 95% confidence), below {PROMISE_WARNING}: some pairs may be missed"
                if lower is not None
                else f"  warning: the cells promise a recall of {promised:.4f} at {self.threshold}, "
                f"below {PROMISE_WARNING}: some pairs may be missed"
            )

    def write_rows(self, groups: gr.Groups) -> None:
        """The kept data set and the annotated one, when asked for."""
        if self.kept is not None:
            self.start("kept")
            rows = write_kept(self.engine, self.source, removed_ids(self.engine, groups.frame), self.kept.tmp)
            self.counts["kept_rows"] = rows
            self.finish(f"{rows:,} rows in {self.kept.shown}")
        if self.annotated is not None:
            self.start("annotate")
            rows = write_annotated(
                self.engine, self.source, removed_rows(self.engine, groups.frame), self.annotated.tmp
            )
            self.counts["annotated_rows"] = rows
            self.finish(f"{rows:,} rows in {self.annotated.shown}")

    def commit(self, summary: dict[str, Any], groups: gr.Groups) -> RunResult:
        """Moves the outputs into place: every directory is whole before any moves (a failure
        between the moves leaves the data sets in place and no output, see ambrel_dedup.files.outputs),
        then an index being written publishes its version."""
        if self.target is not None:
            (self.target.tmp / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
        moving = [t for t in (self.kept, self.annotated, self.target) if t is not None]
        for t in moving:
            t.ready()
        if self.index is not None:
            self.index.ready()
        for t in moving:
            t.commit()
        shown = self.target.shown if self.target is not None else None
        if self.index is not None:
            where = self.index.commit(self, summary, groups)
            shown = shown or where
        assert shown is not None
        return RunResult(
            shown,
            summary,
            self.kept.shown if self.kept is not None else None,
            self.annotated.shown if self.annotated is not None else None,
        )

    def read(self, cells: int) -> rd.Blocks:
        """The read stage: every partition read, normalised and fingerprinted on the engine."""
        src = self.source
        self.start("read")
        blocks = rd.read(self.engine, src, cells)
        self.counts["zero_rows"] = blocks.zero_count
        self.zero_ids = blocks.zero_ids
        note = f"{len(src.partitions)} partitions"
        if blocks.zero_count:
            shown = ", ".join(map(str, blocks.zero_ids[:5])) + (", ..." if blocks.zero_count > 5 else "")
            note += f"; {blocks.zero_count:,} zero rows have no direction and are left out: ids {shown}"
        self.finish(note)
        return blocks

    def fit(self, blocks: rd.Blocks, exact: ex.Exact, reps: int) -> cl.Layout:
        layout = fit.fit_cells(
            self.engine, blocks, exact, max(reps, 1), self.threshold, self.engine.threads, self.margin
        )
        promised = layout.promised.get(f"{self.threshold:.2f}")
        if self.margin is not None and promised is not None and promised < RECALL_FLOOR and not self.force_layout:
            raise DedupError(
                f"cells: a margin of {self.margin} promises a recall of {promised:.3f} at {self.threshold}, "
                f"below {RECALL_FLOOR}; choose a larger margin, or force the layout"
            )
        return layout

    def output_parts(self) -> int:
        return max(1, math.ceil(self.source.count / ROWS_PER_OUTPUT_PARTITION))

    def write(self, exact: dd.DataFrame, near: dd.DataFrame, groups: gr.Groups) -> tuple[np.ndarray, np.ndarray, int]:
        """pairs.parquet (every listed pair, and the pair of every removed row with the row it
        duplicates, each once) and groups.parquet; the histogram of the near pairs' cosines and
        the number of pairs written."""
        meta = gr.DECISION_PAIRS_META
        flagged = [
            exact.map_partitions(_flag, True, meta=meta),
            near.map_partitions(_flag, False, meta=meta),
            groups.pairs,
        ]
        pairs = dd.concat(flagged).shuffle(on="id_a", npartitions=self.output_parts())
        pairs = pairs.map_partitions(_distinct_pairs, meta=meta)
        edges = np.linspace(self.threshold, 1.0, 41)
        if self.target is not None:
            tmp = self.target.tmp  # made before any work; the run removes it if anything fails
            tables = [("pairs.parquet", pairs), ("groups.parquet", groups.frame)]
            schemas: dict[str, Any] = {}
            if groups.keys is not None and self.rule.column is not None:
                column, kind = self.rule.column, self.source.key_dtype
                tables.append(
                    (KEYS, groups.keys.map_partitions(_named_keys, column, kind, meta=_named_keys(None, column, kind)))
                )
                schemas[KEYS] = {"id": pa.int64(), column: _KEY_TYPES[kind]}
            writes = [
                data.to_parquet(tmp / name, write_index=False, compute=False, schema=schemas.get(name, "infer"))
                for name, data in tables
            ]
            self.engine.compute("write", writes)
        hists = self.engine.compute("write", [delayed(_histogram)(part, edges) for part in pairs.to_delayed()])
        counts = self.engine.gather(hists)
        cos_hist = np.sum([c[0] for c in counts], axis=0) if counts else np.zeros(len(edges) - 1, dtype=np.int64)
        return cos_hist, edges, int(sum(c[1] for c in counts))

    def summary(self, cos_hist: np.ndarray, edges: np.ndarray, groups: gr.Groups, layout: cl.Layout) -> dict[str, Any]:
        c = self.counts
        sizes = groups.sizes
        c["grouped_ids"] = sum(size * n for size, n in sizes.items())
        c["groups"] = sum(sizes.values())
        c["removed"] = groups.removed
        return {
            "input": self.source.description,
            "files": sorted({p.file for p in self.source.partitions}) if self.source.kind != "generated" else [],
            "id_column": self.source.id_column,
            "vectors": self.source.count,
            "dimensions": self.source.dim,
            "partitions": len(self.source.partitions),
            "threshold": self.threshold,
            "cells": {
                "count": layout.cells,
                "margin": layout.margin,
                "max_cells": layout.max_cells,
                "held_out_pairs": layout.held_out_pairs,
                "margin_chosen_on": layout.calibrated_on(),
            },
            "promised_recall": layout.promised,
            "promised_recall_lower": layout.promised_lower,
            "promise_below": PROMISE_WARNING if _promise_low(layout, self.threshold) else None,
            "decision": {"groups": self.grouping, **self.rule.to_json(), "rule": self.rule.describe()},
            "parameters": {
                **self.rule.to_json(),
                "groups": self.grouping,
                "shuffle": self.shuffle,
                "margin": self.margin,
            },
            "counts": dict(c),
            "cosine_histogram": {"edges": edges.tolist(), "counts": [int(n) for n in cos_hist]},
            "group_sizes": {str(size): n for size, n in sizes.items()},
            "zero_rows": {"count": c["zero_rows"], "ids": self.zero_ids},
            "engine": {"name": self.engine.name, "workers": self.engine.workers, "threads": self.engine.threads},
            "seconds": dict(self.seconds),
        }


_KEY_TYPES = {"int64": pa.int64(), "float64": pa.float64(), "object": pa.string()}


def _named_keys(part: pd.DataFrame | None, column: str, kind: str) -> pd.DataFrame:
    """The keep-by values as written to keys.parquet: the id and the column under its own name
    (timestamps and dates as microseconds since the epoch, as they were ranked)."""
    if part is None:
        part = pd.DataFrame({"id": np.zeros(0, np.int64), "key": np.zeros(0, kind), "key_null": np.zeros(0, bool)})
    null = part["key_null"].to_numpy(bool)
    values = part["key"].to_numpy()
    if kind == "object":
        column_values: Any = pd.array(np.where(null, None, values).astype(object), dtype="string")
    elif kind == "int64":
        column_values = pd.arrays.IntegerArray(values.astype(np.int64), null)
    else:
        column_values = pd.arrays.FloatingArray(values.astype(np.float64), null)
    return pd.DataFrame({"id": part["id"].to_numpy(np.int64), column: column_values})


def _promise_low(layout: cl.Layout, threshold: float) -> bool:
    promised = layout.promised.get(f"{threshold:.2f}")
    return promised is not None and promised < PROMISE_WARNING


def _distinct_pairs(part: pd.DataFrame) -> pd.DataFrame:
    """Sorted by (id_a, id_b), each pair once (a pair may be listed by two dense cells, and a removed
    row's pair is often listed already)."""
    part = k.sort_pairs(part)
    a, b = part["id_a"].to_numpy(), part["id_b"].to_numpy()
    first = np.ones(len(part), dtype=bool)
    first[1:] = (a[1:] != a[:-1]) | (b[1:] != b[:-1])
    return part[first].reset_index(drop=True)


def _flag(part: pd.DataFrame, exact: bool) -> pd.DataFrame:
    """Pairs as written: id_a < id_b (an exact copy's representative may have the larger id)."""
    a, b = part["id_a"].to_numpy(), part["id_b"].to_numpy()
    return pd.DataFrame(
        {
            "id_a": np.minimum(a, b),
            "id_b": np.maximum(a, b),
            "cosine": part["cosine"].to_numpy(),
            "exact": np.full(len(part), exact, dtype=bool),
        }
    )


def _histogram(part: pd.DataFrame, edges: np.ndarray) -> tuple[np.ndarray, int]:
    """The histogram of the near pairs' cosines, and the number of pairs."""
    counts, _ = np.histogram(part["cosine"].to_numpy()[~part["exact"].to_numpy(bool)], bins=edges)
    return counts, len(part)
