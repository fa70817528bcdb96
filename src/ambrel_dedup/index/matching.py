"""Rows matched against the vectors of an index: every indexed vector at cosine >= a threshold that
meets the row in a cell, with its exact cosine.

A query row and an indexed vector meet when one owns a cell that the other owns or visits, as two
vectors of one run do. For each cell a query touches, the queries that own it are compared with
the cell's owners and visitors in every segment, those that visit it with its owners, and a pair
is reported by the smallest cell where the two meet (the index keeps each row's cells), so once.
A float32 product with a rigorous error bound (`ambrel_batch.cell_candidates`, which reads the
index rows in place) rules out the pairs clearly below the threshold; every other pair is decided
on its exact cosine (`ambrel_batch.cosine_pairs`), the same double a run computes. Exact copies are held apart in the index:
the copies of each matched representative get their own exact cosines.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from ..partition import product_slack
from .segments import Segment

if TYPE_CHECKING:
    import pandas as pd

# Copies differ from their representative in the last bits only; representatives this close below
# the threshold have their copies checked too.
COPY_SLACK = 1e-5
DEFAULT_MAX_PAIRS = 100_000_000


@dataclass
class Matches:
    """Pairs (query row, indexed id) at cosine >= the threshold, sorted by row, then by falling
    cosine, then by id. `complete` is False when a budget cut the listing (see `match`)."""

    row: np.ndarray
    id: np.ndarray
    cosine: np.ndarray
    complete: bool = True

    def __len__(self) -> int:
        return len(self.row)

    def of(self, row: int) -> tuple[np.ndarray, np.ndarray]:
        """(ids, cosines) of one query row."""
        lo, hi = np.searchsorted(self.row, [row, row + 1])
        return self.id[lo:hi], self.cosine[lo:hi]

    def to_pandas(self) -> pd.DataFrame:
        """The matches as a table of `query_id` (the query's row number), `id` and `cosine`, as
        `ambrel-dedup query` writes them (there, `query_id` is the input's id)."""
        import pandas as pd

        return pd.DataFrame({"query_id": self.row, "id": self.id, "cosine": self.cosine})

    def top(self, k: int) -> Matches:
        """At most `k` matches per query row: those of the highest cosines (ties by the smallest id)."""
        if not isinstance(k, int) or isinstance(k, bool) or k < 1:
            raise ValueError(f"k must be a whole number of at least 1, got {k!r}")
        if len(self.row) == 0:
            return self
        first = np.concatenate([[True], self.row[1:] != self.row[:-1]])
        start = np.maximum.accumulate(np.where(first, np.arange(len(self.row)), 0))
        keep = np.arange(len(self.row)) - start < k
        return Matches(self.row[keep], self.id[keep], self.cosine[keep], self.complete)

    @staticmethod
    def empty() -> Matches:
        return Matches(np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0, np.float64))


@dataclass
class Copies:
    """The exact copies of every segment, by representative id."""

    reps: np.ndarray
    ids: np.ndarray
    segment: np.ndarray
    row: np.ndarray

    @staticmethod
    def of(segments: list[Segment]) -> Copies:
        reps = np.concatenate([np.zeros(0, np.int64), *(s.copy_reps for s in segments)])
        ids = np.concatenate([np.zeros(0, np.int64), *(s.copy_ids for s in segments)])
        seg = np.concatenate([np.zeros(0, np.int64), *(np.full(len(s.copy_ids), i) for i, s in enumerate(segments))])
        row = np.concatenate([np.zeros(0, np.int64), *(np.arange(len(s.copy_ids)) for s in segments)])
        order = np.lexsort((ids, reps))
        return Copies(reps[order], ids[order], seg[order], row[order])


def _cell_rows(
    segments: list[Segment], cell: int, dim: int, visitors: bool
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, int]:
    """(ids, rows, norms, cells) of the vectors in a cell: its owners in every segment, then (when
    asked for) its visitors; and the number of owners."""
    ids, rows, norms, cells = [], [], [], []

    def take(s: Segment, pick: slice | np.ndarray) -> None:
        ids.append(s.ids[pick])
        rows.append(s.unit[pick])
        norms.append(s.norms[pick])
        cells.append(s.cells[pick])

    for s in segments:
        lo, hi = s.cell_starts[cell], s.cell_starts[cell + 1]
        if hi > lo:
            take(s, slice(lo, hi))
    owners = sum(len(x) for x in ids)
    for s in segments if visitors else ():
        vlo, vhi = s.visit_starts[cell], s.visit_starts[cell + 1]
        if vhi > vlo:
            take(s, s.visit_rows[vlo:vhi])
    if not ids:
        return np.zeros(0, np.int64), np.zeros((0, dim), np.float32), np.zeros(0), np.zeros((0, 1), np.int32), 0
    if len(ids) == 1:
        return ids[0], rows[0], norms[0], cells[0], owners
    return np.concatenate(ids), np.concatenate(rows), np.concatenate(norms), np.concatenate(cells), owners


def first_meeting(cells_a: np.ndarray, cells_b: np.ndarray) -> np.ndarray:
    """For pairs of rows placed in cells (own cell first), the smallest cell where they meet: one
    owns it and the other owns or visits it; -1 where they do not meet."""
    none = np.iinfo(np.int32).max
    own_a, own_b = cells_a[:, :1], cells_b[:, :1]
    a_in_b = np.where((cells_b == own_a).any(axis=1) & (own_a[:, 0] >= 0), own_a[:, 0], none)
    b_in_a = np.where((cells_a == own_b).any(axis=1) & (own_b[:, 0] >= 0), own_b[:, 0], none)
    first = np.minimum(a_in_b, b_in_a)
    return np.where(first == none, -1, first)


_PRODUCT_ENTRIES = 1 << 24  # a cell's queries x rows scanned at once, at most; larger cells are tiled
_DECIDED_AT_ONCE = 1 << 18  # candidates whose rows are gathered for their exact cosines at once


def _limits(segment: Segment, norms: np.ndarray, threshold: float, slack: float) -> np.ndarray:
    """Per query: a float32 product with a row of the segment below it rules the pair out.

    A pair can reach the threshold only if P / (|q| |x|) + slack >= threshold (product_slack), so
    only if P >= (threshold - slack) |q| n, n the segment's smallest row norm (its largest when
    threshold - slack < 0); rounded down to float32, the bound only lets more pairs through."""
    low = threshold - slack
    n = segment.norm_range[0] if low >= 0 else segment.norm_range[1]
    return np.nextafter((low * norms * n).astype(np.float32), np.float32(-np.inf))


def _decide(segments: list[Segment], unit: np.ndarray, a: np.ndarray, seg: np.ndarray, row: np.ndarray) -> np.ndarray:
    """The exact cosines of the candidate pairs (query a, row `row` of segment `seg`), a chunk of
    candidates at a time (their rows are gathered)."""
    import ambrel_batch as ab

    out = np.empty(len(a))
    for lo in range(0, len(a), _DECIDED_AT_ONCE):
        hi = min(len(a), lo + _DECIDED_AT_ONCE)
        n = hi - lo
        theirs = np.empty((n, unit.shape[1]), np.float32)
        for k in np.unique(seg[lo:hi]).tolist():
            pick = seg[lo:hi] == k
            theirs[pick] = segments[k].unit[row[lo:hi][pick]]
        both = np.concatenate([unit[a[lo:hi]], theirs])
        out[lo:hi] = ab.cosine_pairs(both, np.arange(n), np.arange(n, 2 * n), threads=1)
    return out


def _tiled(
    segments: list[Segment],
    cell: int,
    q: np.ndarray,
    own: np.ndarray,
    unit: np.ndarray,
    cells_of: np.ndarray,
    threshold: float,
    budget: int,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, bool]:
    """The pairs of one cell by the batch engine's similar_pairs: for cells too large to scan at
    once and past the budget (then only the pairs that join its components are listed)."""
    import ambrel_batch as ab

    ids, rows, _, their_cells, owners = _cell_rows(segments, cell, unit.shape[1], bool(own.any()))
    m = len(q)
    found = ab.similar_pairs(np.concatenate([unit[q], rows]), threshold, owners=m, max_pairs=max(1, budget), threads=1)
    across = found.b >= m
    a, b, cos = found.a[across], found.b[across] - m, found.cosine[across]
    keep = own[a] | (b < owners)
    a, b, cos = q[a[keep]], b[keep], cos[keep]
    here = _first_meeting(cells_of[a], their_cells[b]) == cell
    return a[here], ids[b[here]], cos[here], found.complete


def _first_meeting(cells_a: np.ndarray, cells_b: np.ndarray) -> np.ndarray:
    width = min(cells_a.shape[1], cells_b.shape[1])
    return first_meeting(cells_a[:, :width], cells_b[:, :width])


def match(
    segments: list[Segment],
    copies: Copies | None,
    unit: np.ndarray,
    cells_of: np.ndarray,
    threshold: float,
    *,
    only: np.ndarray | None = None,
    max_pairs: int = DEFAULT_MAX_PAIRS,
    threads: int = 1,
) -> Matches:
    """The matches of normalised query rows `unit` placed in `cells_of` (own cell first, -1 pads),
    each pair once; with `only` (a mask over the cells), only the pairs whose smallest meeting cell
    it holds.

    Each segment is scanned once by the batch engine (`ambrel_batch.cell_candidates`: a float32
    product against a limit per query, rows read in place), on `threads` threads; the candidates
    are decided on their exact cosines. With `copies`, the exact copies of matched representatives
    are matched too. Cells too large to scan at once, and every cell once `max_pairs` candidates
    are listed, go through similar_pairs, which past the budget lists only the pairs that join
    components; `complete` is then False."""
    import ambrel_batch as ab

    if len(unit) == 0:
        return Matches.empty()
    rows_, slots = np.nonzero(cells_of >= 0)
    placed = cells_of[rows_, slots]
    if only is not None:
        keep = only[placed]
        rows_, slots, placed = rows_[keep], slots[keep], placed[keep]
    order = np.argsort(placed, kind="stable")
    cells, starts = np.unique(placed[order], return_index=True)
    entry_queries = rows_[order].astype(np.int64)
    entry_owning = (slots[order] == 0).astype(np.uint8)
    entry_starts = np.append(starts, len(order)).astype(np.int64)
    low = threshold - COPY_SLACK if copies is not None and len(copies.ids) else threshold
    norms = np.sqrt(np.einsum("ij,ij->i", unit.astype(np.float64), unit.astype(np.float64)))
    slack = product_slack(unit.shape[1])
    size = np.zeros(len(cells), np.int64)
    for s in segments:
        size += s.cell_starts[cells + 1] - s.cell_starts[cells] + s.visit_starts[cells + 1] - s.visit_starts[cells]
    scanned = (np.diff(entry_starts) * size <= _PRODUCT_ENTRIES) & (size > 0)
    picked = np.flatnonzero(scanned)
    sub_starts = np.concatenate([[0], np.cumsum(np.diff(entry_starts)[picked])]).astype(np.int64)
    sub_entries = np.concatenate(
        [np.zeros(0, np.int64), *(np.arange(entry_starts[i], entry_starts[i + 1]) for i in picked)]
    )
    qs, ss, rs = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)], [np.zeros(0, np.int64)]
    left = max_pairs
    for k, s in enumerate(segments):
        if len(s.ids) == 0 or len(picked) == 0:  # nothing to scan (the engine refuses empty rows)
            continue
        q, r, done = ab.cell_candidates(
            unit,
            _limits(s, norms, low, slack),
            s.unit,
            s.cell_starts,
            s.visit_starts,
            s.visit_rows,
            cells[picked],
            sub_starts,
            entry_queries[sub_entries],
            entry_owning[sub_entries],
            max_candidates=max(0, left),
            threads=threads,
        )
        left -= len(q)
        if done < len(picked):  # the budget is spent: the other cells list only linking pairs
            scanned[picked[done:]] = False
            left = 0
        qs.append(q)
        ss.append(np.full(len(q), k))
        rs.append(r)
    a, seg, row = (np.concatenate(x) for x in (qs, ss, rs))
    complete = True
    found_q, found_x, found_c = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)], [np.zeros(0)]
    if len(a):
        cos = _decide(segments, unit, a, seg, row)
        hit = cos >= low
        a, seg, row, cos = a[hit], seg[hit], row[hit], cos[hit]
        ids = np.zeros(len(a), np.int64)
        theirs = np.zeros((len(a), segments[0].cells.shape[1]), np.int32)
        for k in np.unique(seg).tolist():
            pick = seg == k
            ids[pick] = segments[k].ids[row[pick]]
            theirs[pick] = segments[k].cells[row[pick]]
        met = _first_meeting(cells_of[a], theirs)
        here = (met >= 0) & (only[np.maximum(met, 0)] if only is not None else True)
        found_q.append(a[here])
        found_x.append(ids[here])
        found_c.append(cos[here])
    for i in np.flatnonzero(~scanned & (size > 0)).tolist():
        own = entry_owning[entry_starts[i] : entry_starts[i + 1]].astype(bool)
        q, x, c, done = _tiled(
            segments,
            int(cells[i]),
            entry_queries[entry_starts[i] : entry_starts[i + 1]],
            own,
            unit,
            cells_of,
            low,
            max(1, left),
        )
        left -= len(q)
        complete &= done
        found_q.append(q)
        found_x.append(x)
        found_c.append(c)
    q, x, cos = (np.concatenate(v) for v in (found_q, found_x, found_c))
    # A pair meets in each of its meeting cells that the scan visited: once is enough.
    if len(q):
        _, first = np.unique(np.stack([q, x], axis=1), axis=0, return_index=True)
        q, x, cos = q[first], x[first], cos[first]
    if copies is not None and len(copies.ids) and len(q):
        q, x, cos = _with_copies(segments, copies, unit, q, x, cos)
    keep = cos >= threshold
    q, x, cos = q[keep], x[keep], cos[keep]
    order = np.lexsort((x, -cos, q))
    return Matches(q[order], x[order], cos[order], complete)


def _with_copies(
    segments: list[Segment],
    copies: Copies,
    unit: np.ndarray,
    q: np.ndarray,
    x: np.ndarray,
    cos: np.ndarray,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The pairs with, for each, a pair of the same query with every copy of its representative."""
    import ambrel_batch as ab

    lo = np.searchsorted(copies.reps, x, side="left")
    hi = np.searchsorted(copies.reps, x, side="right")
    n = hi - lo
    if not n.any():
        return q, x, cos
    pair = np.repeat(np.arange(len(q)), n)
    at = np.concatenate([np.arange(a, b) for a, b in zip(lo[n > 0], hi[n > 0])])
    copy_rows = np.stack([segments[s].copy_unit[r] for s, r in zip(copies.segment[at], copies.row[at])])
    m = len(at)
    both = np.concatenate([unit[q[pair]], copy_rows.astype(np.float32)])
    copy_cos = ab.cosine_pairs(both, np.arange(m), np.arange(m, 2 * m), threads=1)
    return (
        np.concatenate([q, q[pair]]),
        np.concatenate([x, copies.ids[at]]),
        np.concatenate([cos, copy_cos]),
    )
