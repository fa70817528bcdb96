"""Jobs on a persistent index: `create` (a run kept as the index's first version), `add` (new rows
against the index and each other, then the next version) and `query` (rows of an input matched
against an index, written as a table). They run in this process or on a Dask cluster as `run`
does, on the same stages.

`add` holds the index's lock from start to end, so that two adds never interleave; it writes the
new segments and group changes first, the outputs (OUT, KEPT) next, and the new manifest last:
killed before that last rename, it leaves the index as it was (the files it wrote are unreferenced
and removed by `vacuum`) and any output it had moved into place whole.
"""

from __future__ import annotations

import json
import os
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TypedDict, Unpack

import numpy as np
import pandas as pd

from .. import partition as k
from ..datasets.generate import Generated
from ..engine.engines import Engine, local_frame
from ..engine.opening import launch
from ..errors import DedupError
from ..files.memory import InMemory, held
from ..files.outputs import MARKER, Contents, Output, extra_outputs
from ..files.sources import Partition, Source, input_paths
from ..pipeline import cells as cl
from ..pipeline import exact as ex
from ..pipeline import pairs as pr
from ..pipeline.exact import Exact
from ..pipeline.group import GROUPS_META, Groups
from ..pipeline.job import Job, RunJob
from ..pipeline.options import JOB_OPTIONS, AddMode, JobOptions, check_threshold, options_of
from ..pipeline.pairs import Pairs
from ..pipeline.read import Block, Blocks
from ..pipeline.summary import RunResult, Summary
from ..ranking import Keep, KeepRule
from . import files
from . import manifest as im
from . import stages as ist
from .reader import Index, opened

QUERY_OUTPUT = Contents("output", frozenset({MARKER, "matches.parquet", "summary.json"}))


class QueriedIndex(TypedDict):
    path: str
    version: int
    vectors: int


class QuerySummary(TypedDict):
    """summary.json of a query: the rows asked about, the index version and the matches found."""

    input: str
    queries: int
    index: QueriedIndex
    threshold: float
    top_k: int | None
    matches: int
    seconds: dict[str, float]


def _parameters(layout: cl.Layout, dim: int, rule: KeepRule) -> im.Parameters:
    by = None if rule.column is None else f"{rule.column}:{'desc' if rule.descending else 'asc'}"
    return im.Parameters(
        layout.threshold,
        dim,
        layout.cells,
        layout.margin,
        layout.max_cells,
        "max" if rule.column is None and rule.descending else "min",
        dict(layout.promised),
        layout.held_out_pairs,
        layout.calibrated_on(),
        by,
    )


def _version_summary(summary: Summary, added: int) -> dict[str, Any]:
    c = summary["counts"]
    return {
        "added": added,
        "input": summary["input"],
        "pairs": c["pairs"],
        "groups": c["groups"],
        "removed": c["removed"],
        "seconds": round(summary["seconds"]["total"], 3),
    }


def _gather_groups(engine: Engine, groups: Groups) -> pd.DataFrame:
    parts = engine.gather(engine.compute("index", groups.frame.to_delayed()))
    return pd.concat([GROUPS_META, *parts], ignore_index=True)


# --------------------------------------------------------------------------
# create


