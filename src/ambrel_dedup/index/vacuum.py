"""Vacuum: the newest versions kept, and what no kept version reads removed, only when that is proven.

Under the writer's lock, vacuum first opens the newest version with every file's SHA-256 checked
(each version lists the files of the ones before it, so this verifies every version kept); a
damaged index is refused and nothing is removed. It then drops the older versions from the
manifest and looks at `data/` and beside the manifest for the names writers give, and only those:

- a segment folder or group-changes file some kept version lists stays;
- one a compaction wrote anew (named as superseded by a version this vacuum read, one it drops
  included) that no kept version lists is removed;
- one whose writer's token is that of a published file stays too (the manifest should have listed
  it: it is kept, not guessed about);
- one whose version is past the newest, or whose version is held under another writer's token,
  was left by a writer killed before it published: it is removed;
- anything else stays (nothing proves it unused).

Removal goes through descriptors opened from the index's directory without following links: a
symbolic link is never followed or removed, only regular files of the names a segment holds are
unlinked, and a segment folder holding anything else is left with that in it.
"""

from __future__ import annotations

import os
import re
import stat
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .. import partition as k
from . import segments as st
from .files import (
    DATA,
    GROUPS_NAME,
    REMOVED_NAME,
    SEGMENT_NAME,
    IndexError_,
    check_no_mounts,
    directory,
    segment_name,
    sync_directory,
)
from .manifest import (
    SEGMENT_ARRAYS,
    STALE_MANIFEST,
    Manifest,
    keep_newest,
    next_version,
    publish,
    read_manifest,
    writer_lock,
)

_SEGMENT_FILES = frozenset(f"{key}.npy" for key in SEGMENT_ARRAYS)


@dataclass
class Vacuumed:
    versions_removed: int = 0
    entries_removed: int = 0
    bytes_freed: int = 0
    entries_kept: int = 0  # names of ours that nothing proves unused
    compacted_ids: int = 0  # removed ids whose rows were left out of segments written anew

    def as_dict(self) -> dict[str, int]:
        return dict(self.__dict__)


def _ours(name: str) -> re.Match[str] | None:
    return SEGMENT_NAME.fullmatch(name) or GROUPS_NAME.fullmatch(name) or REMOVED_NAME.fullmatch(name)


def _provably_unused(name: str, manifest: Manifest, superseded: set[str]) -> bool:
    """Whether nothing can read `name` under data/: `manifest` holds the versions kept, `superseded`
    the names that any version read before the old ones were dropped records as written anew."""
    found = _ours(name)
    if found is None or name in manifest.newest.names():
        return False
    listed = set().union(*(v.names() for v in manifest.versions))
    if name not in listed and name in superseded:
        # Written anew by a compaction. Only versions before the compacting one list it, and a
        # version is dropped only with all those before it: a name superseded by a dropped
        # version is listed by no kept one either.
        return True
    version, token = int(found["version"]), found["token"]
    published = set().union(*(v.tokens() for v in manifest.versions))
    if token in published:
        return False
    if version > manifest.version:
        return True
    held = {v.version: v for v in manifest.versions}.get(version)
    return held is not None and bool(held.tokens())  # the version is held, written under another token


def _regular_size(folder: int, name: str) -> int | None:
    info = os.stat(name, dir_fd=folder, follow_symlinks=False)
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _remove_segment(data: int, name: str) -> tuple[int, bool]:
    """Unlinks a segment folder's files of a segment's names, then the folder if it is empty."""
    freed = 0
    try:
        fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=data)
    except OSError:
        return 0, False  # a link or no folder: not ours to touch
    try:
        for entry in list(os.scandir(fd)):
            if entry.name in _SEGMENT_FILES:
                size = _regular_size(fd, entry.name)
                if size is not None:
                    os.unlink(entry.name, dir_fd=fd)
                    freed += size
    finally:
        os.close(fd)
    try:
        os.rmdir(name, dir_fd=data)
    except OSError:
        return freed, False  # it holds something else
    return freed, True


def vacuum(root: Path, keep: int) -> dict[str, int]:
    """Keeps the newest `keep` versions, then removes what a writer wrote that is proven unused (see
    the module's text). Holds the writer's lock. The index's directory is held open from the start
    and everything is removed through it: an index moved or replaced at its path meanwhile is
    refused, never emptied with another's manifest."""
    from .reader import Index

    if keep < 1:
        raise ValueError(f"keep must be at least 1, got {keep}")
    read_manifest(root)  # nothing is created in a directory that is no index
    done = Vacuumed()
    with writer_lock(root), directory(root) as top:
        check_no_mounts(root, "vacuum removes")
        manifest = read_manifest(root)
        checked = Index(root, manifest, manifest.newest, verify=True)
        checked.groups()  # every kept file whole, or nothing removed
        if len(checked.removed):
            _still(top, root, manifest)
            manifest = _compact(root, manifest, checked)
            done.compacted_ids = len(checked.removed)
        superseded = set().union(*(v.superseded for v in manifest.versions))
        done.versions_removed = max(0, len(manifest.versions) - keep)
        if done.versions_removed:
            _still(top, root, manifest)
            manifest = keep_newest(manifest, keep)
            publish(root, manifest)
        _still(top, root, manifest)
        with directory(root, DATA, at=top) as data:
            for entry in list(os.scandir(data)):
                if not _ours(entry.name):
                    continue
                if not _provably_unused(entry.name, manifest, superseded):
                    done.entries_kept += entry.name not in manifest.newest.names()
                    continue
                if SEGMENT_NAME.fullmatch(entry.name):
                    freed, removed = _remove_segment(data, entry.name)
                else:
                    size = _regular_size(data, entry.name)
                    removed = size is not None
                    freed = size or 0
                    if removed:
                        os.unlink(entry.name, dir_fd=data)
                done.bytes_freed += freed
                done.entries_removed += removed
                done.entries_kept += not removed
        for entry in list(os.scandir(top)):
            if STALE_MANIFEST.fullmatch(entry.name):
                size = _regular_size(top, entry.name)
                if size is not None:
                    os.unlink(entry.name, dir_fd=top)
                    done.entries_removed += 1
                    done.bytes_freed += size
    return done.as_dict()


