"""Exact cosines between rows: of given pairs, of every similar pair, and
of each row with a set of centroids.

``dot(a, b)`` is the ordered double sum of ``float64(a[k]) * float64(b[k])``
for k = 0 .. d-1, starting from +0.0, and ``cosine(a, b)`` is
``dot(a, b) / sqrt(dot(a, a) * dot(b, b))`` clamped to [-1, 1] (0.0 when
either row is zero, NaN when a row holds a NaN or an infinity). Every
machine, kernel and thread count gives the same doubles. Rows are taken as
:func:`ambrel_batch.normalize_batch` takes them and are used as given: pass
rows normalised by ``normalize_batch`` for cosines of unit vectors.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _core, _threads

__all__ = ["DEFAULT_MAX_PAIRS", "SimilarPairs", "cell_candidates", "cosine_pairs", "nearest_cells", "similar_pairs"]

#: Pairs ``similar_pairs`` lists in full before it keeps only a spanning
#: forest of the rest: about 240 MB of output.
DEFAULT_MAX_PAIRS = 10_000_000


class SimilarPairs(NamedTuple):
    """The pairs ``(a[k], b[k])``, ``a[k] < b[k]``, and their exact cosines.
    ``complete`` is False when more than ``max_pairs`` pairs qualified: then
    the first ``max_pairs`` are listed, and of the others those that join two
    connected components of the pairs before them, so that the components of
    the listed pairs are those of every qualifying pair."""

    a: npt.NDArray[np.int64]
    b: npt.NDArray[np.int64]
    cosine: npt.NDArray[np.float64]
    complete: bool


def _indices(values: Any, name: str, function: str = "cosine_pairs()") -> npt.NDArray[np.int64]:
    """A 1-D integer argument as contiguous int64 (an empty list too)."""
    array = np.asarray(values)
    if array.dtype.kind not in "iu" and not (array.size == 0 and array.dtype.kind == "f"):
        raise TypeError(f"{function}: {name} must hold integers, not {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{function}: {name} must be one-dimensional, not {array.ndim}-dimensional")
    if array.dtype.kind == "u" and array.size and int(array.max()) > np.iinfo(np.int64).max:
        raise IndexError(f"{function}: {name} holds an index beyond int64: {int(array.max())}")
    return _contiguous(array, np.int64)


def _contiguous(array: Any, dtype: Any) -> Any:
    """`array` as a contiguous array of `dtype`; an empty one is made afresh (an empty array may
    point anywhere, the buffer of an empty bytearray among them, and the core wants aligned data)."""
    out = np.ascontiguousarray(array, dtype=dtype)
    return out if out.size else np.zeros(out.shape, dtype)


def cosine_pairs(rows: Any, a: Any, b: Any, *, threads: int | None = None) -> npt.NDArray[np.float64]:
    """``cosine(rows[a[i]], rows[b[i]])`` for every i: float64, shape
    ``(len(a),)``. ``a`` and ``b`` are equal-length 1-D integer arrays of row
    numbers in ``[0, len(rows))`` (IndexError otherwise)."""
    left = _indices(a, "a")
    right = _indices(b, "b")
    if left.size != right.size:
        raise ValueError(f"cosine_pairs(): a and b must have the same length, not {left.size} and {right.size}")
    raw = _core.cosine_pairs(rows, left, right, left.size, _threads(threads))
    return np.frombuffer(raw, dtype=np.float64)


def similar_pairs(
    rows: Any,
    threshold: float,
    *,
    owners: int | None = None,
    max_pairs: int = DEFAULT_MAX_PAIRS,
    threads: int | None = None,
) -> SimilarPairs:
    """Every pair of rows ``i < j`` with ``i < owners`` whose exact cosine is
    ``>= threshold`` (a finite number in [-1, 1]).

    Rows ``[0, owners)`` are compared with every later row; rows
    ``[owners, n)`` (visitors) are compared with the owners only. ``owners``
    defaults to ``n``: every pair. Pairs come in block order: rows fall into
    blocks of 256, block pairs ``(I, J)``, ``I <= J``, are taken with ``I``
    outer, and pairs within one by ``(a, b)``. Past ``max_pairs`` qualifying
    pairs, only those joining two components of the pairs listed before them
    are listed and ``complete`` is False (see :class:`SimilarPairs`).

    A float32 product with a rigorous error bound rules out the pairs that
    are clearly below the threshold; every other pair is decided on its
    exact cosine."""
    a, b, cosine, _count, complete = _core.similar_pairs(rows, threshold, owners, max_pairs, _threads(threads))
    return SimilarPairs(
        np.frombuffer(a, dtype=np.int64),
        np.frombuffer(b, dtype=np.int64),
        np.frombuffer(cosine, dtype=np.float64),
        bool(complete),
    )


def nearest_cells(
    rows: Any, centroids: Any, *, margin: float = 0.0, max_cells: int = 1, threads: int | None = None
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64]]:
    """The cells of every row by exact cosine: ``(cells, sims)``, shapes
    ``(n, max_cells)``, int32 and float64.

    For a row x with exact cosines ``e_c = cosine(x, centroids[c])`` and
    ``best = max e_c``, the cells ``c`` with ``e_c >= best - margin``, ordered
    by ``(-e_c, c)``, at most ``max_cells``; the rest of the row is padded
    with -1 and NaN. A centroid whose cosine is NaN is never chosen. With
    ``margin=0, max_cells=1`` this is the k-means assignment; a positive
    margin adds the cells near the border. ``margin`` is a finite number
    ``>= 0``; ``centroids`` have as many components as the rows."""
    cells, sims, n, width = _core.nearest_cells(rows, centroids, margin, max_cells, _threads(threads))
    return (
        np.frombuffer(cells, dtype=np.int32).reshape(n, width),
        np.frombuffer(sims, dtype=np.float64).reshape(n, width),
    )


def cell_candidates(
    queries: Any,
    limits: Any,
    rows: Any,
    row_starts: Any,
    visit_starts: Any,
    visit_rows: Any,
    cells: Any,
    entry_starts: Any,
    entry_queries: Any,
    entry_owning: Any,
    *,
    max_candidates: int = 2**62,
    threads: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], int]:
    """The candidate pairs ``(query, row)`` of a scan of cells, and how many of
    the cells were scanned.

    ``rows`` are laid out by cell: the owners of cell c are rows
    ``row_starts[c] .. row_starts[c + 1] - 1``, its visitors
    ``visit_rows[visit_starts[c] .. visit_starts[c + 1] - 1]``. For each of
    ``cells`` (in order), its queries ``entry_queries[entry_starts[k] ..
    entry_starts[k + 1] - 1]`` are compared with its owners, and those whose
    ``entry_owning`` flag is set also with its visitors; a pair is a candidate
    when the float32 dot of the two rows, summed in any order (every product
    through at most d + 2 roundings of 2^-24), is ``>= limits[query]``.
    Candidates come cell by cell (within one in an order fixed by the input,
    the same at any thread count). Once more than
    ``max_candidates`` are listed, the scan stops after the current wave of
    cells. Index arrays are native int64, ``limits`` float32 and
    ``entry_owning`` one byte per entry; every index is checked (the visitors
    of the scanned cells only: nothing else of ``visit_rows`` is read)."""
    query, row, done = _core.cell_candidates(
        queries,
        _contiguous(limits, np.float32),
        rows,
        *(_contiguous(a, np.int64) for a in (row_starts, visit_starts, visit_rows, cells, entry_starts)),
        _contiguous(entry_queries, np.int64),
        _contiguous(entry_owning, np.uint8),
        max_candidates,
        _threads(threads),
    )
    return np.frombuffer(query, dtype=np.int64), np.frombuffer(row, dtype=np.int64), int(done)
