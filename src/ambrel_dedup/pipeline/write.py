"""The write stage: pairs.parquet (every listed pair, and the pair of every removed row with the row
it duplicates, each once), groups.parquet and, when rows are kept by a column, keys.parquet; and the
histogram of the near pairs' cosines.

Ids that are not int64 are written as the user's (`files.ids.UserIds`, shared by the read stage):
pairs with id_a < id_b by the user's ids, every part sorted by them; keys.parquet of keyed ids
also holds each row's position in the input (`input_row`), by which the keep rule broke ties."""

from __future__ import annotations

from typing import Any

import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa
from dask import delayed

from .. import partition as k
from ..engine.engines import Engine
from ..files import ids as uid
from ..files.outputs import KEYS, Output
from ..ranking import KeepRule
from .group import DECISION_PAIRS_META, GROUPS_META, Groups
from .read import SharedIds

_KEY_TYPES = {"int64": pa.int64(), "float64": pa.float64(), "object": pa.string()}


def write(
    engine: Engine,
    target: Output | None,
    exact: dd.DataFrame,
    near: dd.DataFrame,
    groups: Groups,
    rule: KeepRule,
    key_dtype: str,
    threshold: float,
    parts: int,
) -> tuple[np.ndarray, np.ndarray, int]:
    """The tables written into `target`'s temporary directory (none without a target), in `parts`
    partitions; the histogram of the near pairs' cosines, its edges and the number of pairs."""
    meta = DECISION_PAIRS_META
    flagged = [
        exact.map_partitions(_flag, True, meta=meta),
        near.map_partitions(_flag, False, meta=meta),
        groups.pairs,
    ]
    pairs = dd.concat(flagged).shuffle(on="id_a", npartitions=parts)
    pairs = pairs.map_partitions(_distinct_pairs, meta=meta)
    edges = np.linspace(threshold, 1.0, 41)
    if target is not None:
        tmp = target.tmp  # made before any work; the run removes it if anything fails
        tables = [("pairs.parquet", pairs), ("groups.parquet", groups.frame)]
        schemas: dict[str, Any] = {}
        if groups.keys is not None and rule.column is not None:
            column, kind = rule.column, key_dtype
            tables.append(
                (KEYS, groups.keys.map_partitions(_named_keys, column, kind, meta=_named_keys(None, column, kind)))
            )
            schemas[KEYS] = {"id": pa.int64(), column: _KEY_TYPES[kind]}
        if groups.ids is not None:
            tables, schemas = _as_users(tables, schemas, groups.ids)
        writes = [
            data.to_parquet(tmp / name, write_index=False, compute=False, schema=schemas.get(name, "infer"))
            for name, data in tables
        ]
        engine.compute("write", writes)
    hists = engine.compute("write", [delayed(_histogram)(part, edges) for part in pairs.to_delayed()])
    counts = engine.gather(hists)
    cos_hist = np.sum([c[0] for c in counts], axis=0) if counts else np.zeros(len(edges) - 1, dtype=np.int64)
    return cos_hist, edges, int(sum(c[1] for c in counts))


def _as_users(
    tables: list[tuple[str, Any]], schemas: dict[str, Any], ids: SharedIds
) -> tuple[list[tuple[str, Any]], dict[str, Any]]:
    """The tables with the user's ids in place of the keys, each part a task given the shared ids."""
    here = ids.here
    floats, flags = np.zeros(0), np.zeros(0, bool)
    pairs_meta = pd.DataFrame({"id_a": here.empty(), "id_b": here.empty(), "cosine": floats, "exact": flags})
    groups_meta = GROUPS_META.assign(id=here.empty(), group=here.empty(), duplicate_of=here.empty(nullable=True))
    out, types = [], dict(schemas)
    for name, data in tables:
        if name == KEYS:
            meta = _user_keys(data._meta, here)
            func: Any = _user_keys
            types[name] = {**schemas[name], "id": here.arrow_type} | ({uid.INPUT_ROW: pa.int64()} if here.keyed else {})
        else:
            meta, func = (pairs_meta, _user_pairs) if name == "pairs.parquet" else (groups_meta, _user_groups)
            types[name] = (
                here.schema("id_a", "id_b") if name == "pairs.parquet" else here.schema("id", "group", "duplicate_of")
            )
        parts = [delayed(func, pure=False)(part, ids.handle) for part in data.to_delayed()]
        out.append((name, dd.from_delayed(parts, meta=meta, verify_meta=False)))
    return out, types


def _user_pairs(part: pd.DataFrame, ids: uid.UserIds) -> pd.DataFrame:
    return ids.pairs(part)


def _user_groups(part: pd.DataFrame, ids: uid.UserIds) -> pd.DataFrame:
    return ids.groups(part)


def _user_keys(part: pd.DataFrame, ids: uid.UserIds) -> pd.DataFrame:
    """keys.parquet's table with the user's ids; keyed ids add each row's position (the key)."""
    keys = part["id"].to_numpy(np.int64)
    out = part.assign(id=ids.column(keys))
    return out.assign(**{uid.INPUT_ROW: keys}) if ids.keyed else out


def _named_keys(part: pd.DataFrame | None, column: str, kind: str) -> pd.DataFrame:
    """The keep-by values as written to keys.parquet: the id and the column under its own name
    (timestamps and dates as microseconds since the epoch, as they were ranked)."""
    if part is None:
        part = pd.DataFrame({"id": np.zeros(0, np.int64), "key": np.zeros(0, kind), "key_null": np.zeros(0, bool)})
    null = part["key_null"].to_numpy(bool)
    values = part["key"].to_numpy()
    if kind == "object":
        column_values: Any = pd.array(np.where(null, None, values).astype(object), dtype="string")
    elif kind == "int64":
        column_values = pd.arrays.IntegerArray(values.astype(np.int64), null)
    else:
        column_values = pd.arrays.FloatingArray(values.astype(np.float64), null)
    return pd.DataFrame({"id": part["id"].to_numpy(np.int64), column: column_values})


def _distinct_pairs(part: pd.DataFrame) -> pd.DataFrame:
    """Sorted by (id_a, id_b), each pair once (a pair may be listed by two dense cells, and a removed
    row's pair is often listed already)."""
    part = k.sort_pairs(part)
    a, b = part["id_a"].to_numpy(), part["id_b"].to_numpy()
    first = np.ones(len(part), dtype=bool)
    first[1:] = (a[1:] != a[:-1]) | (b[1:] != b[:-1])
    return part[first].reset_index(drop=True)


def _flag(part: pd.DataFrame, exact: bool) -> pd.DataFrame:
    """Pairs as written: id_a < id_b (an exact copy's representative may have the larger id)."""
    a, b = part["id_a"].to_numpy(), part["id_b"].to_numpy()
    return pd.DataFrame(
        {
            "id_a": np.minimum(a, b),
            "id_b": np.maximum(a, b),
            "cosine": part["cosine"].to_numpy(),
            "exact": np.full(len(part), exact, dtype=bool),
        }
    )


def _histogram(part: pd.DataFrame, edges: np.ndarray) -> tuple[np.ndarray, int]:
    """The histogram of the near pairs' cosines, and the number of pairs."""
    counts, _ = np.histogram(part["cosine"].to_numpy()[~part["exact"].to_numpy(bool)], bins=edges)
    return counts, len(part)
