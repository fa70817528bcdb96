"""The index on disk: immutable data files and a manifest replaced in one step.

    IDX/
      .ambrel-dedup          marker: a directory this tool wrote (input discovery never enters it)
      manifest.json          the versions; replaced by an atomic rename, never edited in place
      layout.npy             the cells' centroids, fixed when the index was created
      data/seg-*/            one segment per writing task: the vectors it holds, laid out by cell
      data/groups-*.npy      per version: (id, group, keep) of every id whose group changed
      .lock                  held (flock) by the one process adding to or vacuuming the index

A segment holds, for its representatives sorted by (own cell, id): `ids`, the normalised float32
rows `unit` and their float64 `norms`, the fingerprint words `prints`, the cells of each row `cells`, `cell_starts` (where
each cell's owners begin), and the rows that visit each cell (`visit_rows` by `visit_starts`). A
query reads a cell's owners as one slice and its visitors by index; the rows are memory-mapped,
so it reads only the cells it needs. Exact copies of a representative are held apart
(`copy_ids`, `copy_reps`, `copy_unit`, `copy_prints`, sorted by representative), the first
fingerprint words of both sorted (`print_keys`, with `print_order` saying whose each is), and the
ids of zero rows in `zero_ids`.

The manifest lists, per version, every file that version reads with its size and SHA-256. A
writer writes and syncs every new file first, then the new manifest beside the old one, then
renames it over: a reader sees the whole old version or the whole new one, and a writer killed
at any point leaves the old version intact (its unreferenced files are removed by `vacuum`).
Opening a version checks that every file it lists exists with its recorded size and a readable
header; `verify` also checks every file's SHA-256.
"""

from __future__ import annotations

import contextlib
import fcntl
import functools
import hashlib
import json
import os
import re
import shutil
import time
import uuid
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .errors import DedupError
from .output import MARKER, TOOL

KIND = "index"
FORMAT = 1
MANIFEST = "manifest.json"
LAYOUT = "layout.npy"
DATA = "data"
LOCK = ".lock"
ENTRIES = frozenset({MARKER, MANIFEST, LAYOUT, DATA, LOCK})

SEGMENT_ARRAYS = (
    "ids",
    "unit",
    "norms",
    "prints",
    "cells",
    "cell_starts",
    "visit_rows",
    "visit_starts",
    "copy_ids",
    "copy_reps",
    "copy_unit",
    "copy_prints",
    "print_keys",
    "print_order",
    "zero_ids",
)
_HASHED_AT_OPEN = 64 << 20  # files up to this size are hashed whenever a version is opened
# The names a writer gives what it puts under data/ and beside the manifest: vacuum removes
# nothing else, whatever else someone puts there.
_WRITTEN = re.compile(r"seg-\d{6}-\d{4}-[0-9a-f]{8}|groups-\d{6}-[0-9a-f]{8}\.npy")
_STALE_MANIFEST = re.compile(rf"\.{re.escape(MANIFEST)}\.tmp-[0-9a-f]{{10}}")


def segment_name(version: int, number: int, token: str) -> str:
    return f"seg-{version:06d}-{number:04d}-{token}"


def groups_name(version: int) -> str:
    return f"groups-{version:06d}-{os.urandom(4).hex()}.npy"


class IndexError_(DedupError):
    """An index that cannot be used as it is: the message names its path."""


