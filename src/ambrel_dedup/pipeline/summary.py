"""What a run says of itself in summary.json, as types (`Summary`, its `Counts`, ...), the summary as
a function of what the job found, and the result every job returns (`RunResult`)."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NotRequired, TypedDict

import numpy as np

from ..engine.engines import Engine
from ..engine.where import Shuffle
from ..files.sources import Source
from ..ranking import KeepRule, RuleJson
from .cells import PROMISE_WARNING, Layout, promise_low
from .group import Groups
from .options import AddMode, Grouping


class Counts(TypedDict, total=False):
    """The counts of a run, in the order the stages set them. Every run has zero_rows, exact_copies,
    exact_pairs, representatives, placements, near_pairs, dense_cells, pairs, grouped_ids, groups
    and removed; a run's greedy decision has recheck_pairs; a run has the component counts; an
    add has incomplete_cells and pairs_with_index; kept_rows and annotated_rows are there when
    those data sets are written."""

    zero_rows: int
    exact_copies: int
    exact_pairs: int
    representatives: int
    placements: int
    near_pairs: int
    dense_cells: int
    recheck_pairs: int
    incomplete_cells: int
    pairs_with_index: int
    component_rounds: int
    components: int
    largest_component: int
    pairs: int
    kept_rows: int
    annotated_rows: int
    grouped_ids: int
    groups: int
    removed: int


class CellsSummary(TypedDict):
    count: int
    margin: float
    max_cells: int
    held_out_pairs: int
    margin_chosen_on: str


class DecisionSummary(RuleJson):
    groups: Grouping
    rule: str  # the keep rule in words


class ParametersSummary(RuleJson):
    groups: Grouping
    shuffle: Shuffle
    margin: float | None


class Histogram(TypedDict):
    edges: list[float]
    counts: list[int]


class ZeroRows(TypedDict):
    count: int
    ids: list[int | str]  # the first ones, in the type of the user's ids


class EngineSummary(TypedDict):
    name: str  # "in-process" or "cluster"
    workers: int
    threads: int


class IndexVersion(TypedDict):
    """The index version an add wrote."""

    path: str
    version: int
    added: AddMode


class Rethresholded(TypedDict):
    output: str
    threshold: float


class Summary(TypedDict):
    """summary.json of a run (also of `create_index`, `add_to_index` and `rethreshold`)."""

    input: str
    files: list[str]
    id_column: str
    vectors: int
    dimensions: int
    partitions: int
    threshold: float
    cells: CellsSummary
    promised_recall: dict[str, float | None]
    promised_recall_lower: dict[str, float | None]
    promise_below: float | None
    decision: DecisionSummary
    parameters: ParametersSummary
    counts: Counts
    cosine_histogram: Histogram
    group_sizes: dict[str, int]
    zero_rows: ZeroRows
    engine: EngineSummary
    seconds: dict[str, float]
    index: NotRequired[IndexVersion]
    rethresholded_from: NotRequired[Rethresholded]


@dataclass
class RunResult[S: Mapping[str, Any] = Summary]:
    """What a job wrote: its output directory and its summary, and the kept and annotated data
    sets when they were asked for."""

    output: Path
    summary: S
    kept: Path | None = None
    annotated: Path | None = None

    @property
    def seconds(self) -> dict[str, float]:
        return dict(self.summary["seconds"])


def summary_of(
    *,
    source: Source,
    engine: Engine,
    threshold: float,
    rule: KeepRule,
    grouping: Grouping,
    shuffle: Shuffle,
    margin: float | None,
    layout: Layout,
    counts: Counts,
    groups: Groups,
    histogram: np.ndarray,
    edges: np.ndarray,
    zero_ids: Sequence[int | str],
    seconds: dict[str, float],
) -> Summary:
    """The summary of a job that read `source`, found `counts` with `layout` and decided `groups`
    (`margin`: the one asked for, if any); `histogram` counts the near pairs' cosines between
    `edges`; `seconds` per stage."""
    sizes = groups.sizes
    every: Counts = {
        **counts,
        "grouped_ids": sum(size * n for size, n in sizes.items()),
        "groups": sum(sizes.values()),
        "removed": groups.removed,
    }
    return {
        "input": source.description,
        "files": sorted({p.file for p in source.partitions}) if source.kind != "generated" and not source.held else [],
        "id_column": source.id_column,
        "vectors": source.count,
        "dimensions": source.dim,
        "partitions": len(source.partitions),
        "threshold": threshold,
        "cells": {
            "count": layout.cells,
            "margin": layout.margin,
            "max_cells": layout.max_cells,
            "held_out_pairs": layout.held_out_pairs,
            "margin_chosen_on": layout.calibrated_on(),
        },
        "promised_recall": layout.promised,
        "promised_recall_lower": layout.promised_lower,
        "promise_below": PROMISE_WARNING if promise_low(layout, threshold) else None,
        "decision": {"groups": grouping, **rule.to_json(), "rule": rule.describe()},
        "parameters": {**rule.to_json(), "groups": grouping, "shuffle": shuffle, "margin": margin},
        "counts": every,
        "cosine_histogram": {"edges": edges.tolist(), "counts": [int(n) for n in histogram]},
        "group_sizes": {str(size): n for size, n in sizes.items()},
        "zero_rows": {"count": every["zero_rows"], "ids": list(zero_ids)},
        "engine": {"name": engine.name, "workers": engine.workers, "threads": engine.threads},
        "seconds": dict(seconds),
    }