def _compact(root: Path, manifest: Manifest, index: Any) -> Manifest:
    """A new version whose segments hold no removed id: every segment holding one, or a copy of a
    removed representative, written anew without them (the copy that stood for a removed
    representative, `Index.promoted`, takes its place; the other copies follow it), the segments
    and the removed-id files it replaces named as superseded. Published; returned."""
    token = os.urandom(4).hex()
    number = manifest.version + 1
    removed = index.removed
    reps, standing = index.promoted()
    # The cells of each removed representative that a copy stands for, from whichever segment holds it.
    cells = np.zeros((len(reps), index.layout.max_cells), np.int32)
    for seg in index.segments:
        mine = k.in_sorted(seg.ids, reps)
        if mine.any():
            cells[np.searchsorted(reps, seg.ids[mine])] = seg.cells[mine]
    written, gone = [], [g.name for g in manifest.newest.removed]
    for entry, seg in zip(manifest.newest.segments, index.segments):
        if not (k.in_sorted(seg.all_ids(), removed).any() or k.in_sorted(seg.copy_reps, removed).any()):
            continue
        arrays = _without(seg, removed, (reps, standing, cells), index.layout.cells)
        gone.append(entry.name)
        if any(len(arrays[kind]) for kind in ("ids", "copy_ids", "zero_ids")):  # a segment of copies alone too
            written.append(st.write_segment(root, segment_name(number, len(written), token), arrays))
    sync_directory(root, DATA)
    summary = {"added": sum(e.ids for e in written), "groups": 0, "compacted": len(removed)}
    newer = next_version(manifest, written, None, summary, manifest.newest.next_id, token, superseded=tuple(gone))
    publish(root, newer)
    return newer


def _without(seg: Any, removed: np.ndarray, promoted: tuple[np.ndarray, ...], cells: int) -> dict[str, np.ndarray]:
    """A segment's arrays without the removed ids; its copies of a removed representative follow
    the copy that stands for it (`promoted`: the representatives, that copy, their cells), which
    becomes a representative here if this segment holds it."""
    reps, standing, rep_cells = promoted
    rep_kept = ~k.in_sorted(seg.ids, removed)
    copy_kept = ~k.in_sorted(seg.copy_ids, removed)
    ids, unit, prints, cells_of = seg.ids[rep_kept], seg.unit[rep_kept], seg.prints[rep_kept], seg.cells[rep_kept]
    c_ids, c_reps = seg.copy_ids[copy_kept], seg.copy_reps[copy_kept]
    c_unit, c_prints = seg.copy_unit[copy_kept], seg.copy_prints[copy_kept]
    follows = k.in_sorted(c_reps, reps)
    if follows.any():
        at = np.searchsorted(reps, c_reps[follows])
        c_reps = c_reps.copy()
        c_reps[follows] = standing[at]
        stands = np.zeros(len(c_ids), bool)
        stands[np.flatnonzero(follows)[c_ids[follows] == standing[at]]] = True
        ids = np.concatenate([ids, c_ids[stands]])
        unit = np.concatenate([unit, c_unit[stands]])
        prints = np.concatenate([prints, c_prints[stands]])
        cells_of = np.concatenate([cells_of, rep_cells[np.searchsorted(reps, seg.copy_reps[copy_kept][stands])]])
        c_ids, c_reps, c_unit, c_prints = c_ids[~stands], c_reps[~stands], c_unit[~stands], c_prints[~stands]
    zeros = seg.zero_ids[~k.in_sorted(seg.zero_ids, removed)]
    return st.segment_arrays(ids, unit, prints, cells_of, (c_ids, c_reps, c_unit, c_prints), zeros, cells)


def _still(fd: int, root: Path, manifest: Manifest) -> None:
    """That the open directory is still the one at root, with this manifest."""
    held, now = os.fstat(fd), os.stat(root)
    if (held.st_dev, held.st_ino) != (now.st_dev, now.st_ino) or read_manifest(root) != manifest:
        raise IndexError_(
            f"{root}: moved, replaced or changed while vacuuming; vacuum stopped before removing any file"
        )