def fsync_path(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def file_digest(path: Path) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def save_array(path: Path, array: np.ndarray) -> tuple[int, str]:
    """Writes one .npy file, synced; returns its (size, sha256)."""
    with open(path, "xb") as f:
        np.save(f, np.ascontiguousarray(array), allow_pickle=False)
        f.flush()
        os.fsync(f.fileno())
    return path.stat().st_size, file_digest(path)


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


def write_segment(root: Path, name: str, arrays: dict[str, np.ndarray]) -> dict[str, Any]:
    """Writes a segment's files under root/data/name (synced) and returns its manifest entry."""
    folder = root / DATA / name
    folder.mkdir(parents=True)
    files = {}
    for key in SEGMENT_ARRAYS:
        size, digest = save_array(folder / f"{key}.npy", arrays[key])
        files[f"{DATA}/{name}/{key}.npy"] = [size, digest]
    fsync_path(folder)
    return {
        "name": name,
        "vectors": len(arrays["ids"]),
        "copies": len(arrays["copy_ids"]),
        "zero_rows": len(arrays["zero_ids"]),
        "files": files,
    }


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


def load_array(root: Path, rel: str, record: list[Any], verify: bool, mmap: bool) -> np.ndarray:
    path = root / rel
    try:
        size = path.stat().st_size
    except FileNotFoundError:
        raise IndexError_(f"{path}: missing (the index lists it); the index is damaged") from None
    if size != record[0]:
        raise IndexError_(f"{path}: {size:,} bytes, the index recorded {record[0]:,}; the index is damaged")
    if (verify or size <= _HASHED_AT_OPEN) and file_digest(path) != record[1]:
        raise IndexError_(f"{path}: its contents differ from what the index recorded (SHA-256); the index is damaged")
    try:
        array = np.load(path, mmap_mode="r" if mmap else None, allow_pickle=False)
        # A plain view of the mapping: indexing a np.memmap costs far more than indexing an array.
        return array.view(np.ndarray) if mmap else array
    except (OSError, ValueError) as exc:
        raise IndexError_(f"{path}: cannot be read as an array ({exc}); the index is damaged") from None


def load_segment(root: Path, entry: dict[str, Any], verify: bool = False) -> Segment:
    name = entry["name"]
    files = entry["files"]
    arrays = {}
    for key in SEGMENT_ARRAYS:
        rel = f"{DATA}/{name}/{key}.npy"
        if rel not in files:
            raise IndexError_(f"{root / MANIFEST}: segment {name} lists no {key}.npy; the index is damaged")
        arrays[key] = load_array(root, rel, files[rel], verify, mmap=True)
    return Segment(name, **arrays)


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


# --------------------------------------------------------------------------
# the manifest


def read_manifest(root: Path) -> dict[str, Any]:
    """The manifest of an index at root, checked for being one this version of the tool reads."""
    path = root / MANIFEST
    if not root.is_dir():
        what = "no such directory" if not os.path.lexists(root) else "not a directory"
        raise IndexError_(f"{root}: {what}; not an index")
    try:
        text = path.read_text()
    except FileNotFoundError:
        raise IndexError_(f"{root}: not an {TOOL} index (no {MANIFEST})") from None
    except OSError as exc:
        raise IndexError_(f"{path}: cannot be read: {exc.strerror or exc}") from None
    try:
        manifest = json.loads(text)
    except ValueError:
        raise IndexError_(f"{path}: not valid JSON; the index is damaged") from None
    if not isinstance(manifest, dict) or manifest.get("tool") != TOOL or manifest.get("kind") != KIND:
        raise IndexError_(f"{root}: not an {TOOL} index ({MANIFEST} is not one of its manifests)")
    fmt = manifest.get("format")
    if not isinstance(fmt, int):
        raise IndexError_(f"{path}: no format version; the index is damaged")
    if fmt > FORMAT:
        raise IndexError_(
            f"{root}: index format {fmt} is newer than this {TOOL} reads ({FORMAT}); upgrade ambrel-native"
        )
    try:
        versions = manifest["versions"]
        manifest["parameters"]["dim"], manifest["parameters"]["threshold"]
        if not versions or versions[-1]["version"] != manifest["version"]:
            raise KeyError("version")
    except (KeyError, TypeError, IndexError):
        raise IndexError_(f"{path}: incomplete manifest; the index is damaged") from None
    return manifest


def find_version(manifest: dict[str, Any], root: Path, version: int | None) -> dict[str, Any]:
    if version is None:
        return manifest["versions"][-1]
    for entry in manifest["versions"]:
        if entry["version"] == version:
            return entry
    kept = ", ".join(str(v["version"]) for v in manifest["versions"])
    raise IndexError_(f"{root}: no version {version} (versions held: {kept})")


def publish(root: Path, manifest: dict[str, Any]) -> None:
    """Replaces the manifest in one step: written and synced beside it, then renamed over it."""
    tmp = root / f".{MANIFEST}.tmp-{os.urandom(5).hex()}"  # _STALE_MANIFEST
    try:
        with open(tmp, "x") as f:
            f.write(json.dumps(manifest, indent=1) + "\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, root / MANIFEST)
    except BaseException:
        with contextlib.suppress(OSError):
            tmp.unlink()
        raise
    fsync_path(root)


def new_manifest(parameters: dict[str, Any], layout_record: list[Any]) -> dict[str, Any]:
    return {
        "tool": TOOL,
        "kind": KIND,
        "format": FORMAT,
        "id": uuid.uuid4().hex,  # tells this index from one created later at the same path
        "parameters": parameters,
        "layout": layout_record,
        "version": 0,
        "versions": [],
    }


def next_version(
    manifest: dict[str, Any],
    segments: list[dict[str, Any]],
    groups: dict[str, Any] | None,
    summary: dict[str, Any],
    next_id: int,
) -> dict[str, Any]:
    """The manifest with one more version: the previous version's files plus these. `next_id` is
    above every id the index has seen, held or left out (`.npy` rows of a later add start there)."""
    out = dict(manifest)
    previous = manifest["versions"][-1] if manifest["versions"] else {"segments": [], "groups": []}
    number = manifest["version"] + 1
    entry = {
        "version": number,
        "created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        "segments": [*previous["segments"], *segments],
        "groups": [*previous["groups"], *([groups] if groups else [])],
        "summary": summary,
        "next_id": max(next_id, int(previous.get("next_id", 0))),
    }
    out["versions"] = [*manifest["versions"], entry]
    out["version"] = number
    return out


# --------------------------------------------------------------------------
# the writer's lock


@contextlib.contextmanager
def writer_lock(root: Path) -> Iterator[None]:
    """Held by the one process changing the index; another one fails at once, naming the index."""
    path = root / LOCK
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o644)
    except OSError as exc:
        raise IndexError_(f"{root}: cannot take the index's lock: {exc.strerror or exc}") from None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise IndexError_(
                f"{root}: another process is adding to or vacuuming this index; try again when it has finished"
            ) from None
        yield
    finally:
        os.close(fd)


# --------------------------------------------------------------------------
# vacuum


def referenced(manifest: dict[str, Any]) -> set[str]:
    """The top-level names under data/ that some version listed in the manifest reads."""
    names = set()
    for entry in manifest["versions"]:
        names.update(seg["name"] for seg in entry["segments"])
        names.update(Path(g["file"]).name for g in entry["groups"])
    return names


def vacuum(root: Path, keep: int) -> dict[str, int]:
    """Keeps the newest `keep` versions, then removes what a writer wrote under data/ that no kept
    version reads (the files of removed versions and what a killed writer left) and any manifest
    a killed writer left beside the real one; nothing of another name. Holds the writer's lock."""
    if keep < 1:
        raise ValueError(f"keep must be at least 1, got {keep}")
    read_manifest(root)  # nothing is created in a directory that is no index
    with writer_lock(root):
        manifest = read_manifest(root)
        dropped = max(0, len(manifest["versions"]) - keep)
        if dropped:
            manifest = dict(manifest, versions=manifest["versions"][dropped:])
            publish(root, manifest)
        used = referenced(manifest)
        removed, freed = 0, 0
        if not (root / DATA).is_dir():
            raise IndexError_(f"{root / DATA}: missing; the index is damaged")
        stale = [e for e in os.scandir(root) if _STALE_MANIFEST.fullmatch(e.name) and e.is_file(follow_symlinks=False)]
        ours = [e for e in os.scandir(root / DATA) if _WRITTEN.fullmatch(e.name) and not e.is_symlink()]
        for entry in [*ours, *stale]:
            if entry.name in used:
                continue
            path = Path(entry.path)
            size = _tree_size(path)
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(path)
            else:
                path.unlink()
            removed += 1
            freed += size
        return {"versions_removed": dropped, "entries_removed": removed, "bytes_freed": freed}


def _tree_size(path: Path) -> int:
    if path.is_file():
        return path.stat().st_size
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def size_on_disk(root: Path, manifest: dict[str, Any], version: dict[str, Any]) -> int:
    total = manifest["layout"][0]
    for seg in version["segments"]:
        total += sum(rec[0] for rec in seg["files"].values())
    total += sum(g["size"] for g in version["groups"])
    return int(total)
