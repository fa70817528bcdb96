"""The index on disk, and its segments.

    IDX/
      .ambrel-dedup          marker: a directory this tool wrote (input discovery never enters it)
      manifest.json          the versions (`manifest`); replaced by an atomic rename, never edited
      layout.npy             the cells' centroids, fixed when the index was created
      data/seg-*/            one segment per writing task: the vectors it holds, laid out by cell
      data/groups-*.npy      per version: (id, group, keep) of every id whose group changed
      .lock                  held (flock) by the one process adding to or vacuuming the index

Every file below IDX is reached through `files`, never through a symbolic link.

A segment holds, for its representatives sorted by (own cell, id): `ids`, the normalised float32
rows `unit` and their float64 `norms`, the fingerprint words `prints`, the cells of each row `cells`, `cell_starts` (where
each cell's owners begin), and the rows that visit each cell (`visit_rows` by `visit_starts`). A
query reads a cell's owners as one slice and its visitors by index; the rows are memory-mapped,
so it reads only the cells it needs. Exact copies of a representative are held apart
(`copy_ids`, `copy_reps`, `copy_unit`, `copy_prints`, sorted by representative), the first
fingerprint words of both sorted (`print_keys`, with `print_order` saying whose each is), and the
ids of zero rows in `zero_ids`.

Opening a version checks that every file it lists exists with its recorded size and a readable
header; `verify` also checks every file's SHA-256.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ..files.outputs import MARKER
from . import files
from .files import DATA, LAYOUT, IndexError_
from .manifest import LOCK, MANIFEST, SEGMENT_ARRAYS, Manifest, SegmentEntry, Version

ENTRIES = frozenset({MARKER, MANIFEST, LAYOUT, DATA, LOCK})

# --------------------------------------------------------------------------
# segments


def cell_layout(own: np.ndarray, cells: int) -> np.ndarray:
    """Where each cell's rows begin in rows sorted by cell: `cells + 1` offsets."""
    starts = np.zeros(cells + 1, np.int64)
    np.cumsum(np.bincount(own, minlength=cells), out=starts[1:])
    return starts


def segment_arrays(
    ids: np.ndarray,
    unit: np.ndarray,
    prints: np.ndarray,
    cells_of: np.ndarray,
    copies: tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray],
    zero_ids: np.ndarray,
    cells: int,
) -> dict[str, np.ndarray]:
    """The arrays of one segment, from its representatives (any order) and their placements,
    and its exact copies (ids, representative ids, unit rows, prints)."""
    own = cells_of[:, 0].astype(np.int64) if len(ids) else np.zeros(0, np.int64)
    order = np.lexsort((ids, own))
    cells_of = cells_of[order]
    visit_row, visit_slot = np.nonzero(cells_of[:, 1:] >= 0)
    visit_cell = cells_of[visit_row, 1 + visit_slot].astype(np.int64)
    by_cell = np.lexsort((visit_row, visit_cell))
    copy_ids, copy_reps, copy_unit, copy_prints = copies
    by_rep = np.lexsort((copy_ids, copy_reps))
    rows = np.ascontiguousarray(unit[order], dtype=np.float32)
    return {
        "ids": ids[order].astype(np.int64),
        "unit": rows,
        "norms": row_norms(rows),
        "prints": np.ascontiguousarray(prints[order], dtype=np.uint64),
        "cells": np.ascontiguousarray(cells_of, dtype=np.int32),
        "cell_starts": cell_layout(own[order], cells),
        "visit_rows": visit_row[by_cell].astype(np.int64),
        "visit_starts": cell_layout(visit_cell, cells),
        "copy_ids": copy_ids[by_rep].astype(np.int64),
        "copy_reps": copy_reps[by_rep].astype(np.int64),
        "copy_unit": np.ascontiguousarray(copy_unit[by_rep], dtype=np.float32),
        "copy_prints": np.ascontiguousarray(copy_prints[by_rep], dtype=np.uint64),
        **print_lookup(prints[order], copy_prints[by_rep]),
        "zero_ids": np.sort(zero_ids.astype(np.int64)),
    }


def print_lookup(prints: np.ndarray, copy_prints: np.ndarray) -> dict[str, np.ndarray]:
    """The first fingerprint words of a segment's representatives and copies, sorted (`print_keys`),
    and which entry each is (`print_order`: a representative's row, or the representatives' count
    plus a copy's row)."""
    first = np.concatenate([prints[:, 0], copy_prints[:, 0]]).astype(np.uint64)
    order = np.argsort(first, kind="stable")
    return {"print_keys": first[order], "print_order": order.astype(np.int64)}


