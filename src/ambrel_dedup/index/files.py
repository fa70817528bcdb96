"""The files of an index, reached without leaving it.

Every path an index names is relative, of a name its writers give (`LAYOUT`, `data/seg-*/X.npy`,
`data/groups-*.npy`), and is opened one component at a time from the index's directory with
`O_NOFOLLOW`: a symbolic link anywhere below the index (its `data/` folder, a segment folder, a
file), an absolute path or a `..` never takes a reader or a writer outside it. The index's own
path may be a link the user chose; nothing below it may.

A writer holds the index's directory open from before it takes the lock (`held_open`) until it has
published: every file this process opens below the index meanwhile (the manifest, segments,
the lock itself) is reached from that descriptor, so an index moved or replaced at its path while
it writes is never written with another's files, nor another index with its own.

Arrays are written by `save_array` (created exclusively, synced, their SHA-256 taken as they are
written, a failed write removed and reported with its cause, "no space left on device" among
them) and read by `load_array` (size, hash and header checked; memory-mapped on request).
"""

from __future__ import annotations

import contextlib
import errno
import hashlib
import os
import re
import stat
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import numpy as np

from ..errors import DedupError

LAYOUT = "layout.npy"
DATA = "data"
HASHED_AT_OPEN = 64 << 20  # files up to this size are hashed whenever a version is opened
WRITE_CHUNK = 16 << 20

# The names writers give under data/: a segment folder per writing task and a group-changes file
# per version, each carrying the version's number and the writer's token.
SEGMENT_NAME = re.compile(r"seg-(?P<version>\d{6})-(?P<number>\d{4})-(?P<token>[0-9a-f]{8})")
GROUPS_NAME = re.compile(r"groups-(?P<version>\d{6})-(?P<token>[0-9a-f]{8})\.npy")
REMOVED_NAME = re.compile(r"removed-(?P<version>\d{6})-(?P<token>[0-9a-f]{8})\.npy")  # ids a version removed
_SHA256 = re.compile(r"[0-9a-f]{64}")

_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
_HELD: dict[str, int] = {}  # an index's absolute path -> its directory, held open by its writer here
_HELD_LOCK = threading.Lock()


class IndexError_(DedupError):
    """An index that cannot be used as it is: the message names its path."""


@dataclass(frozen=True)
class FileRecord:
    """What the manifest records of one file: its size and SHA-256."""

    size: int
    sha256: str

    @staticmethod
    def valid_digest(text: object) -> bool:
        return isinstance(text, str) and _SHA256.fullmatch(text) is not None


def segment_name(version: int, number: int, token: str) -> str:
    return f"seg-{version:06d}-{number:04d}-{token}"


def groups_name(version: int, token: str) -> str:
    return f"{DATA}/groups-{version:06d}-{token}.npy"


def removed_name(version: int, token: str) -> str:
    return f"{DATA}/removed-{version:06d}-{token}.npy"


def _outside(path: Path, why: str) -> IndexError_:
    return IndexError_(f"{path}: {why}; an index reads and writes only the files inside its own directory")


@contextlib.contextmanager
def directory(root: Path, *parts: str, at: int | None = None) -> Iterator[int]:
    """A descriptor of root/parts, each part opened from the one before it, never through a
    symbolic link; missing or linked parts are named. With `at`, an open descriptor of root is the
    start (root then only names it); without it, the directory a writer of this process holds for
    root, else root as its path names it now."""
    if at is None:
        at = _HELD.get(os.path.abspath(root))
    fds: list[int] = []
    try:
        try:
            fds.append(os.dup(at) if at is not None else os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC))
        except OSError as exc:
            raise IndexError_(f"{root}: cannot be opened as the index's directory: {exc.strerror or exc}") from None
        for i, part in enumerate(parts):
            here = root.joinpath(*parts[: i + 1])
            try:
                fds.append(os.open(part, _DIRECTORY, dir_fd=fds[-1]))
            except FileNotFoundError:
                raise IndexError_(f"{here}: missing (the index lists files in it); the index is damaged") from None
            except OSError as exc:
                if exc.errno in (errno.ELOOP, errno.ENOTDIR):
                    raise _outside(here, "a symbolic link or not a directory") from None
                raise IndexError_(f"{here}: cannot be opened: {exc.strerror or exc}") from None
        yield fds[-1]
    finally:
        for fd in fds:
            os.close(fd)


