"""A run's pairs decided again at a higher threshold, without computing a cosine.

A run at threshold t lists every pair at or above t that its cells found (and they were laid out
for t, so at any T >= t it holds at least the pairs a run at T would find). `decide_at` takes the
run's output directory and decides at T >= t as the run would have: the exact copies' vectors stay
as they were (represented by the keep rule's first row of each, as in the run), the near pairs at
or above T, the run's keep rule and grouping (`summary.json`; the keep-by values of every id in a
pair from `keys.parquet`). `rethreshold` writes the result as a run's output: pairs.parquet (the
pairs at or above T, and each removed row's pair with the row it duplicates), groups.parquet and
summary.json. The report (`ambrel_dedup.review.report`) draws the rows removed at every threshold from
the same function.

Ids that are not int64 are read as int64 keys of the same order (`RunOutput.ids`): integers that
fit int64 as they are; text (and uint64 past int64) as their rank among the run's ids or, when a
keyed run was kept by a column, as each row's position in its input (keys.parquet's `input_row`,
by which the run broke ties); the outputs give them back in the run's type.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, cast

import numpy as np
import pandas as pd

from .. import partition as k
from .. import ranking
from ..errors import DedupError
from ..files import ids as uid
from ..files.outputs import KEYS, Output
from ..pipeline import decide
from ..pipeline.options import check_threshold
from ..pipeline.summary import RunResult, Summary
from ..ranking import KeepRule, Keys


@dataclass
class RunOutput:
    """What a run wrote: its summary, its pairs, its keep rule and the keep-by values, with int64
    keys for ids that are not int64 (`ids`: the user's id of each key; the keys.parquet read,
    `keys_table`)."""

    path: Path
    summary: dict[str, Any]
    pairs: pd.DataFrame
    rule: KeepRule
    grouping: str
    keys: pd.DataFrame | None
    ids: uid.UserIds | None = None
    keys_table: Any = None

    @property
    def threshold(self) -> float:
        return float(self.summary["threshold"])

    @staticmethod
    def read(path: str | os.PathLike[str]) -> RunOutput:
        root = Path(path)
        try:
            summary = json.loads((root / "summary.json").read_text())
            decision = summary["decision"]
            rule = KeepRule.of(decision.get("keep", "min"), _keep_by(decision))
            pairs = pd.read_parquet(root / "pairs.parquet", columns=["id_a", "id_b", "cosine", "exact"])
            keys = None
            if rule.column is not None:
                keys = pd.read_parquet(root / KEYS)
            ids, table = None, None
            if pairs.id_a.dtype != np.int64 or (keys is not None and uid.INPUT_ROW in keys):
                ids, pairs, keys, table = _keyed(root, rule)
        except FileNotFoundError as exc:
            raise DedupError(f"{root}: not the output of a run ({Path(exc.filename or '').name} is missing)") from None
        except (OSError, ValueError, KeyError, TypeError) as exc:
            raise DedupError(f"{root}: cannot be read as the output of a run ({type(exc).__name__}: {exc})") from None
        return RunOutput(root, summary, pairs, rule, str(decision.get("groups", "greedy")), keys, ids, table)

    def names(self, keys: np.ndarray) -> list[Any]:
        """The user's ids of keys."""
        return keys.tolist() if self.ids is None else self.ids.of(keys).to_pylist()  # type: ignore[no-any-return]

    def ranks(self) -> decide.Rank:
        if self.rule.column is None or self.keys is None:
            return lambda ids: ranking.order(self.rule, ids, None)
        table = self.keys.sort_values("id")
        ids = table["id"].to_numpy(np.int64)
        column = table[self.rule.column]
        held = Keys(column.to_numpy(), column.isna().to_numpy())

        def rank(wanted: np.ndarray) -> np.ndarray:
            return ranking.order(self.rule, wanted, held.take(np.searchsorted(ids, wanted)))

        return rank


