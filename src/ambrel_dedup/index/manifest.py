"""The manifest of an index: one typed record, read and checked in one place, replaced in one step.

`manifest.json` lists the index's versions, oldest first; each version lists every file it reads
(its segments and its group-change files, those of the versions before it included) with size
and SHA-256, the summary of the job that wrote it, `next_id` (above every id the index has seen)
and the token its writer put in the names of its files. The parameters fixed at creation
(threshold, dimension, cells, margin, keep rule, promised recall) and the layout file's record
come first.

`read_manifest` checks every key and type once, and that the versions fit together: numbered
one after another, each listing what the version before it listed and then files named for
itself, as many ids in its own segments as its summary says it added, a group-change file exactly
when it changed groups. Any damage is one line naming the manifest and the key. A writer writes
and syncs every new file first, then the new manifest beside the old one, then renames it over
(`publish`): a reader sees the whole old version or the whole new one.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import math
import os
import re
import time
import uuid
from collections.abc import Iterator
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

from ..files.outputs import TOOL
from ..ranking import KeepRule
from .files import (
    DATA,
    GROUPS_NAME,
    REMOVED_NAME,
    SEGMENT_NAME,
    FileRecord,
    IndexError_,
    directory,
    held_open,
    read_text,
)

KIND = "index"
# 1: groups are connected components (group: the smallest id); 2: the greedy keep rule (group: the
# kept row; group changes carry the cosine of each removed row with it) and a keep-by column.
FORMAT = 2
GROUPED_BY = {1: "components", 2: "greedy"}
MANIFEST = "manifest.json"
LOCK = ".lock"
KEEP_RULES = ("min", "max")
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
MANIFEST_BYTES = 64 << 20  # far above what any index writes: a larger manifest is refused unread
LARGEST = 2**63 - 1  # sizes, counts and ids
STALE_MANIFEST = re.compile(rf"\.{re.escape(MANIFEST)}\.tmp-[0-9a-f]{{10}}")


@dataclass(frozen=True)
class Parameters:
    """Fixed when the index is created."""

    threshold: float
    dim: int
    cells: int
    margin: float
    max_cells: int
    keep: str
    promised: dict[str, float | None]
    held_out_pairs: int
    margin_chosen_on: str
    keep_by: str | None = None  # COLUMN:asc or COLUMN:desc, when rows are kept by a column

    @property
    def rule(self) -> KeepRule:
        return KeepRule.of(self.keep, self.keep_by)


@dataclass(frozen=True)
class SegmentEntry:
    name: str
    vectors: int
    copies: int
    zero_rows: int
    files: dict[str, FileRecord]  # array name -> record

    @property
    def ids(self) -> int:
        return self.vectors + self.copies + self.zero_rows

    @property
    def version(self) -> int:
        return int(_match(SEGMENT_NAME, self.name)["version"])

    @property
    def token(self) -> str:
        return _match(SEGMENT_NAME, self.name)["token"]

    def path(self, key: str) -> str:
        return f"{DATA}/{self.name}/{key}.npy"


@dataclass(frozen=True)
class GroupsEntry:
    """One array file of a version with its rows: its group changes (data/groups-VVVVVV-TOKEN.npy)
    or the ids it removed (data/removed-VVVVVV-TOKEN.npy)."""

    file: str
    record: FileRecord
    rows: int

    @property
    def name(self) -> str:
        return self.file.split("/", 1)[1]

    @property
    def version(self) -> int:
        return int(_match(_pattern_of(self.name), self.name)["version"])

    @property
    def token(self) -> str:
        return _match(_pattern_of(self.name), self.name)["token"]


def _pattern_of(name: str) -> re.Pattern[str]:
    return REMOVED_NAME if name.startswith("removed-") else GROUPS_NAME


@dataclass(frozen=True)
class Version:
    version: int
    created: str
    segments: tuple[SegmentEntry, ...]
    groups: tuple[GroupsEntry, ...]
    summary: dict[str, Any]
    next_id: int
    token: str | None = None  # the writer's token (absent in versions written before it was kept)
    removed: tuple[GroupsEntry, ...] = ()  # the ids removed since the segments were written
    superseded: tuple[str, ...] = ()  # names of the version before that a compaction replaced

    @property
    def added(self) -> int:
        return int(self.summary["added"])

    def own_segments(self) -> list[SegmentEntry]:
        return [s for s in self.segments if s.version == self.version]

    def own_groups(self) -> list[GroupsEntry]:
        return [g for g in self.groups if g.version == self.version]

    def own_removed(self) -> list[GroupsEntry]:
        return [g for g in self.removed if g.version == self.version]

    def names(self) -> set[str]:
        """The names under data/ this version reads."""
        return {s.name for s in self.segments} | {g.name for g in (*self.groups, *self.removed)}

    def tokens(self) -> set[str]:
        """The tokens of the writers of the files this version reads, and its own."""
        found = {s.token for s in self.segments} | {g.token for g in (*self.groups, *self.removed)}
        return found | ({self.token} if self.token else set())


@dataclass(frozen=True)
class Manifest:
    id: str
    parameters: Parameters
    layout: FileRecord
    versions: tuple[Version, ...] = ()
    format: int = FORMAT

    @property
    def version(self) -> int:
        return self.versions[-1].version if self.versions else 0

    @property
    def newest(self) -> Version:
        return self.versions[-1]


def _match(pattern: re.Pattern[str], name: str) -> re.Match[str]:
    found = pattern.fullmatch(name)
    assert found is not None, name  # names are checked when the manifest is read
    return found


# --------------------------------------------------------------------------
# reading: every key and type checked once


class _Reader:
    def __init__(self, path: Path) -> None:
        self.path = path

    def damaged(self, where: str, what: str) -> IndexError_:
        return IndexError_(f"{self.path}: {where} {what}; the index is damaged")

    def get(self, obj: dict[str, Any], key: str, where: str) -> Any:
        if key not in obj:
            raise self.damaged(f"{where}{key}", "is missing")
        return obj[key]

    def integer(self, obj: dict[str, Any], key: str, where: str, low: int = 0, high: int = LARGEST) -> int:
        value = self.get(obj, key, where)
        if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
            raise self.damaged(f"{where}{key}", f"is not a whole number from {low} to {high}")
        return value

    def number(self, obj: dict[str, Any], key: str, where: str, low: float, high: float) -> float:
        value = self.get(obj, key, where)
        if not _in_range(value, low, high):
            raise self.damaged(f"{where}{key}", f"is not a number from {low} to {high}")
        return float(value)

    def text(self, obj: dict[str, Any], key: str, where: str, pattern: re.Pattern[str] | None = None) -> str:
        value = self.get(obj, key, where)
        if not isinstance(value, str) or (pattern is not None and pattern.fullmatch(value) is None):
            raise self.damaged(f"{where}{key}", "is not a name this index writes" if pattern else "is not text")
        return value

    def mapping(self, obj: dict[str, Any], key: str, where: str) -> dict[str, Any]:
        value = self.get(obj, key, where)
        if not isinstance(value, dict):
            raise self.damaged(f"{where}{key}", "is not a record")
        return value

    def sequence(self, obj: dict[str, Any], key: str, where: str) -> list[Any]:
        value = self.get(obj, key, where)
        if not isinstance(value, list):
            raise self.damaged(f"{where}{key}", "is not a list")
        return value

    def record(self, value: Any, where: str) -> FileRecord:
        if (
            not isinstance(value, list)
            or len(value) != 2
            or not isinstance(value[0], int)
            or isinstance(value[0], bool)
            or not 0 <= value[0] <= LARGEST
            or not FileRecord.valid_digest(value[1])
        ):
            raise self.damaged(where, "is not a file record (size and SHA-256)")
        return FileRecord(value[0], value[1])


def _in_range(value: Any, low: float, high: float) -> bool:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return False
    try:
        return math.isfinite(value) and low <= float(value) <= high
    except OverflowError:  # an integer too large for a float
        return False


def _parameters(r: _Reader, p: dict[str, Any]) -> Parameters:
    w = "parameters."
    keep = r.text(p, "keep", w)
    if keep not in KEEP_RULES:
        raise r.damaged(f"{w}keep", f"is not one of {', '.join(KEEP_RULES)}")
    promised = r.mapping(p, "promised", w)
    for level, value in promised.items():
        if value is not None and not _in_range(value, 0.0, 1.0):
            raise r.damaged(f"{w}promised.{level}", "is not a share from 0 to 1")
    threshold = r.number(p, "threshold", w, -1.0, 1.0)
    keep_by = p.get("keep_by")
    if keep_by is not None:
        try:
            KeepRule.of(keep, r.text(p, "keep_by", w))
        except ValueError:
            raise r.damaged(f"{w}keep_by", "is not COLUMN:asc or COLUMN:desc") from None
    return Parameters(
        threshold,
        r.integer(p, "dim", w, 1),
        r.integer(p, "cells", w, 1),
        r.number(p, "margin", w, 0.0, 2.0),
        r.integer(p, "max_cells", w, 1),
        keep,
        {str(k): (None if v is None else float(v)) for k, v in promised.items()},
        r.integer(p, "held_out_pairs", w),
        r.text(p, "margin_chosen_on", w),
        keep_by,
    )


def _segment(r: _Reader, s: Any, where: str) -> SegmentEntry:
    if not isinstance(s, dict):
        raise r.damaged(where, "is not a record")
    w = f"{where}."
    name = r.text(s, "name", w, SEGMENT_NAME)
    files = r.mapping(s, "files", w)
    expected = {f"{DATA}/{name}/{key}.npy": key for key in SEGMENT_ARRAYS}
    for rel in files:
        if rel not in expected:
            raise r.damaged(f"{w}files", f"names {rel!r}, not a file of segment {name}")
    records = {}
    for rel, key in expected.items():
        if rel not in files:
            raise r.damaged(f"{w}files", f"lists no {key}.npy")
        records[key] = r.record(files[rel], f"{w}files.{rel}")
    return SegmentEntry(
        name, r.integer(s, "vectors", w), r.integer(s, "copies", w), r.integer(s, "zero_rows", w), records
    )


def _groups(r: _Reader, g: Any, where: str, pattern: re.Pattern[str] = GROUPS_NAME) -> GroupsEntry:
    if not isinstance(g, dict):
        raise r.damaged(where, "is not a record")
    w = f"{where}."
    rel = r.text(g, "file", w)
    folder, _, name = rel.partition("/")
    if folder != DATA or pattern.fullmatch(name) is None:
        raise r.damaged(f"{w}file", "is not a name this index writes")
    digest = r.text(g, "sha256", w)
    if not FileRecord.valid_digest(digest):
        raise r.damaged(f"{w}sha256", "is not a SHA-256")
    return GroupsEntry(rel, FileRecord(r.integer(g, "size", w), digest), r.integer(g, "rows", w))


def _version(r: _Reader, v: Any, where: str) -> Version:
    if not isinstance(v, dict):
        raise r.damaged(where, "is not a record")
    w = f"{where}."
    segments = tuple(_segment(r, s, f"{w}segments[{i}]") for i, s in enumerate(r.sequence(v, "segments", w)))
    groups = tuple(_groups(r, g, f"{w}groups[{i}]") for i, g in enumerate(r.sequence(v, "groups", w)))
    summary = r.mapping(v, "summary", w)
    r.integer(summary, "added", f"{w}summary.")
    r.integer(summary, "groups", f"{w}summary.")
    for key in ("removed_ids", "compacted"):  # written by a removal and by a compaction
        if key in summary:
            r.integer(summary, key, f"{w}summary.")
    token = v.get("token")
    if token is not None and (not isinstance(token, str) or re.fullmatch(r"[0-9a-f]{8}", token) is None):
        raise r.damaged(f"{w}token", "is not a writer's token")
    next_id = r.integer(v, "next_id", w) if "next_id" in v else 0
    removed = tuple(
        _groups(r, g, f"{w}removed[{i}]", REMOVED_NAME)
        for i, g in enumerate(r.sequence(v, "removed", w) if "removed" in v else [])
    )
    superseded = r.sequence(v, "superseded", w) if "superseded" in v else []
    for i, name in enumerate(superseded):
        if not isinstance(name, str) or not (SEGMENT_NAME.fullmatch(name) or REMOVED_NAME.fullmatch(name)):
            raise r.damaged(f"{w}superseded[{i}]", "is not a name this index writes")
    return Version(
        r.integer(v, "version", w, 1),
        r.text(v, "created", w),
        segments,
        groups,
        summary,
        next_id,
        token,
        removed,
        tuple(superseded),
    )


def _check_versions(r: _Reader, versions: list[Version], number: int) -> None:
    """That the versions follow one another, each holding the files of the one before and then its own."""
    if not versions:
        raise r.damaged("versions", "is empty")
    previous: Version | None = None
    for i, v in enumerate(versions):
        w = f"versions[{i}]"
        if previous is not None and v.version != previous.version + 1:
            raise r.damaged(f"{w}.version", f"is {v.version}, not {previous.version + 1}")
        names = [s.name for s in v.segments]
        if len(set(names)) != len(names):
            raise r.damaged(f"{w}.segments", "lists a segment twice")
        gone = set(v.superseded)
        for what, entries, prior in (
            ("segments", v.segments, previous.segments if previous else None),
            ("groups", v.groups, previous.groups if previous else None),
            ("removed", v.removed, previous.removed if previous else None),
        ):
            # A compaction writes some of the files before it anew, and says which (superseded).
            before = None if prior is None else tuple(e for e in prior if e.name not in gone)
            inherited = len(before) if before is not None else sum(e.version < v.version for e in entries)
            if before is not None and tuple(entries[:inherited]) != before:
                raise r.damaged(f"{w}.{what}", f"does not begin with the {what} of version {previous.version}")  # type: ignore[union-attr]
            if any(e.version != v.version for e in entries[inherited:]):
                raise r.damaged(f"{w}.{what}", f"lists files of another version after those of version {v.version}")
        if previous is not None and previous.token is not None and v.token is None:
            raise r.damaged(f"{w}.token", "is missing (the versions before it have one)")
        own = v.own_segments()
        if sum(s.ids for s in own) != v.added:
            raise r.damaged(f"{w}.segments", f"holds {sum(s.ids for s in own):,} new ids, its summary {v.added:,}")
        if len(v.own_groups()) != (1 if int(v.summary["groups"]) > 0 else 0):
            raise r.damaged(f"{w}.groups", "does not match the groups its summary counts")
        own_removed, removed_ids = v.own_removed(), int(v.summary.get("removed_ids", 0))
        if len(own_removed) != (1 if removed_ids > 0 else 0) or (own_removed and own_removed[0].rows != removed_ids):
            raise r.damaged(f"{w}.removed", f"does not match the {removed_ids:,} removed ids its summary counts")
        previous = v
    if versions[-1].version != number:
        raise r.damaged("version", f"is {number}, its last version {versions[-1].version}")


def parse(data: Any, root: Path) -> Manifest:
    """The manifest of the index at root from its JSON, every key and type checked."""
    path = root / MANIFEST
    if not isinstance(data, dict) or data.get("tool") != TOOL or data.get("kind") != KIND:
        raise IndexError_(f"{root}: not an {TOOL} index ({MANIFEST} is not one of its manifests)")
    r = _Reader(path)
    fmt = data.get("format")
    if not isinstance(fmt, int) or isinstance(fmt, bool):
        raise IndexError_(f"{path}: no format version; the index is damaged")
    if fmt > FORMAT:
        raise IndexError_(
            f"{root}: index format {fmt} is newer than this {TOOL} reads ({FORMAT}); upgrade ambrel-native"
        )
    parameters = _parameters(r, r.mapping(data, "parameters", ""))
    layout = r.record(r.get(data, "layout", ""), "layout")
    versions = [_version(r, v, f"versions[{i}]") for i, v in enumerate(r.sequence(data, "versions", ""))]
    _check_versions(r, versions, r.integer(data, "version", "", 1))
    return Manifest(r.text(data, "id", ""), parameters, layout, tuple(versions), fmt)


def read_manifest(root: Path) -> Manifest:
    """The manifest of the index at root, checked for being one this version of the tool reads."""
    path = root / MANIFEST
    if not root.is_dir():
        what = "no such directory" if not os.path.lexists(root) else "not a directory"
        raise IndexError_(f"{root}: {what}; not an index")
    if not os.path.lexists(path):
        raise IndexError_(f"{root}: not an {TOOL} index (no {MANIFEST})")
    text = read_text(root, MANIFEST, MANIFEST_BYTES)
    try:
        data = json.loads(text)
    except ValueError:
        raise IndexError_(f"{path}: not valid JSON; the index is damaged") from None
    return parse(data, root)


# --------------------------------------------------------------------------
# writing


def to_json(m: Manifest) -> dict[str, Any]:
    p = m.parameters
    return {
        "tool": TOOL,
        "kind": KIND,
        "format": m.format,
        "id": m.id,
        "parameters": {
            "threshold": p.threshold,
            "dim": p.dim,
            "cells": p.cells,
            "margin": p.margin,
            "max_cells": p.max_cells,
            "keep": p.keep,
            "promised": p.promised,
            "held_out_pairs": p.held_out_pairs,
            "margin_chosen_on": p.margin_chosen_on,
            **({"keep_by": p.keep_by} if p.keep_by is not None else {}),
        },
        "layout": [m.layout.size, m.layout.sha256],
        "version": m.version,
        "versions": [_version_json(v) for v in m.versions],
    }


def _version_json(v: Version) -> dict[str, Any]:
    out: dict[str, Any] = {
        "version": v.version,
        "created": v.created,
        "segments": [
            {
                "name": s.name,
                "vectors": s.vectors,
                "copies": s.copies,
                "zero_rows": s.zero_rows,
                "files": {s.path(key): [rec.size, rec.sha256] for key, rec in s.files.items()},
            }
            for s in v.segments
        ],
        "groups": [
            {"file": g.file, "size": g.record.size, "sha256": g.record.sha256, "rows": g.rows} for g in v.groups
        ],
        "summary": v.summary,
        "next_id": v.next_id,
    }
    if v.token is not None:
        out["token"] = v.token
    if v.removed:
        out["removed"] = [
            {"file": g.file, "size": g.record.size, "sha256": g.record.sha256, "rows": g.rows} for g in v.removed
        ]
    if v.superseded:
        out["superseded"] = list(v.superseded)
    return out


def new_manifest(parameters: Parameters, layout: FileRecord) -> Manifest:
    # The id tells this index from one created later at the same path.
    return Manifest(uuid.uuid4().hex, parameters, layout)


def next_version(
    manifest: Manifest,
    segments: list[SegmentEntry],
    groups: GroupsEntry | None,
    summary: dict[str, Any],
    next_id: int,
    token: str,
    removed: GroupsEntry | None = None,
    superseded: tuple[str, ...] = (),
) -> Manifest:
    """The manifest with one more version: the previous version's files (but those `superseded`)
    plus these. `next_id` is above every id the index has seen, held or left out (`.npy` rows of
    a later add start there)."""
    previous = manifest.versions[-1] if manifest.versions else None
    gone = set(superseded)

    def kept(entries: tuple[Any, ...]) -> tuple[Any, ...]:
        return tuple(e for e in entries if e.name not in gone)

    entry = Version(
        manifest.version + 1,
        time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        (*kept(previous.segments if previous else ()), *segments),
        (*(previous.groups if previous else ()), *([groups] if groups else [])),
        summary,
        max(next_id, previous.next_id if previous else 0),
        token,
        (*kept(previous.removed if previous else ()), *([removed] if removed else [])),
        superseded,
    )
    return replace(manifest, versions=(*manifest.versions, entry))


def keep_newest(manifest: Manifest, keep: int) -> Manifest:
    return replace(manifest, versions=manifest.versions[-keep:])


def find_version(manifest: Manifest, root: Path, version: int | None) -> Version:
    if version is None:
        return manifest.newest
    for entry in manifest.versions:
        if entry.version == version:
            return entry
    kept = ", ".join(str(v.version) for v in manifest.versions)
    raise IndexError_(f"{root}: no version {version} (versions held: {kept})")


def publish(root: Path, manifest: Manifest) -> None:
    """Replaces the manifest in one step: written and synced beside it, then renamed over it, all
    within the index's directory as its writer holds it."""
    tmp = f".{MANIFEST}.tmp-{os.urandom(5).hex()}"  # STALE_MANIFEST
    with directory(root) as top:
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644, dir_fd=top)
            with os.fdopen(fd, "w") as f:
                f.write(json.dumps(to_json(manifest), indent=1) + "\n")
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, MANIFEST, src_dir_fd=top, dst_dir_fd=top)
        except BaseException as exc:
            with contextlib.suppress(OSError):
                os.unlink(tmp, dir_fd=top)
            if isinstance(exc, OSError):
                why = exc.strerror or str(exc)
                raise IndexError_(
                    f"{root / MANIFEST}: the new manifest cannot be written: {why[:1].lower()}{why[1:]}; "
                    "the index is as it was"
                ) from None
            raise
        os.fsync(top)


# --------------------------------------------------------------------------
# the writer's lock


@contextlib.contextmanager
def writer_lock(root: Path) -> Iterator[None]:
    """Held by the one process changing the index; another one fails at once, naming the index.
    The index's directory is opened first and held (`held_open`): the lock taken is that
    directory's, and everything written until the block ends is written in it."""
    with held_open(root) as top:
        try:
            fd = os.open(LOCK, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644, dir_fd=top)
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
