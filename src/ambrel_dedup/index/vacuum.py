"""Vacuum: the newest versions kept, and what no kept version reads removed, only when that is proven.

Under the writer's lock, vacuum first opens the newest version with every file's SHA-256 checked
(each version lists the files of the ones before it, so this verifies every version kept); a
damaged index is refused and nothing is removed. It then drops the older versions from the
manifest and looks at `data/` and beside the manifest for the names writers give, and only those:

- a segment folder or group-changes file some kept version lists stays;
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
import stat
from dataclasses import dataclass
from pathlib import Path

from .files import DATA, GROUPS_NAME, SEGMENT_NAME, IndexError_, check_no_mounts, directory
from .manifest import SEGMENT_ARRAYS, STALE_MANIFEST, Manifest, keep_newest, publish, read_manifest, writer_lock

_SEGMENT_FILES = frozenset(f"{key}.npy" for key in SEGMENT_ARRAYS)


@dataclass
class Vacuumed:
    versions_removed: int = 0
    entries_removed: int = 0
    bytes_freed: int = 0
    entries_kept: int = 0  # names of ours that nothing proves unused

    def as_dict(self) -> dict[str, int]:
        return dict(self.__dict__)


def _provably_unused(name: str, manifest: Manifest) -> bool:
    found = SEGMENT_NAME.fullmatch(name) or GROUPS_NAME.fullmatch(name)
    if found is None or name in manifest.newest.names():
        return False
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
        Index(root, manifest, manifest.newest, verify=True).groups()  # every kept file whole, or nothing removed
        done.versions_removed = max(0, len(manifest.versions) - keep)
        if done.versions_removed:
            _still(top, root, manifest)
            manifest = keep_newest(manifest, keep)
            publish(root, manifest)
        _still(top, root, manifest)
        with directory(root, DATA, at=top) as data:
            for entry in list(os.scandir(data)):
                if not (SEGMENT_NAME.fullmatch(entry.name) or GROUPS_NAME.fullmatch(entry.name)):
                    continue
                if not _provably_unused(entry.name, manifest):
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


def _still(fd: int, root: Path, manifest: Manifest) -> None:
    """That the open directory is still the one at root, with this manifest."""
    held, now = os.fstat(fd), os.stat(root)
    if (held.st_dev, held.st_ino) != (now.st_dev, now.st_ino) or read_manifest(root) != manifest:
        raise IndexError_(f"{root}: moved, replaced or changed while vacuuming; nothing was removed")