@contextlib.contextmanager
def held_open(root: Path) -> Iterator[int]:
    """Opens root's directory once and holds it for this process's writer: every file below root is
    reached from it (see `directory`) until the block ends."""
    key = os.path.abspath(root)
    try:
        fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as exc:
        raise IndexError_(f"{root}: cannot be opened as the index's directory: {exc.strerror or exc}") from None
    with _HELD_LOCK:
        if key in _HELD:
            os.close(fd)
            raise IndexError_(f"{root}: this process is already writing this index")
        _HELD[key] = fd
    try:
        yield fd
    finally:
        with _HELD_LOCK:
            del _HELD[key]
        os.close(fd)


def check_held(root: Path, doing: str) -> None:
    """That root's path still names the directory this process's writer holds (files that tasks
    wrote by path are in it); else nothing is published."""
    fd = _HELD.get(os.path.abspath(root))
    if fd is None:
        return
    held = os.fstat(fd)
    try:
        now = os.stat(root)
    except OSError:
        now = None
    if now is None or (held.st_dev, held.st_ino) != (now.st_dev, now.st_ino):
        raise IndexError_(f"{root}: moved or replaced while {doing}; nothing was published to it")


def _split(rel: str) -> list[str]:
    parts = rel.split("/")
    if rel.startswith("/") or any(p in ("", ".", "..") for p in parts):
        raise ValueError(f"not a path inside an index: {rel!r}")
    return parts


@contextlib.contextmanager
def open_file(root: Path, rel: str) -> Iterator[IO[bytes]]:
    """A regular file below root, opened for reading without following any symbolic link."""
    parts = _split(rel)
    path = root / rel
    with directory(root, *parts[:-1]) as folder:
        try:
            # O_NONBLOCK: a FIFO in its place must not block the open (it is refused below).
            fd = os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=folder)
        except FileNotFoundError:
            raise IndexError_(f"{path}: missing (the index lists it); the index is damaged") from None
        except OSError as exc:
            if exc.errno == errno.ELOOP:
                raise _outside(path, "a symbolic link") from None
            raise IndexError_(f"{path}: cannot be read: {exc.strerror or exc}") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):  # a directory, a FIFO or a device where a file belongs
        os.close(fd)
        raise _outside(path, "not a regular file")
    with os.fdopen(fd, "rb") as f:
        yield f


def read_text(root: Path, rel: str, most: int) -> str:
    """A small file of the index as text; one larger than `most` bytes is refused unread."""
    with open_file(root, rel) as f:
        size = os.fstat(f.fileno()).st_size
        if size > most:
            raise IndexError_(
                f"{root / rel}: {size:,} bytes, more than an index writes ({most:,}); the index is damaged"
            )
        try:
            return f.read().decode()
        except UnicodeDecodeError:
            raise IndexError_(f"{root / rel}: not text; the index is damaged") from None


def mounts_below(root: Path) -> list[str]:
    """The mount points inside root (a bind mount of another index's folder among them), from this
    process's mount table; none where the table cannot be read."""
    try:
        table = Path("/proc/self/mountinfo").read_text()
    except OSError:
        return []
    inside = os.path.realpath(root) + os.sep
    found = []
    for line in table.splitlines():
        fields = line.split(" ")
        if len(fields) > 4:
            point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), fields[4])
            if point.startswith(inside):
                found.append(point)
    return found


def check_no_mounts(root: Path, doing: str) -> None:
    """Refuses to write or remove in an index that holds a mount point: the files under it belong to
    another file system, perhaps to another index."""
    points = mounts_below(root)
    if points:
        raise IndexError_(
            f"{points[0]}: a mount point inside the index {root}; {doing} nothing across it "
            "(the files there may be another index's)"
        )


def _header(f: IO[bytes], path: Path) -> tuple[tuple[int, ...], bool, np.dtype[Any]]:
    major, _ = np.lib.format.read_magic(f)
    if major == 1:
        shape, fortran, dtype = np.lib.format.read_array_header_1_0(f)
    elif major == 2:
        shape, fortran, dtype = np.lib.format.read_array_header_2_0(f)
    else:
        raise ValueError(f"unknown .npy format version {major}")
    if dtype.hasobject:
        raise ValueError("it holds Python objects")
    return shape, fortran, dtype


