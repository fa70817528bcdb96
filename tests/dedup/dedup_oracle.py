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
