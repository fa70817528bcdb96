"""Where the stages run: in this process on Dask's threaded scheduler, or on a Dask cluster.

Both engines run the same stage functions. A stage submits tasks (`run`), waits for them with
progress and turns a failure into one line naming the stage (`wait`), takes one element of each
task's tuple (`part`), brings results to the caller (`gather`), computes Dask collections
(`compute`), turns task results back into a Dask dataframe (`frame`) and hands one value of the
caller's to many tasks (`share`). In process, a handle is the task's value; on a cluster, it is a
future whose value stays on the workers.
"""

from __future__ import annotations

import contextlib
import operator
import sys
import uuid
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import dask
import dask.dataframe as dd
import pandas as pd
from dask import delayed

from . import failures
from .errors import DedupError, InputError

Handle = Any


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
        from distributed import as_completed

        total = len(handles)
        for done, fut in enumerate(as_completed(list(handles)), start=1):
            if fut.status == "error":
                try:
                    fut.result()
                except (InputError, DedupError):
                    raise
                except Exception as exc:
                    raise failures.stage_failure(stage, exc) from exc
            if self.progress:
                _progress(stage, done, total)
        if self.progress:
            _clear_progress()

    def part(self, handles: Sequence[Handle], index: int) -> list[Handle]:
        return list(self.client.map(operator.getitem, list(handles), [index] * len(handles), pure=False))

    def gather(self, handles: Sequence[Handle]) -> list[Any]:
        return list(self.client.gather(list(handles)))

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