@dataclass
class _Creating:
    """The index a run is written into: its temporary directory, moved into place at the end."""

    target: Output
    rule: KeepRule
    entries: list[im.SegmentEntry] = field(default_factory=list)
    layout: cl.Layout | None = None
    largest: int = -1
    token: str = field(default_factory=lambda: os.urandom(4).hex())

    def segments(self, job: Job, blocks: Blocks, exact: Exact, layout: cl.Layout, found: Pairs) -> str:
        self.layout = layout
        rows = [p.rows for p in job.source.partitions]
        files.make_directory(self.target.tmp, files.DATA)
        self.entries, self.largest = ist.segments(
            job.engine, self.target.tmp, 1, self.token, blocks, exact, found.placements, layout, rows
        )
        return f"{len(self.entries)} segments"

    def ready(self) -> None:
        self.target.ready()

    def commit(self, job: Job, summary: Summary, groups: Groups) -> Path:
        assert self.layout is not None
        root = self.target.tmp
        table = _gather_groups(job.engine, groups)
        record = files.save_array(root, files.LAYOUT, self.layout.centroids)
        manifest = im.new_manifest(_parameters(self.layout, job.source.dim, self.rule), record)
        grouped = ist.write_groups(root, 1, self.token, table)
        files.sync_directory(root, files.DATA)
        summary_of = _version_summary(summary, job.source.count)
        manifest = im.next_version(manifest, self.entries, grouped, summary_of, self.largest + 1, self.token)
        im.publish(root, manifest)
        self.target.commit()
        return self.target.shown


def create(
    source: str | os.PathLike[str] | Generated | InMemory,
    index: str | os.PathLike[str],
    threshold: float = 0.9,
    *,
    output: str | os.PathLike[str] | None = None,
    kept: str | os.PathLike[str] | None = None,
    annotate: str | os.PathLike[str] | None = None,
    overwrite: bool = False,
    keep: Keep = "min",
    keep_by: str | None = None,
    margin: float | None = None,
    force_layout: bool = False,
    **options: Unpack[JobOptions],
) -> RunResult:
    """Runs over `source` and keeps the result as a new index at `index` (which must not exist),
    its first version; with `output`, `kept` and `annotate`, also writes the run's outputs and data
    sets there (`overwrite` applies to them only). The threshold, the keep rule, the cells and the
    dimension are fixed for the index's life; its decisions are those of the greedy rule (`run`).
    Runs where `run` would, given the same `client`, `scheduler`, `workers`, ... (`JobOptions`)."""
    where, reading, log = options_of(create, options, JOB_OPTIONS)
    check_threshold(threshold)
    rule = KeepRule.of(keep, keep_by)
    where.check()
    token = os.urandom(5).hex()
    if os.path.lexists(index):
        raise DedupError(f"{index}: exists; an index is created only where nothing is (choose another path)")
    with held(source, index, reading.vector_column) as given:
        inputs = input_paths(given.source)
        idx = Output(index, inputs, False, token)
        out = None if output is None else Output(output, [*inputs, index], overwrite, token)
        apart = [out] if out is not None else []
        kept_target, annotated = extra_outputs(kept, annotate, [*inputs, index], overwrite, token, apart)
        for path in (output, kept, annotate):
            if path is not None:
                _check_apart(Path(os.path.realpath(path)), Path(os.path.realpath(index)), path, index)
        writer = _Creating(idx, rule)

        plan = given.planned(reading.planner(given.source, check=_integer_ids, key_column=rule.column))

        def job(engine: Engine, src: Source) -> RunJob:
            shared = Job(
                engine,
                src,
                threshold,
                rule,
                out,
                kept_target,
                annotated,
                shuffle=where.shuffle,
                margin=margin,
                log=log,
                index=writer,
            )
            return RunJob(shared, force_layout, creating=writer)

        targets = [t for t in (idx, out, kept_target, annotated) if t is not None]
        return launch(where, plan, targets, job, log)


def _integer_ids(src: Source) -> None:
    """An index holds int64 ids: text ids, or uint64 ids past 2**63 - 1, are refused before any work."""
    if src.keyed_ids:
        raise DedupError(
            f"{src.partitions[0].file}: ids of {src.id_type}, which an index does not hold for now "
            "(it takes integer ids that fit 64 bits); run without an index, or give the rows integer ids"
        )


def _same_dim(index: Any, dim: int) -> Any:
    def check(src: Source) -> None:
        _integer_ids(src)
        if src.dim != dim:
            raise DedupError(
                f"{src.partitions[0].file}: vectors of {src.dim} dimensions; the index {index} holds {dim}"
            )

    return check


