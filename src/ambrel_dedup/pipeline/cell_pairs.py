"""The pairs of a cell: the exact cosine of every pair that meets in it, from the rows placed in it
(the cells and their margin are in `cells`).

A pair is found when one vector owns a cell the other owns or visits. Owners are compared with
each other and with the visitors, never visitors with visitors, and a pair found in two cells is
reported by the smaller one only, so every pair comes out once. A cell whose pairs go past the
budget is dense: it lists each row's pairs with the rows kept before it instead (`kept_pairs`).
Every decision is made on exact cosines (`ambrel_batch.similar_pairs`), so the pairs are the same
on every machine, for any partitioning and thread count.
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

from ..partition import pairs_between, unique_pairs_with
from .cells import Layout, cell_count, fit, place, sample_keys, sample_limit


@dataclass
class CellPairs:
    """Pairs found in some cells: ids a < b and exact cosines; `incomplete` counts the dense cells,
    whose pairs went past the budget: they list each row's pairs with the rows kept before it
    (see `kept_pairs`), not every pair."""

    a: np.ndarray
    b: np.ndarray
    cosine: np.ndarray
    incomplete: int = 0

    @staticmethod
    def concat(parts: list[CellPairs]) -> CellPairs:
        if not parts:
            return CellPairs(np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0, np.float64))
        return CellPairs(
            np.concatenate([p.a for p in parts]),
            np.concatenate([p.b for p in parts]),
            np.concatenate([p.cosine for p in parts]),
            sum(p.incomplete for p in parts),
        )


# Dense cells: rows are settled a block at a time against the rows kept so far.
KEPT_BLOCK_FIRST = 16  # the first block (it has no kept rows to meet); blocks then double
KEPT_BLOCK_MOST = 4096
KEPT_SMALL = 64  # rows settled among themselves at once, whatever their pairs
KEPT_PAIRS_PER_ROW = 8  # a block lists at most this many pairs per row among itself before it splits


def kept_pairs(rows: np.ndarray, order: np.ndarray, threshold: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For rows taken in `order` (best-ranked first): the greedy rule within these rows, and for
    each row its pairs with the rows kept before it, as (row, kept row, cosine). The kept rows are
    few exactly when the rows are dense, so a family of a million near-identical rows costs about a
    million products, not half a trillion, and lists one pair per removed row.

    Rows are settled a block at a time: a block's rows meet the kept rows (`partition.pairs_between`);
    those that meet none are settled among themselves by their own pairs (a block with too many of
    them is split in two, its first half settled first), and the ones kept join the kept rows."""
    import ambrel_batch as ab

    dim = rows.shape[1]
    kept = np.zeros(0, np.int64)
    kept_rows = np.zeros((0, dim), np.float32)
    out_a, out_b, out_c = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)], [np.zeros(0)]

    def settle(block: np.ndarray) -> None:
        nonlocal kept, kept_rows
        q, r, c = pairs_between(rows[block], kept_rows, threshold)
        out_a.append(block[q])
        out_b.append(kept[r])
        out_c.append(c)
        met = np.zeros(len(block), dtype=bool)
        met[q] = True
        rest = block[~met]
        if len(rest) == 0:
            return
        budget = len(rest) * KEPT_PAIRS_PER_ROW if len(rest) > KEPT_SMALL else len(rest) ** 2
        found = ab.similar_pairs(rows[rest], threshold, max_pairs=budget, threads=1)
        if not found.complete:
            half = len(rest) // 2
            settle(rest[:half])
            settle(rest[half:])
            return
        decided = ab.greedy_keep(len(rest), found.a, found.b, found.cosine)
        gone = ~decided.keep[found.b] & decided.keep[found.a]  # (a kept, b after it): b's pairs with kept rows
        out_a.append(rest[found.b[gone]])
        out_b.append(rest[found.a[gone]])
        out_c.append(found.cosine[gone])
        new = rest[decided.keep]
        kept = np.concatenate([kept, new])
        kept_rows = np.concatenate([kept_rows, rows[new]])

    size, lo = KEPT_BLOCK_FIRST, 0
    while lo < len(order):
        settle(np.asarray(order[lo : lo + size], np.int64))
        lo += size
        size = min(2 * size, KEPT_BLOCK_MOST)
    return np.concatenate(out_a), np.concatenate(out_b), np.concatenate(out_c)


Ranker = Callable[[np.ndarray], np.ndarray]  # rows (indices) -> the same rows, best-ranked first
DENSITY_PROBE = 1024  # owners whose pairs foretell a cell's (the first, by id)


def _surely_dense(rows: np.ndarray, owners: np.ndarray, visitors: np.ndarray, threshold: float, budget: int) -> bool:
    """Whether a cell would list far more than `budget` pairs, from the pairs among its first
    DENSITY_PROBE owners: such a cell is settled against its kept rows at once, without listing
    pairs up to the budget first."""
    import ambrel_batch as ab

    n = len(owners) + len(visitors)
    if n * (n - 1) // 2 <= budget or len(owners) < DENSITY_PROBE:
        return False
    probe = ab.similar_pairs(rows[owners[:DENSITY_PROBE]], threshold, max_pairs=budget, threads=1)
    expected = len(probe.a) * (n / DENSITY_PROBE) ** 2
    return expected > 4 * budget


