"""The deduplication job: read, exact, cells, pairs, group, recheck, write and (asked for) kept and
annotate; in this process or on a Dask cluster.

`Job` is what every job shares (the index's jobs too): its input, engine and outputs, the lines it
says and the seconds of each stage, the read, write and kept stages, the summary and the commit
that moves the outputs into place. `RunJob` is a run's order of stages over it, and `run` the
public call."""

from __future__ import annotations

import json
import math
import os
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Protocol, Unpack

import numpy as np
from distributed import Client

from ..datasets.generate import Generated
from ..engine.engines import Engine, Handle, local_frame
from ..engine.monitor import Log
from ..engine.opening import launch
from ..engine.where import Shuffle
from ..files.memory import InMemory, held
from ..files.outputs import Output, extra_outputs
from ..files.sources import Source, input_paths
from ..ranking import Keep, KeepRule
from . import cells as cl
from . import exact as ex
from . import fit
from . import group as gr
from . import pairs as pr
from . import read as rd
from . import recheck as rc
from . import write as wr
from .group import Groups
from .kept import removed_ids, removed_rows, write_annotated, write_kept
from .options import RUN_OPTIONS, Grouping, RunOptions, check_grouping, check_threshold, options_of
from .summary import Counts, RunResult, Summary, summary_of

STAGES = ("read", "exact", "cells", "pairs", "group", "recheck", "write", "kept", "annotate")
ROWS_PER_OUTPUT_PARTITION = 2_000_000

StageHook = Callable[[str, Client | None], None]


class IndexWriter(Protocol):
    """An index written with a job's outputs (see `ambrel_dedup.index.jobs`): checked once every
    output is whole, and published after they are moved into place."""

    def ready(self) -> None: ...

    def commit(self, job: Job, summary: Summary, groups: Groups) -> Path: ...


class NewIndex(IndexWriter, Protocol):
    """An index a run creates: it writes the run's representatives once their pairs are found."""

    def segments(self, job: Job, blocks: rd.Blocks, exact: ex.Exact, layout: cl.Layout, found: pr.Pairs) -> str: ...


@dataclass
class Job:
    """What every job shares: its engine, input, threshold, keep rule and outputs, the stage it is
    in with the seconds and counts of the stages so far, and the stages and steps every job takes
    (read, write, the kept and annotated data sets, the summary, the commit)."""

    engine: Engine
    source: Source
    threshold: float
    rule: KeepRule
    target: Output | None
    kept: Output | None = None
    annotated: Output | None = None
    grouping: Grouping = "greedy"
    shuffle: Shuffle = "tasks"
    margin: float | None = None  # the margin asked for (None: chosen on a held-out sample)
    log: Log | None = None
    on_stage: StageHook | None = None
    index: IndexWriter | None = None  # an index written with the outputs, published after them
    stage: str = STAGES[0]
    seconds: dict[str, float] = field(default_factory=dict)
    counts: Counts = field(default_factory=lambda: Counts())
    started: float = 0.0
    zero_ids: list[int] = field(default_factory=list)

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

    def say_engine(self) -> None:
        engine = self.engine
        where = "in this process" if engine.name == "in-process" else f"{engine.workers} workers"
        self.say(f"engine: {where}, {engine.threads} threads; {len(self.source.partitions)} partitions")

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

    def output_parts(self) -> int:
        return max(1, math.ceil(self.source.count / ROWS_PER_OUTPUT_PARTITION))

    def write(self, exact: ex.Exact, near: Sequence[Handle], groups: Groups) -> tuple[np.ndarray, np.ndarray]:
        """The write stage over the exact copies and the near pairs (handles of PAIR_META frames):
        the histogram of the near pairs' cosines and its edges; the pairs written are counted."""
        self.start("write")
        exact_frame = local_frame(exact.pairs)
        near_frame = self.engine.frame(near, pr.PAIR_META)
        cos_hist, edges, written = wr.write(
            self.engine,
            self.target,
            exact_frame,
            near_frame,
            groups,
            self.rule,
            self.source.key_dtype,
            self.threshold,
            self.output_parts(),
        )
        self.counts["pairs"] = written
        self.finish(str(self.target.shown) if self.target is not None else "")
        return cos_hist, edges

    def write_rows(self, groups: Groups) -> None:
        """The kept data set and the annotated one, when asked for."""
        if self.kept is not None:
            self.start("kept")
            rows = write_kept(self.engine, self.source, removed_ids(self.engine, groups.frame), self.kept.tmp)
            self.counts["kept_rows"] = rows
            self.finish(f"{rows:,} rows in {self.kept.shown}")
        if self.annotated is not None:
            self.start("annotate")
            rows = write_annotated(
                self.engine, self.source, removed_rows(self.engine, groups.frame, groups.ids), self.annotated.tmp
            )
            self.counts["annotated_rows"] = rows
            self.finish(f"{rows:,} rows in {self.annotated.shown}")

    def summary(self, cos_hist: np.ndarray, edges: np.ndarray, groups: Groups, layout: cl.Layout) -> Summary:
        return summary_of(
            source=self.source,
            engine=self.engine,
            threshold=self.threshold,
            rule=self.rule,
            grouping=self.grouping,
            shuffle=self.shuffle,
            margin=self.margin,
            layout=layout,
            counts=self.counts,
            groups=groups,
            histogram=cos_hist,
            edges=edges,
            zero_ids=self.zero_ids,
            seconds=self.seconds,
        )

    def commit(self, summary: Summary, groups: Groups) -> RunResult:
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


