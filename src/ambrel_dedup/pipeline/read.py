"""The read stage: every partition read, scaled, normalised and fingerprinted on the engine
(`Blocks`: the rows stay there, a sample of them comes to the caller); ids checked unique.

The task functions (underscored) run on the engine's workers on plain numpy arrays; the stage
functions run in the caller and only move handles, counts and the small tables they gather.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import pandas as pd

from .. import partition as k
from ..engine.engines import Engine, Handle
from ..errors import InputError
from ..files.sources import Partition, Source
from ..ranking import Keys
from . import cells as cl

ZERO_IDS_LISTED = 100  # ids of zero rows named in the summary
SAMPLE_BYTES = 64 << 20  # the sample the cells are trained on, gathered by the caller


@dataclass
class Block:
    """The rows of one partition after reading: ids, unit rows, fingerprint words, each row's
    position in the partition (zero rows are left out) and, when rows are kept by a column, its
    values (`keys`)."""

    ids: np.ndarray
    unit: np.ndarray
    prints: np.ndarray
    pos: np.ndarray
    keys: Keys | None = None


@dataclass
class Blocks:
    handles: list[Handle]
    zero_count: int
    zero_ids: list[int]
    sample_ids: np.ndarray
    sample_rows: np.ndarray
    task_seconds: dict[str, float]
    infos: list[Handle] = field(default_factory=list)  # per block: zero-row ids first


def _read(part: Partition, reader: Source, limit: np.uint64) -> tuple[Block, tuple[Any, ...]]:
    import ambrel_batch as ab

    started = time.perf_counter()
    ids, vectors = reader.read(part)
    read = time.perf_counter()
    ids = ids.astype(np.int64, copy=False)
    scaled, zero = k.scale_rows(vectors)
    pos = np.flatnonzero(~zero)
    unit = ab.normalize_batch(scaled[pos], threads=1) if len(pos) else np.zeros((0, vectors.shape[1]), np.float32)
    digests = ab.sha256_batch(unit, threads=1) if len(pos) else np.zeros(0, "S64")
    keys = reader.read_keys(part).take(pos) if reader.key_column is not None else None
    block = Block(ids[pos], unit, k.hex_digests_to_words(digests), pos, keys)
    sampled = cl.sample_keys(block.ids) <= limit
    info = (
        ids[zero],
        np.flatnonzero(zero),
        block.ids[sampled],
        unit[sampled],
        (read - started, time.perf_counter() - read),
    )
    return block, info


def _id_rows(block: Block, info: tuple[Any, ...], part: Partition) -> pd.DataFrame:
    ids = np.concatenate([block.ids, info[0]])
    rows = np.concatenate([block.pos, info[1]])
    return pd.DataFrame(
        {"id": ids, "part": np.full(len(ids), part.index, np.int64), "row": (part.start + rows).astype(np.int64)}
    )


def _duplicated_ids(part: pd.DataFrame) -> pd.DataFrame:
    dup = part["id"].duplicated(keep=False).to_numpy()
    return part[dup].sort_values(["id", "part", "row"])


def read(engine: Engine, source: Source, cells: int) -> Blocks:
    limit = cl.sample_limit(source.count, cells, SAMPLE_BYTES // (4 * source.dim))
    reader = replace(source, partitions=())
    results = engine.run("read", _read, [(p, reader, limit) for p in source.partitions])
    engine.wait("read", results)
    blocks, infos = engine.part(results, 0), engine.part(results, 1)
    if not source.ids_are_row_numbers:
        _check_unique_ids(engine, blocks, infos, source)
    gathered = engine.gather(infos)
    zero_ids = np.sort(np.concatenate([np.zeros(0, np.int64), *(g[0] for g in gathered)]))
    seconds = np.sum([g[4] for g in gathered], axis=0) if gathered else np.zeros(2)
    sample_ids = np.concatenate([np.zeros(0, np.int64), *(g[2] for g in gathered)])
    sample_rows = np.concatenate([np.zeros((0, source.dim), np.float32), *(g[3] for g in gathered)])
    return Blocks(
        blocks,
        len(zero_ids),
        zero_ids[:ZERO_IDS_LISTED].tolist(),
        sample_ids,
        sample_rows,
        {"read": float(seconds[0]), "normalise": float(seconds[1])},
        infos,
    )


def _check_unique_ids(engine: Engine, blocks: list[Handle], infos: list[Handle], source: Source) -> None:
    meta = k.frame({"id": np.int64, "part": np.int64, "row": np.int64})
    rows = engine.run("read", _id_rows, list(zip(blocks, infos, source.partitions)))
    frame = engine.frame(rows, meta)
    dups = frame.shuffle(on="id", npartitions=len(source.partitions)).map_partitions(_duplicated_ids, meta=meta)
    found = pd.concat(engine.gather(engine.compute("read", dups.to_delayed())), ignore_index=True)
    if len(found):
        files = {part.index: part for part in source.partitions}
        first = found[found.id == found.id.iloc[0]].head(2)
        where = [f"{files[int(r.part)].file} row {int(r.row)}" for r in first.itertuples()]
        raise InputError(f"id {int(first.id.iloc[0])} appears more than once: {' and '.join(where)}")
