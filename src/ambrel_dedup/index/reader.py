"""A persistent index of deduplicated vectors, opened for queries:

    from ambrel_dedup import Index

    index = Index.open("corpus.idx")
    matches = index.query(rows)            # every indexed id at cosine >= the index's threshold
    ids, cosines = matches.of(0)           # those of the first row, nearest first

An index is written by `ambrel-dedup index create` and grows by `index add` (see
`ambrel_dedup.index.jobs`); its files are described in `ambrel_dedup.index.segments`. An opened
`Index` is one version: later versions written meanwhile are not seen until it is opened again.
It keeps what it has read (the rows stay memory-mapped), so repeated queries read only cells
they have not touched before.
"""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .. import partition as k
from ..pipeline import cells as cl
from ..pipeline import decide
from . import files
from . import manifest as im
from . import segments as st
from .manifest import GroupsEntry, Manifest, Version
from .matching import Copies, Matches, match

GROUP_CHANGES = np.dtype([("id", "<i8"), ("group", "<i8"), ("keep", "?"), ("cosine", "<f8")])


@dataclass
class GroupTable:
    """Every indexed id that is in a group: sorted ids, their group (the kept row it duplicates, or
    itself when kept; the group's smallest id in an index of format 1), whether the id is kept and
    the cosine of a removed id with its kept row (NaN where not known). Ids not in the table are in
    no group, and kept."""

    ids: np.ndarray
    group: np.ndarray
    keep: np.ndarray
    cosine: np.ndarray

    def fixed(self, ids: np.ndarray, held: np.ndarray) -> decide.Fixed:
        """The decisions of indexed ids (sorted, unique): those in no group are kept. A removed
        row whose kept row the index no longer holds (`held`: the ids it holds, sorted) has none
        (-1): that row's id may since name another vector."""
        ids = np.asarray(ids, np.int64)
        at = np.clip(np.searchsorted(self.ids, ids), 0, max(len(self.ids) - 1, 0))
        found = (self.ids[at] == ids) if len(self.ids) else np.zeros(len(ids), dtype=bool)
        keep, group, cosine = np.ones(len(ids), bool), ids.copy(), np.full(len(ids), np.nan)
        if found.any():
            keep[found], group[found], cosine[found] = (
                self.keep[at][found],
                self.group[at][found],
                self.cosine[at][found],
            )
            gone = ~keep & ~k.in_sorted(group, held)
            group[gone], cosine[gone] = -1, np.nan
        return decide.Fixed(ids, keep, group, cosine)