def _check_apart(a: Path, b: Path, shown_a: Any, shown_b: Any) -> None:
    if a == b or a.is_relative_to(b) or b.is_relative_to(a):
        raise DedupError(f"{shown_a}: must lie apart from the index {shown_b}; choose another path")


# --------------------------------------------------------------------------
# add


def _collisions(block: Block, info: tuple[Any, ...], root: str, version: int) -> tuple[np.ndarray, np.ndarray]:
    """Of a block's ids, (a few the index holds, a few it removed whose rows are still in its files)."""
    index = opened(root, version)
    ids = np.concatenate([block.ids, info[0]])
    return ids[k.in_sorted(ids, index.all_ids())][:3], ids[k.in_sorted(ids, index.removed)][:3]


@dataclass
class _Adding:
    """The next version of an index: new segments and group changes, then its manifest."""

    index: Index
    mode: AddMode
    entries: list[im.SegmentEntry] = field(default_factory=list)
    table: pd.DataFrame | None = None
    left_out: np.ndarray = field(default_factory=lambda: np.zeros(0, np.int64))
    largest: int = -1
    token: str = field(default_factory=lambda: os.urandom(4).hex())

    def ready(self) -> None:
        """The index is still the one this add read, at the version it read (the lock keeps other
        adds out; this catches a directory moved or replaced meanwhile)."""
        root = self.index.root
        files.check_held(root, "adding")
        try:
            now = im.read_manifest(root)
        except DedupError as exc:
            raise DedupError(f"{root}: changed while adding ({exc}); nothing was added") from None
        if now.id != self.index.manifest.id or now.version != self.index.version:
            raise DedupError(f"{root}: replaced or changed while adding; nothing was added to it")

    def commit(self, job: Job, summary: Summary, groups: Groups) -> Path:
        del groups
        root, number = self.index.root, self.index.version + 1
        assert self.table is not None
        change = self.table
        if len(self.left_out):
            # The ids the index holds from now on: groups that left-out rows joined stay joined,
            # each named by its smallest held member.
            change = change[~change.id.isin(self.left_out)].copy()
            change["group"] = change.groupby("group")["id"].transform("min")
        grouped = ist.write_groups(root, number, self.token, change)
        files.sync_directory(root, files.DATA)
        added = sum(e.ids for e in self.entries)
        manifest = im.next_version(
            self.index.manifest, self.entries, grouped, _version_summary(summary, added), self.largest + 1, self.token
        )
        self.ready()
        try:
            im.publish(root, manifest)
        except DedupError as exc:
            shown = job.target.shown if job.target is not None else "the output"
            raise DedupError(
                f"{exc}; {shown} is written: run the same add again (to another output) to add the rows"
            ) from None
        return root


