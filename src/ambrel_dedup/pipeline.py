"""The deduplication job on a Dask cluster: read, sign, exact duplicates, bucket, verify, group, write."""

from __future__ import annotations

import contextlib
import json
import math
import operator
import os
import sys
import time
import uuid
from collections.abc import Callable, Iterator, Sequence
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import Any

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask import delayed
from distributed import Client, Future, LocalCluster, as_completed, futures_of
from distributed.client import FutureCancelledError
from distributed.scheduler import KilledWorker

from . import connection, failures, monitor
from . import kernels as k
from .errors import DedupError, InputError
from .generate import Generated
from .output import Output
from .params import LshParams, check_recall, choose_params
from .sources import Partition, Source, open_source

DEFAULT_BUCKET_CAP = 1000
MAX_BUCKET_CAP = 5000
MAX_COMPONENT_ROUNDS = 64
ROWS_PER_SHUFFLE_PARTITION = 2_000_000
ROWS_PER_OUTPUT_PARTITION = 2_000_000
EDGES_PER_PARTITION = 500_000
ZERO_IDS_LISTED = 100  # ids of zero rows named in the summary
STAGES = ("read+sign", "exact", "bucket", "verify", "group", "write")

Log = Callable[[str], None]
StageHook = Callable[[str, Client], None]


