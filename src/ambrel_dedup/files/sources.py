"""Inputs read in partitions: Parquet files, .npy files and the built-in data set.

The client only looks at schemas, shapes and row counts; rows are read inside the
tasks, one partition at a time, so no process ever holds the whole corpus. Every
problem is reported as an `InputError` naming the file and, for problems in the
data, the row (counted from 0 within that file).

Ids are integers or text (`ids`): integers that fit int64 are the rows' keys as they are; text
ids, and uint64 ids of which one passes 2**63 - 1 (`keyed_ids`), are carried by the row's
position in the input, the user's ids read beside (`Source.read_rows`).
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ..datasets.generate import Generated
from ..errors import InputError
from ..ranking import Keys, key_dtype, keys_of
from . import ids as uid

TARGET_PARTITION_BYTES = 64 << 20
# The most partitions a run plans: the client keeps one small record (and Dask several tasks) per partition.
MAX_PARTITIONS = 100_000


@dataclass(frozen=True)
class Partition:
    """One unit of reading: rows [start, stop) of one file (or of the generated data set)."""

    index: int
    file: str  # path, or the generated data set's description
    start: int
    stop: int
    first_id: int = 0  # id of row `start` (.npy and generated), its position in the input (Parquet)
    row_groups: tuple[int, ...] = ()  # Parquet: the row groups covering [start, stop)

    @property
    def rows(self) -> int:
        return self.stop - self.start


@dataclass(frozen=True)
class Source:
    """A validated input: its partitions and everything a worker needs to read one."""

    kind: str  # "parquet", "npy" or "generated"
    description: str
    count: int
    dim: int
    partitions: tuple[Partition, ...]
    id_column: str = "id"
    vector_column: str = "embedding"
    generated: Generated | None = None
    ids_are_row_numbers: bool = True
    dim_from: str = ""  # Parquet: the file whose vectors set `dim` (the first one with rows)
    key_column: str | None = None  # Parquet: the column rows are ranked by (`--keep-by`)
    key_dtype: str = ""  # the dtype of its values as `ranking.keys_of` gives them (one for every file),
    # or, keyed ids ranked by themselves (no key_column), of their `ids.rank_keys`
    held: bool = False  # written from memory for the job's time (files.memory): no file to name later
    id_type: str = "int64"  # the Arrow type of the user's ids, which every output gives back
    keyed_ids: bool = False  # rows are carried by their position in the input (text, or uint64 past int64)

    def read(self, part: Partition) -> tuple[np.ndarray, np.ndarray]:
        """(ids as int64, vectors as a float32 matrix) of one partition, validated row by row."""
        ids, vectors, _ = self.read_rows(part)
        return ids, vectors

    def read_rows(self, part: Partition) -> tuple[np.ndarray, np.ndarray, Any]:
        """(int64 keys, float32 vectors, the user's ids) of one partition: with keyed ids the keys
        are the rows' positions in the input and the user's ids an Arrow array; otherwise the keys
        are the ids and the third is None."""
        users = None
        if self.kind == "generated":
            assert self.generated is not None
            vectors = self.generated.rows(part.start, part.stop)
            ids = np.arange(part.first_id, part.first_id + part.rows, dtype=np.int64)
        elif self.kind == "npy":
            ids, vectors = _read_npy(part)
        else:
            ids, vectors, users = _read_parquet(
                part, self.id_column, self.vector_column, self.dim, self.dim_from, self.keyed_ids
            )
        return ids, _finite_float32(vectors, part), users

    def read_keys(self, part: Partition) -> Keys:
        """The values of `key_column` of one partition's rows, in the order `read` gives them."""
        import pyarrow as pa

        assert self.key_column is not None
        tables = [table for _, table in _row_groups(part, [self.key_column])]
        table = pa.concat_tables(tables) if len(tables) != 1 else tables[0]
        keys = keys_of(table.column(self.key_column))
        return Keys(keys.values.astype(self.key_dtype), keys.null)

    def pieces(self, part: Partition) -> Iterator[tuple[np.ndarray, Any]]:
        """(ids as int64, a pyarrow table of the rows with every column) of one partition, in pieces:
        Parquet a row group at a time, with the file's schema and its metadata; .npy and generated
        rows whole, as the id column and the vector column of the float32 rows that `read` gives."""
        if self.kind == "parquet":
            for start, table in _row_groups(part):
                if self.keyed_ids:
                    first = part.first_id + start - part.start
                    yield np.arange(first, first + len(table), dtype=np.int64), table
                else:
                    yield _parquet_ids(table.column(self.id_column), part.file, start, self.id_column), table
            return
        import pyarrow as pa

        ids, vectors = self.read(part)
        values = pa.array(vectors.reshape(-1), pa.float32())
        columns = {self.id_column: pa.array(ids, pa.int64())}
        columns[self.vector_column] = pa.FixedSizeListArray.from_arrays(values, self.dim)
        yield ids, pa.table(columns)


def _finite_float32(vectors: np.ndarray, part: Partition) -> np.ndarray:
    # Rounded to 32-bit floats exactly as the signature functions convert their input;
    # a value beyond the float32 range becomes infinite here and is reported.
    with np.errstate(over="ignore", invalid="ignore"):
        out = np.ascontiguousarray(vectors, dtype=np.float32)
    bad = ~np.isfinite(out).all(axis=1)
    if bad.any():
        row = int(np.argmax(bad))
        raise InputError(
            f"{part.file}: row {part.start + row}: NaN or infinite value (after rounding to 32-bit floats)"
        )
    return out


def _partition_rows(dim: int, count: int, partition_rows: int | None, parallelism: int) -> int:
    if partition_rows is not None:
        if partition_rows < 1:
            raise ValueError(f"partition_rows must be at least 1, got {partition_rows}")
        return partition_rows
    by_size = max(1, TARGET_PARTITION_BYTES // (4 * max(dim, 1)))
    # At least four partitions per worker thread when there are enough rows, so that every thread has work.
    by_parallelism = max(1000, math.ceil(count / (4 * max(1, parallelism))))
    return min(by_size, by_parallelism)


MAX_ID = 2**63 - 1  # ids are signed 64-bit integers


def _check_ids(what: str, first_id: int, count: int) -> None:
    """Refuses row-numbered input whose ids first_id, first_id + 1, ... would not fit in int64."""
    if count and first_id + count - 1 > MAX_ID:
        raise InputError(
            f"{what}: its {count:,} rows would get the ids {first_id:,} to {first_id + count - 1:,}, "
            f"past the largest id 2**63-1 ({MAX_ID:,})"
        )


def _check_plan(what: str, count: int, rows: int, files: int = 1) -> None:
    """Refuses, before planning them, more partitions than a run can handle."""
    planned = math.ceil(count / rows)
    if planned + files - 1 > MAX_PARTITIONS:
        raise InputError(
            f"{what}: {count:,} vectors in partitions of {rows:,} rows would make {planned:,} partitions; "
            f"at most {MAX_PARTITIONS:,} can be planned (choose fewer vectors or more rows per partition)"
        )


# --------------------------------------------------------------------------
# The built-in data set

_BUILT_IN = re.compile(r"generated(?:$|[:,])")  # any other text is a path, even one named generated...
_GENERATED = re.compile(r"generated(?::(?P<count>\d+)(?:x(?P<dim>\d+))?)?(?P<opts>(?:,\w+=[^,]+)*)$")


def parse_generated(text: str) -> Generated:
    """`generated[:COUNT[xDIM]][,seed=S][,pairs=P][,copies=C][,groups=G][,cosine=LO-HI]` (per 1,000 rows)."""
    m = _GENERATED.match(text)
    if not m:
        raise InputError(
            f"{text}: expected generated[:COUNT[xDIM]][,seed=S][,pairs=P][,copies=C][,groups=G][,cosine=LO-HI]"
        )
    kwargs: dict[str, int | float] = {}
    if m["count"]:
        kwargs["count"] = int(m["count"])
    if m["dim"]:
        kwargs["dim"] = int(m["dim"])
    names = {"seed": "seed", "pairs": "pairs_per_block", "copies": "copies_per_block", "groups": "groups_per_block"}
    for item in filter(None, m["opts"].split(",")):
        key, value = item.split("=", 1)
        if key not in (*names, "cosine"):
            raise InputError(f"{text}: unknown option '{key}' ({', '.join([*names, 'cosine'])})")
        try:
            if key == "cosine":
                lo, _, hi = value.partition("-")
                kwargs["cosine_low"], kwargs["cosine_high"] = float(lo), float(hi or lo)
            else:
                kwargs[names[key]] = int(value)
        except ValueError as exc:
            raise InputError(f"{text}: bad value for '{key}': {exc}") from None
    try:
        return Generated(**kwargs)  # type: ignore[arg-type]
    except ValueError as exc:
        raise InputError(f"{text}: {exc}") from None


def generated_source(
    gen: Generated, partition_rows: int | None = None, parallelism: int = 1, first_id: int = 0
) -> Source:
    rows = _partition_rows(gen.dim, gen.count, partition_rows, parallelism)
    desc = gen.describe()
    what = f"the generated data set of {gen.count:,} x {gen.dim}"
    _check_ids(what, first_id, gen.count)
    _check_plan(what, gen.count, rows)
    parts = tuple(
        Partition(i, desc, start, min(start + rows, gen.count), first_id=first_id + start)
        for i, start in enumerate(range(0, gen.count, rows))
    )
    return Source("generated", desc, gen.count, gen.dim, parts, generated=gen)


# --------------------------------------------------------------------------
# .npy files


def _npy_header(path: Path) -> tuple[tuple[int, ...], np.dtype]:
    try:
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except (OSError, ValueError) as exc:
        raise InputError(f"{path}: cannot read a .npy array: {exc}") from None
    if not isinstance(array, np.ndarray):
        raise InputError(f"{path}: expected a single array (.npy), not an archive")
    return array.shape, array.dtype


def npy_source(
    paths: Sequence[Path], partition_rows: int | None = None, parallelism: int = 1, first_id: int = 0
) -> Source:
    dim: int | None = None
    sizes = []
    for path in paths:
        shape, dtype = _npy_header(path)
        if len(shape) != 2:
            raise InputError(f"{path}: expected a 2-D array of vectors, got shape {shape}")
        if dtype.kind not in "fiu":
            raise InputError(f"{path}: expected numbers, got dtype {dtype}")
        if shape[1] == 0:
            raise InputError(f"{path}: the vectors have 0 dimensions")
        if dim is not None and shape[1] != dim:
            raise InputError(f"{path}: vectors of {shape[1]} dimensions, but {paths[0]} has {dim}")
        dim = shape[1]
        sizes.append(shape[0])
    count = sum(sizes)
    if count == 0 or dim is None:
        raise InputError(f"{paths[0] if len(paths) == 1 else paths[0].parent}: no vectors")
    rows = _partition_rows(dim, count, partition_rows, parallelism)
    _check_plan(str(paths[0] if len(paths) == 1 else paths[0].parent), count, rows, len(paths))
    parts: list[Partition] = []
    first = first_id
    for path, size in zip(paths, sizes):
        _check_ids(str(path), first, size)
        for start in range(0, size, rows):
            parts.append(Partition(len(parts), str(path), start, min(start + rows, size), first_id=first + start))
        first += size
    desc = f"{count:,} vectors of {dim} dimensions from {len(paths)} .npy file{'s' * (len(paths) != 1)}"
    return Source("npy", desc, count, dim, tuple(parts))


def _read_npy(part: Partition) -> tuple[np.ndarray, np.ndarray]:
    array = np.load(part.file, mmap_mode="r", allow_pickle=False)
    ids = np.arange(part.first_id, part.first_id + part.rows, dtype=np.int64)
    return ids, np.asarray(array[part.start : part.stop])


# --------------------------------------------------------------------------
# Parquet files


def _vector_type_ok(arrow_type: object) -> tuple[bool, int | None]:
    import pyarrow as pa

    if pa.types.is_fixed_size_list(arrow_type) or pa.types.is_list(arrow_type) or pa.types.is_large_list(arrow_type):
        value = arrow_type.value_type  # type: ignore[attr-defined]
        numeric = pa.types.is_floating(value) or pa.types.is_integer(value)
        size = arrow_type.list_size if pa.types.is_fixed_size_list(arrow_type) else None  # type: ignore[attr-defined]
        return numeric, size
    return False, None


def parquet_source(
    paths: Sequence[Path],
    id_column: str,
    vector_column: str,
    partition_rows: int | None = None,
    parallelism: int = 1,
    key_column: str | None = None,
) -> Source:
    import pyarrow as pa
    import pyarrow.parquet as pq

    metas = []
    sizes: list[int | None] = []
    key_kinds: list[tuple[Path, str]] = []
    id_types: list[tuple[str, Any]] = []
    for path in paths:
        try:
            pf = pq.ParquetFile(path)
        except (OSError, pa.ArrowException) as exc:
            raise InputError(f"{path}: cannot read a Parquet file: {exc}") from None
        schema = pf.schema_arrow
        names = schema.names
        for column in (id_column, vector_column):
            if column not in names:
                raise InputError(f"{path}: no column '{column}' (columns: {', '.join(names) or 'none'})")
        id_type = schema.field(id_column).type
        if not uid.is_id_type(id_type):
            raise InputError(f"{path}: column '{id_column}' holds {id_type}, expected integer or text ids")
        id_types.append((str(path), id_type))
        vec_type = schema.field(vector_column).type
        numeric, size = _vector_type_ok(vec_type)
        if not numeric:
            raise InputError(f"{path}: column '{vector_column}' holds {vec_type}, expected a list of numbers")
        if size == 0:
            raise InputError(f"{path}: column '{vector_column}' holds vectors of 0 dimensions")
        if key_column is not None:
            if key_column not in names:
                raise InputError(f"{path}: no column '{key_column}' to keep by (columns: {', '.join(names)})")
            key_type = schema.field(key_column).type
            dtype = key_dtype(key_type)
            if dtype is None:
                raise InputError(
                    f"{path}: column '{key_column}' holds {key_type}; rows are kept by numbers, timestamps or text"
                )
            if key_kinds and (dtype == "object") != (key_kinds[0][1] == "object"):
                raise InputError(
                    f"{path}: column '{key_column}' holds {key_type}, but {key_kinds[0][0]} holds "
                    f"{'text' if key_kinds[0][1] == 'object' else 'numbers'}"
                )
            key_kinds.append((path, dtype))
        metas.append((path, pf.metadata))
        sizes.append(size)
    count = sum(m.num_rows for _, m in metas)
    if count == 0:
        raise InputError(f"{paths[0] if len(paths) == 1 else paths[0].parent}: no vectors")
    # The dimension is the first file's with rows: its fixed size, or its first row's length.
    first = next(i for i, (_, meta) in enumerate(metas) if meta.num_rows)
    dim_from = metas[first][0]
    dim = sizes[first] or _first_length(dim_from, vector_column)
    for (path, _), size in zip(metas, sizes):
        if size is not None and size != dim:
            raise InputError(f"{path}: vectors of {size} dimensions, but {dim_from} has {dim}")
    ids_type = uid.common_type(id_types)
    keyed = uid.is_text(ids_type) or (pa.types.is_uint64(ids_type) and _past_int64(metas, id_column))
    rows = _partition_rows(dim, count, partition_rows, parallelism)
    parts: list[Partition] = []
    offset = 0  # the position in the input of the file's first row
    for path, meta in metas:
        start, group_start = 0, 0
        groups: list[int] = []
        for g in range(meta.num_row_groups):
            n = meta.row_group(g).num_rows
            if not groups:
                group_start = start
            groups.append(g)
            start += n
            if start - group_start >= rows:
                parts.append(Partition(len(parts), str(path), group_start, start, offset + group_start, tuple(groups)))
                groups = []
        if groups and start > group_start:
            parts.append(Partition(len(parts), str(path), group_start, start, offset + group_start, tuple(groups)))
        offset += meta.num_rows
    kinds = [d for _, d in key_kinds]
    if keyed and key_column is None:  # ranked by the ids themselves
        kinds = ["object" if uid.is_text(ids_type) else "int64"]
    desc = f"{count:,} vectors of {dim} dimensions from {len(paths)} Parquet file{'s' * (len(paths) != 1)}"
    return Source(
        "parquet",
        desc,
        count,
        dim,
        tuple(parts),
        id_column,
        vector_column,
        ids_are_row_numbers=False,
        dim_from=str(dim_from),
        key_column=key_column,
        key_dtype=max(kinds, default="", key=("int64", "float64", "object").index),
        id_type=str(ids_type),
        keyed_ids=keyed,
    )


def _past_int64(metas: Sequence[tuple[Path, Any]], id_column: str) -> bool:
    """Whether a uint64 id of the files passes 2**63 - 1: from each row group's statistics, or from
    its ids where it has none."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    for path, meta in metas:
        for g in range(meta.num_row_groups):
            group = meta.row_group(g)
            chunk = next(c for c in map(group.column, range(group.num_columns)) if c.path_in_schema == id_column)
            stats = chunk.statistics
            if stats is not None and stats.has_min_max:
                top = stats.max
            else:
                try:
                    top = pc.max(pq.ParquetFile(path).read_row_group(g, columns=[id_column]).column(0)).as_py()
                except (OSError, pa.ArrowException) as exc:
                    raise InputError(f"{path}: row group {g} cannot be read: " + " ".join(str(exc).split())) from None
            if top is not None and top > uid.MAX_INT64:
                return True
    return False


def _first_length(path: Path, vector_column: str) -> int:
    """The length of the first row's vector of a file that has rows."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    try:
        batch = next(pq.ParquetFile(path).iter_batches(batch_size=1, columns=[vector_column]))
    except (OSError, pa.ArrowException) as exc:
        raise InputError(f"{path}: row group 0 cannot be read: " + " ".join(str(exc).split())) from None
    first = batch.column(0)[0]
    if not first.is_valid:
        raise InputError(f"{path}: row 0: no vector (null)")
    length = len(first.values)
    if length == 0:
        raise InputError(f"{path}: row 0: the vector has 0 dimensions")
    return length


def _row_groups(part: Partition, columns: list[str] | None = None) -> Iterator[tuple[int, Any]]:
    """The partition's row groups one at a time, so that a damaged one is named, each with the number
    of its first row in the file; every column unless `columns` are given."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    try:
        pf = pq.ParquetFile(part.file)
    except (OSError, pa.ArrowException) as exc:
        raise InputError(f"{part.file}: cannot read a Parquet file: {exc}") from None
    start = part.start
    for g in part.row_groups:
        try:
            table = pf.read_row_group(g, columns=columns)
        except (OSError, pa.ArrowException) as exc:
            rows = pf.metadata.row_group(g).num_rows
            raise InputError(
                f"{part.file}: row group {g} (rows {start} to {start + rows - 1}) cannot be read: "
                + " ".join(str(exc).split())
            ) from None
        yield start, table
        start += len(table)


def _parquet_ids(column: Any, file: str, start: int, id_column: str) -> np.ndarray:
    """The ids of a column read from `file` as int64; `start` is the number of its first row in the file."""
    import pyarrow as pa
    import pyarrow.compute as pc

    ids_col = column.combine_chunks()
    if ids_col.null_count:
        row = int(pc.index(ids_col.is_null(), True).as_py())
        raise InputError(f"{file}: row {start + row}: no id (null)")
    try:
        return ids_col.cast(pa.int64()).to_numpy(zero_copy_only=False)
    except pa.ArrowInvalid:
        raise InputError(f"{file}: an id in column '{id_column}' does not fit in a signed 64-bit integer") from None


def _read_parquet(
    part: Partition, id_column: str, vector_column: str, dim: int, dim_from: str, keyed: bool = False
) -> tuple[np.ndarray, np.ndarray, Any]:
    """(int64 keys, the vectors, the user's ids of keyed input or None) of a partition."""
    import pyarrow as pa
    import pyarrow.compute as pc

    tables = [table for _, table in _row_groups(part, [id_column, vector_column])]
    table = pa.concat_tables(tables) if len(tables) != 1 else tables[0]
    users = None
    if keyed:
        users = table.column(id_column).combine_chunks()
        if users.null_count:
            row = int(pc.index(users.is_null(), True).as_py())
            raise InputError(f"{part.file}: row {part.start + row}: no id (null)")
        ids = np.arange(part.first_id, part.first_id + len(users), dtype=np.int64)
    else:
        ids = _parquet_ids(table.column(id_column), part.file, part.start, id_column)

    def named(row: int) -> str:
        return str(ids[row]) if users is None else uid.shown(users[row].as_py())

    vectors = table.column(vector_column).combine_chunks()
    if vectors.null_count:
        row = int(pc.index(vectors.is_null(), True).as_py())
        raise InputError(f"{part.file}: row {part.start + row}: no vector (null)")
    like = "the first row" + ("" if dim_from in ("", part.file) else f" of {dim_from}")
    if pa.types.is_fixed_size_list(vectors.type):
        values = vectors.flatten()
        if vectors.type.list_size != dim:
            raise InputError(f"{part.file}: vectors of {vectors.type.list_size} dimensions, expected {dim} like {like}")
    else:
        lengths = pc.list_value_length(vectors).to_numpy(zero_copy_only=False)
        wrong = lengths != dim
        if wrong.any():
            row = int(np.argmax(wrong))
            raise InputError(
                f"{part.file}: row {part.start + row} (id {named(row)}): a vector of {lengths[row]} dimensions, "
                f"expected {dim} like {like}"
            )
        values = vectors.flatten()
    if values.null_count:
        row = int(pc.index(values.is_null(), True).as_py()) // dim
        raise InputError(f"{part.file}: row {part.start + row} (id {named(row)}): a missing value (null) in the vector")
    matrix = values.to_numpy(zero_copy_only=False).reshape(len(ids), dim)
    return ids, matrix, users


# --------------------------------------------------------------------------


def _discover(root: Path) -> list[Path]:
    """The .parquet and .npy files under root, in name order, without entering a run's
    outputs or its leftover temporary directories."""
    from .outputs import is_skipped_directory

    found = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if not is_skipped_directory(os.path.join(folder, d))]
        for name in files:
            path = Path(folder, name)
            if path.suffix in (".parquet", ".npy") and path.is_file():
                found.append(path)
    return sorted(found)


def open_source(
    source: str | os.PathLike[str] | Generated,
    *,
    id_column: str = "id",
    vector_column: str = "embedding",
    partition_rows: int | None = None,
    parallelism: int = 1,
    first_id: int = 0,
    key_column: str | None = None,
) -> Source:
    """Validates an input (schemas, shapes, row counts; not the rows) and splits it into partitions.
    Rows of .npy files and of the generated data set get the ids first_id, first_id + 1, ...
    `key_column` is a Parquet column that ranks the rows (checked in every file)."""
    src = _open(source, id_column, vector_column, partition_rows, parallelism, first_id, key_column)
    if key_column is not None and src.kind != "parquet":
        raise InputError(f"{src.description}: has no column '{key_column}' to keep by (only Parquet input has columns)")
    return src


def _open(
    source: str | os.PathLike[str] | Generated,
    id_column: str,
    vector_column: str,
    partition_rows: int | None,
    parallelism: int,
    first_id: int,
    key_column: str | None,
) -> Source:
    if isinstance(source, Generated):
        return generated_source(source, partition_rows, parallelism, first_id)
    text = os.fspath(source)
    if _BUILT_IN.match(text) and not Path(text).exists():
        try:
            gen = parse_generated(text)
        except InputError:
            if Path(text).suffix in (".parquet", ".npy") or os.sep in text:
                raise InputError(f"{text}: no such file or directory") from None  # a file's name, not the syntax
            raise
        return generated_source(gen, partition_rows, parallelism, first_id)
    # Absolute, so that workers in another directory read the same files.
    path = Path(os.path.abspath(text))
    if not path.exists():
        raise InputError(f"{text}: no such file or directory")
    if path.is_dir():
        files = _discover(path)
        parquet = [p for p in files if p.suffix == ".parquet"]
        npy = [p for p in files if p.suffix == ".npy"]
        if parquet and npy:
            raise InputError(f"{path}: holds both .parquet and .npy files; point at one kind")
        if not parquet and not npy:
            raise InputError(f"{path}: no .parquet or .npy files")
        if npy:
            return npy_source(npy, partition_rows, parallelism, first_id)
        return parquet_source(parquet, id_column, vector_column, partition_rows, parallelism, key_column)
    if path.suffix == ".npy":
        return npy_source([path], partition_rows, parallelism, first_id)
    return parquet_source([path], id_column, vector_column, partition_rows, parallelism, key_column)


@dataclass(frozen=True)
class Reading:
    """How a job reads its input: the id and vector columns of Parquet input, and the rows per
    partition (default: from the input's size and the engine's threads)."""

    id_column: str = "id"
    vector_column: str = "embedding"
    partition_rows: int | None = None

    def planner(
        self,
        source: str | os.PathLike[str] | Generated,
        first_id: int = 0,
        check: Callable[[Source], None] | None = None,
        key_column: str | None = None,
    ) -> Callable[[int], Source]:
        """The input's plan for a given parallelism (see `open_source`), checked by `check`."""

        def plan(parallelism: int) -> Source:
            src = open_source(
                source,
                id_column=self.id_column,
                vector_column=self.vector_column,
                partition_rows=self.partition_rows,
                parallelism=parallelism,
                first_id=first_id,
                key_column=key_column,
            )
            if check is not None:
                check(src)
            return src

        return plan


def input_paths(source: str | os.PathLike[str] | Generated) -> list[str | os.PathLike[str]]:
    """The paths an input is read from, which every output must lie apart from (none for the
    built-in data set)."""
    return [] if isinstance(source, Generated) or not os.path.lexists(source) else [source]
