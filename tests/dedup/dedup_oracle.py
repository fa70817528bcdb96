"""Shared pieces of the pipeline tests: the small data set, local clusters, and independent
oracles (brute-force cosine, union-find components)."""

from __future__ import annotations

import logging
import os
import signal
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from distributed import LocalCluster
from distributed.diagnostics.plugin import WorkerPlugin

from ambrel_dedup import Generated

THRESHOLD = 0.9
# Small enough for seconds per run; dense in planted pairs (0.80 .. 0.99), groups and copies.
SMALL = Generated(count=4000, dim=48, seed=3, pairs_per_block=40, copies_per_block=10, groups_per_block=5)


def local_cluster(workers: int) -> LocalCluster:
    return LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.CRITICAL
    )


def true_cosines(vectors: np.ndarray) -> np.ndarray:
    x = vectors.astype(np.float64)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x @ x.T


def components(edges: list[tuple[int, int]]) -> dict[int, int]:
    """id -> smallest id of its connected component, for every id in some edge."""
    parent: dict[int, int] = {}

    def find(x: int) -> int:
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for a, b in edges:
        parent.setdefault(a, a)
        parent.setdefault(b, b)
        ra, rb = find(a), find(b)
        if ra != rb:
            parent[max(ra, rb)] = min(ra, rb)
    return {x: find(x) for x in parent}


def greedy(pairs: pd.DataFrame, rank: dict[int, int]) -> dict[int, tuple[int, float]]:
    """The sequential greedy rule, one row at a time in rank order (`rank[id]`, smaller first, ties by
    id): a row
    is removed for the kept row of better rank with the highest cosine (ties by rank), if there is
    one. Returns removed id -> (the kept row it duplicates, their cosine)."""
    near: dict[int, list[tuple[int, float]]] = {}
    for a, b, c in zip(pairs.id_a.tolist(), pairs.id_b.tolist(), pairs.cosine.tolist()):
        near.setdefault(a, []).append((b, c))
        near.setdefault(b, []).append((a, c))
    kept: set[int] = set()
    removed: dict[int, tuple[int, float]] = {}
    for row in sorted(near, key=lambda i: (rank[i], i)):
        found = [(c, v) for v, c in near[row] if v in kept]
        if found:
            c, v = min(found, key=lambda cv: (-cv[0], rank[cv[1]], cv[1]))
            removed[row] = (v, c)
        else:
            kept.add(row)
    return removed


class ById(dict):
    """Ranks by id: the smallest first, or (`largest`) the largest."""

    def __init__(self, largest: bool = False) -> None:
        super().__init__()
        self.sign = -1 if largest else 1

    def __missing__(self, key: int) -> int:
        return self.sign * key


def check_decision(pairs: pd.DataFrame, groups: pd.DataFrame, rank: dict[int, int]) -> None:
    """groups.parquet (or an index's group table) is what the greedy rule decides on pairs.parquet:
    the removed rows, each with the kept row it duplicates (its group) and their cosine, and each
    kept row that some row duplicates."""
    removed = greedy(pairs, rank)
    gone = groups[~groups.keep]
    assert dict(zip(gone.id.tolist(), zip(gone.group.tolist(), gone.cosine.tolist()))) == removed
    kept = groups[groups.keep]
    assert set(kept.id) == {v for v, _ in removed.values()} and (kept.group == kept.id).all()
    assert pd.isna(kept.cosine).all()
    if "duplicate_of" in groups:
        assert (gone.group == gone.duplicate_of).all() and kept.duplicate_of.isna().all()


def no_work(stage: str, client: object) -> None:
    """An `on_stage` hook for runs that must be refused before any stage starts."""
    pytest.fail(f"stage {stage} started")


def tree(root: Path) -> list[tuple[str, bytes]]:
    """Every path below root with the bytes of its files: equal before and after means untouched."""
    return sorted((str(p.relative_to(root)), p.read_bytes() if p.is_file() else b"") for p in root.rglob("*"))


def damage(path: Path, row_group: int, column: int) -> None:
    """Overwrites the start of a data page of one column chunk of a Parquet file."""
    import pyarrow.parquet as pq

    offset = pq.ParquetFile(path).metadata.row_group(row_group).column(column).data_page_offset
    damaged = bytearray(path.read_bytes())
    damaged[offset : offset + 16] = b"\xff" * 16
    path.write_bytes(damaged)


def read_output(path: Path) -> tuple[pd.DataFrame, pd.DataFrame]:
    pairs = pd.read_parquet(path / "pairs.parquet").sort_values(["id_a", "id_b"]).reset_index(drop=True)
    groups = pd.read_parquet(path / "groups.parquet").sort_values("id").reset_index(drop=True)
    return pairs, groups


class KillOnSign(WorkerPlugin):
    """Kills the worker process as it starts a read task: once (a marker file remembers), or every time."""

    def __init__(self, marker: str, once: bool) -> None:
        self.marker = marker
        self.once = once

    def transition(self, key: object, start: str, finish: str, **kwargs: object) -> None:
        if finish == "executing" and "ambrel-read-" in str(key):
            if self.once:
                try:
                    fd = os.open(self.marker, os.O_CREAT | os.O_EXCL)
                except FileExistsError:
                    return
                os.close(fd)
            os.kill(os.getpid(), signal.SIGKILL)