@dataclass
class RunJob:
    """A run over its `job`: read, exact, cells, pairs, (an index's segments,) group, recheck,
    write, kept and annotate."""

    job: Job
    force_layout: bool = False  # a margin asked for is accepted whatever recall it promises
    creating: NewIndex | None = None  # the index a create writes (also the job's index)

    @property
    def stage(self) -> str:
        return self.job.stage

    def execute(self) -> RunResult:
        job = self.job
        src, engine = job.source, job.engine
        job.say(f"input:  {src.description}")
        job.say_engine()
        began = time.perf_counter()

        blocks = job.read(cl.cell_count(src.count))

        job.start("exact")
        exact = ex.exact(engine, blocks, job.rule, src.key_dtype)
        reps = src.count - blocks.zero_count - exact.count
        job.counts.update({"exact_copies": exact.count, "exact_pairs": exact.count, "representatives": reps})
        job.finish(f"{exact.count:,} exact copies")

        job.start("cells")
        layout = self.fit(blocks, exact, reps)
        job.finish(layout.describe())
        self.warn_promise(layout)

        job.start("pairs")
        found = pr.pairs(engine, blocks, exact, layout, reps, src.dim, job.rule)
        job.counts.update({"placements": found.placed, "near_pairs": found.count, "dense_cells": found.dense_cells})
        note = f"{found.placed:,} placements in cells, {found.count:,} pairs at or above {job.threshold}"
        if found.dense_cells:
            note += f"; {found.dense_cells:,} dense cells list each row's pairs with the rows kept before it"
        job.finish(note)
        if self.creating is not None:
            job.start("index")
            job.finish(self.creating.segments(job, blocks, exact, layout, found))

        job.start("group")
        groups = self.decide(blocks, exact, found)
        job.finish(self.describe_groups(groups))
        if job.grouping == "greedy":
            job.start("recheck")
            found, groups = self.recheck(blocks, exact, found, groups, layout)
            job.finish(
                f"{job.counts['recheck_pairs']:,} pairs between kept rows found by other cells; "
                f"{groups.removed:,} rows removed"
            )
        del blocks
        job.counts.update(
            {"component_rounds": groups.rounds, "components": groups.components, "largest_component": groups.largest}
        )

        cos_hist, edges = job.write(exact, found.handles, groups)
        job.write_rows(groups)

        summary = job.summary(cos_hist, edges, groups, layout)
        summary["seconds"]["total"] = time.perf_counter() - began
        return job.commit(summary, groups)

    def fit(self, blocks: rd.Blocks, exact: ex.Exact, reps: int) -> cl.Layout:
        job = self.job
        layout = fit.fit_cells(job.engine, blocks, exact, max(reps, 1), job.threshold, job.engine.threads, job.margin)
        cl.check_margin(layout, job.threshold, job.margin, self.force_layout)
        return layout

    def recheck(
        self, blocks: rd.Blocks, exact: ex.Exact, found: pr.Pairs, groups: Groups, layout: cl.Layout
    ) -> tuple[pr.Pairs, Groups]:
        """Other layouts over the kept rows, while they find pairs the cells missed between two of
        them; the decision is taken again on every pair found."""
        job = self.job
        removed = removed_ids(job.engine, groups.frame)
        again = rc.recheck(job.engine, blocks, exact, removed, layout, job.rule)
        job.counts["recheck_pairs"] = again.count
        for _ in range(rc.RECHECK_EXACT_ROUNDS):
            if not again.count:
                break
            found = rc.both(found, again)
            groups = self.decide(blocks, exact, found)
            # The rows kept now that were removed before: each against every kept row, exactly.
            now = removed_ids(job.engine, groups.frame)
            back = np.setdiff1d(removed, now, assume_unique=True)
            removed = now
            again = rc.exact_recheck(job.engine, blocks, exact, removed, back, job.threshold)
            job.counts["recheck_pairs"] += again.count
        return found, groups

    def decide(self, blocks: rd.Blocks, exact: ex.Exact, found: pr.Pairs) -> Groups:
        job = self.job
        return gr.groups(
            job.engine, blocks, exact, found, job.rule, job.grouping, job.output_parts(), job.source.key_dtype
        )

    def describe_groups(self, groups: Groups) -> str:
        how = "by the keep rule" if self.job.grouping == "greedy" else "one per connected component"
        note = f"{groups.removed:,} rows removed for {sum(groups.sizes.values()):,} kept rows ({how})"
        note += f"; largest connected component {groups.largest:,} ids"
        return note + (f"; {groups.rounds} rounds" if groups.rounds else "")

    def warn_promise(self, layout: cl.Layout) -> None:
        """Says so when the cells promise less than PROMISE_WARNING of the pairs at the threshold."""
        threshold, warning = self.job.threshold, cl.PROMISE_WARNING
        level = f"{threshold:.2f}"
        promised, lower = layout.promised.get(level), layout.promised_lower.get(level)
        if promised is not None and promised < warning:
            self.job.say(
                f"  warning: the cells promise a recall of {promised:.4f} at {threshold} "
                f"(at least {lower:.4f} with 95% confidence), below {warning}: some pairs may be missed"
                if lower is not None
                else f"  warning: the cells promise a recall of {promised:.4f} at {threshold}, "
                f"below {warning}: some pairs may be missed"
            )


