"""The stages of a run, each a function of the engine and the typed results of the stages before it:

    read    every partition read, scaled, normalised and fingerprinted (`Blocks`)
    exact   rows of one fingerprint: the smallest id represents them (`Exact`)
    cells   cells trained on a sample, the margin chosen on a held-out part (`cells.Layout`)
    pairs   every representative placed in its cells, the exact cosine of every pair that meets
            in a cell, reported when it reaches the threshold (`Pairs`)
    group   connected components of all pairs (`Groups`)

The task functions (underscored) run on the engine's workers on plain numpy arrays; the stage
functions run in the caller and only move handles, counts and the small tables they gather.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field, replace
from typing import Any

import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask import delayed

from .. import partition as k
from .. import ranking
from ..engine.engines import Engine, Handle, local_frame
from ..errors import DedupError, InputError
from ..files.sources import Partition, Source
from ..ranking import BY_SMALLEST_ID, KeepRule, Keys
from . import cells as cl
from . import decide

ZERO_IDS_LISTED = 100  # ids of zero rows named in the summary
SAMPLE_BYTES = 64 << 20  # the sample the cells are trained on, gathered by the caller
ROWS_PER_SHUFFLE_PARTITION = 2_000_000
EDGES_PER_PARTITION = 500_000
PLACED_BYTES_PER_GROUP = 128 << 20  # rows of one cell group, visitors included
MAX_COMPONENT_ROUNDS = 64
LOCAL_EDGES = 4_000_000  # edges joined in the caller's memory; more go through star steps on the engine
MAX_PAIRS_PER_TASK = 1_000_000  # pairs one cell-group task lists before it lists only links
MIN_CELL_GROUPS = 8

PAIR_META = k.frame({"id_a": np.int64, "id_b": np.int64, "cosine": np.float64})
EXACT_META = k.frame({"id_a": np.int64, "id_b": np.int64, "cosine": np.float64})


# --------------------------------------------------------------------------
# read


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


# --------------------------------------------------------------------------
# exact


@dataclass
class Exact:
    """Exact copies: one pair (representative, copy) each with its exact cosine, and the positions
    of the copies in every block (left out of the cells)."""

    pairs: pd.DataFrame  # id_a, id_b, cosine
    copies: dict[int, np.ndarray] = field(default_factory=dict)  # block index -> positions
    reps: dict[int, np.ndarray] = field(default_factory=dict)  # block index -> each copy's representative

    @property
    def count(self) -> int:
        return len(self.pairs)


def _print_rows(block: Block, index: int) -> pd.DataFrame:
    out = pd.DataFrame(block.prints, columns=["s0", "s1", "s2", "s3"], copy=False)
    out["id"] = block.ids
    out["block"] = np.full(len(block.ids), index, np.int64)
    out["row"] = np.arange(len(block.ids), dtype=np.int64)
    if block.keys is not None:
        out["key"] = block.keys.values
        out["key_null"] = block.keys.null
    return out


_PRINT_META = k.frame(
    {
        "s0": np.uint64,
        "s1": np.uint64,
        "s2": np.uint64,
        "s3": np.uint64,
        "id": np.int64,
        "block": np.int64,
        "row": np.int64,
    }
)
_COPY_META = k.frame(
    {
        "rep": np.int64,
        "rep_block": np.int64,
        "rep_row": np.int64,
        "dup": np.int64,
        "dup_block": np.int64,
        "dup_row": np.int64,
    }
)


def _copies(part: pd.DataFrame, rule: KeepRule) -> pd.DataFrame:
    """Rows of a fingerprint after the best-ranked one, each with it (it represents them): all in
    this partition."""
    if len(part) < 2:
        return _COPY_META
    s = [part[f"s{i}"].to_numpy() for i in range(4)]
    ids = part["id"].to_numpy()
    keys = Keys(part["key"].to_numpy(), part["key_null"].to_numpy(bool)) if "key" in part else None
    rank = np.empty(len(ids), np.int64)
    rank[ranking.order(rule, ids, keys)] = np.arange(len(ids))
    order = np.lexsort((rank, s[3], s[2], s[1], s[0]))
    new = np.zeros(len(order), dtype=bool)
    new[0] = True
    for col in s:
        sc = col[order]
        new[1:] |= sc[1:] != sc[:-1]
    start = np.maximum.accumulate(np.where(new, np.arange(len(order)), 0))
    rep, copy = order[start[~new]], order[~new]
    cols = {name: part[name].to_numpy() for name in ("id", "block", "row")}
    return pd.DataFrame(
        {
            "rep": cols["id"][rep],
            "rep_block": cols["block"][rep],
            "rep_row": cols["row"][rep],
            "dup": cols["id"][copy],
            "dup_block": cols["block"][copy],
            "dup_row": cols["row"][copy],
        }
    )


def _take(block: Block, rows: np.ndarray) -> np.ndarray:
    return block.unit[rows]


def _copy_cosines(block: Block, copy_rows: np.ndarray, taken: list[np.ndarray], picks: list[np.ndarray]) -> np.ndarray:
    """Exact cosines of copies in this block against their representatives' rows (taken from
    their blocks; picks[i] says which taken row of piece i goes with each copy, -1 for none)."""
    import ambrel_batch as ab

    reps = np.zeros((len(copy_rows), block.unit.shape[1]), np.float32)
    for rows, pick in zip(taken, picks):
        reps[pick >= 0] = rows[pick[pick >= 0]]
    n = len(copy_rows)
    stacked = np.concatenate([block.unit[copy_rows], reps])
    return ab.cosine_pairs(stacked, np.arange(n), np.arange(n, 2 * n), threads=1)


def exact(engine: Engine, blocks: Blocks, rule: KeepRule = BY_SMALLEST_ID, key_dtype: str = "") -> Exact:
    """The rows of one fingerprint: the best-ranked by the keep rule represents them (the smallest
    id by default; a column's values are of `key_dtype`)."""
    handles = blocks.handles
    meta = _PRINT_META
    if rule.column is not None:
        meta = meta.assign(key=pd.Series(dtype=key_dtype), key_null=pd.Series(dtype=bool))
    frame = engine.frame(engine.run("exact", _print_rows, [(b, i) for i, b in enumerate(handles)]), meta)
    parts = max(1, len(handles))
    copies = frame.shuffle(on="s0", npartitions=parts).map_partitions(_copies, rule, meta=_COPY_META)
    found = pd.concat(engine.gather(engine.compute("exact", copies.to_delayed())), ignore_index=True)
    if len(found) == 0:
        return Exact(EXACT_META)
    found = found.sort_values(["dup_block", "dup_row"], kind="stable").reset_index(drop=True)
    # Each block sends its representatives' rows to the blocks holding their copies.
    taken: dict[int, Handle] = {}
    rep_rows: dict[int, np.ndarray] = {}
    for b, group in found.groupby("rep_block", sort=True):
        rep_rows[int(b)] = np.unique(group.rep_row.to_numpy())
    sent = engine.run("exact", _take, [(handles[b], rows) for b, rows in rep_rows.items()])
    taken = dict(zip(rep_rows, sent))
    tasks, order = [], []
    for b, group in found.groupby("dup_block", sort=True):
        sources = sorted(set(group.rep_block.tolist()))
        picks = []
        for s in sources:
            pick = np.full(len(group), -1, np.int64)
            mine = group.rep_block.to_numpy() == s
            pick[mine] = np.searchsorted(rep_rows[s], group.rep_row.to_numpy()[mine])
            picks.append(pick)
        tasks.append((handles[int(b)], group.dup_row.to_numpy(), [taken[s] for s in sources], picks))
        order.append(group.index.to_numpy())
    cosines = engine.gather(engine.run("exact", _copy_cosines, tasks))
    cos = np.zeros(len(found))
    for idx, values in zip(order, cosines):
        cos[idx] = values
    pairs = pd.DataFrame({"id_a": found.rep.to_numpy(), "id_b": found.dup.to_numpy(), "cosine": cos})
    positions = {int(b): g.dup_row.to_numpy() for b, g in found.groupby("dup_block")}
    reps = {int(b): g.rep.to_numpy() for b, g in found.groupby("dup_block")}
    return Exact(pairs, positions, reps)


# --------------------------------------------------------------------------
# cells


def _first_by_key(
    block: Block, skip_rows: np.ndarray, wanted: int, salt: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The block's rows but `skip_rows` with the `wanted` smallest sample keys: (keys, ids, rows)."""
    reps = np.ones(len(block.ids), dtype=bool)
    reps[skip_rows] = False
    ids = block.ids[reps]
    keys = cl.sample_keys(ids, salt)
    pick = np.argsort(keys, kind="stable")[:wanted]
    return keys[pick], ids[pick], block.unit[reps][pick]


def sample_rows_of(
    engine: Engine, blocks: Blocks, skip: dict[int, np.ndarray], wanted: int, dim: int, salt: int = 0
) -> tuple[np.ndarray, np.ndarray]:
    """The `wanted` rows of the smallest sample keys over every block (but the rows of `skip`, by
    block): (ids, rows), the same for any partitioning."""
    none = np.zeros(0, np.int64)
    tasks = [(b, skip.get(i, none), wanted, salt) for i, b in enumerate(blocks.handles)]
    found = engine.gather(engine.run("cells", _first_by_key, tasks))
    keys = np.concatenate([np.zeros(0, np.uint64), *(f[0] for f in found)])
    ids = np.concatenate([none, *(f[1] for f in found)])
    rows = np.concatenate([np.zeros((0, dim), np.float32), *(f[2] for f in found)])
    pick = np.lexsort((ids, keys))[:wanted]
    return ids[pick], rows[pick]


def sample_size(count: int, dim: int) -> int:
    """Rows a layout for `count` vectors trains on, and has its margin chosen on."""
    return min(count, 2 * cl.SAMPLE_PER_CELL * cl.cell_count(count), max(1, SAMPLE_BYTES // (4 * dim)))


def fit_cells(
    engine: Engine,
    blocks: Blocks,
    exact_pairs: Exact,
    count: int,
    threshold: float,
    threads: int,
    margin: float | None = None,
) -> cl.Layout:
    """Cells for `count` representatives, trained on the sample of representatives (the copies are
    left out).

    The read stage samples rows for cells planned from the row count. When most rows are exact
    copies, few of the sampled rows represent a vector (perhaps none): the sample is then taken
    anew among the representatives, as many as their own count asks for, those of the smallest
    sample keys (so the same rows for any partitioning). A single distinct vector is one cell."""
    sample_ids, sample_rows = blocks.sample_ids, blocks.sample_rows
    if exact_pairs.count:
        keep = ~np.isin(sample_ids, exact_pairs.pairs.id_b.to_numpy())
        sample_ids, sample_rows = sample_ids[keep], sample_rows[keep]
    dim = sample_rows.shape[1]
    wanted = sample_size(count, dim)
    if 2 * len(sample_ids) < wanted:
        sample_ids, sample_rows = sample_rows_of(engine, blocks, exact_pairs.copies, wanted, dim)
    if len(sample_ids) == 0:
        # No representative at all (every row is a zero row): one cell, which nothing is placed in.
        sample_ids, sample_rows = np.zeros(1, np.int64), np.eye(1, dim, dtype=np.float32)
    return cl.fit(sample_ids, sample_rows, count, threshold, threads, margin)


# --------------------------------------------------------------------------
# pairs


@dataclass
class Pairs:
    handles: list[Handle]  # per cell group: id_a, id_b, cosine
    count: int
    placed: int  # placements of representatives in cells, their own and the ones they visit
    dense_cells: int  # cells past the pair budget, listing each row's pairs with the rows kept before it
    stars: list[Handle]  # per cell group: id_a (the smallest id of a component of its pairs), id_b
    star_edges: int
    placements: list[Handle] = field(default_factory=list)  # per block: the cells of its representatives
    pieces: list[list[Handle]] = field(default_factory=list)  # per cell group, when kept: its rows from each block


def _place(
    block: Block, copy_rows: np.ndarray, layout: cl.Layout, groups: int
) -> tuple[list[tuple[Any, ...]], int, np.ndarray]:
    """The block's representatives placed in their cells, cut into one piece per cell group; and
    the cells of each representative, in block order."""
    keep = np.ones(len(block.ids), dtype=bool)
    keep[copy_rows] = False
    ids, rows = block.ids[keep], block.unit[keep]
    keys = block.keys.take(keep) if block.keys is not None else None
    cells_of = cl.place(rows, layout, threads=1)
    group_of = np.where(cells_of >= 0, cells_of % groups, -1)
    pieces = []
    for g in range(groups):
        mask = (group_of == g).any(axis=1)
        pieces.append((ids[mask], rows[mask], cells_of[mask], keys.take(mask) if keys is not None else None))
    return pieces, int((cells_of >= 0).sum()), cells_of


def ranker(rule: KeepRule, ids: np.ndarray, keys: Keys | None) -> cl.Ranker:
    """Rows (indices into `ids`) in the order of the keep rule, best first."""

    def ranked(rows: np.ndarray) -> np.ndarray:
        return rows[ranking.order(rule, ids[rows], keys.take(rows) if keys is not None else None)]

    return ranked


def joined(
    pieces: tuple[tuple[Any, ...], ...], dim: int, width: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray, Keys | None]:
    """The pieces of one cell group from every block, as one set of rows: ids, rows, cells, keys."""
    ids = np.concatenate([np.zeros(0, np.int64), *(p[0] for p in pieces)])
    rows = np.concatenate([np.zeros((0, dim), np.float32), *(p[1] for p in pieces)])
    cells_of = np.concatenate([np.zeros((0, width), np.int32), *(p[2] for p in pieces)])
    with_keys = [p[3] for p in pieces if p[3] is not None]
    return ids, rows, cells_of, Keys.concat(with_keys) if with_keys else None


def _group_pairs(
    group: int, groups: int, layout: cl.Layout, max_pairs: int, rule: KeepRule, *pieces: tuple[Any, ...]
) -> tuple[pd.DataFrame, tuple[int, int, int], pd.DataFrame]:
    ids, rows, cells_of, keys = joined(pieces, layout.centroids.shape[1], layout.max_cells)
    cells = np.arange(group, layout.cells, groups)
    found = cl.pairs_in_cells(cells, ids, rows, cells_of, layout.threshold, max_pairs, ranker(rule, ids, keys))
    out = pd.DataFrame({"id_a": found.a, "id_b": found.b, "cosine": found.cosine})
    # The task's components as stars around their smallest ids: the same components as its pairs,
    # with at most one edge per id, so the group stage never joins more edges than placements.
    members, labels = k.component_labels(found.a, found.b)
    linked = members != labels
    stars = pd.DataFrame({"id_a": labels[linked], "id_b": members[linked]})
    return out, (len(out), found.incomplete, len(stars)), stars


def pairs(
    engine: Engine,
    blocks: Blocks,
    exact_copies: Exact,
    layout: cl.Layout,
    count: int,
    dim: int,
    rule: KeepRule = BY_SMALLEST_ID,
    keep_pieces: bool = False,
    group_task: Any = None,
) -> Pairs:
    """Every representative placed in its cells, and the pairs of each group of cells found by
    `group_task` (default: each cell's pairs by similar_pairs, `_group_pairs`); with
    `keep_pieces`, the rows of each group stay for a later stage."""
    # The cells are cut into groups by their number alone (never by the cluster's size), so that
    # the pairs listed under each task's budget are the same on any engine.
    placed_bytes = 3 * count * 4 * dim  # about two visits per vector
    groups = max(1, min(layout.cells, max(MIN_CELL_GROUPS, math.ceil(placed_bytes / PLACED_BYTES_PER_GROUP))))
    none = np.zeros(0, np.int64)
    args = [(b, exact_copies.copies.get(i, none), layout, groups) for i, b in enumerate(blocks.handles)]
    placed = engine.run("pairs", _place, args)
    pieces = engine.part(placed, 0)
    by_group = [engine.part(pieces, g) for g in range(groups)]
    task = group_task or _group_pairs
    args = [(g, groups, layout, MAX_PAIRS_PER_TASK, rule, *by_group[g]) for g in range(groups)]
    found = engine.run("pairs", task, args)
    engine.wait("pairs", found)
    stats = engine.gather(engine.part(found, 1))
    return Pairs(
        engine.part(found, 0),
        sum(s[0] for s in stats),
        sum(engine.gather(engine.part(placed, 1))),
        sum(s[1] for s in stats),
        engine.part(found, 2),
        sum(s[2] for s in stats),
        engine.part(placed, 2),
        by_group if keep_pieces else [],
    )


# --------------------------------------------------------------------------
# recheck: a second layout over the kept rows, for pairs the first missed between two of them

RECHECK_SALT = 0x2545F4914F6CDD1D  # another sample of rows: other centroids, other borders
RECHECK_EXACT_ROUNDS = 4  # rounds that compare the rows a decision taken again keeps with every kept row
RECHECK_MAX_CELLS = 16  # cells a kept row visits (the kept rows are fewer, and rarely near each other)


def _left_out(block: Block, copy_rows: np.ndarray, removed: np.ndarray) -> tuple[np.ndarray, int]:
    """The block's rows that are no kept representative (copies and removed rows), and how many are."""
    out = np.union1d(copy_rows, np.flatnonzero(k.in_sorted(block.ids, removed)))
    return out, len(block.ids) - len(out)


def recheck(
    engine: Engine,
    blocks: Blocks,
    exact_copies: Exact,
    removed: np.ndarray,
    layout: cl.Layout,
    rule: KeepRule,
    round_: int = 0,
) -> Pairs:
    """The pairs between kept representatives in cells trained anew on another sample of them (the
    same margin). A pair the first cells missed sits across a border of theirs; other centroids put
    their borders elsewhere, so such a pair meets in these cells unless both layouts miss it. The
    kept rows are no pair of the first listing, so every pair found here is new."""
    shared = engine.share(removed)
    none = np.zeros(0, np.int64)
    tasks = [(b, exact_copies.copies.get(i, none), shared) for i, b in enumerate(blocks.handles)]
    left = engine.gather(engine.run("recheck", _left_out, tasks))
    skip = {i: rows for i, (rows, _) in enumerate(left)}
    count = sum(n for _, n in left)
    if count < 2:
        return Pairs([], 0, 0, 0, [], 0)
    dim = layout.centroids.shape[1]
    salt = RECHECK_SALT + round_
    ids, rows = sample_rows_of(engine, blocks, skip, sample_size(count, dim), dim, salt)
    second = cl.fit(ids, rows, count, layout.threshold, engine.threads, layout.margin, RECHECK_MAX_CELLS)
    return pairs(engine, blocks, Exact(EXACT_META, skip), second, count, dim, rule)


def _rows_of(block: Block, ids: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    hit = k.in_sorted(block.ids, ids)
    return block.ids[hit], block.unit[hit]


def _near_rows(
    block: Block, skip_rows: np.ndarray, q_ids: np.ndarray, q_rows: np.ndarray, threshold: float
) -> pd.DataFrame:
    """The pairs of the query rows with the block's rows but `skip_rows`, by exact cosine."""
    keep = np.ones(len(block.ids), dtype=bool)
    keep[skip_rows] = False
    ids, rows = block.ids[keep], block.unit[keep]
    q, r, cos = k.pairs_between(q_rows, np.ascontiguousarray(rows), threshold)
    a, b = q_ids[q], ids[r]
    other = a != b
    return pd.DataFrame({"id_a": np.minimum(a, b)[other], "id_b": np.maximum(a, b)[other], "cosine": cos[other]})


def exact_recheck(
    engine: Engine, blocks: Blocks, exact_copies: Exact, removed: np.ndarray, rows_of: np.ndarray, threshold: float
) -> Pairs:
    """The pairs of the kept rows `rows_of` (few: the rows a decision taken again kept) with every
    kept representative, by exact cosine over every block: nothing missed."""
    wanted = engine.share(rows_of)
    taken = engine.gather(engine.run("recheck", _rows_of, [(b, wanted) for b in blocks.handles]))
    dim = blocks.sample_rows.shape[1]
    q_ids = np.concatenate([np.zeros(0, np.int64), *(t[0] for t in taken)])
    q_rows = np.concatenate([np.zeros((0, dim), np.float32), *(t[1] for t in taken)])
    shared, queries, rows = engine.share(removed), engine.share(q_ids), engine.share(q_rows)
    none = np.zeros(0, np.int64)
    left = engine.run(
        "recheck", _left_out, [(b, exact_copies.copies.get(i, none), shared) for i, b in enumerate(blocks.handles)]
    )
    args = [(b, engine.part([left[i]], 0)[0], queries, rows, threshold) for i, b in enumerate(blocks.handles)]
    found = engine.gather(engine.run("recheck", _near_rows, args))
    near = pd.concat([PAIR_META, *found], ignore_index=True)
    a, b, cos = k.unique_pairs_with(near.id_a.to_numpy(), near.id_b.to_numpy(), near.cosine.to_numpy())
    frame = pd.DataFrame({"id_a": a, "id_b": b, "cosine": cos})
    members, labels = k.component_labels(a, b)
    linked = members != labels
    stars = pd.DataFrame({"id_a": labels[linked], "id_b": members[linked]})
    return Pairs([engine.share(frame)], len(frame), 0, 0, [engine.share(stars)], len(stars))


def both(first: Pairs, second: Pairs) -> Pairs:
    """The pairs of two listings (found with two layouts) as one."""
    return Pairs(
        [*first.handles, *second.handles],
        first.count + second.count,
        first.placed + second.placed,
        first.dense_cells + second.dense_cells,
        [*first.stars, *second.stars],
        first.star_edges + second.star_edges,
    )


# --------------------------------------------------------------------------
# group: the decision on the pairs (`decide`), gathered when they are few, else one task per
# set of whole components (found by alternating large-star and small-star steps)


@dataclass
class Groups:
    frame: Any  # dd.DataFrame of decide.GROUPS_COLUMNS, sorted by id
    pairs: Any  # dd.DataFrame: id_a, id_b, cosine, exact: each removed row with the row it duplicates
    sizes: dict[int, int]
    removed: int
    rounds: int = 0  # star steps (0: the pairs were gathered)
    components: int = 0
    largest: int = 0  # the largest connected component of the pairs, in ids
    keys: Any = None  # dd.DataFrame (id, key, key_null) of every id in a pair, when kept by a column


GROUPS_META = decide.groups_meta()
DECISION_PAIRS_META = k.frame({"id_a": np.int64, "id_b": np.int64, "cosine": np.float64, "exact": bool})


def _map_with_stats(
    engine: Engine, stage: str, frame: Any, func: Any, meta: pd.DataFrame, *args: Any
) -> tuple[Any, list[Any]]:
    handles = engine.compute(stage, [delayed(func, pure=True)(part, *args) for part in frame.to_delayed()])
    return engine.frame(engine.part(handles, 0), meta), engine.gather(engine.part(handles, 1))


def _block_keys(block: Block, wanted: np.ndarray | None) -> pd.DataFrame:
    """The keep-by values of the block's rows whose ids are in `wanted` (sorted; None: every row)."""
    assert block.keys is not None
    take = slice(None) if wanted is None else k.in_sorted(block.ids, wanted)
    return pd.DataFrame({"id": block.ids[take], "key": block.keys.values[take], "key_null": block.keys.null[take]})


def gather_keys(engine: Engine, blocks: Blocks, wanted: np.ndarray) -> pd.DataFrame:
    """The keep-by values of the rows of `wanted` (sorted ids), gathered here."""
    shared = engine.share(wanted)
    return pd.concat(engine.gather(engine.run("group", _block_keys, [(b, shared) for b in blocks.handles])))


def ranking_of(rule: KeepRule, keys: pd.DataFrame | None) -> decide.Rank:
    """Ids ranked by the rule; `keys` holds the keep-by values of every id ranked."""
    return _ranking(rule, keys)


def _ranking(rule: KeepRule, keys: pd.DataFrame | None) -> decide.Rank:
    if keys is None or rule.by_id:
        return lambda ids: ranking.order(rule, ids, None)
    table = keys.sort_values("id")
    ids = table["id"].to_numpy(np.int64)
    held = Keys(table["key"].to_numpy(), table["key_null"].to_numpy(bool))

    def rank(wanted: np.ndarray) -> np.ndarray:
        return ranking.order(rule, wanted, held.take(np.searchsorted(ids, wanted)))

    return rank


def _decide_part(
    near: pd.DataFrame, copies: pd.DataFrame, keys: pd.DataFrame | None, rule: KeepRule, mode: str
) -> tuple[pd.DataFrame, pd.DataFrame, dict[str, Any]]:
    """The decision on whole components: (groups, the pairs of removed rows, stats)."""
    edges = (near.id_a.to_numpy(), near.id_b.to_numpy(), near.cosine.to_numpy())
    exact_edges = (copies.id_a.to_numpy(), copies.id_b.to_numpy(), copies.cosine.to_numpy())
    rank = _ranking(rule, keys)
    found = decide.greedy(edges, exact_edges, rank) if mode == "greedy" else decide.components(edges, exact_edges, rank)
    _, labels = k.component_labels(
        np.concatenate([edges[0], exact_edges[0]]).astype(np.int64),
        np.concatenate([edges[1], exact_edges[1]]).astype(np.int64),
    )
    sizes = np.unique(labels, return_counts=True)[1] if len(labels) else np.zeros(0, np.int64)
    stats = {
        "sizes": found.sizes,
        "removed": found.removed,
        "components": len(sizes),
        "largest": int(sizes.max(initial=0)),
    }
    return found.frame(), found.pairs(), stats


def groups(
    engine: Engine,
    blocks: Blocks,
    exact_copies: Exact,
    found: Pairs,
    rule: KeepRule,
    mode: str,
    output_parts: int,
    key_dtype: str = "object",
) -> Groups:
    """Which rows are kept and which are removed for which kept row (`decide`: the greedy rule, or
    with mode "components" the connected components), on every listed pair. The same on every
    engine and partitioning: the pairs and the ranks decide, and a component is decided whole."""
    n_edges = exact_copies.count + found.count
    if n_edges <= LOCAL_EDGES:
        # Few pairs: gathered and decided here in one native call.
        near = pd.concat([PAIR_META, *engine.gather(found.handles)], ignore_index=True)
        keys = None
        if not rule.by_id:
            copies = exact_copies.pairs
            ends = [near.id_a, near.id_b, copies.id_a, copies.id_b]
            keys = gather_keys(engine, blocks, np.unique(np.concatenate([e.to_numpy(np.int64) for e in ends])))
        frame, pairs_found, stats = _decide_part(near, exact_copies.pairs, keys, rule, mode)
        ordered = (
            local_frame(frame)
            .shuffle(on="id", npartitions=output_parts)
            .map_partitions(k.sort_groups, meta=GROUPS_META)
        )
        return Groups(
            engine.persist("group", ordered, GROUPS_META),
            local_frame(pairs_found),
            dict(sorted(stats["sizes"].items())),
            stats["removed"],
            0,
            stats["components"],
            stats["largest"],
            None if keys is None else local_frame(keys.reset_index(drop=True)),
        )
    exact_frame = local_frame(exact_copies.pairs)
    stars = engine.frame(found.stars, k.EDGE_META)
    labels, rounds = _star_labels(engine, dd.concat([exact_frame[["id_a", "id_b"]], stars]), n_edges)
    parts = max(2, engine.threads, math.ceil(n_edges / EDGES_PER_PARTITION))
    by_a = labels.rename(columns={"id": "id_a", "group": "label"})
    near = engine.frame(found.handles, PAIR_META).merge(by_a, on="id_a", how="inner")
    copies = exact_frame.merge(by_a, on="id_a", how="inner")
    sides = [near.shuffle(on="label", npartitions=parts), copies.shuffle(on="label", npartitions=parts)]
    if not rule.by_id:
        none = np.zeros(0, np.int64)
        key_meta = pd.DataFrame({"id": none, "key": pd.Series(dtype=key_dtype), "key_null": np.zeros(0, bool)})
        key_parts = engine.run("group", _block_keys, [(b, None) for b in blocks.handles])
        keyed = engine.frame(key_parts, key_meta).merge(labels.rename(columns={"group": "label"}), on="id")
        sides.append(keyed.shuffle(on="label", npartitions=parts))
    pieces = [side.to_delayed() for side in sides]
    tasks = [
        delayed(_decide_part, pure=True)(n, c, None if rule.by_id else pieces[2][i], rule, mode)
        for i, (n, c) in enumerate(zip(pieces[0], pieces[1]))
    ]
    handles = engine.compute("group", tasks)
    stats = engine.gather(engine.part(handles, 2))
    sizes: dict[int, int] = {}
    for st in stats:
        for size, n in st["sizes"].items():
            sizes[size] = sizes.get(size, 0) + n
    frame = engine.frame(engine.part(handles, 0), GROUPS_META)
    ordered = frame.shuffle(on="id", npartitions=output_parts).map_partitions(k.sort_groups, meta=GROUPS_META)
    return Groups(
        engine.persist("group", ordered, GROUPS_META),
        engine.frame(engine.part(handles, 1), DECISION_PAIRS_META),
        dict(sorted(sizes.items())),
        sum(st["removed"] for st in stats),
        rounds,
        sum(st["components"] for st in stats),
        max((st["largest"] for st in stats), default=0),
        None if rule.by_id else keyed[["id", "key", "key_null"]],
    )


def _star_labels(engine: Engine, edges: Any, n_edges: int) -> tuple[Any, int]:
    """Connected components without gathering the edges: (id, group) of every id in some edge, the
    group its component's smallest id; and the rounds it took."""
    parts = max(2, engine.threads, math.ceil(n_edges / EDGES_PER_PARTITION))
    current, rounds = edges, 0
    while True:
        rounds += 1
        if rounds > MAX_COMPONENT_ROUNDS:
            raise DedupError(f"group: connected components did not settle in {MAX_COMPONENT_ROUNDS} rounds")
        both = current.map_partitions(k.directed, meta=k.frame({"src": np.int64, "dst": np.int64}))
        current, changes = _map_with_stats(
            engine, "group", both.shuffle(on="src", npartitions=parts), k.large_star, k.EDGE_META
        )
        large = sum(changes)
        current, changes = _map_with_stats(
            engine, "group", current.shuffle(on="id_b", npartitions=parts), k.small_star, k.EDGE_META
        )
        if large == 0 and sum(changes) == 0:
            break
    meta = k.frame({"id": np.int64, "group": np.int64})
    members = current.map_partitions(k.star_members, meta=meta).shuffle(on="id", npartitions=parts)
    return members.map_partitions(_distinct, meta=meta), rounds


def _distinct(part: pd.DataFrame) -> pd.DataFrame:
    return part.drop_duplicates().reset_index(drop=True)
