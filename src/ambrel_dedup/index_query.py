"""Rows matched against the vectors of an index: every indexed vector at cosine >= a threshold that
meets the row in a cell, with its exact cosine.

A query row and an indexed vector meet when one owns a cell that the other owns or visits, as two
vectors of one run do. For each cell a query touches, the queries that own it are compared with
the cell's owners and visitors in every segment, those that visit it with its owners, and a pair
is reported by the smallest cell where the two meet (the index keeps each row's cells), so once.
A float32 matrix product with a rigorous error bound rules out the pairs clearly below the
threshold; every other pair is decided on its exact cosine (`ambrel_batch.cosine_pairs`), the
same double a run computes. Exact copies are held apart in the index:
the copies of each matched representative get their own exact cosines.
"""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np

from .index_store import Segment

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

    def to_pandas(self):
        import pandas as pd

        return pd.DataFrame({"row": self.row, "id": self.id, "cosine": self.cosine})

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


def product_slack(dim: int) -> float:
    """A bound on |cosine - P / (|q| |x|)| for the float32 product P of two rows of `dim` floats
    summed in any order (each term passes at most `dim` roundings of 2^-24: Higham's gamma_dim,
    times the Cauchy-Schwarz |q| |x|), the norms taken in float64, and the exact cosine's own
    roundings (gamma_(2 dim + 8) of 2^-53, four times, as the batch engine bounds them); 2^-40
    covers underflow and a flush-to-zero mode, at most 2^-126 per term."""
    u, w = 2.0**-24, 2.0**-53

    def gamma(k: int, e: float) -> float:
        return k * e / (1 - k * e)

    return (gamma(dim, u) + 4 * gamma(2 * dim + 8, w)) * (1 + 2.0**-20) + 2.0**-40


_PRODUCT_ENTRIES = 1 << 22  # a cell's queries x rows compared by one matrix product, at most
_CONTROLLER: list[Any] = []


def _blas_limit() -> Any:
    """One BLAS thread while the cells are matched (the controller is found once per process)."""
    from threadpoolctl import ThreadpoolController

    if not _CONTROLLER:
        _CONTROLLER.append(ThreadpoolController())
    return _CONTROLLER[0].limit(limits=1, user_api="blas")


def _limits(segments: list[Segment], norms: np.ndarray, threshold: float, slack: float) -> list[np.ndarray]:
    """Per segment, per query: a float32 product below it rules the pair out.

    A pair can reach the threshold only if P / (|q| |x|) + slack >= threshold (product_slack), so
    only if P >= (threshold - slack) |q| n, n the segment's smallest row norm (its largest when
    threshold - slack < 0); rounded down to float32, the bound only lets more pairs through."""
    low = threshold - slack
    out = []
    for s in segments:
        n = (s.norms.min() if low >= 0 else s.norms.max()) if len(s.norms) else 1.0
        limit = (low * norms * n).astype(np.float32)
        out.append(np.nextafter(limit, np.float32(-np.inf)))
    return out


def _cell_candidates(
    segments: list[Segment], cell: int, q: np.ndarray, own: np.ndarray, unit: np.ndarray, limits: list[np.ndarray]
) -> tuple[list[np.ndarray], list[np.ndarray], list[np.ndarray]]:
    """(queries, segments, rows) of the pairs between the queries q (own: which own the cell) and
    the cell's owners (one slice of each segment, used in place) and, for the owning queries, its
    visitors, that a float32 product does not rule out."""
    owning = q[own]
    found_q, found_s, found_r = [], [], []
    for k, s in enumerate(segments):
        lo, hi = s.cell_starts[cell], s.cell_starts[cell + 1]
        vlo, vhi = s.visit_starts[cell], s.visit_starts[cell + 1]
        if hi > lo:
            a, b = np.nonzero(unit[q] @ s.unit[lo:hi].T >= limits[k][q][:, None])
            found_q.append(q[a])
            found_s.append(np.full(len(a), k))
            found_r.append(b + lo)
        if vhi > vlo and len(owning):
            rows = s.visit_rows[vlo:vhi]
            a, b = np.nonzero(unit[owning] @ s.unit[rows].T >= limits[k][owning][:, None])
            found_q.append(owning[a])
            found_s.append(np.full(len(a), k))
            found_r.append(rows[b])
    return found_q, found_s, found_r


def _decide(segments: list[Segment], unit: np.ndarray, a: np.ndarray, seg: np.ndarray, row: np.ndarray) -> np.ndarray:
    """The exact cosines of the candidate pairs (query a, row `row` of segment `seg`)."""
    import ambrel_batch as ab

    n = len(a)
    theirs = np.empty((n, unit.shape[1]), np.float32)
    for k in np.unique(seg).tolist():
        pick = seg == k
        theirs[pick] = segments[k].unit[row[pick]]
    return ab.cosine_pairs(np.concatenate([unit[a], theirs]), np.arange(n), np.arange(n, 2 * n), threads=1)


