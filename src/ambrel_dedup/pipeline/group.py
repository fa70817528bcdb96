"""The group stage: the decision on the pairs (`decide`), gathered when they are few, else one task
per set of whole components (found by alternating large-star and small-star steps)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask import delayed

from .. import partition as k
from .. import ranking
from ..engine.engines import Engine, local_frame
from ..errors import DedupError
from ..ranking import KeepRule, Keys
from . import decide
from .exact import Exact
from .pairs import PAIR_META, Pairs
from .read import Block, Blocks, SharedIds

EDGES_PER_PARTITION = 500_000
MAX_COMPONENT_ROUNDS = 64
LOCAL_EDGES = 4_000_000  # edges joined in the caller's memory; more go through star steps on the engine


@dataclass
class Groups:
    frame: Any  # dd.DataFrame of decide.GROUPS_COLUMNS, sorted by id
    pairs: Any  # dd.DataFrame: id_a, id_b, cosine, exact: each removed row with the row it duplicates
    sizes: dict[int, int]
    removed: int
    rounds: int = 0  # star steps (0: the pairs were gathered)
    components: int = 0
    largest: int = 0  # the largest connected component of the pairs, in ids
    keys: Any = None  # dd.DataFrame (id, key, key_null) of every id in a pair, when kept by a column
    ids: SharedIds | None = None  # the user's ids of the keys, when they are not int64 (see `read.Blocks`)


GROUPS_META = decide.groups_meta()
DECISION_PAIRS_META = k.frame({"id_a": np.int64, "id_b": np.int64, "cosine": np.float64, "exact": bool})


def _map_with_stats(
    engine: Engine, stage: str, frame: Any, func: Any, meta: pd.DataFrame, *args: Any
) -> tuple[Any, list[Any]]:
    handles = engine.compute(stage, [delayed(func, pure=True)(part, *args) for part in frame.to_delayed()])
    return engine.frame(engine.part(handles, 0), meta), engine.gather(engine.part(handles, 1))


def _block_keys(block: Block, wanted: np.ndarray | None) -> pd.DataFrame:
    """The keep-by values of the block's rows whose ids are in `wanted` (sorted; None: every row)."""
    assert block.keys is not None
    take = slice(None) if wanted is None else k.in_sorted(block.ids, wanted)
    return pd.DataFrame({"id": block.ids[take], "key": block.keys.values[take], "key_null": block.keys.null[take]})


def gather_keys(engine: Engine, blocks: Blocks, wanted: np.ndarray) -> pd.DataFrame:
    """The keep-by values of the rows of `wanted` (sorted ids), gathered here."""
    shared = engine.share(wanted)
    return pd.concat(engine.gather(engine.run("group", _block_keys, [(b, shared) for b in blocks.handles])))


def ranking_of(rule: KeepRule, keys: pd.DataFrame | None) -> decide.Rank:
    """Ids ranked by the rule; `keys` holds the keep-by values of every id ranked."""
    return _ranking(rule, keys)


def _ranking(rule: KeepRule, keys: pd.DataFrame | None) -> decide.Rank:
    if keys is None or rule.by_id:
        return lambda ids: ranking.order(rule, ids, None)
    table = keys.sort_values("id")
    ids = table["id"].to_numpy(np.int64)
    held = Keys(table["key"].to_numpy(), table["key_null"].to_numpy(bool))

    def rank(wanted: np.ndarray) -> np.ndarray:
        return ranking.order(rule, wanted, held.take(np.searchsorted(ids, wanted)))

    return rank


def _decide_part(
    near: pd.DataFrame, copies: pd.DataFrame, keys: pd.DataFrame | None, rule: KeepRule, mode: str
) -> tuple[pd.DataFrame, pd.DataFrame, dict[str, Any]]:
    """The decision on whole components: (groups, the pairs of removed rows, stats)."""
    edges = (near.id_a.to_numpy(), near.id_b.to_numpy(), near.cosine.to_numpy())
    exact_edges = (copies.id_a.to_numpy(), copies.id_b.to_numpy(), copies.cosine.to_numpy())
    rank = _ranking(rule, keys)
    found = decide.greedy(edges, exact_edges, rank) if mode == "greedy" else decide.components(edges, exact_edges, rank)
    _, labels = k.component_labels(
        np.concatenate([edges[0], exact_edges[0]]).astype(np.int64),
        np.concatenate([edges[1], exact_edges[1]]).astype(np.int64),
    )
    sizes = np.unique(labels, return_counts=True)[1] if len(labels) else np.zeros(0, np.int64)
    stats = {
        "sizes": found.sizes,
        "removed": found.removed,
        "components": len(sizes),
        "largest": int(sizes.max(initial=0)),
    }
    return found.frame(), found.pairs(), stats