class Index:
    """One version of an index on disk, read lazily and kept."""

    def __init__(self, root: Path, manifest: Manifest, entry: Version, verify: bool) -> None:
        self.root = root
        self.manifest = manifest
        self.entry = entry
        p = manifest.parameters
        centroids = files.load_array(root, files.LAYOUT, manifest.layout, verify, mmap=False)
        if centroids.shape != (p.cells, p.dim) or centroids.dtype != np.float32:
            raise files.IndexError_(
                f"{root / files.LAYOUT}: not {p.cells:,} centroids of {p.dim} dimensions in float32; damaged"
            )
        self.layout = cl.Layout(p.threshold, np.ascontiguousarray(centroids), p.margin, p.max_cells, dict(p.promised))
        self.segments = [st.load_segment(root, seg, verify) for seg in entry.segments]
        for seg in self.segments:
            st.check_segment(root, seg, self.layout.cells, self.layout.max_cells, p.dim)
        # Ids removed since their segments were written (`index remove`): never matched or counted.
        self.removed = np.unique(
            np.concatenate([np.zeros(0, np.int64), *(_load_ids(root, g, verify) for g in entry.removed)])
        )
        self._verify = verify
        self._copies: Copies | None = None
        self._groups: GroupTable | None = None
        self._ids: np.ndarray | None = None
        self._promoted: tuple[np.ndarray, np.ndarray] | None = None
        self._lock = threading.Lock()

    @classmethod
    def open(cls, path: str | os.PathLike[str], version: int | None = None, *, verify: bool = False) -> Index:
        """The newest version of the index at `path` (or `version`). Every file the version reads is
        checked for its recorded size and a readable header, and the smaller ones for their
        SHA-256; `verify` checks every file's SHA-256."""
        root = Path(os.path.abspath(path))
        manifest = im.read_manifest(root)
        return cls(root, manifest, im.find_version(manifest, root, version), verify)

    # -- what it holds --------------------------------------------------------

    @property
    def version(self) -> int:
        return self.entry.version

    @property
    def dim(self) -> int:
        return self.manifest.parameters.dim

    @property
    def threshold(self) -> float:
        return self.manifest.parameters.threshold

    @property
    def keep(self) -> str:
        return self.manifest.parameters.keep

    @property
    def count(self) -> int:
        """Indexed ids: representatives, exact copies and zero rows (but the removed ones)."""
        return sum(len(s.ids) + len(s.copy_ids) + len(s.zero_ids) for s in self.segments) - len(self.removed)

    def copies(self) -> Copies:
        with self._lock:
            if self._copies is None:
                self._copies = Copies.of(self.segments)
            return self._copies

    def groups(self) -> GroupTable:
        with self._lock:
            if self._groups is None:
                self._groups = _load_groups(self.root, self.entry.groups, self._verify)
            return self._groups

    def all_ids(self) -> np.ndarray:
        """Every indexed id, sorted (read once)."""
        with self._lock:
            if self._ids is None:
                held = np.sort(np.concatenate([np.zeros(0, np.int64), *(s.all_ids() for s in self.segments)]))
                self._ids = held[~k.in_sorted(held, self.removed)] if len(self.removed) else held
            return self._ids

    def info(self) -> dict[str, Any]:
        """The versions held, the parameters and, for this version, counts and size on disk."""
        size = st.size_on_disk(self.manifest, self.entry)

        def held(kind: str) -> int:  # of the ids of one kind, those not removed
            return sum(int((~k.in_sorted(getattr(s, kind), self.removed)).sum()) for s in self.segments)

        return {
            "index": str(self.root),
            "format": self.manifest.format,
            "version": self.version,
            "versions": [
                {
                    "version": v.version,
                    "created": v.created,
                    "segments": len(v.segments),
                    "added": v.added,
                    "removed": int(v.summary.get("removed_ids", 0)),
                    "compacted": bool(v.superseded),
                }
                for v in self.manifest.versions
            ],
            "parameters": im.to_json(self.manifest)["parameters"],
            "vectors": self.count,
            "representatives": held("ids"),
            "exact_copies": held("copy_ids"),
            "zero_rows": held("zero_ids"),
            "grouped_ids": len(self.groups().ids),
            "removed_ids": len(self.removed),
            "segments": len(self.segments),
            "bytes": size,
            "bytes_per_vector": size / max(1, self.count),
        }

    # -- queries --------------------------------------------------------------

    def prepare(self, rows: Any) -> tuple[np.ndarray, np.ndarray]:
        """Query rows as the index holds vectors: (normalised float32 rows, which rows are zero)."""
        import ambrel_batch as ab

        x = np.asarray(rows)
        if x.ndim == 1:
            x = x[None, :]
        if x.ndim != 2 or x.dtype.kind not in "fiu":
            raise ValueError(f"query rows must be a 2-D array of numbers, got shape {x.shape} of {x.dtype}")
        if x.shape[1] != self.dim:
            raise ValueError(f"query rows have {x.shape[1]} dimensions; the index {self.root} holds {self.dim}")
        with np.errstate(over="ignore", invalid="ignore"):
            x = np.ascontiguousarray(x, dtype=np.float32)
        bad = ~np.isfinite(x).all(axis=1)
        if bad.any():
            raise ValueError(
                f"query row {int(np.argmax(bad))}: NaN or infinite value (after rounding to 32-bit floats)"
            )
        scaled, zero = k.scale_rows(x)
        unit = np.zeros_like(scaled)
        if (~zero).any():
            unit[~zero] = ab.normalize_batch(scaled[~zero], threads=1)
        return unit, zero

    def check_threshold(self, threshold: float | None) -> float:
        if threshold is None:
            return self.threshold
        if not (isinstance(threshold, (int, float)) and self.threshold <= threshold <= 1.0):
            raise ValueError(
                f"threshold must be a number in [{self.threshold}, 1]: the index {self.root} was built for "
                f"{self.threshold}, and its cells would miss pairs below it; got {threshold!r}"
            )
        return float(threshold)

    def query(
        self,
        rows: Any,
        threshold: float | None = None,
        *,
        k: int | None = None,
        threads: int | None = None,
        max_pairs: int | None = None,
    ) -> Matches:
        """For each row of `rows` ((n, dim) or one row), the indexed ids at cosine >= `threshold`
        (default: the index's; never below it), with exact cosines, nearest first; with `k`, at most
        the `k` nearest of them (a top-k query: the index finds every id at or above its threshold,
        so these are the true `k` nearest among those). `Matches.of(i)` gives row i's."""
        import ambrel_batch as ab

        t = self.check_threshold(threshold)
        unit, zero = self.prepare(rows)
        cells_of = cl.place(unit, self.layout, threads=threads or 1)
        cells_of[zero] = -1  # a zero row has no direction and matches nothing
        n = threads if threads is not None else (1 if len(unit) < 64 else ab.available_cpus())
        kwargs = {} if max_pairs is None else {"max_pairs": max_pairs}
        found = self.live(match(self.segments, self.copies(), unit, cells_of, t, threads=n, **kwargs))
        return found if k is None else found.top(k)

    def promoted(self) -> tuple[np.ndarray, np.ndarray]:
        """(removed representatives, sorted; the copy that stands for each): a removed
        representative whose vector the index still holds as exact copies is stood for by the
        smallest of their ids, until `vacuum` writes that copy as the representative."""
        c = self.copies()
        with self._lock:
            if self._promoted is None:
                held = k.in_sorted(c.reps, self.removed) & ~k.in_sorted(c.ids, self.removed)
                reps, ids = c.reps[held], c.ids[held]  # sorted by representative, then id
                first = np.concatenate([[True], reps[1:] != reps[:-1]]) if len(reps) else np.zeros(0, bool)
                self._promoted = (reps[first], ids[first])
            return self._promoted

    def live(self, found: Matches, promote: bool = False) -> Matches:
        """The matches but those of removed ids. With `promote` (matches of representatives only,
        their copies not listed), a removed representative's match is its standing copy's: the
        same vector."""
        if not len(self.removed) or not len(found):
            return found
        ids = found.id
        if promote:
            reps, standing = self.promoted()
            at = np.searchsorted(reps, ids)
            hit = k.in_sorted(ids, reps)
            ids = np.where(hit, standing[np.minimum(at, max(len(reps) - 1, 0))] if len(reps) else ids, ids)
        keep = ~k.in_sorted(ids, self.removed)
        return Matches(found.row[keep], ids[keep], found.cosine[keep], found.complete)


