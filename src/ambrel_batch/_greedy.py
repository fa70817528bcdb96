"""The sequential greedy keep/remove rule of the dedup job, over ranked rows
and the similar pairs between them, as one native call."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _core
from ._pairs import _contiguous, _indices

__all__ = ["GreedyKeep", "greedy_keep"]


class GreedyKeep(NamedTuple):
    """The decision of every node, each array of shape ``(n,)``.

    ``keep[v]`` is whether node v is kept. For a node removed by the rule,
    ``duplicate_of[v]`` is the kept node it duplicates and ``cosine[v]`` the
    cosine of their pair; for every other node (kept, or fixed removed) they
    are -1 and NaN."""

    keep: npt.NDArray[np.bool_]
    duplicate_of: npt.NDArray[np.int64]
    cosine: npt.NDArray[np.float64]


def _decisions(values: Any) -> npt.NDArray[np.int8] | None:
    if values is None:
        return None
    array = np.asarray(values)
    if array.dtype.kind not in "iu" and not (array.size == 0 and array.dtype.kind == "f"):
        raise TypeError(f"greedy_keep(): fixed must hold integers -1, 0 or 1, not {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"greedy_keep(): fixed must be one-dimensional, not {array.ndim}-dimensional")
    if array.dtype != np.int8:
        # A value that int8 cannot hold becomes 2: still refused, at its index.
        array = np.where((array >= -1) & (array <= 1), array, 2)
    return _contiguous(array, np.int8)


def greedy_keep(n: int, a: Any, b: Any, cosine: Any, *, fixed: Any = None) -> GreedyKeep:
    """Which of ``n`` ranked nodes the greedy rule keeps, and what each
    removed node duplicates.

    Nodes ``0 .. n-1`` are in rank order: node 0 ranks first. The edges are
    the pairs ``(a[i], b[i])`` with ``cosine[i]`` (the pairs that count as
    neighbours, such as those at or above a threshold), undirected, in any
    order and orientation; a pair may be given more than once, and then its
    highest cosine counts. ``a`` and ``b`` are equal-length 1-D integer
    arrays of nodes in ``[0, n)`` (IndexError otherwise) with ``a[i] !=
    b[i]`` (ValueError); ``cosine`` is a 1-D array of as many finite numbers
    (ValueError otherwise), taken as float64.

    Nodes are decided in rank order: a node is removed if and only if one of
    its neighbours of better rank is kept, and kept otherwise. Without
    ``fixed`` the kept nodes are the first maximal independent set of the
    graph in rank order. ``fixed``, when given, holds one int8 decision per
    node: -1 for a node decided by the rule, 1 for a node kept and 0 for one
    removed whatever its neighbours (decisions made earlier). A
    fixed-removed node removes nobody and duplicates nobody; a fixed-kept
    node removes its neighbours of worse rank like any kept node.

    A node removed by the rule duplicates, among its kept neighbours of
    better rank, the one of the highest cosine, ties going to the better
    rank (of copies of one pair at -0.0 and +0.0, +0.0 counts). A removed
    node's kept neighbours of worse rank are never its duplicate. The result
    depends on the set of edges only, not on their order or orientation.

    Runs in time linear in ``n`` plus the number of edges, on the calling
    thread with the interpreter released, holding besides the result 8
    bytes per node and 12 per edge whose later node is decided by the rule
    and whose earlier node is not fixed removed."""
    left = _indices(a, "a", "greedy_keep()")
    right = _indices(b, "b", "greedy_keep()")
    weights = np.asarray(cosine)
    if weights.dtype.kind not in "iuf":
        raise TypeError(f"greedy_keep(): cosine must hold real numbers, not {weights.dtype}")
    if weights.ndim != 1:
        raise ValueError(f"greedy_keep(): cosine must be one-dimensional, not {weights.ndim}-dimensional")
    keep, duplicate_of, pair_cosine = _core.greedy_keep(
        n, left, right, _contiguous(weights, np.float64), _decisions(fixed)
    )
    return GreedyKeep(
        np.frombuffer(keep, dtype=np.bool_),
        np.frombuffer(duplicate_of, dtype=np.int64),
        np.frombuffer(pair_cosine, dtype=np.float64),
    )