@dataclass
class _AddJob:
    """An add over its `job` (whose index is `adding`): read, exact (within the new rows and with
    the indexed ones), pairs, across, group, index, write, kept and annotate."""

    job: Job
    adding: _Adding

    @property
    def stage(self) -> str:
        return self.job.stage

    def execute(self) -> RunResult:
        job, adding = self.job, self.adding
        src, engine = job.source, job.engine
        index = adding.index
        root, version = str(index.root), index.version
        job.say(f"input:  {src.description}")
        job.say(f"index:  {index.root}, version {version}, {index.count:,} vectors")
        job.say_engine()
        began = time.perf_counter()
        layout = index.layout

        blocks = job.read(1)
        taken = engine.gather(
            engine.run("read", _collisions, [(b, i, root, version) for b, i in zip(blocks.handles, blocks.infos)])
        )
        for part, (ids, gone) in zip(src.partitions, taken):
            if len(ids):
                raise DedupError(f"{part.file}: id {int(ids[0])} is already in the index {index.root}")
            if len(gone):
                # Until vacuum writes its segment anew, the old row of a removed id is what the
                # files hold under that id.
                raise DedupError(
                    f"{part.file}: id {int(gone[0])} was removed from the index {index.root} and its row is still "
                    f"in the index's files; run `ambrel-dedup index vacuum --index {index.root}`, then add it again"
                )

        job.start("exact")
        exact = ex.exact(engine, blocks, job.rule, src.key_dtype)
        within = exact.count
        exact = ist.in_index(engine, blocks, exact, index.root, version)
        reps = src.count - blocks.zero_count - exact.count
        job.counts.update({"exact_copies": exact.count, "exact_pairs": exact.count, "representatives": reps})
        job.finish(f"{within:,} exact copies among the new rows, {exact.count - within:,} of indexed vectors")

        job.start("pairs")
        found = pr.pairs(
            engine, blocks, exact, layout, max(reps, 1), src.dim, job.rule, keep_pieces=True, group_task=ist.within
        )
        job.finish(f"{found.count:,} pairs among the new rows")

        job.start("across")
        met = ist.across(engine, found, index.root, version, job.threshold)
        job.counts.update(
            {
                "placements": found.placed,
                "near_pairs": found.count + met.count,
                "dense_cells": found.dense_cells,
                "incomplete_cells": met.incomplete,
                "pairs_with_index": met.count,
            }
        )
        job.finish(f"{met.count:,} pairs with indexed vectors")

        job.start("group")
        decision = ist.decide_new(engine, blocks, exact, found, met, index, job.rule)
        table = decision.frame()
        adding.table = table
        groups = Groups(
            local_frame(table), local_frame(decision.pairs()), decision.sizes, decision.removed, ids=blocks.ids
        )
        new_removed = decision.ids[~decision.keep]
        job.finish(f"{len(new_removed):,} new rows removed (the indexed rows' decisions stand)")

        job.start("index")
        left_out = None
        if adding.mode == "kept":
            # A removed representative whose exact copy is kept stays: queries find the copy through it.
            pairs = exact.pairs
            needed = pairs.id_a[~pairs.id_b.isin(new_removed)].to_numpy()
            left_out = np.setdiff1d(new_removed, needed)
            adding.left_out = left_out
        rows = [p.rows for p in src.partitions]
        adding.entries, adding.largest = ist.segments(
            engine, index.root, version + 1, adding.token, blocks, exact, found.placements, layout, rows, left_out
        )
        job.finish(f"{len(adding.entries)} segments")
        del blocks

        cos_hist, edges = job.write(exact, [*found.handles, *met.handles], groups)
        job.write_rows(groups)
        summary = job.summary(cos_hist, edges, groups, layout)
        summary["index"] = {"path": str(index.root), "version": version + 1, "added": adding.mode}
        summary["seconds"]["total"] = time.perf_counter() - began
        return job.commit(summary, groups)


