"""The options every job takes, declared once: where it runs (`engine.where.Where`), how its input
is read (`files.sources.Reading`) and where its lines go. `run`, `create_index`, `add_to_index` and
`query_index` take them as keyword arguments (`**options: Unpack[JobOptions]`, `RunOptions` for
`run`, which also chooses the shuffle and the connect timeout), and the command line builds them
from its arguments."""

from __future__ import annotations

import dataclasses
import difflib
from collections.abc import Callable
from typing import Any, Literal, TypedDict

from distributed import Client

from ..engine.monitor import Log
from ..engine.where import Shuffle, Where
from ..files.sources import Reading

Grouping = Literal["greedy", "components"]  # the decision: the keep rule's, or one row per component
AddMode = Literal["all", "kept"]  # which new rows join an index


class JobOptions(TypedDict, total=False):
    """Where a job runs (see `run`), how its input is read, and `log`, called with each line the
    job reports (default: nothing reported); `progress` draws the tasks of each stage."""

    client: Client | None
    scheduler: str | None
    workers: int | None
    threads_per_worker: int | None
    in_process: bool | None
    progress: bool
    log: Log | None
    id_column: str
    vector_column: str
    partition_rows: int | None


class RunOptions(JobOptions, total=False):
    """A run's options: those of every job, the Dask shuffle method and the seconds given a
    scheduler to answer."""

    shuffle: Shuffle
    connect_timeout: float


_WHERE = frozenset(f.name for f in dataclasses.fields(Where))
_READING = frozenset(f.name for f in dataclasses.fields(Reading))


def options_of(
    job: Callable[..., object], options: JobOptions, taken: frozenset[str]
) -> tuple[Where, Reading, Log | None]:
    """The options of a call of `job` as where it runs, how it reads and where its lines go; a key
    `job` does not take (`taken`) is refused as Python refuses an unexpected keyword argument."""
    for key in options:
        if key not in taken:
            raise TypeError(_unexpected(job, key, taken))
    given: dict[str, Any] = dict(options)
    where = Where(**{key: value for key, value in given.items() if key in _WHERE})
    reading = Reading(**{key: value for key, value in given.items() if key in _READING})
    return where, reading, given.get("log")


def _unexpected(job: Callable[..., object], key: str, taken: frozenset[str]) -> str:
    """Python's words for an unexpected keyword argument, with the nearest name `job` takes."""
    code = job.__code__
    names = [*code.co_varnames[: code.co_argcount + code.co_kwonlyargcount], *sorted(taken)]
    near = difflib.get_close_matches(key, names, n=1, cutoff=0.8)
    return f"{job.__qualname__}() got an unexpected keyword argument {key!r}" + (
        f". Did you mean {near[0]!r}?" if near else ""
    )


JOB_OPTIONS = JobOptions.__optional_keys__
RUN_OPTIONS = RunOptions.__optional_keys__


def check_threshold(threshold: float) -> None:
    if not (isinstance(threshold, (int, float)) and -1.0 <= threshold <= 1.0):
        raise ValueError(f"threshold must be a number in [-1, 1], got {threshold!r}")


def check_grouping(groups: Grouping) -> None:
    if groups not in ("greedy", "components"):
        raise ValueError(f"groups must be 'greedy' or 'components', got {groups!r}")
