"""The decision: which rows are kept and, for every removed row, the kept row it duplicates.

The rule (the sequential greedy rule): rows are taken in the order of the keep rule, best first;
a row is removed if and only if a better-ranked row that is kept is its near duplicate (a listed
pair at cosine >= the threshold), and kept otherwise. Unlike the connected components of the
pairs, nothing is removed through a chain: every removed row names a kept row at or above the
threshold (`duplicate_of`, the one of highest cosine, ties by rank) and that exact cosine, and
that pair is in `pairs.parquet`. A group is a kept row and the rows removed for it.

The rule runs on the graph of representatives (one per vector: an exact copy's vector is
represented by its best-ranked row, see `exact.exact`), in one native call
(`ambrel_batch.greedy_keep`, linear in rows plus pairs); the copies then follow their
representative: removed for it when it is kept, removed for the row it duplicates when it is not.
The decision depends on the pairs and the ranks alone, so it is the same on every engine, worker
count and partitioning.

`components` is the other grouping a user may ask for: the connected components of the pairs,
one kept row each, every other member removed for it (`cosine` is then empty: a member may be far
from its group's kept row, reached through a chain of pairs).

Rows decided before (an index's rows, when an add decides its new rows) are given as `Fixed`:
they rank first and keep their decision; new rows are removed for them as for any kept row.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ..partition import component_labels

Rank = Callable[[np.ndarray], np.ndarray]  # ids (unique) -> their positions, best first

GROUPS_COLUMNS = ("id", "group", "keep", "duplicate_of", "cosine")


def groups_meta() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "id": np.zeros(0, np.int64),
            "group": np.zeros(0, np.int64),
            "keep": np.zeros(0, bool),
            "duplicate_of": pd.array([], dtype="Int64"),
            "cosine": pd.array([], dtype="Float64"),
        }
    )


@dataclass
class Fixed:
    """Rows decided before: sorted ids, whether each is kept, and for a removed one the kept row
    it duplicates (-1 where that row is gone) and their cosine (NaN where not known)."""

    ids: np.ndarray
    keep: np.ndarray
    group: np.ndarray
    cosine: np.ndarray

    def lookup(self, ids: np.ndarray) -> np.ndarray:
        """Positions of ids in the table (all must be there)."""
        return np.searchsorted(self.ids, ids)


@dataclass
class Decision:
    """Every id in a group of two or more, sorted, with its group (the kept row), whether it is
    kept, and for a removed one the kept row it duplicates (-1 for kept ones) and their cosine
    (NaN for kept ones); the (removed, kept) pair of every removed row; group sizes."""

    ids: np.ndarray
    group: np.ndarray
    keep: np.ndarray
    duplicate_of: np.ndarray
    cosine: np.ndarray
    pair_exact: np.ndarray  # per removed row: whether its pair is an exact copy's
    sizes: dict[int, int] = field(default_factory=dict)

    @property
    def removed(self) -> int:
        return int((~self.keep).sum())

    def frame(self) -> pd.DataFrame:
        kept, unknown = self.keep, np.isnan(self.cosine)
        return pd.DataFrame(
            {
                "id": self.ids,
                "group": self.group,
                "keep": kept,
                "duplicate_of": pd.arrays.IntegerArray(np.where(kept, 0, self.duplicate_of), kept.copy()),
                "cosine": pd.arrays.FloatingArray(np.where(unknown, 0.0, self.cosine), unknown),
            }
        )

    def pairs(self) -> pd.DataFrame:
        """The pair of each removed row with the row it duplicates: id_a < id_b, cosine, exact."""
        gone = ~self.keep & (self.duplicate_of >= 0) & ~np.isnan(self.cosine)  # components give no pairs
        a, b = self.ids[gone], self.duplicate_of[gone]
        return pd.DataFrame(
            {
                "id_a": np.minimum(a, b),
                "id_b": np.maximum(a, b),
                "cosine": self.cosine[gone],
                "exact": self.pair_exact[gone],
            }
        )

    @staticmethod
    def of(ids: np.ndarray, duplicate_of: np.ndarray, cosine: np.ndarray, exact: np.ndarray) -> Decision:
        """From the removed rows (ids, what each duplicates, cosine, exact pair): their kept rows join."""
        targets = np.unique(duplicate_of)
        all_ids = np.concatenate([ids, targets])
        group = np.concatenate([duplicate_of, targets])
        keep = np.concatenate([np.zeros(len(ids), bool), np.ones(len(targets), bool)])
        dup = np.concatenate([duplicate_of, np.full(len(targets), -1, np.int64)])
        cos = np.concatenate([cosine, np.full(len(targets), np.nan)])
        pe = np.concatenate([exact, np.zeros(len(targets), bool)])
        order = np.argsort(all_ids, kind="stable")
        sizes_of = np.unique(np.unique(group, return_counts=True)[1], return_counts=True)
        sizes = {int(s): int(n) for s, n in zip(*sizes_of)}
        return Decision(all_ids[order], group[order], keep[order], dup[order], cos[order], pe[order], sizes)


def _local(nodes: np.ndarray, ids: np.ndarray) -> np.ndarray:
    return np.searchsorted(nodes, ids)


def greedy(
    near: tuple[np.ndarray, np.ndarray, np.ndarray],
    copies: tuple[np.ndarray, np.ndarray, np.ndarray],
    rank: Rank,
    fixed: Fixed | None = None,
) -> Decision:
    """The greedy rule on near pairs (a, b, cosine) between representatives and exact copies
    (representative, copy, cosine), the representatives ranked by `rank`. Rows of `fixed` that
    appear rank first and keep their decision; they are not listed unless a new row is removed for
    one of them (then the kept row is listed as its group's)."""
    import ambrel_batch as ab

    a, b, cos = (np.asarray(x) for x in near)
    rep, copy, copy_cos = (np.asarray(x) for x in copies)
    nodes = np.unique(np.concatenate([a, b, rep]).astype(np.int64))
    is_fixed = np.zeros(len(nodes), bool)
    if fixed is not None and len(fixed.ids):
        at = np.clip(np.searchsorted(fixed.ids, nodes), 0, len(fixed.ids) - 1)
        is_fixed = fixed.ids[at] == nodes
    # Fixed rows first (their order does not matter: they are not decided), then the others by rank.
    new = np.flatnonzero(~is_fixed)
    by_rank = np.concatenate([np.flatnonzero(is_fixed), new[rank(nodes[new])]])
    place = np.empty(len(nodes), np.int64)
    place[by_rank] = np.arange(len(nodes))
    state = np.full(len(nodes), -1, np.int8)
    if is_fixed.any():
        assert fixed is not None
        state[place[is_fixed]] = fixed.keep[fixed.lookup(nodes[is_fixed])].astype(np.int8)
    found = ab.greedy_keep(
        len(nodes), place[_local(nodes, a)], place[_local(nodes, b)], cos.astype(np.float64), fixed=state
    )
    ranked = nodes[by_rank]
    keep = found.keep[place]
    dup = np.where(found.duplicate_of[place] >= 0, ranked[np.maximum(found.duplicate_of[place], 0)], -1)
    dup_cos = found.cosine[place]
    node_fixed_removed = is_fixed & ~keep

    # Removed representatives (not those decided before), then every copy.
    removed = ~keep & ~node_fixed_removed
    out_ids = [nodes[removed]]
    out_dup = [dup[removed]]
    out_cos = [dup_cos[removed]]
    out_exact = [np.zeros(int(removed.sum()), bool)]
    if len(copy):
        r = _local(nodes, rep)
        kept_rep = keep[r]
        target = np.where(kept_rep, rep, dup[r])
        target_cos = np.where(kept_rep, copy_cos, dup_cos[r])
        fr = node_fixed_removed[r]
        listed = np.ones(len(copy), bool)
        if fr.any():
            assert fixed is not None
            at = fixed.lookup(rep[fr])
            target[fr] = fixed.group[at]
            target_cos[fr] = fixed.cosine[at]
            # A copy of a row removed for a row no longer held: nothing kept is known to be near
            # it, so it is kept (and, as a copy, removes nothing).
            listed[fr] = fixed.group[at] >= 0
        out_ids.append(copy[listed].astype(np.int64))
        out_dup.append(target[listed].astype(np.int64))
        out_cos.append(target_cos[listed])
        out_exact.append(kept_rep[listed])
    return Decision.of(
        np.concatenate(out_ids), np.concatenate(out_dup), np.concatenate(out_cos), np.concatenate(out_exact)
    )


def components(
    near: tuple[np.ndarray, np.ndarray, np.ndarray],
    copies: tuple[np.ndarray, np.ndarray, np.ndarray],
    rank: Rank,
) -> Decision:
    """The connected components of all pairs, each keeping its best-ranked member."""
    a, b, _ = near
    rep, copy, copy_cos = copies
    members, labels = component_labels(
        np.concatenate([np.asarray(a, np.int64), np.asarray(rep, np.int64)]),
        np.concatenate([np.asarray(b, np.int64), np.asarray(copy, np.int64)]),
    )
    if len(members) == 0:
        return Decision.of(*(np.zeros(0, t) for t in (np.int64, np.int64, np.float64, bool)))
    # Copies rank after their representative (it is the best of their vector), so the best
    # member of a component is among the representatives.
    is_copy = np.isin(members, copy)
    order = np.argsort(labels, kind="stable")
    members, labels, is_copy = members[order], labels[order], is_copy[order]
    best = {}
    for label, lo, hi in _runs(labels):
        span = np.arange(lo, hi)
        candidates = span[~is_copy[span]]
        best[label] = members[candidates[rank(members[candidates])[0]]]
    kept_of = np.array([best[label] for label in labels.tolist()], np.int64)
    gone = members != kept_of
    exact = np.zeros(int(gone.sum()), bool)
    if len(copy):
        pair_rep = dict(zip(np.asarray(copy).tolist(), np.asarray(rep).tolist()))
        exact = np.array([pair_rep.get(m) == k for m, k in zip(members[gone].tolist(), kept_of[gone].tolist())])
        del copy_cos
    return Decision.of(members[gone], kept_of[gone], np.full(int(gone.sum()), np.nan), exact)


def _runs(sorted_labels: np.ndarray) -> list[tuple[int, int, int]]:
    edges = np.flatnonzero(np.concatenate([[True], sorted_labels[1:] != sorted_labels[:-1], [True]]))
    return [(int(sorted_labels[lo]), int(lo), int(hi)) for lo, hi in itertools.pairwise(edges)]