def _keyed(root: Path, rule: KeepRule) -> tuple[uid.UserIds, pd.DataFrame, pd.DataFrame | None, Any]:
    """A run's pairs and keep-by values whose ids are not int64, with int64 keys in their order:
    (the user's ids of the keys, the pairs, the keep-by values, keys.parquet as read)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    table = pq.read_table(root / "pairs.parquet", columns=["id_a", "id_b", "cosine", "exact"])
    keys = pq.read_table(root / KEYS) if rule.column is not None else None
    kind = table.schema.field("id_a").type
    if keys is not None and uid.INPUT_ROW in keys.column_names:  # ranked with ties by input position
        rows = keys[uid.INPUT_ROW].to_numpy()
        order = np.argsort(rows, kind="stable")
        ids = uid.UserIds(str(kind), keys["id"].combine_chunks().take(pa.array(order)), rows[order])
    else:
        chunks = [*table["id_a"].chunks, *table["id_b"].chunks, *(keys["id"].chunks if keys is not None else [])]
        every = pa.chunked_array(chunks, kind).combine_chunks()
        fits = pa.types.is_integer(kind) and (len(every) == 0 or pc.max(every).as_py() <= uid.MAX_INT64)
        values = pc.unique(every)
        ids = uid.UserIds(str(kind)) if fits else uid.UserIds(str(kind), values.take(pc.sort_indices(values)))
    a, b = ids.key_of(table["id_a"].combine_chunks()), ids.key_of(table["id_b"].combine_chunks())
    # Keys of the order of the ids, or of the input's (positions): each pair as id_a < id_b.
    pairs = pd.DataFrame(
        {
            "id_a": np.minimum(a, b),
            "id_b": np.maximum(a, b),
            "cosine": table["cosine"].to_numpy(),
            "exact": table["exact"].to_numpy(),
        }
    )
    return ids, k.sort_pairs(pairs), None if keys is None else _keys_frame(keys, ids), keys


def _keys_frame(keys: Any, ids: uid.UserIds) -> pd.DataFrame:
    """keys.parquet with the ids' keys."""
    frame = keys.drop_columns([c for c in keys.column_names if c == uid.INPUT_ROW]).to_pandas()
    return frame.assign(id=ids.key_of(keys["id"].combine_chunks()))


def _keep_by(decision: dict[str, Any]) -> str | None:
    column = decision.get("keep_by")
    return None if column is None else f"{column}:{decision.get('direction', 'desc')}"


@dataclass
class Decided:
    """The decision at one threshold and the pairs it rests on (those at or above it, exact copies
    included)."""

    threshold: float
    decision: decide.Decision
    pairs: pd.DataFrame


def _vectors(pairs: pd.DataFrame, rank: decide.Rank) -> tuple[np.ndarray, np.ndarray, pd.DataFrame]:
    """The exact copies' vectors: (ids in a copy pair, sorted; the representative of each, the
    rule's first of its vector) and the copy pairs as (representative, copy, cosine)."""
    exact = pairs[pairs.exact]
    members, labels = k.component_labels(exact.id_a.to_numpy(np.int64), exact.id_b.to_numpy(np.int64))
    if len(members) == 0:
        none = np.zeros(0, np.int64)
        return none, none, pd.DataFrame({"id_a": none, "id_b": none, "cosine": np.zeros(0)})
    by_rank = rank(members)
    position = np.empty(len(members), np.int64)
    position[by_rank] = np.arange(len(members))
    order = np.lexsort((position, labels))
    first = np.concatenate([[True], labels[order][1:] != labels[order][:-1]])
    rep_of_label = dict(zip(labels[order][first].tolist(), members[order][first].tolist()))
    rep = np.array([rep_of_label[x] for x in labels.tolist()], np.int64)
    cosine = dict(zip(zip(exact.id_a.tolist(), exact.id_b.tolist()), exact.cosine.tolist()))
    copy = members != rep
    a, b = members[copy], rep[copy]
    cos = np.array([cosine[min(x, y), max(x, y)] for x, y in zip(a.tolist(), b.tolist())])
    return members, rep, pd.DataFrame({"id_a": b, "id_b": a, "cosine": cos})


def decide_at(run: RunOutput, threshold: float, grouping: str | None = None) -> Decided:
    """The run's decision at `threshold` (at least the run's)."""
    check_threshold(threshold)
    if threshold < run.threshold:
        raise ValueError(
            f"threshold {threshold} is below the run's {run.threshold}: its pairs below that were never listed"
        )
    rank = run.ranks()
    pairs = run.pairs
    members, rep, copies = _vectors(pairs, rank)
    near = pairs[~pairs.exact & (pairs.cosine >= threshold)]
    # Near pairs between representatives: a copy's pairs (listed for the rows it was removed for)
    # stand for its representative's.
    a, b = near.id_a.to_numpy(np.int64), near.id_b.to_numpy(np.int64)
    if len(members):
        at_a, at_b = np.searchsorted(members, a), np.searchsorted(members, b)
        in_a = at_a < len(members)
        in_a[in_a] = members[at_a[in_a]] == a[in_a]
        in_b = at_b < len(members)
        in_b[in_b] = members[at_b[in_b]] == b[in_b]
        a = np.where(in_a, rep[np.minimum(at_a, len(rep) - 1)], a)
        b = np.where(in_b, rep[np.minimum(at_b, len(rep) - 1)], b)
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    lo, hi, cos = k.unique_pairs_with(lo, hi, near.cosine.to_numpy(np.float64))
    edges = (lo, hi, cos)
    exact_edges = (copies.id_a.to_numpy(), copies.id_b.to_numpy(), copies.cosine.to_numpy())
    how = grouping or run.grouping
    found = decide.greedy(edges, exact_edges, rank) if how == "greedy" else decide.components(edges, exact_edges, rank)
    listed = pd.concat([pairs[pairs.exact], near], ignore_index=True)
    return Decided(threshold, found, listed)


