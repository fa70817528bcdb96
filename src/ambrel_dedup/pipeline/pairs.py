"""The pairs stage: every representative placed in its cells, the exact cosine of every pair that
meets in a cell, reported when it reaches the threshold (`Pairs`), each group of cells one task
(`cell_pairs`)."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .. import partition as k
from .. import ranking
from ..engine.engines import Engine, Handle
from ..ranking import BY_SMALLEST_ID, KeepRule, Keys
from . import cell_pairs as cp
from . import cells as cl
from .exact import Exact
from .read import Block, Blocks

PLACED_BYTES_PER_GROUP = 128 << 20  # rows of one cell group, visitors included
MAX_PAIRS_PER_TASK = 1_000_000  # pairs one cell-group task lists before it lists only links
MIN_CELL_GROUPS = 8

PAIR_META = k.frame({"id_a": np.int64, "id_b": np.int64, "cosine": np.float64})


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


def ranker(rule: KeepRule, ids: np.ndarray, keys: Keys | None) -> cp.Ranker:
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
    found = cp.pairs_in_cells(cells, ids, rows, cells_of, layout.threshold, max_pairs, ranker(rule, ids, keys))
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
    rule = blocks.ranking(rule)
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
