"""Where a job runs, as one options object: on `client`, on the cluster at `scheduler`, in this
process, or on a new local cluster (see `ambrel_dedup.run`), and the shuffle method its stages use."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

from distributed import Client

from . import connection

Shuffle = Literal["tasks", "p2p"]


def available_cores() -> int:
    """The CPUs this process may run on, counted as the batch engine counts them."""
    import ambrel_batch

    return ambrel_batch.available_cpus()


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
    shuffle: Shuffle = "tasks"

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