def removed_at(run: RunOutput, thresholds: list[float]) -> list[int]:
    """The rows the run's rule removes at each threshold."""
    return [decide_at(run, t).decision.removed for t in thresholds]


def rethreshold(
    output: str | os.PathLike[str],
    threshold: float,
    target: str | os.PathLike[str],
    *,
    overwrite: bool = False,
) -> RunResult:
    """Writes the decision of the run at `output` at `threshold` (>= the run's) to `target`, as a
    run writes its output, without computing a cosine."""
    run = RunOutput.read(output)
    decided = decide_at(run, threshold)
    out = Output(target, [output], overwrite, os.urandom(5).hex())
    with out:
        found = decided.decision
        extra = found.pairs()
        pairs = pd.concat([decided.pairs, extra], ignore_index=True)
        pairs = k.sort_pairs(pairs.drop_duplicates(["id_a", "id_b"]))
        if run.ids is None:
            _write_table(out.tmp / "pairs.parquet", pairs)
            _write_table(out.tmp / "groups.parquet", found.frame())
            if run.keys is not None:
                _write_table(out.tmp / KEYS, run.keys)
        else:
            ids = run.ids
            _write_table(out.tmp / "pairs.parquet", ids.pairs(pairs), ids.schema("id_a", "id_b"))
            _write_table(
                out.tmp / "groups.parquet", ids.groups(found.frame()), ids.schema("id", "group", "duplicate_of")
            )
            if run.keys_table is not None:
                (out.tmp / KEYS).mkdir()
                _write_arrow(out.tmp / KEYS / "part.0.parquet", run.keys_table)
        summary = _summary(run, decided, pairs)
        (out.tmp / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
        out.ready()
        out.commit()
    return RunResult(out.shown, cast(Summary, summary))  # the run's summary, with the new decision's counts


def _write_table(directory: Path, frame: pd.DataFrame, types: dict[str, Any] | None = None) -> None:
    """One part file in a directory, as a run's outputs are laid out; `types`: the Parquet types of
    some columns."""
    directory.mkdir()
    if types is None:
        frame.reset_index(drop=True).to_parquet(directory / "part.0.parquet", index=False)
        return
    import pyarrow as pa

    table = pa.Table.from_pandas(frame.reset_index(drop=True), preserve_index=False)
    for name, kind in types.items():
        table = table.set_column(table.schema.get_field_index(name), name, table[name].cast(kind))
    _write_arrow(directory / "part.0.parquet", table)


def _write_arrow(path: Path, table: Any) -> None:
    import pyarrow.parquet as pq

    pq.write_table(table, path)


def _summary(run: RunOutput, decided: Decided, pairs: pd.DataFrame) -> dict[str, Any]:
    found = decided.decision
    near = pairs[~pairs.exact]
    edges = np.linspace(decided.threshold, 1.0, 41)
    hist, _ = np.histogram(near.cosine.to_numpy(), bins=edges)
    summary = dict(run.summary)
    counts = dict(summary.get("counts", {}))
    counts.update(
        pairs=len(pairs),
        near_pairs=len(near),
        removed=found.removed,
        groups=sum(found.sizes.values()),
        grouped_ids=sum(s * n for s, n in found.sizes.items()),
    )
    summary.update(
        threshold=decided.threshold,
        counts=counts,
        group_sizes={str(s): n for s, n in sorted(found.sizes.items())},
        cosine_histogram={"edges": edges.tolist(), "counts": [int(n) for n in hist]},
        rethresholded_from={"output": str(run.path.absolute()), "threshold": run.threshold},
    )
    return summary