def load_array(root: Path, rel: str, record: FileRecord, verify: bool, mmap: bool) -> np.ndarray:
    """One array the index lists, after checking its size, its SHA-256 (files up to
    HASHED_AT_OPEN always, every file with `verify`) and its header; memory-mapped read-only with
    `mmap` (a plain ndarray view of the mapping)."""
    path = root / rel
    with open_file(root, rel) as f:
        size = os.fstat(f.fileno()).st_size
        if size != record.size:
            raise IndexError_(f"{path}: {size:,} bytes, the index recorded {record.size:,}; the index is damaged")
        if (verify or size <= HASHED_AT_OPEN) and hashlib.file_digest(f, "sha256").hexdigest() != record.sha256:
            raise IndexError_(
                f"{path}: its contents differ from what the index recorded (SHA-256); the index is damaged"
            )
        f.seek(0)
        try:
            shape, fortran, dtype = _header(f, path)
            if not mmap:
                f.seek(0)
                return np.load(f, allow_pickle=False)
            offset = f.tell()
            order = "F" if fortran else "C"
            mapped = np.memmap(f, dtype=dtype, mode="r", offset=offset, shape=shape, order=order)
            # A plain view of the mapping: indexing a np.memmap costs far more than indexing an array.
            return mapped.view(np.ndarray)
        except (OSError, ValueError, EOFError) as exc:
            raise IndexError_(f"{path}: cannot be read as an array ({exc}); the index is damaged") from None


def _failed_write(path: Path, exc: OSError) -> DedupError:
    why = exc.strerror or str(exc)
    return DedupError(f"{path}: cannot be written: {why[:1].lower()}{why[1:]}")


def save_array(root: Path, rel: str, array: np.ndarray) -> FileRecord:
    """Writes one .npy file below root (created, never replaced), synced; returns its record. A write
    that fails (a full disk, say) removes the partial file and says why."""
    parts = _split(rel)
    path = root / rel
    array = np.ascontiguousarray(array)
    digest = hashlib.sha256()
    with directory(root, *parts[:-1]) as folder:
        try:
            fd = os.open(
                parts[-1], os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644, dir_fd=folder
            )
        except OSError as exc:
            raise _failed_write(path, exc) from None
        try:
            with os.fdopen(fd, "wb") as f:
                head = _HashingWriter(f, digest)
                header = np.lib.format.header_data_from_array_1_0(array)
                try:
                    np.lib.format.write_array_header_1_0(head, header)
                except ValueError:  # a header too large for format 1.0
                    np.lib.format.write_array_header_2_0(head, header)
                data = memoryview(array.reshape(-1)).cast("B") if array.size else memoryview(b"")
                for lo in range(0, len(data), WRITE_CHUNK):
                    head.write(data[lo : lo + WRITE_CHUNK])
                f.flush()
                os.fsync(f.fileno())
                size = f.tell()
        except OSError as exc:
            with contextlib.suppress(OSError):
                os.unlink(parts[-1], dir_fd=folder)
            raise _failed_write(path, exc) from None
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(parts[-1], dir_fd=folder)
            raise
    return FileRecord(size, digest.hexdigest())


class _HashingWriter:
    """A file that hashes what is written to it (numpy writes the header through `write`)."""

    def __init__(self, f: IO[bytes], digest: Any) -> None:
        self.f, self.digest = f, digest

    def write(self, data: Any) -> int:
        self.digest.update(data)
        return self.f.write(data)


def make_directory(root: Path, rel: str) -> None:
    """Creates root/rel (its parent must exist inside the index); an existing one is an error."""
    parts = _split(rel)
    with directory(root, *parts[:-1]) as folder:
        try:
            os.mkdir(parts[-1], 0o755, dir_fd=folder)
        except OSError as exc:
            raise _failed_write(root / rel, exc) from None


def sync_directory(root: Path, rel: str = "") -> None:
    with directory(root, *(_split(rel) if rel else [])) as fd:
        os.fsync(fd)
