"""The kept rows: the input without the removed ids, with every column as read.

`write_kept` runs one task per input partition on the engine. Each reads its partition (Parquet
a row group at a time, every column, with the file's schema and its metadata; .npy and generated
rows as `id` and the float32 vectors, before any scaling or normalising), drops the rows whose
ids were removed and writes `part-NNNNN.parquet` (NNNNN: the partition's index), so that the
files in name order hold the kept rows in input order. Every partition writes its file, an
empty one with the schema where none of its rows is kept, so that even an input whose rows were
all removed reads back as a table with its columns.
"""

from __future__ import annotations

from dataclasses import replace
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
from dask import delayed

from .engine import Engine, Handle
from .kernels import in_sorted
from .sources import Partition, Source


def part_name(index: int) -> str:
    return f"part-{index:05d}.parquet"


def _removed(part: pd.DataFrame) -> np.ndarray:
    return part["id"].to_numpy(np.int64)[~part["keep"].to_numpy(bool)]


def removed_ids(engine: Engine, groups: Any) -> np.ndarray:
    """The ids of a groups frame (a Dask dataframe of id, group, keep) that are not kept, sorted int64."""
    found = engine.gather(engine.compute("kept", [delayed(_removed)(part) for part in groups.to_delayed()]))
    return np.sort(np.concatenate([np.zeros(0, np.int64), *found]))


def _write_part(part: Partition, reader: Source, removed: np.ndarray, directory: Path) -> int:
    import pyarrow as pa
    import pyarrow.parquet as pq

    writer = None
    written = 0
    try:
        for ids, table in reader.pieces(part):
            if writer is None:
                # Dictionary pages gain nothing on the vectors and make writing them several times slower.
                dictionary = [name for name in table.schema.names if name != reader.vector_column]
                writer = pq.ParquetWriter(directory / part_name(part.index), table.schema, use_dictionary=dictionary)
            kept = table.filter(pa.array(~in_sorted(ids, removed)))
            writer.write_table(kept)
            written += len(kept)
    finally:
        if writer is not None:
            writer.close()
    return written


def write_kept(engine: Engine, source: Source, removed: np.ndarray, directory: Path) -> int:
    """Writes the rows of `source` whose ids are not in `removed` (sorted, unique int64) into
    `directory`, one Parquet file per partition of `source`; returns the number of rows written.

    `directory` must exist and be reachable from every worker; the files are written in place
    (the caller writes into a temporary directory and moves it whole)."""
    removed = np.asarray(removed)
    if removed.dtype != np.int64 or removed.ndim != 1 or (len(removed) > 1 and not (removed[1:] > removed[:-1]).all()):
        raise ValueError("removed must be a sorted one-dimensional int64 array of unique ids")
    shared: Handle = engine.share(removed)
    reader = replace(source, partitions=())
    written = engine.run("kept", _write_part, [(part, reader, shared, directory) for part in source.partitions])
    engine.wait("kept", written)
    return int(sum(engine.gather(written)))
