"""A failed stage as one line: the stage, the task at fault where known, and what happened."""

from __future__ import annotations

import re
from asyncio import CancelledError

from distributed.client import FutureCancelledError
from distributed.scheduler import KilledWorker

from ..errors import DedupError

_TASK = re.compile(r"ambrel-([a-z]+)-[0-9a-f]+-\d+-(\d+)")
NOTHING_WRITTEN = "nothing was written"


class Stalled(Exception):
    """The cluster stopped making progress: workers sit paused at their memory limit."""


def paused_at_limit(paused: int, workers: int, limits: list[int | None]) -> str:
    """Why a cluster is stuck, and what to change, for `paused` of `workers` paused workers with
    these memory limits."""
    known = sorted({limit for limit in limits if limit})
    if not known:
        at = "their memory limit"
    elif len(known) == 1:
        at = f"their memory limit of {known[0] / 2**20:,.0f} MiB"
    else:
        at = f"their memory limits of {known[0] / 2**20:,.0f} to {known[-1] / 2**20:,.0f} MiB"
    others = ", the others running no task" if paused < workers else ""
    return (
        f"{paused} of {workers} workers paused at {at}{others}; give each worker more memory, "
        "use fewer rows per partition (--partition-rows) or more workers"
    )


def task_description(key: object) -> str:
    """A task named by what it does: the pipeline's own keys name their stage and partition."""
    found = _TASK.search(str(key))
    if found:
        # The read and kept stages run one task per input partition, numbered as the partitions.
        return f"the {found[1]} task of partition {found[2]}" if found[1] in ("read", "kept") else f"a {found[1]} task"
    name = key[0] if isinstance(key, tuple) and key else key
    return f"task {str(name).rsplit('-', 1)[0]!r}"


def killed(stage: str, exc: KilledWorker) -> DedupError:
    task = task_description(exc.task)
    if task.startswith("the read") and stage != "read":
        # A worker holding read partitions died; their tasks ran again for this stage and kept dying.
        detail = f"{task}, run again for this stage after a worker holding its result died, was killed each time"
    else:
        detail = f"{task} was killed each time it ran"
    return DedupError(f"{stage}: workers died while running this stage ({detail}); {NOTHING_WRITTEN}")


def stage_failure(stage: str, exc: BaseException) -> DedupError:
    """The error a run reports for an exception that escaped from `stage`."""
    if isinstance(exc, DedupError):
        return exc
    if isinstance(exc, KilledWorker):
        return killed(stage, exc)
    if isinstance(exc, Stalled):
        return DedupError(f"{stage}: {exc}; {NOTHING_WRITTEN}")
    if isinstance(exc, MemoryError):
        return DedupError(
            f"{stage}: out of memory; give the workers more memory or use smaller partitions; {NOTHING_WRITTEN}"
        )
    if isinstance(exc, (FutureCancelledError, CancelledError)):
        return DedupError(f"{stage}: a task was cancelled ({exc or type(exc).__name__}); {NOTHING_WRITTEN}")
    text = str(exc).splitlines()[0] if str(exc) else ""
    return DedupError(f"{stage}: {type(exc).__name__}{': ' + text if text else ''}; {NOTHING_WRITTEN}")
