"""The stages that write an index and add to it, each a function of the engine and typed results:

    segments   the representatives of some blocks, laid out by cell, with their copies (create, add)
    in_index   new rows that are exact copies of indexed vectors (add)
    across     pairs between new representatives and indexed ones, found as queries are (add)
    decide_new the new rows decided after the indexed ones, whose decisions stand (add)

The task functions (underscored) run on the engine's workers and read the index through this
process's opened copy; the stage functions run in the caller.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from .. import partition as k
from ..engine.engines import Engine, Handle
from ..pipeline import cell_pairs as cp
from ..pipeline import cells as cl
from ..pipeline import decide
from ..pipeline.exact import Exact
from ..pipeline.group import gather_keys, ranking_of
from ..pipeline.pairs import MAX_PAIRS_PER_TASK, PAIR_META, Pairs, joined, ranker
from ..pipeline.read import Block, Blocks
from ..ranking import KeepRule
from . import files
from . import manifest as im
from . import segments as st
from .matching import match
from .reader import Index, group_changes, opened

SEGMENT_ROWS = 500_000  # representatives per segment, about; a query visits every segment per cell


# --------------------------------------------------------------------------
# segments


def _reps(block: Block, copy_rows: np.ndarray) -> np.ndarray:
    keep = np.ones(len(block.ids), dtype=bool)
    keep[copy_rows] = False
    return keep


def _write_segment(root: Path, name: str, cells: int, *parts: tuple[Any, ...]) -> tuple[im.SegmentEntry | None, int]:
    """One segment from blocks given as (block, copy rows, their representatives, placements of
    the other rows, zero-row ids, rows left out): its manifest entry (None when it would hold
    nothing, and is not written) and the largest id of the blocks (left-out rows included)."""
    ids, unit, prints, placed, c_ids, c_reps, c_unit, c_prints, zeros = ([] for _ in range(9))
    largest = -1
    for block, copy_rows, copy_reps, cells_of, zero_ids, left_out in parts:
        largest = max(largest, int(block.ids.max(initial=-1)), int(zero_ids.max(initial=-1)))
        keep = _reps(block, copy_rows)
        take = keep & ~np.isin(block.ids, left_out)
        ids.append(block.ids[take])
        unit.append(block.unit[take])
        prints.append(block.prints[take])
        placed.append(cells_of[take[keep]])
        held = ~np.isin(block.ids[copy_rows], left_out)
        c_ids.append(block.ids[copy_rows][held])
        c_reps.append(copy_reps[held])
        c_unit.append(block.unit[copy_rows][held])
        c_prints.append(block.prints[copy_rows][held])
        zeros.append(zero_ids[~np.isin(zero_ids, left_out)])
    dim = parts[0][0].unit.shape[1]
    arrays = st.segment_arrays(
        np.concatenate(ids),
        np.concatenate(unit).reshape(-1, dim),
        np.concatenate(prints).reshape(-1, 4),
        np.concatenate(placed).reshape(-1, parts[0][3].shape[1]),
        (
            np.concatenate(c_ids),
            np.concatenate(c_reps),
            np.concatenate(c_unit).reshape(-1, dim),
            np.concatenate(c_prints).reshape(-1, 4),
        ),
        np.concatenate(zeros),
        cells,
    )
    if not (len(arrays["ids"]) or len(arrays["copy_ids"]) or len(arrays["zero_ids"])):
        return None, largest
    return st.write_segment(root, name, arrays), largest


def segments(
    engine: Engine,
    root: Path,
    version: int,
    token: str,
    blocks: Blocks,
    exact: Exact,
    placements: list[Handle],
    layout: cl.Layout,
    rows: list[int],
    left_out: np.ndarray | None = None,
) -> tuple[list[im.SegmentEntry], int]:
    """Writes the blocks' vectors (but `left_out`) as segments of about SEGMENT_ROWS rows each,
    consecutive blocks together; returns their manifest entries in block order (none for a
    segment that would hold nothing) and the largest id of the blocks."""
    none = np.zeros(0, np.int64)
    out = none if left_out is None else np.asarray(left_out, np.int64)
    groups: list[list[int]] = [[]]
    filled = 0
    for i, n in enumerate(rows):
        if groups[-1] and filled + n > SEGMENT_ROWS:
            groups.append([])
            filled = 0
        groups[-1].append(i)
        filled += n
    zero = engine.part(blocks.infos, 0)
    tasks = []
    for s, members in enumerate(groups):
        parts = [
            (blocks.handles[i], exact.copies.get(i, none), exact.reps.get(i, none), placements[i], zero[i], out)
            for i in members
        ]
        tasks.append((root, files.segment_name(version, s, token), layout.cells, *parts))
    written = engine.run("index", _write_segment, tasks)
    engine.wait("index", written)
    done = engine.gather(written)
    return [entry for entry, _ in done if entry is not None], max([largest for _, largest in done], default=-1)


def write_groups(root: Path, version: int, token: str, table: pd.DataFrame) -> im.GroupsEntry | None:
    """The version's group changes, (id, group, keep, cosine) per row, as one file; None when there
    are none."""
    if len(table) == 0:
        return None
    rel = files.groups_name(version, token)
    array = group_changes(table)
    return im.GroupsEntry(rel, files.save_array(root, rel, array), len(array))


# --------------------------------------------------------------------------
# in_index: exact copies of indexed vectors


def find_prints(segments: list[st.Segment], words: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """For fingerprints (n, 4): (which have an equal one in the index, the representative of that
    indexed vector, and the segment and row of the representative's row), by each segment's sorted
    first words."""
    n = len(words)
    hit = np.zeros(n, dtype=bool)
    rep = np.zeros(n, np.int64)
    where = np.full((n, 2), -1, np.int64)
    for s in segments:
        lo = np.searchsorted(s.print_keys, words[:, 0], side="left")
        hi = np.searchsorted(s.print_keys, words[:, 0], side="right")
        for i in np.flatnonzero((hi > lo) & ~hit).tolist():  # the first word alone almost always decides
            for entry in s.print_order[lo[i] : hi[i]].tolist():
                mine = entry < len(s.ids)
                theirs = s.prints[entry] if mine else s.copy_prints[entry - len(s.ids)]
                if np.array_equal(theirs, words[i]):
                    hit[i] = True
                    rep[i] = s.ids[entry] if mine else s.copy_reps[entry - len(s.ids)]
                    break
    # Where the representatives' rows are (a copy's representative may be in another segment).
    wanted = np.unique(rep[hit])
    hits = np.flatnonzero(hit).tolist()
    for at, s in enumerate(segments if hits else ()):
        rows = np.flatnonzero(np.isin(s.ids, wanted))
        found = dict(zip(s.ids[rows].tolist(), rows.tolist()))
        for i in hits:
            r = found.get(int(rep[i]))
            if r is not None:
                where[i] = (at, r)
    if hits and (where[hits, 0] < 0).any():
        missing = int(rep[hits][where[hits, 0] < 0][0])
        raise files.IndexError_(f"the index lists copies of id {missing}, which no segment holds; the index is damaged")
    return hit, rep, where[:, 0], where[:, 1]


def _in_index(block: Block, copy_rows: np.ndarray, root: str, version: int) -> tuple[np.ndarray, ...]:
    """(rows, representative ids, exact cosines) of the block's representatives that are exact
    copies of indexed vectors."""
    import ambrel_batch as ab

    index = opened(root, version)
    segs = index.segments
    rows = np.flatnonzero(_reps(block, copy_rows))
    hit, rep, seg, row = find_prints(segs, block.prints[rows])
    hit &= ~k.in_sorted(rep, index.removed)  # a removed vector is no longer there to copy
    rows, rep, seg, row = rows[hit], rep[hit], seg[hit], row[hit]
    if len(rows) == 0:
        return rows, np.zeros(0, np.int64), np.zeros(0)
    theirs = np.stack([segs[k].unit[r] for k, r in zip(seg.tolist(), row.tolist())])
    n = len(rows)
    cos = ab.cosine_pairs(np.concatenate([block.unit[rows], theirs]), np.arange(n), np.arange(n, 2 * n), threads=1)
    return rows, rep, cos


def in_index(engine: Engine, blocks: Blocks, exact: Exact, root: Path, version: int) -> Exact:
    """The exact copies with those of indexed vectors added: each new representative whose
    fingerprint an indexed vector has becomes a copy of that vector's representative, and so do
    its own copies."""
    none = np.zeros(0, np.int64)
    args = [(b, exact.copies.get(i, none), str(root), version) for i, b in enumerate(blocks.handles)]
    found = engine.gather(engine.run("exact", _in_index, args))
    new_rep = {}  # new representative -> indexed representative
    extra = []
    copies, reps = dict(exact.copies), dict(exact.reps)
    ids = engine.gather(engine.run("exact", _block_ids, [(b, f[0]) for b, f in zip(blocks.handles, found)]))
    for i, ((rows, theirs, cos), mine) in enumerate(zip(found, ids)):
        if len(rows) == 0:
            continue
        new_rep.update(zip(mine.tolist(), theirs.tolist()))
        extra.append(pd.DataFrame({"id_a": theirs, "id_b": mine, "cosine": cos}))
        merged = np.concatenate([copies.get(i, none), rows])
        order = np.argsort(merged, kind="stable")
        copies[i] = merged[order]
        reps[i] = np.concatenate([reps.get(i, none), theirs])[order]
    if not extra:
        return exact
    # Copies of a new representative that is itself a copy now belong to the indexed one.
    for i in reps:
        reps[i] = np.array([new_rep.get(r, r) for r in reps[i].tolist()], np.int64)
    pairs = pd.concat([exact.pairs, *extra], ignore_index=True)
    return Exact(pairs, copies, reps)


def _block_ids(block: Block, rows: np.ndarray) -> np.ndarray:
    return block.ids[rows]


# --------------------------------------------------------------------------
# across: pairs between new and indexed representatives


def _across(
    group: int, groups: int, root: str, version: int, threshold: float, max_pairs: int, *pieces: tuple[Any, ...]
) -> tuple[pd.DataFrame, tuple[int, int], pd.DataFrame]:
    """The pairs between the new representatives placed in one group of cells and the indexed
    vectors, each reported by the smallest cell where the two meet (when it is in this group)."""
    index = opened(root, version)
    ids, rows, cells_of, _ = joined(pieces, index.dim, index.layout.max_cells)
    only = np.arange(index.layout.cells) % groups == group
    found = index.live(
        match(index.segments, None, rows, cells_of, threshold, only=only, max_pairs=max_pairs), promote=True
    )
    mine, theirs = ids[found.row], found.id
    out = pd.DataFrame({"id_a": np.minimum(mine, theirs), "id_b": np.maximum(mine, theirs), "cosine": found.cosine})
    members, labels = k.component_labels(out.id_a.to_numpy(), out.id_b.to_numpy())
    linked = members != labels
    stars = pd.DataFrame({"id_a": labels[linked], "id_b": members[linked]})
    return out, (len(out), int(not found.complete)), stars


def within(
    group: int, groups: int, layout: cl.Layout, max_pairs: int, rule: KeepRule, *pieces: tuple[Any, ...]
) -> tuple[pd.DataFrame, tuple[int, int, int], pd.DataFrame]:
    """A task of the pairs stage for an add: the pairs among the new representatives placed in one
    group of cells, found as the pairs with indexed vectors are (the rows laid out by cell in
    memory, scanned by the batch engine), each once, by the smallest cell where the two meet."""
    ids, rows, cells_of, keys = joined(pieces, layout.centroids.shape[1], layout.max_cells)
    none = np.zeros(0, np.int64)
    no_copies = (none, none, np.zeros((0, rows.shape[1]), np.float32), np.zeros((0, 4), np.uint64))
    arrays = st.segment_arrays(ids, rows, np.zeros((len(ids), 4), np.uint64), cells_of, no_copies, none, layout.cells)
    segment = st.Segment("new", **arrays)
    only = np.arange(layout.cells) % groups == group
    found = match([segment], None, rows, cells_of, layout.threshold, only=only, max_pairs=max_pairs)
    dense = 0
    if found.complete:
        a, b = ids[found.row], found.id
        keep = a < b  # each pair is found from both sides, and every row finds itself
        out = pd.DataFrame({"id_a": a[keep], "id_b": b[keep], "cosine": found.cosine[keep]})
    else:  # dense cells: as a run lists their pairs
        cells = np.arange(group, layout.cells, groups)
        pairs = cp.pairs_in_cells(cells, ids, rows, cells_of, layout.threshold, max_pairs, ranker(rule, ids, keys))
        out = pd.DataFrame({"id_a": pairs.a, "id_b": pairs.b, "cosine": pairs.cosine})
        dense = pairs.incomplete
    members, labels = k.component_labels(out.id_a.to_numpy(), out.id_b.to_numpy())
    linked = members != labels
    stars = pd.DataFrame({"id_a": labels[linked], "id_b": members[linked]})
    return out, (len(out), dense, len(stars)), stars


@dataclass
class Across:
    handles: list[Handle]
    count: int
    incomplete: int
    stars: list[Handle]


def across(engine: Engine, found: Pairs, root: Path, version: int, threshold: float) -> Across:
    """Pairs between the new representatives and the indexed ones, one task per group of cells
    (the groups of the pairs among the new rows, whose pieces it reuses): each cell's indexed
    vectors are read once."""
    groups = len(found.pieces)
    args = [(g, groups, str(root), version, threshold, MAX_PAIRS_PER_TASK, *found.pieces[g]) for g in range(groups)]
    tasks = engine.run("across", _across, args)
    engine.wait("across", tasks)
    stats = engine.gather(engine.part(tasks, 1))
    return Across(engine.part(tasks, 0), sum(s[0] for s in stats), sum(s[1] for s in stats), engine.part(tasks, 2))


# --------------------------------------------------------------------------
# decide: the new rows, after the indexed ones


def decide_new(
    engine: Engine, blocks: Blocks, exact: Exact, found: Pairs, met: Across, index: Index, rule: KeepRule
) -> decide.Decision:
    """The greedy rule with the indexed rows first: their decisions stand (an indexed kept row stays
    kept, a removed one stays removed and removes nothing), and every new row is removed if and
    only if a kept row, indexed or new and ranked before it, is at the threshold. The pairs are
    gathered here."""
    near = pd.concat([PAIR_META, *engine.gather([*found.handles, *met.handles])], ignore_index=True)
    edges = (near.id_a.to_numpy(np.int64), near.id_b.to_numpy(np.int64), near.cosine.to_numpy(np.float64))
    pairs = exact.pairs
    copies = (pairs.id_a.to_numpy(np.int64), pairs.id_b.to_numpy(np.int64), pairs.cosine.to_numpy(np.float64))
    nodes = np.unique(np.concatenate([edges[0], edges[1], copies[0]]))
    held = index.all_ids()
    indexed = nodes[k.in_sorted(nodes, held)]
    keys = None
    if not rule.by_id:
        keys = gather_keys(engine, blocks, np.setdiff1d(nodes, indexed, assume_unique=True))
    return decide.greedy(edges, copies, ranking_of(rule, keys), index.groups().fixed(indexed, held))
