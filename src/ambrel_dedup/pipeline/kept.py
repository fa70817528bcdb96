"""The kept rows, the input without the removed ids, and the annotated rows, the input with the
decision beside each row, with every column as read.

`write_kept` runs one task per input partition on the engine. Each reads its partition (Parquet
a row group at a time, every column, with the file's schema and its metadata; .npy and generated
rows as `id` and the float32 vectors, before any scaling or normalising), drops the rows whose
ids were removed and writes `part-NNNNN.parquet` (NNNNN: the partition's index), so that the
files in name order hold the kept rows in input order. Every partition writes its file, an
empty one with the schema where none of its rows is kept, so that even an input whose rows were
all removed reads back as a table with its columns. `write_annotated` writes every row the same
way, with `duplicate_of` and `cosine` appended (null for kept rows), `duplicate_of` in the type of
the user's ids.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
from dask import delayed

from ..engine.engines import Engine, Handle
from ..files.sources import Partition, Source
from ..partition import in_sorted
from .read import SharedIds

DUPLICATE_OF, COSINE = "duplicate_of", "cosine"  # the columns an annotated data set adds


def part_name(index: int) -> str:
    return f"part-{index:05d}.parquet"


def _removed(part: pd.DataFrame) -> np.ndarray:
    return part["id"].to_numpy(np.int64)[~part["keep"].to_numpy(bool)]


def removed_ids(engine: Engine, groups: Any) -> np.ndarray:
    """The ids of a groups frame (a Dask dataframe of id, group, keep, ...) that are not kept, sorted int64."""
    found = engine.gather(engine.compute("kept", [delayed(_removed)(part) for part in groups.to_delayed()]))
    return np.sort(np.concatenate([np.zeros(0, np.int64), *found]))


@dataclass
class Removed:
    """The removed rows, by sorted id: the kept row each duplicates and their cosine (NaN when the
    grouping gives none); `users`: the user's ids of `duplicate_of` (an Arrow array), when they are
    not int64."""

    ids: np.ndarray
    duplicate_of: np.ndarray
    cosine: np.ndarray
    users: Any = None


def _removed_rows(part: pd.DataFrame) -> Removed:
    gone = ~part["keep"].to_numpy(bool)
    return Removed(
        part["id"].to_numpy(np.int64)[gone],
        part["duplicate_of"].to_numpy(np.int64, na_value=-1)[gone],
        part["cosine"].to_numpy(np.float64, na_value=np.nan)[gone],
    )


def removed_rows(engine: Engine, groups: Any, ids: SharedIds | None = None) -> Removed:
    """The removed rows of a groups frame; `ids`, the user's ids when they are not int64."""
    found = engine.gather(engine.compute("annotate", [delayed(_removed_rows)(part) for part in groups.to_delayed()]))
    keys = np.concatenate([np.zeros(0, np.int64), *(f.ids for f in found)])
    order = np.argsort(keys, kind="stable")
    duplicate_of = np.concatenate([np.zeros(0, np.int64), *(f.duplicate_of for f in found)])[order]
    cosine = np.concatenate([np.zeros(0), *(f.cosine for f in found)])[order]
    users = None if ids is None else ids.here.of(duplicate_of)
    return Removed(keys[order], duplicate_of, cosine, users)


def _only_kept(ids: np.ndarray, table: Any, removed: np.ndarray) -> Any:
    import pyarrow as pa

    return table.filter(pa.array(~in_sorted(ids, removed)))


def _annotated(ids: np.ndarray, table: Any, removed: Removed) -> Any:
    import pyarrow as pa

    hit = in_sorted(ids, removed.ids)
    at = np.searchsorted(removed.ids, ids[hit])
    dup = np.zeros(len(ids), np.int64)
    cos = np.zeros(len(ids))
    dup[hit], cos[hit] = removed.duplicate_of[at], removed.cosine[at]
    no_cosine = ~hit | np.isnan(cos)
    if removed.users is not None:  # the user's ids, null where the row is kept
        where = np.zeros(len(ids), np.int64)
        where[hit] = at
        table = table.append_column(DUPLICATE_OF, removed.users.take(pa.array(where, pa.int64(), mask=~hit)))
        return table.append_column(COSINE, pa.array(cos, pa.float64(), mask=no_cosine))
    table = table.append_column(DUPLICATE_OF, pa.array(dup, pa.int64(), mask=~hit))
    return table.append_column(COSINE, pa.array(cos, pa.float64(), mask=no_cosine))


def _write_part(part: Partition, reader: Source, shaped: Any, value: Any, directory: Path) -> int:
    import pyarrow.parquet as pq

    writer = None
    written = 0
    try:
        for ids, table in reader.pieces(part):
            out = shaped(ids, table, value)
            if writer is None:
                # Dictionary pages gain nothing on the vectors and make writing them several times slower.
                dictionary = [name for name in out.schema.names if name != reader.vector_column]
                writer = pq.ParquetWriter(directory / part_name(part.index), out.schema, use_dictionary=dictionary)
            writer.write_table(out)
            written += len(out)
    finally:
        if writer is not None:
            writer.close()
    return written


def _write_rows(engine: Engine, stage: str, source: Source, shaped: Any, value: Any, directory: Path) -> int:
    shared: Handle = engine.share(value)
    reader = replace(source, partitions=())
    args = [(part, reader, shaped, shared, directory) for part in source.partitions]
    written = engine.run(stage, _write_part, args)
    engine.wait(stage, written)
    return int(sum(engine.gather(written)))


def write_kept(engine: Engine, source: Source, removed: np.ndarray, directory: Path) -> int:
    """Writes the rows of `source` whose ids are not in `removed` (sorted, unique int64) into
    `directory`, one Parquet file per partition of `source`; returns the number of rows written.

    `directory` must exist and be reachable from every worker; the files are written in place
    (the caller writes into a temporary directory and moves it whole)."""
    removed = np.asarray(removed)
    if removed.dtype != np.int64 or removed.ndim != 1 or (len(removed) > 1 and not (removed[1:] > removed[:-1]).all()):
        raise ValueError("removed must be a sorted one-dimensional int64 array of unique ids")
    return _write_rows(engine, "kept", source, _only_kept, removed, directory)


def write_annotated(engine: Engine, source: Source, removed: Removed, directory: Path) -> int:
    """Writes every row of `source` into `directory` as `write_kept` writes the kept ones, with two
    columns more: `duplicate_of` (the kept row a removed row duplicates) and `cosine` (theirs),
    null for the rows kept."""
    return _write_rows(engine, "annotate", source, _annotated, removed, directory)