def pairs_in_cell(
    cell: int,
    ids: np.ndarray,
    rows: np.ndarray,
    cells_of: np.ndarray,
    threshold: float,
    max_pairs: int,
    ranked: Ranker | None = None,
) -> CellPairs:
    """The pairs that cell `cell` reports, from the rows placed in it (any order). Past `max_pairs`
    pairs the cell is dense: it lists instead each member's pairs with the members kept before it,
    taken in the order `ranked` gives (see `kept_pairs`)."""
    import ambrel_batch as ab

    own = cells_of[:, 0] == cell
    visits = ~own & (cells_of[:, 1:] == cell).any(axis=1)
    owners = np.flatnonzero(own)
    owners = owners[np.argsort(ids[owners], kind="stable")]
    visitors = np.flatnonzero(visits)
    visitors = visitors[np.argsort(ids[visitors], kind="stable")]
    members = np.concatenate([owners, visitors])
    if len(owners) == 0 or len(members) < 2:
        return CellPairs.concat([])
    found = (
        None
        if _surely_dense(rows, owners, visitors, threshold, max_pairs)
        else (ab.similar_pairs(rows[members], threshold, owners=len(owners), max_pairs=max_pairs, threads=1))
    )
    if found is None or not found.complete:
        order = ranked(members) if ranked is not None else members[np.argsort(ids[members], kind="stable")]
        x, k, cos = kept_pairs(rows, order, threshold)
        ia, ib = ids[x], ids[k]
        a, b, cos = unique_pairs_with(np.minimum(ia, ib), np.maximum(ia, ib), cos)
        return CellPairs(a, b, cos, 1)
    a, b = members[found.a], members[found.b]
    # A visitor v meets owner o here; if o also visits v's own cell, they meet there too, and the
    # smaller of the two cells reports the pair.
    vis = found.b >= len(owners)
    theirs = cells_of[b, 0]
    twice = vis & (cells_of[a, 1:] == theirs[:, None]).any(axis=1) & (theirs < cell)
    keep = ~twice
    ia, ib = ids[a[keep]], ids[b[keep]]
    return CellPairs(np.minimum(ia, ib), np.maximum(ia, ib), found.cosine[keep])


def pairs_in_cells(
    cells: np.ndarray,
    ids: np.ndarray,
    rows: np.ndarray,
    cells_of: np.ndarray,
    threshold: float,
    max_pairs: int,
    ranked: Ranker | None = None,
) -> CellPairs:
    """The pairs of several cells, from the rows placed in any of them, taken in cell order. Once
    `max_pairs` pairs are listed, each further cell with more pairs than are left is dense (see
    `pairs_in_cell`), so that the task's memory stays bounded. `ranked` orders rows (indices into
    `ids`) best first; default: by id. A pair a dense cell lists may be listed by another cell too."""
    parts = []
    left = max_pairs
    for cell in np.asarray(cells).tolist():
        idx = np.flatnonzero((cells_of == cell).any(axis=1))
        local = None if ranked is None else (lambda rows_, idx=idx: _positions(idx, ranked(idx[rows_])))
        found = pairs_in_cell(cell, ids[idx], rows[idx], cells_of[idx], threshold, max(1, left), local)
        left -= len(found.a)
        parts.append(found)
    return CellPairs.concat(parts)


def _positions(idx: np.ndarray, picked: np.ndarray) -> np.ndarray:
    """Where each of `picked` (values of the sorted-by-position array idx) lies in idx."""
    return np.searchsorted(idx, picked)


def near_pairs(
    ids: np.ndarray,
    rows: np.ndarray,
    threshold: float,
    *,
    max_pairs: int = 10_000_000,
    threads: int = 1,
) -> tuple[CellPairs, Layout]:
    """Every pair of normalised rows found in a cell, in one process (the cells on `threads` threads)."""
    ids = np.asarray(ids, dtype=np.int64)
    limit = sample_limit(len(ids), cell_count(len(ids)))
    sampled = sample_keys(ids) <= limit
    layout = fit(ids[sampled], rows[sampled], len(ids), threshold, threads)
    cells_of = place(rows, layout, threads)
    groups = np.array_split(np.arange(layout.cells), max(1, min(layout.cells, 4 * threads)))
    members = [np.flatnonzero(np.isin(cells_of, g).any(axis=1)) for g in groups]
    with ThreadPoolExecutor(threads) as pool:
        parts = list(
            pool.map(
                lambda gm: pairs_in_cells(gm[0], ids[gm[1]], rows[gm[1]], cells_of[gm[1]], threshold, max_pairs),
                zip(groups, members),
            )
        )
    return CellPairs.concat(parts), layout