@dataclass
class RunResult:
    output: Path
    summary: dict[str, Any]

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

    The local cluster has one single-threaded worker process per core: the signing
    calls release the interpreter, but the shuffles and the per-partition numpy code
    around them partly hold it, and separate processes keep one failing worker
    from taking the others with it.
    """
    if client is not None:
        yield client
        return
    if scheduler is not None:
        remote = connection.open_client(scheduler, timeout)
        with remote:
            yield remote
        return
    import logging

    connection.check_local_cluster(workers, threads_per_worker, available_cores())
    n = workers if workers is not None else available_cores()
    # distributed starts workers with MALLOC_TRIM_THRESHOLD_ set, which also fixes glibc's
    # mmap threshold: every large array is then a fresh mapping, faulted in page by page.
    # The shuffles of band rows allocate many; unsetting it made them about a quarter faster.
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


def run(
    source: str | os.PathLike[str] | Generated,
    output: str | os.PathLike[str],
    threshold: float = 0.9,
    *,
    params: LshParams | None = None,
    client: Client | None = None,
    scheduler: str | None = None,
    workers: int | None = None,
    threads_per_worker: int | None = None,
    id_column: str = "id",
    vector_column: str = "embedding",
    bucket_cap: int = DEFAULT_BUCKET_CAP,
    keep: str = "min",
    overwrite: bool = False,
    partition_rows: int | None = None,
    shuffle: str = "tasks",
    log: Log | None = None,
    progress: bool = False,
    on_stage: StageHook | None = None,
    connect_timeout: float = 10.0,
    force_layout: bool = False,
) -> RunResult:
    """Finds exact and near duplicates of the vectors in `source` and writes them to `output`.

    `source` is a Parquet file or directory (integer `id_column`, `vector_column`
    of list or fixed-size-list numbers), a .npy file or a directory of them (ids are
    row numbers, continuing across files in name order), a `Generated` data set or
    the text "generated[:COUNTxDIM...]". `output` becomes a directory with
    pairs.parquet, groups.parquet and summary.json, written to a temporary directory
    beside it and renamed into place, so that a failed run leaves nothing behind.

    Runs on `client`, else on the scheduler at `scheduler`, else on a new local
    cluster of `workers` processes (default: one per core). `params` overrides the
    layout chosen from `threshold`; `on_stage(name, client)` is called as each
    stage starts.

    Before any work, `output` is checked (see `ambrel_dedup.output`): it must lie
    apart from the input; with `overwrite`, an existing output is replaced only
    if this tool wrote it. A layout that makes a pair at the threshold a
    candidate with probability below one half is refused unless `force_layout`.
    """
    if params is None:
        params = choose_params(threshold)
    if keep not in ("min", "max"):
        raise ValueError(f"keep must be 'min' or 'max', got {keep!r}")
    if not 2 <= bucket_cap <= MAX_BUCKET_CAP:
        raise ValueError(f"bucket_cap must be between 2 and {MAX_BUCKET_CAP}, got {bucket_cap}")
    if shuffle not in ("tasks", "p2p"):
        raise ValueError(f"shuffle must be 'tasks' or 'p2p', got {shuffle!r}")
    if not force_layout:
        check_recall(params)
    if client is None and scheduler is None:
        connection.check_local_cluster(workers, threads_per_worker, available_cores())
    inputs = [] if isinstance(source, Generated) or not os.path.lexists(source) else [source]
    target = Output(output, inputs, overwrite, uuid.uuid4().hex[:10])
    out = Path(output)
    local_threads = (workers or available_cores()) * (threads_per_worker or 1)

    def plan(parallelism: int) -> Source:
        return open_source(
            source,
            id_column=id_column,
            vector_column=vector_column,
            partition_rows=partition_rows,
            parallelism=parallelism,
        )

    # Validated before any cluster starts: schemas, shapes, row counts.
    plan(local_threads if client is None and scheduler is None else 1)
    with (
        target,
        connect(client, scheduler, workers, threads_per_worker, timeout=connect_timeout) as c,
        c.as_current(),
        dask.config.set({"dataframe.shuffle.method": shuffle, "dataframe.convert-string": False}),
    ):
        threads = sum(c.nthreads().values())
        if threads == 0:
            raise DedupError("the Dask cluster has no workers")
        try:
            c.run(_prepare_worker)  # fails early where a worker lacks a package; warms the imports
        except Exception as exc:
            raise DedupError(
                f"a Dask worker cannot run the pipeline ({type(exc).__name__}: {exc}); install ambrel-native[dedup] on every worker"
            ) from None
        src = plan(threads)
        job = _Job(c, src, params, out, bucket_cap, keep, overwrite, shuffle, log, progress, on_stage)
        job.target, job.token = target, target.token
        try:
            with monitor.heartbeat(job, c, log):
                return job.execute()
        except DedupError:
            raise
        except Exception as exc:  # escaped from a stage outside `track` (a gather, the duplicate-id check)
            raise failures.stage_failure(job.stage, exc) from exc


@dataclass
class _Job:
    client: Client
    source: Source
    params: LshParams
    output: Path
    bucket_cap: int
    keep: str
    overwrite: bool
    shuffle: str
    log: Log | None
    progress: bool
    on_stage: StageHook | None
    seconds: dict[str, float] = field(default_factory=dict)
    counts: dict[str, int] = field(default_factory=dict)
    token: str = field(default_factory=lambda: uuid.uuid4().hex[:10])
    task_seconds: dict[str, float] = field(default_factory=dict)
    group_sizes: dict[int, int] = field(default_factory=dict)
    target: Output | None = None
    stage: str = STAGES[0]
    zero_ids: list[int] = field(default_factory=list)

    # -- helpers ------------------------------------------------------------

    def say(self, text: str) -> None:
        if self.log is not None:
            self.log(text)

    def track(self, stage: str, futures: Sequence[Future]) -> None:
        """Waits for the futures, showing progress; turns a task failure into a clear error."""
        total = len(futures)
        shown = self.progress and sys.stderr.isatty()
        for done, fut in enumerate(as_completed(list(futures)), start=1):
            if fut.status == "error":
                self.fail(stage, fut)
            if shown:
                bar = "#" * (20 * done // max(total, 1))
                sys.stderr.write(f"\r  {stage:<9} [{bar:<20}] {done}/{total} tasks")
                sys.stderr.flush()
        if shown:
            sys.stderr.write("\r" + " " * 60 + "\r")
            sys.stderr.flush()

    def fail(self, stage: str, fut: Future) -> None:
        try:
            fut.result()
        except InputError:
            raise
        except KilledWorker as exc:
            raise failures.killed(stage, exc) from None
        except FutureCancelledError as exc:
            raise DedupError(f"{stage}: a task was cancelled ({exc}); nothing was written") from None
        except Exception as exc:
            raise DedupError(f"{stage}: {type(exc).__name__}: {exc}; nothing was written") from exc

    def persist(self, stage: str, frame: dd.DataFrame) -> dd.DataFrame:
        done = self.client.persist(frame)
        self.track(stage, futures_of(done))
        return done

    def apply(self, stage: str, tasks: list[Any], wait: bool = True) -> list[Future]:
        """Runs per-partition tasks, each returning a tuple (frames..., counts), and waits for them
        unless later tasks that depend on them are waited for instead."""
        futures: list[Future] = self.client.compute(tasks)
        if wait:
            self.track(stage, futures)
        return futures

    def frames(self, futures: list[Future], index: int, meta: pd.DataFrame) -> dd.DataFrame:
        """Element `index` of every task's tuple, as one frame that stays on the cluster."""
        items = self.client.map(operator.getitem, futures, [index] * len(futures))
        return dd.from_delayed(items, meta=meta, verify_meta=False)

    def gather(self, futures: list[Future], index: int) -> list[Any]:
        return list(self.client.gather(self.client.map(operator.getitem, futures, [index] * len(futures))))

    def map_with_stats(
        self,
        stage: str,
        frame: dd.DataFrame,
        func: Callable[..., tuple[pd.DataFrame, Any]],
        meta: pd.DataFrame,
        *args: Any,
    ) -> tuple[dd.DataFrame, list[Any]]:
        """Applies func (partition -> (frame, stats)) to every partition; the frames stay on the cluster."""
        futures = self.apply(stage, [delayed(func, pure=True)(part, *args) for part in frame.to_delayed()])
        return self.frames(futures, 0, meta), self.gather(futures, 1)

    def zip_with_stats(
        self,
        stage: str,
        frame: dd.DataFrame,
        others: list[Any],
        func: Callable[..., tuple[pd.DataFrame, Any]],
        meta: pd.DataFrame,
        *args: Any,
    ) -> tuple[dd.DataFrame, list[Future]]:
        """func(partition i of frame, partition i of others, *args) -> (frame, stats) for every i,
        without waiting: the frame and the futures of the stats."""
        parts = frame.to_delayed()
        if len(parts) != len(others):
            raise RuntimeError("partition counts differ")
        tasks = [delayed(func, pure=True)(a, b, *args) for a, b in zip(parts, others)]
        futures = self.apply(stage, tasks, wait=False)
        return self.frames(futures, 0, meta), self.client.map(operator.getitem, futures, [1] * len(futures))

    def start(self, stage: str) -> float:
        self.stage = stage
        if self.on_stage is not None:
            self.on_stage(stage, self.client)
        return time.perf_counter()

    def finish(self, stage: str, started: float, note: str = "") -> None:
        secs = self.seconds.setdefault(stage, time.perf_counter() - started)
        rate = self.source.count / secs if secs > 0 else float("inf")
        self.say(f"  {stage:<9} {secs:8.2f} s {rate:12,.0f} vectors/s   {note}".rstrip())

    def partitions_for(self, rows: int) -> int:
        threads = sum(self.client.nthreads().values())
        return max(1, len(self.source.partitions), 2 * threads, math.ceil(rows / ROWS_PER_SHUFFLE_PARTITION))

    # -- the stages ---------------------------------------------------------

    def execute(self) -> RunResult:
        src, p = self.source, self.params
        layout = k.Layout(p)
        nthreads = sum(self.client.nthreads().values())
        self.say(f"input:   {src.description}")
        self.say(
            f"cluster: {len(self.client.nthreads())} workers, {nthreads} threads; {len(src.partitions)} partitions"
        )
        self.say(f"lsh:     threshold {p.threshold}; {p.describe()}")
        began = time.perf_counter()

        # Each task reads one partition and signs it at once: the raw vectors never stay in
        # memory, and tasks without inputs are handed to whichever worker is free.
        started = self.start("read+sign")
        reader = replace(src, partitions=())
        futures = self.client.map(
            _read_and_sign, src.partitions, reader=reader, layout=layout, key=self.keys("sign", src.partitions)
        )
        self.track("read+sign", futures)
        signed = self.frames(futures, 0, k.signed_meta(layout))
        if not src.ids_are_row_numbers:
            self.check_unique_ids(futures)
        task_seconds = np.sum(self.gather(futures, 1), axis=0)
        zero_ids = np.concatenate([np.zeros(0, np.int64), *self.gather(futures, 2)])
        self.counts["zero_rows"] = len(zero_ids)
        self.zero_ids = np.sort(zero_ids)[:ZERO_IDS_LISTED].tolist()
        if len(zero_ids):
            shown = ", ".join(map(str, self.zero_ids[:5])) + (", ..." if len(zero_ids) > 5 else "")
            self.say(f"  {len(zero_ids):,} zero rows have no direction and are left out: ids {shown}")
        self.task_seconds = {"read": float(task_seconds[0]), "sign": float(task_seconds[1])}
        self.finish(
            "read+sign",
            started,
            f"{len(src.partitions)} partitions; task time reading {task_seconds[0]:.1f} s, signing "
            f"{task_seconds[1]:.1f} s ({p.families} x {p.bits} bits per vector)",
        )

        started = self.start("exact")
        by_print = signed.shuffle(on="s0", npartitions=len(src.partitions))
        futures = self.apply(
            "exact", [delayed(k.split_exact, pure=True)(part, layout) for part in by_print.to_delayed()]
        )
        reps = self.frames(futures, 0, k.signed_meta(layout)[["id", *layout.code_columns]])
        exact_edges = self.frames(futures, 1, k.EDGE_META)
        del signed, by_print
        self.counts["representatives"] = sum(self.gather(futures, 2))
        self.counts["exact_copies"] = src.count - self.counts["zero_rows"] - self.counts["representatives"]
        self.counts["exact_pairs"] = self.counts["exact_copies"]
        self.finish("exact", started, f"{self.counts['exact_copies']:,} exact copies")

        started = self.start("bucket")
        rows = self.counts["representatives"] * p.tables
        bands = reps.map_partitions(k.band_rows, layout, meta=k.BAND_META)
        by_key = bands.shuffle(on="key", npartitions=self.partitions_for(rows))
        candidates, stats = self.map_with_stats(
            "bucket", by_key, k.bucket_pairs, k.EDGE_META, self.bucket_cap, p.sketch_max
        )
        total = k.BucketStats()
        for s in stats:
            total = total.add(s)
        self.counts.update({f"bucket_{name}": value for name, value in asdict(total).items()})
        note = f"{rows:,} band rows, {total.pairs_in_buckets:,} pairs in buckets"
        if total.pairs_skipped:
            note += f", {total.pairs_skipped:,} skipped by the bucket cap"
        self.finish("bucket", started, note)

        started = self.start("verify")
        near, unique, verified = self.verify(candidates, reps, layout)
        self.counts["candidate_pairs"] = unique
        self.counts["near_pairs"] = verified
        self.finish(
            "verify",
            started,
            f"{unique:,} distinct candidates, {self.counts['near_pairs']:,} at or above {p.threshold}",
        )

        started = self.start("group")
        edges = dd.concat([exact_edges, near[["id_a", "id_b"]]])
        groups, rounds = self.components(edges, self.counts["exact_pairs"] + verified)
        self.counts["component_rounds"] = rounds
        self.finish("group", started, f"{rounds} rounds")

        started = self.start("write")
        summary = self.write(near, exact_edges, groups, began)
        self.finish("write", started, str(self.output))
        return RunResult(self.output, summary)

    def keys(self, stage: str, parts: Sequence[Partition]) -> list[str]:
        return [f"ambrel-{stage}-{self.token}-{part.index}" for part in parts]

    def check_unique_ids(self, signed: list[Future]) -> None:
        all_ids = self.client.map(operator.getitem, signed, [3] * len(signed))
        ids = dd.from_delayed(
            [delayed(_id_rows)(frame, part) for frame, part in zip(all_ids, self.source.partitions)],
            meta=k.frame({"id": np.int64, "part": np.int64, "row": np.int64}),
            verify_meta=False,
        )
        dups = ids.shuffle(on="id", npartitions=len(self.source.partitions)).map_partitions(
            _duplicated_ids, meta=ids._meta
        )
        found = self.client.compute(dups.head(2, npartitions=-1, compute=False), sync=True)
        if len(found):
            files = {part.index: part for part in self.source.partitions}
            where = [f"{files[int(r.part)].file} row {int(r.row)}" for r in found.itertuples()]
            raise InputError(f"id {int(found.id.iloc[0])} appears more than once: {' and '.join(where)}")

    def verify(self, candidates: dd.DataFrame, reps: dd.DataFrame, layout: k.Layout) -> tuple[dd.DataFrame, int, int]:
        """Joins each distinct candidate pair with both codes: the representatives and the pairs are
        hash-partitioned by id alike (the same column name, dtype and partition count), so that
        partition i of one meets partition i of the other."""
        parts = self.partitions_for(0)
        codes = self.client.persist(reps.shuffle(on="id", npartitions=parts))
        code_parts = codes.to_delayed()
        by_a = candidates.rename(columns={"id_a": "id"}).shuffle(on="id", npartitions=parts)
        meta_a = k.frame({"id_a": np.int64, "id_b": np.int64, **{f"a_{c}": np.uint64 for c in layout.code_columns}})
        first, unique = self.zip_with_stats("verify", by_a, code_parts, k.attach_first, meta_a, layout)
        by_b = first.rename(columns={"id_b": "id"}).shuffle(on="id", npartitions=parts)
        near, kept = self.zip_with_stats("verify", by_b, code_parts, k.attach_second_and_verify, k.PAIRS_META, layout)
        self.track("verify", kept)
        return near, sum(self.client.gather(unique)), sum(self.client.gather(kept))

    def components(self, edges: dd.DataFrame, n_edges: int) -> tuple[dd.DataFrame, int]:
        """Connected components without gathering the edges: alternate large-star and small-star steps
        until neither changes anything; every component is then a star around its smallest id."""
        # Never fewer partitions than worker threads (at least two), so that the edges are
        # spread even when there are few; more when there are many.
        threads = sum(self.client.nthreads().values())
        parts = max(2, threads, math.ceil(n_edges / EDGES_PER_PARTITION))
        current = edges
        rounds = 0
        while True:
            rounds += 1
            if rounds > MAX_COMPONENT_ROUNDS:
                raise DedupError(f"group: connected components did not settle in {MAX_COMPONENT_ROUNDS} rounds")
            both = current.map_partitions(k.directed, meta=k.frame({"src": np.int64, "dst": np.int64}))
            current, changes = self.map_with_stats(
                "group", both.shuffle(on="src", npartitions=parts), k.large_star, k.EDGE_META
            )
            large = sum(changes)
            current, changes = self.map_with_stats(
                "group", current.shuffle(on="id_b", npartitions=parts), k.small_star, k.EDGE_META
            )
            if large == 0 and sum(changes) == 0:
                break
        members = current.map_partitions(k.star_members, meta=k.frame({"id": np.int64, "group": np.int64}))
        marked, sizes = self.map_with_stats(
            "group", members.shuffle(on="group", npartitions=parts), k.mark_keepers, k.GROUPS_META, self.keep
        )
        self.group_sizes = {}
        for part in sizes:
            for size, n in part.items():
                self.group_sizes[size] = self.group_sizes.get(size, 0) + n
        groups = marked.shuffle(on="id", npartitions=self.output_partitions()).map_partitions(
            k.sort_groups, meta=k.GROUPS_META
        )
        return self.persist("group", groups), rounds

    def output_partitions(self) -> int:
        return max(1, math.ceil(self.source.count / ROWS_PER_OUTPUT_PARTITION))

    def write(
        self, near: dd.DataFrame, exact_edges: dd.DataFrame, groups: dd.DataFrame, began: float
    ) -> dict[str, Any]:
        started = time.perf_counter()
        p = self.params
        exact = exact_edges.map_partitions(_exact_pairs, meta=_PAIRS_OUT_META)
        flagged = near.map_partitions(_near_pairs, meta=_PAIRS_OUT_META)
        pairs = dd.concat([exact, flagged]).shuffle(on="id_a", npartitions=self.output_partitions())
        pairs = pairs.map_partitions(k.sort_pairs, meta=_PAIRS_OUT_META)
        edges = np.linspace(p.threshold, 1.0, 41)
        hists = [delayed(_histogram)(part, edges) for part in near.to_delayed()]
        assert self.target is not None
        tmp = self.target.tmp  # made before any work; the run removes it if anything fails
        writes = [
            data.to_parquet(tmp / name, write_index=False, compute=False)
            for name, data in (("pairs.parquet", pairs), ("groups.parquet", groups))
        ]
        # Two calls: the writes are dataframe expressions, the histograms plain delayed calls.
        written = self.client.compute(writes)
        counted = self.client.compute(hists)
        self.track("write", [*written, *counted])
        counts = self.client.gather(counted)
        cos_hist = np.sum(counts, axis=0) if counts else np.zeros(len(edges) - 1, dtype=np.int64)
        summary = self.summary(cos_hist, edges)
        self.seconds["write"] = time.perf_counter() - started
        summary["seconds"] = {**self.seconds, "total": time.perf_counter() - began}
        (tmp / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
        self.target.commit()
        return summary

    def summary(self, cos_hist: np.ndarray, edges: np.ndarray) -> dict[str, Any]:
        p = self.params
        sizes = dict(sorted(self.group_sizes.items()))
        self.counts["grouped_ids"] = sum(size * n for size, n in sizes.items())
        self.counts["groups"] = sum(sizes.values())
        self.counts["removed"] = self.counts["grouped_ids"] - self.counts["groups"]
        self.counts["pairs"] = self.counts["near_pairs"] + self.counts["exact_pairs"]
        summary: dict[str, Any] = {
            "input": self.source.description,
            "vectors": self.source.count,
            "dimensions": self.source.dim,
            "partitions": len(self.source.partitions),
            "threshold": p.threshold,
            "parameters": {
                **asdict(p),
                "bands_per_family": p.bands_per_family,
                "band_bits": p.band_bits,
                "total_bits": p.total_bits,
                "bucket_cap": self.bucket_cap,
                "keep": self.keep,
                "shuffle": self.shuffle,
            },
            "recall_curve": {
                f"{c:.2f}": {
                    "candidate": float(p.candidate_probability(c)),
                    "reported": float(p.found_probability(c)),
                }
                for c in (p.threshold - 0.05, p.threshold, p.threshold + 0.05)
                if -1.0 <= c <= 1.0
            },
            "counts": dict(self.counts),
            "skipped_pairs": self.counts["bucket_pairs_skipped"],
            "cosine_histogram": {"edges": edges.tolist(), "counts": [int(c) for c in cos_hist]},
            "group_sizes": {str(size): n for size, n in sizes.items()},
            "zero_rows": {"count": self.counts["zero_rows"], "ids": self.zero_ids},
            "task_seconds": self.task_seconds,
            "cluster": {"workers": len(self.client.nthreads()), "threads": sum(self.client.nthreads().values())},
        }

        return summary


_PAIRS_OUT_META = k.frame(
    {"id_a": np.int64, "id_b": np.int64, "hamming": np.int64, "cosine": np.float64, "exact": bool}
)


def _prepare_worker() -> None:
    import pyarrow.parquet  # noqa: F401

    import ambrel_batch  # noqa: F401


def _read_and_sign(
    part: Partition, reader: Source, layout: k.Layout
) -> tuple[pd.DataFrame, tuple[float, float], np.ndarray, np.ndarray]:
    """One partition read and signed; the seconds spent on each, the ids of its zero rows (left
    out of the signed rows) and the ids of all its rows in order (for the duplicate-id check)."""
    started = time.perf_counter()
    data = reader.read(part)
    read = time.perf_counter()
    signed, zero_ids = k.sign_partition(data, layout)
    return signed, (read - started, time.perf_counter() - read), zero_ids, data[0]


def _id_rows(ids: np.ndarray, part: Partition) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "id": ids,
            "part": np.full(len(ids), part.index, dtype=np.int64),
            "row": np.arange(part.start, part.start + len(ids), dtype=np.int64),
        }
    )


def _duplicated_ids(part: pd.DataFrame) -> pd.DataFrame:
    dup = part["id"].duplicated(keep=False).to_numpy()
    return part[dup].sort_values(["id", "part", "row"])


def _exact_pairs(part: pd.DataFrame) -> pd.DataFrame:
    n = len(part)
    return pd.DataFrame(
        {
            "id_a": part["id_a"].to_numpy(),
            "id_b": part["id_b"].to_numpy(),
            "hamming": np.zeros(n, dtype=np.int64),
            "cosine": np.ones(n, dtype=np.float64),
            "exact": np.ones(n, dtype=bool),
        }
    )


def _near_pairs(part: pd.DataFrame) -> pd.DataFrame:
    return part.assign(exact=np.zeros(len(part), dtype=bool))


def _histogram(part: pd.DataFrame, edges: np.ndarray) -> np.ndarray:
    counts, _ = np.histogram(part["cosine"].to_numpy(), bins=edges)
    return counts
