"""Where the stages run: in this process on Dask's threaded scheduler, or on a Dask cluster.

Both engines run the same stage functions. A stage submits tasks (`run`), waits for them with
progress and turns a failure, or a cluster stuck at its memory limit, into one line naming the
stage (`wait`), takes one element of each task's tuple (`part`), brings results to the caller
(`gather`), computes Dask collections (`compute`), turns task results back into a Dask dataframe
(`frame`) and hands one value of the caller's to many tasks (`share`). In process, a handle is the
task's value; on a cluster, it is a future whose value stays on the workers.
"""

from __future__ import annotations

import contextlib
import operator
import queue
import sys
import time
import uuid
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import dask
import dask.dataframe as dd
import pandas as pd
from dask import delayed

from ..errors import DedupError, InputError
from . import failures

Handle = Any

# A cluster where no task has finished for STALL_SECONDS, while workers sit paused at their memory
# limit and no other worker runs a task, is stuck: distributed waits for memory that never frees.
STALL_SECONDS = 120.0
POLL_SECONDS = 5.0  # how often the scheduler is asked about its workers while no task finishes


def _progress(stage: str, done: int, total: int) -> None:
    bar = "#" * (20 * done // max(total, 1))
    sys.stderr.write(f"\r  {stage:<9} [{bar:<20}] {done}/{total} tasks")
    sys.stderr.flush()


def _clear_progress() -> None:
    sys.stderr.write("\r" + " " * 60 + "\r")
    sys.stderr.flush()


class LocalEngine:
    """This process: Dask's threaded scheduler on `threads` threads; the batch engine's calls
    release the interpreter, so the heavy work runs in parallel."""

    name = "in-process"

    def __init__(self, threads: int, progress: bool = False) -> None:
        self.threads = threads
        self.workers = 1
        self.progress = progress and sys.stderr.isatty()

    def _get(self, stage: str, objs: Sequence[Any]) -> list[Any]:
        try:
            with dask.config.set(scheduler="threads", num_workers=self.threads):
                return list(dask.compute(*objs))
        except (InputError, DedupError):
            raise
        except Exception as exc:
            raise failures.stage_failure(stage, exc) from exc

    def run(self, stage: str, func: Callable[..., Any], args: Sequence[tuple[Any, ...]], **kwargs: Any) -> list[Handle]:
        tasks = [delayed(func, pure=False)(*a, **kwargs) for a in args]
        if self.progress:
            _progress(stage, 0, len(tasks))
        out = self._get(stage, tasks)
        if self.progress:
            _clear_progress()
        return out

    def wait(self, stage: str, handles: Sequence[Handle]) -> None:
        del stage, handles  # values are there already

    def part(self, handles: Sequence[Handle], index: int) -> list[Handle]:
        return [h[index] for h in handles]

    def gather(self, handles: Sequence[Handle]) -> list[Any]:
        return list(handles)

    def share(self, value: Any) -> Handle:
        return value

    def compute(self, stage: str, objs: Sequence[Any]) -> list[Handle]:
        return self._get(stage, objs)

    def frame(self, handles: Sequence[Handle], meta: pd.DataFrame) -> dd.DataFrame:
        parts = [delayed(h, name=f"ambrel-part-{uuid.uuid4().hex}") for h in handles] or [delayed(meta)]
        return dd.from_delayed(parts, meta=meta, verify_meta=False)

    def persist(self, stage: str, frame: dd.DataFrame, meta: pd.DataFrame) -> dd.DataFrame:
        return self.frame(self.compute(stage, frame.to_delayed()), meta)


class ClusterEngine:
    """A Dask cluster behind a `distributed.Client`; results stay on the workers."""

    name = "cluster"

    def __init__(self, client: Any, progress: bool = False) -> None:
        self.client = client
        self.threads = sum(client.nthreads().values())
        self.workers = len(client.nthreads())
        self.progress = progress and sys.stderr.isatty()
        self.token = uuid.uuid4().hex[:10]
        self.calls = 0

    def run(self, stage: str, func: Callable[..., Any], args: Sequence[tuple[Any, ...]], **kwargs: Any) -> list[Handle]:
        self.calls += 1
        keys = [f"ambrel-{stage}-{self.token}-{self.calls}-{i}" for i in range(len(args))]
        return [self.client.submit(func, *a, key=key, pure=False, **kwargs) for a, key in zip(args, keys)]

    def wait(self, stage: str, handles: Sequence[Handle]) -> None:
        total = len(handles)
        try:
            for done, fut in enumerate(self._finished(handles), start=1):
                if fut.status == "error":
                    try:
                        fut.result()
                    except (InputError, DedupError):
                        raise
                    except Exception as exc:
                        raise failures.stage_failure(stage, exc) from exc
                if self.progress:
                    _progress(stage, done, total)
        except failures.Stalled as exc:
            raise failures.stage_failure(stage, exc) from None
        if self.progress:
            _clear_progress()

    def _finished(self, handles: Sequence[Handle]) -> Iterator[Handle]:
        """The futures as they finish (done, failed or cancelled); `failures.Stalled`, after cancelling
        them, once the cluster has been stuck at its memory limit for STALL_SECONDS (see `_stuck`)."""
        futures = list(handles)
        finished: queue.SimpleQueue[Handle] = queue.SimpleQueue()
        for fut in futures:
            fut.add_done_callback(finished.put)
        last = time.monotonic()  # when a task last finished
        stuck_since: float | None = None
        for _ in futures:
            while True:
                try:
                    fut = finished.get(timeout=POLL_SECONDS)
                    break
                except queue.Empty:
                    why = self._stuck()
                    now = time.monotonic()
                    if why is None:
                        stuck_since = None
                    elif stuck_since is None:
                        stuck_since = now
                    elif now - stuck_since >= STALL_SECONDS:
                        with contextlib.suppress(Exception):
                            self.client.cancel(futures)
                        raise failures.Stalled(f"no task has finished for {now - last:.0f} s: {why}") from None
            last, stuck_since = time.monotonic(), None
            yield fut

    def _stuck(self) -> str | None:
        """Why no task can go on, when some workers are paused at their memory limit and none of the
        others is running a task; else None. A worker that runs a task, however long, is progress."""
        try:
            workers = list(self.client.scheduler_info()["workers"].values())
        except Exception:  # no answer now: the next poll asks again
            return None
        paused = [w for w in workers if w.get("status") == "paused"]
        if not paused:
            return None
        for w in workers:
            counts = w.get("metrics", {}).get("task_counts")
            if counts is None:
                return None  # this worker does not say what it runs
            if w.get("status") != "paused" and counts.get("executing", 0) + counts.get("long-running", 0):
                return None
        return failures.paused_at_limit(len(paused), len(workers), [w.get("memory_limit") for w in paused])

    def part(self, handles: Sequence[Handle], index: int) -> list[Handle]:
        return list(self.client.map(operator.getitem, list(handles), [index] * len(handles), pure=False))

    def gather(self, handles: Sequence[Handle]) -> list[Any]:
        """The values of the futures; a `failures.Stalled` (its stage is the caller's) rather than a
        wait without end while the cluster is stuck at its memory limit."""
        futures = list(handles)
        for fut in self._finished([f for f in futures if not f.done()]):
            if fut.status == "error":
                break  # gathering raises the task's error
        return list(self.client.gather(futures))

    def share(self, value: Any) -> Handle:
        """The value sent once to every worker (each runs tasks that need it), not once per task."""
        return self.client.scatter(value, broadcast=True, hash=False)

    def compute(self, stage: str, objs: Sequence[Any]) -> list[Handle]:
        futures = self.client.compute(list(objs))
        self.wait(stage, futures)
        return list(futures)

    def frame(self, handles: Sequence[Handle], meta: pd.DataFrame) -> dd.DataFrame:
        if not handles:
            return dd.from_pandas(meta, npartitions=1)
        return dd.from_delayed(list(handles), meta=meta, verify_meta=False)

    def persist(self, stage: str, frame: dd.DataFrame, meta: pd.DataFrame) -> dd.DataFrame:
        return self.frame(self.compute(stage, frame.to_delayed()), meta)


Engine = LocalEngine | ClusterEngine


def local_frame(frame: pd.DataFrame, rows_per_part: int = 1_000_000) -> dd.DataFrame:
    """A frame held by the caller as a Dask dataframe, on either engine."""
    return dd.from_pandas(frame, npartitions=max(1, -(-len(frame) // rows_per_part)), sort=False)


@contextlib.contextmanager
def shuffle_method(method: str) -> Iterator[None]:
    with dask.config.set({"dataframe.shuffle.method": method, "dataframe.convert-string": False}):
        yield
