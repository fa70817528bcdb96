"""The output directories: checked before any work, written beside themselves, moved into place whole.

A run writes into `.NAME.tmp-TOKEN` beside OUT (NAME is OUT's name) and, once
everything is written, moves that directory to OUT. Before any work it refuses
an OUT that is, contains or lies inside an input (compared as real paths), a
dangling symbolic link, an OUT whose parent is not a writable directory, a
mount point, and an existing OUT unless overwriting is allowed.

Overwriting replaces only a directory this tool wrote: one holding the marker
file `.ambrel-dedup` (JSON with the format version) and nothing but the files a
run writes. The new directory and the old one are exchanged in one step
(Linux `renameat2` with RENAME_EXCHANGE), so OUT never goes missing; where the
file system refuses the exchange (EINVAL, ENOSYS), the old directory is first
renamed to `.NAME.old-TOKEN`, leaving OUT absent between two renames. A
symbolic link as OUT is written through: its target is replaced, the link stays.

A running run holds an exclusive `flock` on its temporary directory. Leftover
`.NAME.tmp-*` and `.NAME.old-*` directories of a killed run (marked, and locked
by nobody) are removed by the next run writing the same OUT.

A run may write a second directory, KEPT (the input rows that are kept, as
`part-NNNNN.parquet` files), under the same rules: checked before any work,
apart from every input and from OUT (neither may be, contain or lie inside the
other), overwritten only when marked and holding nothing but the marker and
such files. Both temporary directories are written fully before either moves;
then KEPT is moved into place, then OUT. A run killed between the two moves
leaves KEPT whole and OUT absent, or the previous OUT where it was overwriting
(the new OUT's `.NAME.tmp-*` is a leftover as above); a rerun with overwriting
replaces that KEPT and writes OUT.
"""

from __future__ import annotations

import ctypes
import errno
import fcntl
import json
import os
import re
import shutil
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Self

from ..errors import DedupError

MARKER = ".ambrel-dedup"
FORMAT_VERSION = 1
TOOL = "ambrel-dedup"


@dataclass(frozen=True)
class Contents:
    """What a run writes at the top of one of its directories: fixed names, and names of a pattern."""

    name: str  # how messages call the directory
    entries: frozenset[str]
    pattern: re.Pattern[str] | None = None

    def holds(self, entry: str) -> bool:
        return entry in self.entries or (self.pattern is not None and self.pattern.fullmatch(entry) is not None)


KEYS = "keys.parquet"  # the keep-by values of every id in a pair (runs that keep by a column)
REPORT = "report.html"
OUTPUT = Contents("output", frozenset({MARKER, "pairs.parquet", "groups.parquet", "summary.json", KEYS, REPORT}))
KEPT = Contents("kept dataset", frozenset({MARKER}), re.compile(r"part-\d{5,}\.parquet"))
ANNOTATED = Contents("annotated dataset", frozenset({MARKER}), re.compile(r"part-\d{5,}\.parquet"))

_AT_FDCWD = -100
_RENAME_NOREPLACE = 1
_RENAME_EXCHANGE = 2
_LEFTOVER = re.compile(r"\.(?P<name>.+)\.(?:tmp|old)-[0-9a-f]{10}")


def is_skipped_directory(path: str | os.PathLike[str]) -> bool:
    """True for directories that input discovery must not enter: a run's leftovers and outputs."""
    return bool(_LEFTOVER.fullmatch(os.path.basename(path))) or os.path.isfile(os.path.join(path, MARKER))


def _is_marked(directory: str | os.PathLike[str]) -> bool:
    try:
        marker = json.loads(Path(directory, MARKER).read_text())
    except (OSError, ValueError):
        return False
    return isinstance(marker, dict) and marker.get("tool") == TOOL and isinstance(marker.get("format"), int)