def groups(
    engine: Engine,
    blocks: Blocks,
    exact_copies: Exact,
    found: Pairs,
    rule: KeepRule,
    mode: str,
    output_parts: int,
    key_dtype: str = "object",
) -> Groups:
    """Which rows are kept and which are removed for which kept row (`decide`: the greedy rule, or
    with mode "components" the connected components), on every listed pair. The same on every
    engine and partitioning: the pairs and the ranks decide, and a component is decided whole."""
    rule = blocks.ranking(rule)
    n_edges = exact_copies.count + found.count
    if n_edges <= LOCAL_EDGES:
        # Few pairs: gathered and decided here in one native call.
        near = pd.concat([PAIR_META, *engine.gather(found.handles)], ignore_index=True)
        keys = None
        if not rule.by_id:
            copies = exact_copies.pairs
            ends = [near.id_a, near.id_b, copies.id_a, copies.id_b]
            keys = gather_keys(engine, blocks, np.unique(np.concatenate([e.to_numpy(np.int64) for e in ends])))
        frame, pairs_found, stats = _decide_part(near, exact_copies.pairs, keys, rule, mode)
        ordered = (
            local_frame(frame)
            .shuffle(on="id", npartitions=output_parts)
            .map_partitions(k.sort_groups, meta=GROUPS_META)
        )
        return Groups(
            engine.persist("group", ordered, GROUPS_META),
            local_frame(pairs_found),
            dict(sorted(stats["sizes"].items())),
            stats["removed"],
            0,
            stats["components"],
            stats["largest"],
            None if keys is None else local_frame(keys.reset_index(drop=True)),
            blocks.ids,
        )
    exact_frame = local_frame(exact_copies.pairs)
    stars = engine.frame(found.stars, k.EDGE_META)
    labels, rounds = _star_labels(engine, dd.concat([exact_frame[["id_a", "id_b"]], stars]), n_edges)
    parts = max(2, engine.threads, math.ceil(n_edges / EDGES_PER_PARTITION))
    by_a = labels.rename(columns={"id": "id_a", "group": "label"})
    near = engine.frame(found.handles, PAIR_META).merge(by_a, on="id_a", how="inner")
    copies = exact_frame.merge(by_a, on="id_a", how="inner")
    sides = [near.shuffle(on="label", npartitions=parts), copies.shuffle(on="label", npartitions=parts)]
    if not rule.by_id:
        none = np.zeros(0, np.int64)
        key_meta = pd.DataFrame({"id": none, "key": pd.Series(dtype=key_dtype), "key_null": np.zeros(0, bool)})
        key_parts = engine.run("group", _block_keys, [(b, None) for b in blocks.handles])
        keyed = engine.frame(key_parts, key_meta).merge(labels.rename(columns={"group": "label"}), on="id")
        sides.append(keyed.shuffle(on="label", npartitions=parts))
    pieces = [side.to_delayed() for side in sides]
    tasks = [
        delayed(_decide_part, pure=True)(n, c, None if rule.by_id else pieces[2][i], rule, mode)
        for i, (n, c) in enumerate(zip(pieces[0], pieces[1]))
    ]
    handles = engine.compute("group", tasks)
    stats = engine.gather(engine.part(handles, 2))
    sizes: dict[int, int] = {}
    for st in stats:
        for size, n in st["sizes"].items():
            sizes[size] = sizes.get(size, 0) + n
    frame = engine.frame(engine.part(handles, 0), GROUPS_META)
    ordered = frame.shuffle(on="id", npartitions=output_parts).map_partitions(k.sort_groups, meta=GROUPS_META)
    return Groups(
        engine.persist("group", ordered, GROUPS_META),
        engine.frame(engine.part(handles, 1), DECISION_PAIRS_META),
        dict(sorted(sizes.items())),
        sum(st["removed"] for st in stats),
        rounds,
        sum(st["components"] for st in stats),
        max((st["largest"] for st in stats), default=0),
        None if rule.by_id else keyed[["id", "key", "key_null"]],
        blocks.ids,
    )


def _star_labels(engine: Engine, edges: Any, n_edges: int) -> tuple[Any, int]:
    """Connected components without gathering the edges: (id, group) of every id in some edge, the
    group its component's smallest id; and the rounds it took."""
    parts = max(2, engine.threads, math.ceil(n_edges / EDGES_PER_PARTITION))
    current, rounds = edges, 0
    while True:
        rounds += 1
        if rounds > MAX_COMPONENT_ROUNDS:
            raise DedupError(f"group: connected components did not settle in {MAX_COMPONENT_ROUNDS} rounds")
        both = current.map_partitions(k.directed, meta=k.frame({"src": np.int64, "dst": np.int64}))
        current, changes = _map_with_stats(
            engine, "group", both.shuffle(on="src", npartitions=parts), k.large_star, k.EDGE_META
        )
        large = sum(changes)
        current, changes = _map_with_stats(
            engine, "group", current.shuffle(on="id_b", npartitions=parts), k.small_star, k.EDGE_META
        )
        if large == 0 and sum(changes) == 0:
            break
    meta = k.frame({"id": np.int64, "group": np.int64})
    members = current.map_partitions(k.star_members, meta=meta).shuffle(on="id", npartitions=parts)
    return members.map_partitions(_distinct, meta=meta), rounds


def _distinct(part: pd.DataFrame) -> pd.DataFrame:
    return part.drop_duplicates().reset_index(drop=True)