def _match_cells(
    segments: list[Segment],
    cells: np.ndarray,
    members: list[np.ndarray],
    owning: list[np.ndarray],
    unit: np.ndarray,
    limits: list[np.ndarray],
    cells_of: np.ndarray,
    threshold: float,
    budget: int,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, bool]:
    """The matches of the queries placed in some cells (members[i]: the queries in cells[i];
    owning[i]: whether each owns it), each pair reported by the smallest cell where it meets.

    Queries that own a cell are compared with its owners and visitors, the others with its owners;
    the candidates of all the cells get their exact cosines at once. Once `budget` candidates are
    listed, and for a cell too large for one product, the batch engine's similar_pairs decides
    instead, listing only the pairs that join its components once the budget is spent."""
    import ambrel_batch as ab

    dim = unit.shape[1]
    empty = np.zeros(0, np.int64)
    qs, ss, rs, at = [empty], [empty], [empty], [empty]
    done_q, done_x, done_c = [empty], [empty], [np.zeros(0)]
    complete = True
    left = budget
    for cell, q, own in zip(cells.tolist(), members, owning):
        size = sum(int(s.cell_starts[cell + 1] - s.cell_starts[cell]) for s in segments)
        size += sum(int(s.visit_starts[cell + 1] - s.visit_starts[cell]) for s in segments)
        if size == 0:
            continue
        m = len(q)
        if left > 0 and m * size <= _PRODUCT_ENTRIES:
            fq, fs, fr = _cell_candidates(segments, cell, q, own, unit, limits)
            qs += fq
            ss += fs
            rs += fr
            found = sum(len(x) for x in fq)
            at.append(np.full(found, cell))
            left -= found
            continue
        ids, rows, _, their_cells, owners = _cell_rows(segments, cell, dim, bool(own.any()))
        found = ab.similar_pairs(
            np.concatenate([unit[q], rows]), threshold, owners=m, max_pairs=max(1, left), threads=1
        )
        complete &= found.complete
        across = found.b >= m
        a, b, cos = found.a[across], found.b[across] - m, found.cosine[across]
        keep = own[a] | (b < owners)
        a, b, cos = q[a[keep]], b[keep], cos[keep]
        here = _first_meeting(cells_of[a], their_cells[b]) == cell
        left -= int(here.sum())
        done_q.append(a[here])
        done_x.append(ids[b[here]])
        done_c.append(cos[here])
    a, seg, row, cell_of = (np.concatenate(x) for x in (qs, ss, rs, at))
    if len(a):
        cos = _decide(segments, unit, a, seg, row)
        hit = cos >= threshold
        a, seg, row, cell_of, cos = a[hit], seg[hit], row[hit], cell_of[hit], cos[hit]
        ids = np.zeros(len(a), np.int64)
        theirs = np.zeros((len(a), segments[0].cells.shape[1]), np.int32)
        for k in np.unique(seg).tolist():
            pick = seg == k
            ids[pick] = segments[k].ids[row[pick]]
            theirs[pick] = segments[k].cells[row[pick]]
        here = _first_meeting(cells_of[a], theirs) == cell_of
        done_q.append(a[here])
        done_x.append(ids[here])
        done_c.append(cos[here])
    return np.concatenate(done_q), np.concatenate(done_x), np.concatenate(done_c), complete


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
    each found in the smallest cell where the two meet; with `only` (a mask over the cells), only
    the pairs whose smallest such cell it holds.

    With `copies`, the exact copies of matched representatives are matched too. Past `max_pairs`
    pairs, each further cell lists only the pairs that join components of the pairs it finds, and
    `complete` is False."""
    rows_, slots = np.nonzero(cells_of >= 0)
    placed = cells_of[rows_, slots]
    if only is not None:
        keep = only[placed]
        rows_, slots, placed = rows_[keep], slots[keep], placed[keep]
    order = np.argsort(placed, kind="stable")
    cells, starts = np.unique(placed[order], return_index=True)
    members = np.split(rows_[order].astype(np.int64), starts[1:])
    owning = np.split(slots[order] == 0, starts[1:])
    low = threshold - COPY_SLACK if copies is not None and len(copies.ids) else threshold
    norms = np.sqrt(np.einsum("ij,ij->i", unit.astype(np.float64), unit.astype(np.float64)))
    limits = _limits(segments, norms, low, product_slack(unit.shape[1]))
    chunks = max(1, min(len(cells), 4 * threads))
    bounds = np.linspace(0, len(cells), chunks + 1).astype(np.int64)
    budget = max(1, max_pairs // chunks)

    def one(k: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, bool]:
        lo, hi = bounds[k], bounds[k + 1]
        return _match_cells(segments, cells[lo:hi], members[lo:hi], owning[lo:hi], unit, limits, cells_of, low, budget)

    # The products are small and run on our threads: BLAS threads of their own would only compete.
    with _blas_limit():
        if threads > 1 and chunks > 1:
            with ThreadPoolExecutor(threads) as pool:
                parts = list(pool.map(one, range(chunks)))
        else:
            parts = [one(k) for k in range(chunks)]
    q = np.concatenate([np.zeros(0, np.int64), *(p[0] for p in parts)])
    x = np.concatenate([np.zeros(0, np.int64), *(p[1] for p in parts)])
    cos = np.concatenate([np.zeros(0), *(p[2] for p in parts)])
    complete = all(p[3] for p in parts)
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