def group_changes(table: Any) -> np.ndarray:
    """The rows of a group-changes file from a frame of id, group, keep and cosine."""
    out = np.zeros(len(table), GROUP_CHANGES)
    out["id"], out["group"] = table["id"].to_numpy(np.int64), table["group"].to_numpy(np.int64)
    out["keep"] = table["keep"].to_numpy(bool)
    out["cosine"] = table["cosine"].to_numpy(np.float64, na_value=np.nan)
    return out


def _load_ids(root: Path, entry: GroupsEntry, verify: bool) -> np.ndarray:
    ids = files.load_array(root, entry.file, entry.record, verify, mmap=False)
    if ids.shape != (entry.rows,) or ids.dtype != np.int64:
        raise files.IndexError_(f"{root / entry.file}: not {entry.rows:,} ids; the index is damaged")
    return ids


def _load_groups(root: Path, entries: tuple[GroupsEntry, ...], verify: bool) -> GroupTable:
    parts = []
    for g in entries:
        part = files.load_array(root, g.file, g.record, verify, mmap=False)
        if part.shape == (g.rows, 3) and part.dtype == np.int64:  # an index of format 1: no cosines
            old = np.zeros(g.rows, GROUP_CHANGES)
            old["id"], old["group"], old["keep"], old["cosine"] = part[:, 0], part[:, 1], part[:, 2] != 0, np.nan
            part = old
        if part.shape != (g.rows,) or part.dtype != GROUP_CHANGES:
            raise files.IndexError_(
                f"{root / g.file}: not {g.rows:,} rows of (id, group, keep, cosine); the index is damaged"
            )
        parts.append(part)
    table = np.concatenate([np.zeros(0, GROUP_CHANGES), *parts])
    # Later versions override earlier ones: the last row of each id holds.
    last = len(table) - 1 - np.unique(table["id"][::-1], return_index=True)[1]
    table = table[np.sort(last)]
    table = table[np.argsort(table["id"], kind="stable")]
    return GroupTable(table["id"].copy(), table["group"].copy(), table["keep"].copy(), table["cosine"].copy())


_OPENED: dict[tuple[str, int, str | None], Index] = {}
_OPENED_LOCK = threading.Lock()


def opened(root: str, version: int) -> Index:
    """This process's copy of an index version, opened once (for tasks on a worker). The manifest
    is read every time: an index removed and created anew at the same path (another `id`) is
    opened anew, never served from what the old one left here."""
    path = Path(root)
    manifest = im.read_manifest(path)
    key = (root, version, manifest.id)
    with _OPENED_LOCK:
        if key not in _OPENED:
            if len(_OPENED) > 4:
                _OPENED.clear()
            _OPENED[key] = Index(path, manifest, im.find_version(manifest, path, version), False)
        return _OPENED[key]
