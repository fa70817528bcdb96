"""The cells stage: cells trained on a sample of the representatives, the margin chosen on a
held-out part (`cells.Layout`); the sample of the smallest sample keys, for any partitioning."""

from __future__ import annotations

import numpy as np

from ..engine.engines import Engine
from . import cells as cl
from .exact import Exact
from .read import SAMPLE_BYTES, Block, Blocks


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
