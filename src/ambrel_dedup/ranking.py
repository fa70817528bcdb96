"""The keep rule: the order in which rows are kept.

Rows are ranked by the user's rule, best first: the smallest id (`keep="min"`), the largest
(`"max"`), or a column of the input (`keep_by="COLUMN[:asc|desc]"`: a number, a timestamp or a
text; `desc`, the default, ranks the largest value first), ties and missing values (null, NaN)
last, ties broken by the smallest id. The decision keeps a row unless a better-ranked kept row is
its near duplicate, so the rule says which row of a family stays.

Ranks are only ever compared among rows held together (the members of an exact copy's vector,
the rows of one cell, the rows of one decision task), so a column's values travel with their rows
(`Keys`) and are turned into local ranks where they are compared; no global sort is needed.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal, TypedDict

import numpy as np

KEEP_IDS = ("min", "max")
DIRECTIONS = ("asc", "desc")

Keep = Literal["min", "max"]


class RuleJson(TypedDict, total=False):
    """A keep rule as a summary writes it: `keep`, or `keep_by` and its `direction`."""

    keep: Keep
    keep_by: str
    direction: Literal["asc", "desc"]


@dataclass(frozen=True)
class KeepRule:
    """Which row of a family is kept: by id (`column` None) or by a column, then the smallest id."""

    column: str | None = None
    descending: bool = False

    @staticmethod
    def of(keep: str = "min", keep_by: str | None = None) -> KeepRule:
        if keep not in KEEP_IDS:
            raise ValueError(f"keep must be 'min' or 'max', got {keep!r}")
        if keep_by is None:
            return KeepRule(None, keep == "max")
        if not isinstance(keep_by, str) or not keep_by:
            raise ValueError(f"keep_by must be a column name, COLUMN:asc or COLUMN:desc, got {keep_by!r}")
        column, sep, direction = keep_by.rpartition(":")
        if not sep or direction not in DIRECTIONS:
            column, direction = keep_by, "desc"
        if not column:
            raise ValueError(f"keep_by must name a column, got {keep_by!r}")
        return KeepRule(column, direction == "desc")

    @property
    def by_id(self) -> bool:
        return self.column is None

    def describe(self) -> str:
        if self.column is None:
            return "the largest id" if self.descending else "the smallest id"
        way = "largest" if self.descending else "smallest"
        return f"the {way} {self.column} (missing values last), then the smallest id"

    def to_json(self) -> RuleJson:
        if self.column is None:
            return {"keep": "max" if self.descending else "min"}
        return {"keep_by": self.column, "direction": "desc" if self.descending else "asc"}


BY_SMALLEST_ID = KeepRule()


@dataclass
class Keys:
    """One column's values for some rows: `values` (int64, float64, datetime64 or str objects) and
    which are missing (`null`; their values are placeholders)."""

    values: np.ndarray
    null: np.ndarray

    def __len__(self) -> int:
        return len(self.values)

    def take(self, rows: Any) -> Keys:
        return Keys(self.values[rows], self.null[rows])

    @staticmethod
    def concat(parts: list[Keys]) -> Keys:
        return Keys(np.concatenate([p.values for p in parts]), np.concatenate([p.null for p in parts]))

    @staticmethod
    def empty_like(other: Keys | None) -> Keys | None:
        return None if other is None else other.take(np.zeros(0, np.int64))


def keys_of(column: Any) -> Keys:
    """A pyarrow column (or chunked array) of numbers, timestamps or text as `Keys`."""
    import pyarrow as pa
    import pyarrow.compute as pc

    array = column.combine_chunks() if isinstance(column, pa.ChunkedArray) else column
    kind = array.type
    null = array.is_null().to_numpy(zero_copy_only=False)
    if pa.types.is_floating(kind) or pa.types.is_decimal(kind):
        values = pc.fill_null(array.cast(pa.float64()), 0.0).to_numpy(zero_copy_only=False)
        null = null | np.isnan(values)
    elif pa.types.is_integer(kind) or pa.types.is_boolean(kind):
        values = pc.fill_null(array.cast(pa.int64()), 0).to_numpy(zero_copy_only=False)
    elif pa.types.is_timestamp(kind) or pa.types.is_date(kind) or pa.types.is_duration(kind):
        # Microseconds, whatever the file's unit, so that files of other units rank together.
        unit = pa.duration("us") if pa.types.is_duration(kind) else pa.timestamp("us", getattr(kind, "tz", None))
        values = pc.fill_null(array.cast(unit, safe=False).cast(pa.int64()), 0).to_numpy(zero_copy_only=False)
    elif pa.types.is_string(kind) or pa.types.is_large_string(kind):
        values = np.array(pc.fill_null(array, "").to_pylist(), dtype=object)
    else:
        raise TypeError(str(kind))
    return Keys(np.asarray(values), np.asarray(null, dtype=bool))


def key_dtype(arrow_type: Any) -> str | None:
    """The numpy dtype `keys_of` gives a column of this type ("int64", "float64" or "object" for
    text), or None for a type that cannot rank rows."""
    import pyarrow as pa

    t = arrow_type
    if pa.types.is_floating(t) or pa.types.is_decimal(t):
        return "float64"
    if (
        pa.types.is_integer(t)
        or pa.types.is_boolean(t)
        or pa.types.is_timestamp(t)
        or pa.types.is_date(t)
        or pa.types.is_duration(t)
    ):
        return "int64"
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        return "object"
    return None


def order(rule: KeepRule, ids: np.ndarray, keys: Keys | None) -> np.ndarray:
    """Positions of the rows (ids unique) best first by the rule."""
    ids = np.asarray(ids, dtype=np.int64)
    if rule.column is None:
        by_id = np.argsort(ids, kind="stable")
        return by_id[::-1] if rule.descending else by_id
    assert keys is not None and len(keys) == len(ids)
    present = ~keys.null
    dense = np.zeros(len(ids), np.int64)
    if present.any():
        dense[present] = np.unique(keys.values[present], return_inverse=True)[1].reshape(-1)
    if rule.descending:
        dense = -dense
    dense[~present] = np.iinfo(np.int64).max
    return np.lexsort((ids, dense))


def best(rule: KeepRule, ids: np.ndarray, keys: Keys | None) -> int:
    """The position of the best-ranked row."""
    return int(order(rule, ids, keys)[0])
