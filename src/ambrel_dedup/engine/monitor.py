"""A line now and then while a stage runs long, so that a stalled run (workers paused at their
memory limit, for example) never sits silent."""

from __future__ import annotations

import contextlib
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any, Protocol

HEARTBEAT_SECONDS = 30.0

Log = Callable[[str], None]  # where a job's lines go


class Staged(Protocol):
    """A running job, as far as the heartbeat sees it: the stage it is in."""

    @property
    def stage(self) -> str: ...


def _memory_note(info: dict[str, Any]) -> str:
    workers = list(info.get("workers", {}).values())
    used = sum(w.get("metrics", {}).get("memory", 0) for w in workers)
    limit = sum(w.get("memory_limit") or 0 for w in workers)
    paused = sum(1 for w in workers if w.get("status") == "paused")
    note = f"workers' memory {used / 2**20:,.0f} MiB" + (f" of {limit / 2**20:,.0f} MiB" if limit else "")
    if paused:
        note += f"; {paused} of {len(workers)} workers paused at their memory limit"
    return note


@contextlib.contextmanager
def heartbeat(job: Staged, client: Any, say: Log | None) -> Iterator[None]:
    """While the body runs, says every HEARTBEAT_SECONDS that `job.stage` is still running."""
    if say is None:
        yield
        return
    every = HEARTBEAT_SECONDS
    stop = threading.Event()

    def beat() -> None:
        stage, since = job.stage, time.monotonic()
        while not stop.wait(every):
            if job.stage != stage:
                stage, since = job.stage, time.monotonic()
                continue
            try:
                note = "in this process" if client is None else _memory_note(client.scheduler_info())
            except Exception:  # the cluster is busy or gone: the stage itself will report it
                note = "no answer from the scheduler"
            if not stop.is_set():
                say(f"  {stage:<9} still running after {time.monotonic() - since:.0f} s; {note}")

    thread = threading.Thread(target=beat, name="ambrel-dedup-heartbeat", daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()
