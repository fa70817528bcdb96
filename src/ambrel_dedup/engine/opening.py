"""Opening where a job runs: a client of a cluster (`connect`), the engine on it or in this process
(`open_engine`), and the job run there with its outputs open (`launch`)."""

from __future__ import annotations

import contextlib
import logging
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Protocol

import dask
from distributed import Client, LocalCluster

from ..errors import DedupError
from ..files.sources import Source
from . import connection, failures, monitor
from .engines import ClusterEngine, Engine, LocalEngine, shuffle_method
from .monitor import Log
from .where import Where, available_cores

IN_PROCESS_BYTES = 4 << 30  # inputs of up to this many bytes of float32 rows run in process by default


class Running[R](Protocol):
    """A job as `launch` runs it: its stage so far (a failure is named by it), then its result."""

    @property
    def stage(self) -> str: ...

    def execute(self) -> R: ...


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
def open_engine(where: Where, in_process: bool) -> Iterator[Engine]:
    """This process's engine, or the engine on the cluster `where` names (its workers checked)."""
    if in_process:
        yield LocalEngine(available_cores(), where.progress)
        return
    with (
        connect(
            where.client, where.scheduler, where.workers, where.threads_per_worker, timeout=where.connect_timeout
        ) as c,
        c.as_current(),
    ):
        if sum(c.nthreads().values()) == 0:
            raise DedupError("the Dask cluster has no workers")
        try:
            c.run(_prepare_worker)  # fails early where a worker lacks a package; warms the imports
        except Exception as exc:
            raise DedupError(
                f"a Dask worker cannot run the pipeline ({type(exc).__name__}: {exc}); "
                "install ambrel-native[dedup] on every worker"
            ) from None
        yield ClusterEngine(c, where.progress)


def launch[R](
    where: Where,
    plan: Callable[[int], Source],
    targets: Sequence[contextlib.AbstractContextManager[Any]],
    job: Callable[[Engine, Source], Running[R]],
    log: Log | None,
) -> R:
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
        engine = stack.enter_context(open_engine(where, in_process))
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
