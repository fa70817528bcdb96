"""The user's ids: integers of any width or text, carried inside a job as int64 keys.

Integer ids whose values all fit int64 are their own keys (cast to int64 as read) and are cast back
to the files' type where outputs are written. Text ids, and uint64 ids of which one passes
2**63 - 1, cannot be: their rows are carried by their position in the input (files in name order,
rows in order), and `UserIds` holds the user's id of every key, gathered once by the read stage.
Wherever the keys are compared as the user's ids (the keep rule by id, the order of a pair, the
order of the rows of an output), the user's ids are compared: `rank_keys` gives ranking keys of the
same order (text by code point, uint64 by value), and `UserIds` writes pairs with id_a < id_b by the
user's ids, every output part sorted by them.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ..errors import InputError
from ..ranking import Keys

MAX_INT64 = 2**63 - 1
INPUT_ROW = "input_row"  # keys.parquet of keyed ids: each row's position, the keep rule's tie-break
_SIGN = np.uint64(1 << 63)


def is_text(arrow_type: Any) -> bool:
    import pyarrow as pa

    return bool(pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type))


def is_id_type(arrow_type: Any) -> bool:
    """Whether a column of this type can hold ids: integers or text."""
    import pyarrow as pa

    return bool(pa.types.is_integer(arrow_type) or is_text(arrow_type))


def common_type(types: Sequence[tuple[str, Any]]) -> Any:
    """The type of the ids of several files, (file, id type) each: theirs when they agree; text
    when all are text (large_string if one is); integers of one signedness the widest; signed and
    unsigned integers together int64 (each value must fit it). Integers and text are refused."""
    import pyarrow as pa

    first_file, first = types[0]
    for file, kind in types:
        if is_text(kind) != is_text(first):
            raise InputError(
                f"{file}: its ids are {kind}, but those of {first_file} are {first}; ids are all integers or all text"
            )
    kinds = [kind for _, kind in types]
    if all(kind == first for kind in kinds):
        return first
    if is_text(first):
        return pa.large_string() if any(pa.types.is_large_string(k) for k in kinds) else pa.string()
    widest = max(kinds, key=lambda k: k.bit_width)
    if all(pa.types.is_signed_integer(k) for k in kinds) or all(pa.types.is_unsigned_integer(k) for k in kinds):
        return widest
    return pa.int64()


def rank_keys(ids: Any) -> Keys:
    """Ranking keys of the user's ids (an Arrow array without nulls) in their own order: text as
    str objects (compared by code point), uint64 as int64 with the sign bit flipped."""
    import pyarrow as pa

    if is_text(ids.type):
        values = np.asarray(ids.to_numpy(zero_copy_only=False), dtype=object)
    elif pa.types.is_uint64(ids.type):
        values = (ids.to_numpy(zero_copy_only=False) ^ _SIGN).view(np.int64)
    else:
        values = ids.cast(pa.int64()).to_numpy(zero_copy_only=False)
    return Keys(values, np.zeros(len(values), bool))


def shown(value: Any) -> str:
    """An id in a message: a number as it is, a text quoted."""
    return repr(value) if isinstance(value, str) else str(value)


@dataclass(frozen=True, eq=False)
class UserIds:
    """The user's ids of int64 keys: their Arrow type (`type`, its name) and, when the keys are not
    the ids themselves, the user's id of each key (`users`, an Arrow array: of the keys 0, 1, ...
    or, given, of the sorted `keys`). Without `users` a key is the id itself, cast to `type`."""

    type: str = "int64"
    users: Any = None
    keys: np.ndarray | None = None

    @property
    def keyed(self) -> bool:
        return self.users is not None

    @property
    def arrow_type(self) -> Any:
        import pyarrow as pa

        return pa.type_for_alias(self.type)

    def of(self, keys: np.ndarray) -> Any:
        """The user's ids of int64 keys, as an Arrow array."""
        import pyarrow as pa

        keys = np.asarray(keys, np.int64)
        if self.users is None:
            return pa.array(keys, pa.int64()).cast(self.arrow_type)
        at = keys if self.keys is None else np.minimum(np.searchsorted(self.keys, keys), max(len(self.keys) - 1, 0))
        return self.users.take(pa.array(at, pa.int64()))

    def key_of(self, ids: Any) -> np.ndarray:
        """The int64 keys of user's ids (an Arrow array of ids that have keys)."""
        import pyarrow as pa
        import pyarrow.compute as pc

        if self.users is None:
            return np.asarray(ids.cast(pa.int64()).to_numpy(zero_copy_only=False), np.int64)
        at = np.asarray(pc.index_in(ids, value_set=self.users).to_numpy(zero_copy_only=False), np.int64)
        return at if self.keys is None else np.asarray(self.keys[at], np.int64)

    def column(self, keys: np.ndarray, null: np.ndarray | None = None) -> Any:
        """The user's ids of `keys` as a pandas column (null where `null`): numbers in the numpy
        type of theirs (a nullable one with `null`), text as pandas strings."""
        keys = np.asarray(keys, np.int64)
        return _pandas(self.of(keys if null is None else np.where(null, 0, keys)), null)

    def empty(self, nullable: bool = False) -> Any:
        return self.column(np.zeros(0, np.int64), np.zeros(0, bool) if nullable else None)

    def schema(self, *columns: str) -> dict[str, Any]:
        """The Parquet types of the id columns of an output."""
        return dict.fromkeys(columns, self.arrow_type)

    def pairs(self, part: pd.DataFrame) -> pd.DataFrame:
        """Pairs of keys (id_a, id_b, then any columns) as the user's ids: id_a < id_b by the
        user's ids, sorted by (id_a, id_b)."""
        import pyarrow as pa
        import pyarrow.compute as pc

        a, b = part["id_a"].to_numpy(np.int64), part["id_b"].to_numpy(np.int64)
        rest = {name: part[name].to_numpy() for name in part.columns if name not in ("id_a", "id_b")}
        if not self.keyed:  # the keys are the ids: already in their order
            return pd.DataFrame({"id_a": self.column(a), "id_b": self.column(b), **rest})
        ua, ub = self.of(a), self.of(b)
        swap = pc.less(ub, ua)
        lo, hi = pc.if_else(swap, ub, ua), pc.if_else(swap, ua, ub)
        order = pc.sort_indices(pa.table({"a": lo, "b": hi}), sort_keys=[("a", "ascending"), ("b", "ascending")])
        at = order.to_numpy()
        out = {"id_a": _pandas(lo.take(order)), "id_b": _pandas(hi.take(order))}
        return pd.DataFrame({**out, **{name: values[at] for name, values in rest.items()}})

    def groups(self, part: pd.DataFrame) -> pd.DataFrame:
        """A groups table of keys (id, group, keep, duplicate_of, cosine) as the user's ids, sorted
        by id."""
        import pyarrow.compute as pc

        dup = part["duplicate_of"]
        null = dup.isna().to_numpy()
        out = pd.DataFrame(
            {
                "id": self.column(part["id"].to_numpy(np.int64)),
                "group": self.column(part["group"].to_numpy(np.int64)),
                "keep": part["keep"].to_numpy(bool),
                "duplicate_of": self.column(dup.to_numpy(np.int64, na_value=0), null),
                "cosine": part["cosine"].array,
            }
        )
        if not self.keyed:
            return out
        at = pc.sort_indices(self.of(part["id"].to_numpy(np.int64))).to_numpy()
        return out.iloc[at].reset_index(drop=True)


def _pandas(ids: Any, null: np.ndarray | None = None) -> Any:
    """An Arrow array of ids as a pandas column: integers in their numpy type (nullable with
    `null`), text as pandas strings."""
    if is_text(ids.type):
        values = np.asarray(ids.to_numpy(zero_copy_only=False), dtype=object)
        if null is not None:
            values[null] = None
        return pd.array(values, dtype="string")
    numbers = ids.to_numpy(zero_copy_only=False)
    if null is None:
        return numbers
    return pd.arrays.IntegerArray(numbers.astype(ids.type.to_pandas_dtype(), copy=False), np.asarray(null, bool).copy())
