"""The read stage: every partition read, scaled, normalised and fingerprinted on the engine
(`Blocks`: the rows stay there, a sample of them comes to the caller); ids checked unique.

Ids that are not int64 come back in the user's type in every output: the read stage gathers what
that takes (`SharedIds`: the user's id of every key when the rows are keyed by their position, see
`ambrel_dedup.files.ids`) once, and shares it with the tasks that write.

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
from ..files import ids as uid
from ..files.sources import Partition, Source
from ..ranking import KeepRule, Keys
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
class SharedIds:
    """The user's ids of a job's keys, here and as a handle for the engine's tasks."""

    here: uid.UserIds
    handle: Handle


@dataclass
class Blocks:
    handles: list[Handle]
    zero_count: int
    zero_ids: list[Any]  # the user's ids
    sample_ids: np.ndarray
    sample_rows: np.ndarray
    task_seconds: dict[str, float]
    infos: list[Handle] = field(default_factory=list)  # per block: zero-row ids first
    ids: SharedIds | None = None  # the user's ids, when they are not int64
    ranked_by_ids: bool = False  # the blocks' keys are the user's keyed ids, which rank rows kept by id

    def ranking(self, rule: KeepRule) -> KeepRule:
        """The rule the stages rank by: a rule by id ranks keyed rows by their ids' keys, as a
        column rule (the keys are not the user's ids, their values are)."""
        if self.ranked_by_ids and rule.by_id:
            return KeepRule(RANKED_BY_IDS, rule.descending)
        return rule


RANKED_BY_IDS = "(the ids)"  # the column name of a rule by keyed ids (no column of that name is read)


def _read(part: Partition, reader: Source, limit: np.uint64) -> tuple[Block, tuple[Any, ...]]:
    import ambrel_batch as ab

    started = time.perf_counter()
    ids, vectors, users = reader.read_rows(part)
    read = time.perf_counter()
    ids = ids.astype(np.int64, copy=False)
    scaled, zero = k.scale_rows(vectors)
    pos = np.flatnonzero(~zero)
    unit = ab.normalize_batch(scaled[pos], threads=1) if len(pos) else np.zeros((0, vectors.shape[1]), np.float32)
    digests = ab.sha256_batch(unit, threads=1) if len(pos) else np.zeros(0, "S64")
    keys = None
    if reader.key_column is not None:
        keys = reader.read_keys(part).take(pos)
    elif users is not None:  # kept by id: ranked by the user's ids
        keys = uid.rank_keys(users).take(pos)
    block = Block(ids[pos], unit, k.hex_digests_to_words(digests), pos, keys)
    sampled = cl.sample_keys(block.ids) <= limit
    info = (
        ids[zero],
        np.flatnonzero(zero),
        block.ids[sampled],
        unit[sampled],
        (read - started, time.perf_counter() - read),
        users,
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
    if not source.ids_are_row_numbers and not source.keyed_ids:
        _check_unique_ids(engine, blocks, infos, source)
    gathered = engine.gather(infos)
    users = None
    if source.keyed_ids:
        import pyarrow as pa

        users = pa.concat_arrays([g[5] for g in gathered]) if gathered else None
        _check_unique_users(users, source)
    ids = uid.UserIds(source.id_type, users)
    zero_ids = np.sort(np.concatenate([np.zeros(0, np.int64), *(g[0] for g in gathered)]))
    seconds = np.sum([g[4] for g in gathered], axis=0) if gathered else np.zeros(2)
    sample_ids = np.concatenate([np.zeros(0, np.int64), *(g[2] for g in gathered)])
    sample_rows = np.concatenate([np.zeros((0, source.dim), np.float32), *(g[3] for g in gathered)])
    plain = ids.type == "int64" and not ids.keyed
    return Blocks(
        blocks,
        len(zero_ids),
        zero_ids[:ZERO_IDS_LISTED].tolist() if plain else _first_ids(ids, zero_ids),
        sample_ids,
        sample_rows,
        {"read": float(seconds[0]), "normalise": float(seconds[1])},
        infos,
        None if plain else SharedIds(ids, engine.share(ids)),
        source.keyed_ids and source.key_column is None,
    )


def _first_ids(ids: uid.UserIds, keys: np.ndarray) -> list[Any]:
    """The first ZERO_IDS_LISTED of the user's ids of `keys`, in their order."""
    import pyarrow.compute as pc

    users = ids.of(keys)
    return users.take(pc.sort_indices(users)[:ZERO_IDS_LISTED]).to_pylist()  # type: ignore[no-any-return]


def _check_unique_users(users: Any, source: Source) -> None:
    """Refuses the same keyed id on two rows, naming the smallest such id and its first two rows."""
    import pyarrow.compute as pc

    if users is None or len(users) < 2:
        return
    order = pc.sort_indices(users)  # stable: the rows of one id in input order
    ranked = users.take(order)
    same = pc.equal(ranked[1:], ranked[:-1]).to_numpy(zero_copy_only=False)
    if not same.any():
        return
    at = int(np.argmax(same))
    starts = np.array([p.first_id for p in source.partitions], np.int64)

    def where(position: int) -> str:
        part = source.partitions[int(np.searchsorted(starts, position, side="right")) - 1]
        return f"{part.file} row {part.start + position - part.first_id}"

    rows = order.to_numpy()[[at, at + 1]]
    raise InputError(
        f"id {uid.shown(ranked[at].as_py())} appears more than once: {where(rows[0])} and {where(rows[1])}"
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