def row_norms(rows: np.ndarray, chunk: int = 65536) -> np.ndarray:
    """Euclidean norms of float32 rows, in float64 (a few units in the last place: queries bound
    their error), a chunk at a time."""
    out = np.empty(len(rows))
    for lo in range(0, len(rows), chunk):
        x = rows[lo : lo + chunk].astype(np.float64)
        out[lo : lo + chunk] = np.sqrt(np.einsum("ij,ij->i", x, x))
    return out


def write_segment(root: Path, name: str, arrays: dict[str, np.ndarray]) -> SegmentEntry:
    """Writes a segment's files under root/data/name (synced) and returns its manifest entry."""
    folder = f"{DATA}/{name}"
    files.make_directory(root, folder)
    records = {key: files.save_array(root, f"{folder}/{key}.npy", arrays[key]) for key in SEGMENT_ARRAYS}
    files.sync_directory(root, folder)
    return SegmentEntry(name, len(arrays["ids"]), len(arrays["copy_ids"]), len(arrays["zero_ids"]), records)


@dataclass
class Segment:
    """One segment's arrays, memory-mapped: what a query does not touch is never read."""

    name: str
    ids: np.ndarray
    unit: np.ndarray
    norms: np.ndarray
    prints: np.ndarray
    cells: np.ndarray
    cell_starts: np.ndarray
    visit_rows: np.ndarray
    visit_starts: np.ndarray
    copy_ids: np.ndarray
    copy_reps: np.ndarray
    copy_unit: np.ndarray
    copy_prints: np.ndarray
    print_keys: np.ndarray
    print_order: np.ndarray
    zero_ids: np.ndarray

    def all_ids(self) -> np.ndarray:
        return np.concatenate([self.ids, self.copy_ids, self.zero_ids])

    @functools.cached_property
    def norm_range(self) -> tuple[float, float]:
        """The smallest and largest row norm (1, 1 for no rows)."""
        return (float(self.norms.min()), float(self.norms.max())) if len(self.norms) else (1.0, 1.0)


def load_segment(root: Path, entry: SegmentEntry, verify: bool = False) -> Segment:
    arrays = {
        key: files.load_array(root, entry.path(key), entry.files[key], verify, mmap=True) for key in SEGMENT_ARRAYS
    }
    return Segment(entry.name, **arrays)


def check_segment(root: Path, seg: Segment, cells: int, max_cells: int, dim: int) -> None:
    """That the segment's arrays fit together and the layout, so that no damaged array makes a query
    read out of range: its size and the offsets, row and cell numbers it holds."""
    n, copies = len(seg.ids), len(seg.copy_ids)

    def offsets(a: np.ndarray, total: int) -> bool:
        return len(a) == cells + 1 and a[0] == 0 and a[-1] == total and bool((np.diff(a) >= 0).all())

    fine = (
        seg.unit.shape == (n, dim)
        and seg.norms.shape == (n,)
        and seg.prints.shape == (n, 4)
        and seg.cells.shape == (n, max_cells)
        and seg.copy_unit.shape == (copies, dim)
        and seg.copy_reps.shape == (copies,)
        and seg.copy_prints.shape == (copies, 4)
        and seg.print_keys.shape == seg.print_order.shape == (n + copies,)
        and offsets(seg.cell_starts, n)
        and offsets(seg.visit_starts, len(seg.visit_rows))
        and (
            n == 0 or (int(seg.cells.min()) >= -1 and int(seg.cells.max()) < cells and int(seg.cells[:, 0].min()) >= 0)
        )
        and (len(seg.visit_rows) == 0 or (int(seg.visit_rows.min()) >= 0 and int(seg.visit_rows.max()) < n))
        and (n + copies == 0 or (int(seg.print_order.min()) >= 0 and int(seg.print_order.max()) < n + copies))
    )
    if not fine:
        raise IndexError_(
            f"{root / DATA / seg.name}: its arrays do not fit together or the layout; the index is damaged"
        )


def size_on_disk(manifest: Manifest, version: Version) -> int:
    total = manifest.layout.size
    for seg in version.segments:
        total += sum(rec.size for rec in seg.files.values())
    total += sum(g.record.size for g in version.groups)
    return int(total)
