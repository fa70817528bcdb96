"""The recheck stage: a second layout over the kept rows, for the pairs the first missed between
two of them; then the rows a decision taken again keeps, against every kept row exactly."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .. import partition as k
from ..engine.engines import Engine
from ..ranking import KeepRule
from . import cells as cl
from .exact import EXACT_META, Exact
from .fit import sample_rows_of, sample_size
from .pairs import PAIR_META, Pairs, pairs
from .read import Block, Blocks

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