def add(
    source: str | os.PathLike[str] | Generated | InMemory,
    index: str | os.PathLike[str],
    output: str | os.PathLike[str],
    *,
    kept: str | os.PathLike[str] | None = None,
    annotate: str | os.PathLike[str] | None = None,
    add: AddMode = "all",
    overwrite: bool = False,
    **options: Unpack[JobOptions],
) -> RunResult:
    """Finds the pairs among the rows of `source` and between them and the index at `index`, writes
    them to `output` as `run` does (with `kept`, the new rows that are kept too), and adds the new
    rows (`add="all"`) or only the kept ones (`"kept"`) to the index as its next version. Rows of
    .npy files and of the generated data set get ids past every id the index has seen. Runs where
    `run` would (`JobOptions`).

    The indexed rows rank before every new row and their decisions stand: a new row is removed if
    and only if an indexed kept row, or a new kept row ranked before it by the index's keep rule,
    is at cosine >= the threshold; no row published as kept is ever removed by an add. An index
    written by an earlier version of this tool (format 1, whose groups are connected components)
    takes no adds: create it anew."""
    where, reading, log = options_of(_ADD, options, JOB_OPTIONS)
    if add not in ("all", "kept"):
        raise ValueError(f"add must be 'all' or 'kept', got {add!r}")
    where.check()
    root = Path(os.path.abspath(index))
    im.read_manifest(root)  # a clear error before the lock is taken in a directory that is no index
    with held(source, output, reading.vector_column) as given:
        inputs = input_paths(given.source)
        for text in inputs:
            _check_apart(Path(os.path.realpath(text)), Path(os.path.realpath(root)), text, index)
        token = os.urandom(5).hex()
        target = Output(output, [*inputs, root], overwrite, token)
        kept_target, annotated = extra_outputs(kept, annotate, [*inputs, root], overwrite, token, [target])
        for path in (output, kept, annotate):
            if path is not None:
                _check_apart(Path(os.path.realpath(path)), Path(os.path.realpath(root)), path, index)
        with im.writer_lock(root):
            files.check_no_mounts(root, "an add writes")
            current = opened(str(root), im.read_manifest(root).version)  # shared with the tasks run here
            if current.manifest.format < 2:
                raise DedupError(
                    f"{root}: an index of format {current.manifest.format}, whose groups are connected components; "
                    "it takes no adds (create it anew from its data to add with kept-row decisions)"
                )
            # Past every id the index has seen, rows it left out included.
            first = max(current.entry.next_id, int(current.all_ids().max(initial=-1)) + 1)
            rule = current.manifest.parameters.rule
            plan = given.planned(reading.planner(given.source, first, _same_dim(index, current.dim), rule.column))

            adding = _Adding(current, add)

            def job(engine: Engine, src: Source) -> _AddJob:
                shared = Job(
                    engine,
                    src,
                    current.threshold,
                    rule,
                    target,
                    kept_target,
                    annotated,
                    shuffle=where.shuffle,
                    log=log,
                    index=adding,
                )
                return _AddJob(shared, adding)

            targets = [t for t in (target, kept_target, annotated) if t is not None]
            return launch(where, plan, targets, job, log)


_ADD = add  # in its body, `add` is the option of that name


# --------------------------------------------------------------------------
# query


def _query_part(
    part: Partition, reader: Source, root: str, version: int, threshold: float, k: int | None
) -> pd.DataFrame:
    ids, vectors = reader.read(part)
    found = opened(root, version).query(vectors, threshold, k=k, threads=1)
    return pd.DataFrame({"query_id": ids.astype(np.int64)[found.row], "id": found.id, "cosine": found.cosine})


