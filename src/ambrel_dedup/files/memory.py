"""Inputs held in memory: a numpy array, a pandas DataFrame, a pyarrow Table or a Dask DataFrame.

They are written once as files in a folder beside the output (`.OUT.tmp-TOKEN`, marked and
locked as a run's own, so that a killed run's folder is removed by the next run writing OUT),
read from there by every stage and worker exactly as files are, and removed when the job ends,
however it ends. So an array gives what the same rows as a .npy file give (ids are row numbers),
and a table what the same table as Parquet gives, every column kept in the kept and annotated
data sets. The folder lies beside the output because that is where every worker of a cluster
must reach already.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import shutil
from collections.abc import Callable, Iterator
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..errors import InputError
from .outputs import FORMAT_VERSION, MARKER, TOOL
from .sources import Source

if TYPE_CHECKING:
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd
    import pyarrow as pa

    type InMemory = np.ndarray[Any, Any] | pd.DataFrame | pa.Table | dd.DataFrame
else:
    InMemory = Any

TARGET_ROW_GROUP_BYTES = 64 << 20  # about one partition of vectors per row group


@dataclass(frozen=True)
class Held:
    """Where a job reads its input: the given source, or the files it was written to, and what the
    summary calls it."""

    source: Any
    description: str | None = None  # None: the source's own description

    def planned(self, plan: Callable[[int], Source]) -> Callable[[int], Source]:
        """A planner of the source that names it as held in memory, when it was."""
        if self.description is None:
            return plan
        description = self.description

        def named(parallelism: int) -> Source:
            return replace(plan(parallelism), description=description, held=True)

        return named


def kind_of(source: Any) -> str | None:
    """ "array", "pandas", "arrow" or "dask" for an input held in memory; None for a path or the
    built-in data set. Looked up by type name, so that nothing is imported for a path."""
    names = {f"{c.__module__.split('.')[0]}.{c.__name__}" for c in type(source).__mro__}
    if "numpy.ndarray" in names:
        return "array"
    if "pandas.DataFrame" in names:
        return "pandas"
    if "pyarrow.Table" in names:
        return "arrow"
    if any(n.startswith("dask.") and n.endswith("DataFrame") for n in names):
        return "dask"
    return None


def _rows_per_group(dim: int) -> int:
    return max(1, TARGET_ROW_GROUP_BYTES // (4 * max(dim, 1)))


def _write(source: Any, kind: str, folder: Path, vector_column: str) -> str:
    """Writes the input into folder; returns how the summary calls it."""
    import numpy as np

    if kind == "array":
        array = np.asarray(source)
        if array.ndim != 2:
            raise InputError(f"an array of vectors must be 2-D, got shape {array.shape}")
        np.save(folder / "rows.npy", array, allow_pickle=False)
        return f"an array of {array.shape[0]:,} vectors of {array.shape[1]} dimensions"
    import pyarrow as pa
    import pyarrow.parquet as pq

    if kind == "dask":
        import dask

        # Each partition as its own file, its schema read from its own rows (Dask's writer infers
        # one from placeholder values, which a column of vectors does not survive).
        parts = [dask.delayed(_write_part)(part, folder, i) for i, part in enumerate(source.to_delayed())]
        dask.compute(*parts)
        return f"a Dask DataFrame of {source.npartitions:,} partitions"
    table = pa.Table.from_pandas(source, preserve_index=False) if kind == "pandas" else source
    dim = 1
    if vector_column in table.column_names and len(table):
        first = table.column(vector_column)[0]
        dim = len(first.values) if first.is_valid else 1
    pq.write_table(table, folder / "part-00000.parquet", row_group_size=_rows_per_group(dim))
    what = "a pandas DataFrame" if kind == "pandas" else "a pyarrow Table"
    return f"{what} of {len(table):,} rows"


def _write_part(part: Any, folder: Path, number: int) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    pq.write_table(pa.Table.from_pandas(part, preserve_index=False), folder / f"part-{number:05d}.parquet")


@contextlib.contextmanager
def held(source: Any, output: str | os.PathLike[str], vector_column: str = "embedding") -> Iterator[Held]:
    """The input as the job reads it: a path or the built-in data set as given; an input held in
    memory written to a folder beside `output` for the job's time."""
    kind = kind_of(source)
    if kind is None:
        yield Held(source)
        return
    final = Path(os.path.realpath(os.path.abspath(output)))
    folder = final.parent / f".{final.name}.tmp-{os.urandom(5).hex()}"
    try:
        folder.mkdir(parents=False)
    except OSError as exc:
        raise InputError(f"{output}: cannot write the input held in memory beside it: {exc.strerror or exc}") from None
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # a run's own: the next run leaves it alone while held
        (folder / MARKER).write_text(json.dumps({"tool": TOOL, "format": FORMAT_VERSION}) + "\n")
        described = _write(source, kind, folder, vector_column)
        yield Held(folder, described)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        os.close(fd)
