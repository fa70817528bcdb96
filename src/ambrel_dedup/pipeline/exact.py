"""The exact stage: rows of one fingerprint, the best-ranked by the keep rule represents them
(`Exact`), each copy with the exact cosine to its representative."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .. import partition as k
from .. import ranking
from ..engine.engines import Engine, Handle
from ..ranking import BY_SMALLEST_ID, KeepRule, Keys
from .read import Block, Blocks

EXACT_META = k.frame({"id_a": np.int64, "id_b": np.int64, "cosine": np.float64})


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
    rule = blocks.ranking(rule)
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