@dataclass
class _QueryJob:
    """A query over its `job` (for its lines, stage times and output): every row of the input
    matched against `index` at `threshold`, the `top_k` nearest when given."""

    job: Job
    index: Index
    threshold: float
    top_k: int | None = None

    @property
    def stage(self) -> str:
        return self.job.stage

    def execute(self) -> RunResult[QuerySummary]:
        job, index = self.job, self.index
        src, engine = job.source, job.engine
        began = time.perf_counter()
        job.say(f"input:  {src.description}")
        job.say(f"index:  {index.root}, version {index.version}, {index.count:,} vectors")
        job.start("query")
        reader = Source(**{**src.__dict__, "partitions": ()})
        args = [(p, reader, str(index.root), index.version, self.threshold, self.top_k) for p in src.partitions]
        found = engine.run("query", _query_part, args)
        engine.wait("query", found)
        job.finish()
        job.start("write")
        meta = k.frame({"query_id": np.int64, "id": np.int64, "cosine": np.float64})
        frame = engine.frame(found, meta)
        target = job.target
        assert target is not None
        engine.compute("write", [frame.to_parquet(target.tmp / "matches.parquet", write_index=False, compute=False)])
        counts = engine.gather(engine.run("write", len, [(f,) for f in found]))
        summary: QuerySummary = {
            "input": src.description,
            "queries": src.count,
            "index": {"path": str(index.root), "version": index.version, "vectors": index.count},
            "threshold": self.threshold,
            "top_k": self.top_k,
            "matches": int(sum(counts)),
            "seconds": {"total": time.perf_counter() - began},
        }
        (target.tmp / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
        target.commit()
        job.finish(str(target.shown))
        return RunResult(target.shown, summary)


def query(
    source: str | os.PathLike[str] | Generated | InMemory,
    index: str | os.PathLike[str],
    output: str | os.PathLike[str],
    *,
    threshold: float | None = None,
    k: int | None = None,
    overwrite: bool = False,
    **options: Unpack[JobOptions],
) -> RunResult[QuerySummary]:
    """For every row of `source`, the indexed ids at cosine >= `threshold` (default: the index's),
    with `k` at most the `k` nearest of them, written to `output`/matches.parquet (query_id, id,
    cosine) with a summary. Runs where `run` would (`JobOptions`)."""
    where, reading, log = options_of(query, options, JOB_OPTIONS)
    where.check()
    if k is not None and (not isinstance(k, int) or isinstance(k, bool) or k < 1):
        raise ValueError(f"k must be a whole number of at least 1, got {k!r}")
    opened_index = Index.open(index)
    t = opened_index.check_threshold(threshold)
    with held(source, output, reading.vector_column) as given:
        inputs = input_paths(given.source)
        target = Output(output, [*inputs, opened_index.root], overwrite, os.urandom(5).hex(), QUERY_OUTPUT)

        plan = given.planned(reading.planner(given.source, check=_same_dim(index, opened_index.dim)))

        def job(engine: Engine, src: Source) -> _QueryJob:
            shared = Job(engine, src, t, KeepRule(), target, shuffle=where.shuffle, log=log)
            return _QueryJob(shared, opened_index, t, k)

        return launch(where, plan, [target], job, log)


def info(index: str | os.PathLike[str], verify: bool = False) -> dict[str, Any]:
    return Index.open(index, verify=verify).info()


def vacuum(index: str | os.PathLike[str], keep: int = 1) -> dict[str, int]:
    from .vacuum import vacuum as vacuum_index

    return vacuum_index(Path(os.path.abspath(index)), keep)


def remove(index: str | os.PathLike[str], ids: Any) -> dict[str, int]:
    """A new version of the index without these ids (every one of them indexed): queries never
    match them and adds never meet them; an exact copy the index holds of a removed vector stands
    for it. Their rows stay in the files until `vacuum` writes the segments that hold them anew
    without them; then, not before, the ids may be added again. The decisions made about other
    rows stand (a row removed for a removed id stays removed, and removes nothing)."""
    root = Path(os.path.abspath(index))
    wanted = np.asarray(ids)
    if wanted.ndim != 1 or (wanted.size and wanted.dtype.kind not in "iu"):
        raise ValueError(
            f"ids must be a sequence of whole numbers of 64 bits, got {wanted.dtype} of shape {wanted.shape}"
        )
    if wanted.dtype.kind == "u" and wanted.size and int(wanted.max()) > im.LARGEST:
        raise ValueError(f"id {int(wanted.max())} is past the largest id an index holds ({im.LARGEST})")
    wanted = np.unique(wanted.astype(np.int64))
    im.read_manifest(root)  # a clear error before the lock is taken in a directory that is no index
    with im.writer_lock(root):
        files.check_no_mounts(root, "a removal writes")
        current = Index.open(root)
        missing = wanted[~k.in_sorted(wanted, current.all_ids())]
        if len(missing):
            raise DedupError(f"{root}: id {int(missing[0])} is not in the index; nothing was removed")
        if len(wanted) == 0:
            return {"version": current.version, "removed": 0}
        token = os.urandom(4).hex()
        number = current.version + 1
        rel = files.removed_name(number, token)
        entry = im.GroupsEntry(rel, files.save_array(root, rel, wanted), len(wanted))
        files.sync_directory(root, files.DATA)
        summary = {"added": 0, "groups": 0, "removed_ids": len(wanted)}
        im.publish(root, im.next_version(current.manifest, [], None, summary, current.entry.next_id, token, entry))
    return {"version": number, "removed": len(wanted)}