def _renameat2(src: Path, dst: Path, flags: int) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    function = getattr(libc, "renameat2", None)
    if function is None:
        raise OSError(errno.ENOSYS, "renameat2 is not available")
    function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    function.restype = ctypes.c_int
    if function(_AT_FDCWD, os.fsencode(src), _AT_FDCWD, os.fsencode(dst), flags) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code), str(src), None, str(dst))


def _unsupported(exc: OSError) -> bool:
    return exc.errno in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP)


def _lock(path: Path) -> int | None:
    """An fd holding an exclusive lock on the directory, or None when another process holds it."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        return None
    except BaseException:
        os.close(fd)
        raise
    return fd


class Output:
    """Where a run writes: checked at construction, created by `open`, moved into place by `commit`."""

    def __init__(
        self,
        output: str | os.PathLike[str],
        inputs: list[str | os.PathLike[str]],
        overwrite: bool,
        token: str,
        contents: Contents = OUTPUT,
        apart_from: Sequence[Output] = (),
    ) -> None:
        self.shown = Path(output)
        self.token = token
        self.contents = contents
        name = contents.name
        self.replace = False
        self._fd: int | None = None
        self._created: list[Path] = []
        given = Path(os.path.abspath(output))
        if given.is_symlink() and not given.exists():
            raise DedupError(
                f"{output}: a symbolic link to {os.readlink(given)}, which does not exist; "
                f"remove the link or choose another {name}"
            )
        self.final = Path(os.path.realpath(given))
        for text in inputs:
            source = Path(os.path.realpath(text))
            self._check_apart(source, f"the input {source}")
        for other in apart_from:  # the run's other directories
            self._check_apart(other.final, f"the {other.contents.name} {other.shown}")
        if os.path.lexists(self.final):
            if not overwrite:
                raise DedupError(f"{output}: exists (choose another {name} or allow overwriting)")
            self._check_replaceable(self.final)
            self.replace = True
        self._check_parent()
        self.tmp = self.final.parent / f".{self.final.name}.tmp-{token}"

    # -- checks, before any work ----------------------------------------------

    def _check_apart(self, other: Path, described: str) -> None:
        out = self.final
        if out == other:
            where = "is"
        elif out.is_relative_to(other):
            where = "lies inside"
        elif other.is_relative_to(out):
            where = "contains"
        else:
            return
        name = self.contents.name
        raise DedupError(f"{self.shown}: the {name} {where} {described}; choose another {name} outside it")

    def _check_replaceable(self, path: Path) -> None:
        shown, name = self.shown, self.contents.name
        if not path.is_dir():
            raise DedupError(
                f"{shown}: exists and is not a directory; overwriting replaces only a directory {TOOL} wrote"
            )
        if os.path.ismount(path):
            raise DedupError(f"{shown}: a mount point, which cannot be replaced; choose another {name}")
        if not _is_marked(path):
            raise DedupError(
                f"{shown}: not written by {TOOL} (no readable {MARKER} file), so it is not replaced; "
                f"remove it yourself or choose another {name}"
            )
        extra = sorted(entry for entry in os.listdir(path) if not self.contents.holds(entry))
        if extra:
            raise DedupError(
                f"{shown}: holds files {TOOL} did not write there ({', '.join(extra[:3])}"
                f"{', ...' if len(extra) > 3 else ''}), so it is not replaced"
            )
        if not os.access(path, os.W_OK | os.X_OK):
            raise DedupError(f"{shown}: not writable, so its old contents could not be removed")

    def _check_parent(self) -> None:
        ancestor = self.final.parent
        while not os.path.lexists(ancestor) and ancestor != ancestor.parent:
            ancestor = ancestor.parent
        if not ancestor.is_dir():
            raise DedupError(f"{self.shown}: {ancestor} is not a directory")
        if not os.access(ancestor, os.W_OK | os.X_OK):
            raise DedupError(f"{self.shown}: cannot create files in {ancestor} (not writable)")

    # -- the temporary directory ----------------------------------------------

    def open(self) -> Self:
        """Removes stale leftovers, then creates the temporary directory (locked, marked)."""
        try:
            missing = []
            parent = self.final.parent
            while not parent.exists():
                missing.append(parent)
                parent = parent.parent
            for directory in reversed(missing):
                directory.mkdir()
                self._created.append(directory)
            self._remove_leftovers()
            self.tmp.mkdir()
            self._fd = _lock(self.tmp)
            marker = {"tool": TOOL, "format": FORMAT_VERSION}
            (self.tmp / MARKER).write_text(json.dumps(marker) + "\n")
        except OSError as exc:
            self.discard()
            raise DedupError(
                f"{self.shown}: cannot write the {self.contents.name} beside it: {exc.strerror or exc}"
            ) from None
        return self

    def _remove_leftovers(self) -> None:
        parent = self.final.parent
        for entry in os.scandir(parent):
            found = _LEFTOVER.fullmatch(entry.name)
            if not found or found["name"] != self.final.name or not entry.is_dir(follow_symlinks=False):
                continue
            if not _is_marked(entry.path):
                continue  # not a run's directory: never touched
            try:
                fd = _lock(Path(entry.path))
            except OSError:
                continue
            if fd is None:
                continue  # a running run holds it
            try:
                shutil.rmtree(entry.path, ignore_errors=True)
            finally:
                os.close(fd)

    def discard(self) -> None:
        """Removes what this run created (only while it holds the temporary directory's lock)."""
        if self._fd is not None:
            shutil.rmtree(self.tmp, ignore_errors=True)
        self.close()
        for directory in reversed(self._created):
            try:
                directory.rmdir()
            except OSError:
                break
        self._created = []

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    def __enter__(self) -> Self:
        return self.open()

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if kind is not None:
            self.discard()
        self.close()

    # -- moving the result into place -----------------------------------------

    def _appeared(self) -> DedupError:
        return DedupError(f"{self.shown}: appeared while the run was going on; the result was not written")

    def ready(self) -> None:
        """Checks again, before any directory of the run moves, that OUT may still be written as it was
        checked before any work: absent, or an output of this tool that overwriting replaces."""
        if os.path.lexists(self.final):
            if not self.replace:
                raise self._appeared()
            self._check_replaceable(self.final)

    def commit(self) -> None:
        """Moves the finished temporary directory to OUT, replacing OUT only as checked before."""
        final, tmp = self.final, self.tmp
        if not os.path.lexists(final):
            try:
                _renameat2(tmp, final, _RENAME_NOREPLACE)
            except FileExistsError:
                raise self._appeared() from None
            except OSError as exc:
                if not _unsupported(exc):
                    raise
                if os.path.lexists(final):
                    raise self._appeared() from None
                tmp.rename(final)
            self._created = []
            self.close()
            return
        self.ready()
        try:
            _renameat2(tmp, final, _RENAME_EXCHANGE)
            old = tmp  # the exchange left the old output under the temporary name
        except OSError as exc:
            if not _unsupported(exc):
                raise
            old = final.parent / f".{final.name}.old-{self.token}"
            final.rename(old)
            try:
                tmp.rename(final)
            except BaseException:
                old.rename(final)
                raise
        self._created = []
        self.close()
        shutil.rmtree(old, ignore_errors=True)


def extra_outputs(
    kept: str | os.PathLike[str] | None,
    annotate: str | os.PathLike[str] | None,
    inputs: list[str | os.PathLike[str]],
    overwrite: bool,
    token: str,
    others: list[Output],
) -> tuple[Output | None, Output | None]:
    """The kept and annotated data sets' directories, checked apart from the inputs, the other
    outputs and each other."""
    kept_target = None if kept is None else Output(kept, inputs, overwrite, token, KEPT, apart_from=others)
    apart = [*others, *([kept_target] if kept_target else [])]
    annotated = None if annotate is None else Output(annotate, inputs, overwrite, token, ANNOTATED, apart_from=apart)
    return kept_target, annotated