def run(
    source: str | os.PathLike[str] | Generated | InMemory,
    output: str | os.PathLike[str],
    threshold: float = 0.9,
    *,
    keep: Keep = "min",
    keep_by: str | None = None,
    groups: Grouping = "greedy",
    kept: str | os.PathLike[str] | None = None,
    annotate: str | os.PathLike[str] | None = None,
    overwrite: bool = False,
    margin: float | None = None,
    force_layout: bool = False,
    on_stage: StageHook | None = None,
    **options: Unpack[RunOptions],
) -> RunResult:
    """Finds exact and near duplicates of the vectors in `source` and writes them to `output`.

    `source` is a Parquet file or directory (integer `id_column`, `vector_column`
    of list or fixed-size-list numbers), a .npy file or a directory of them (ids are
    row numbers, continuing across files in name order), a `Generated` data set or
    the text "generated[:COUNTxDIM...]", or data in memory: a 2-D numpy array (as a
    .npy file), a pandas DataFrame, a pyarrow Table or a Dask DataFrame (as Parquet),
    written beside `output` for the run's time (see `ambrel_dedup.files.memory`). `output` becomes a directory with
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

    The other options (`RunOptions`): where it runs (`client`, `scheduler`, `workers`,
    `threads_per_worker`, `in_process`, `connect_timeout`: seconds a scheduler has to answer),
    how the input is read (`id_column`, `vector_column`, `partition_rows`), `shuffle` ("tasks"
    or "p2p"), `log` (called with each line the run reports) and `progress`.
    """
    where, reading, log = options_of(run, options, RUN_OPTIONS)
    check_threshold(threshold)
    rule = KeepRule.of(keep, keep_by)
    check_grouping(groups)
    if margin is not None and not (isinstance(margin, (int, float)) and 0.0 <= margin <= 2.0):
        raise ValueError(f"margin must be a number in [0, 2], got {margin!r}")
    where.check()
    with held(source, output, reading.vector_column) as given:
        inputs = input_paths(given.source)
        token = os.urandom(5).hex()
        target = Output(output, inputs, overwrite, token)
        kept_target, annotated = extra_outputs(kept, annotate, inputs, overwrite, token, [target])

        plan = given.planned(reading.planner(given.source, key_column=rule.column))

        def job(engine: Engine, src: Source) -> RunJob:
            shared = Job(
                engine,
                src,
                threshold,
                rule,
                target,
                kept_target,
                annotated,
                grouping=groups,
                shuffle=where.shuffle,
                margin=margin,
                log=log,
                on_stage=on_stage,
            )
            return RunJob(shared, force_layout)

        targets = [t for t in (target, kept_target, annotated) if t is not None]
        return launch(where, plan, targets, job, log)
