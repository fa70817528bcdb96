"""Exact and near-duplicate detection for embedding corpora on a Dask cluster.

    from ambrel_dedup import run

    result = run("embeddings.parquet", "dedup-out", threshold=0.9)
    result.summary["counts"]["removed"]

One code path runs on a local cluster (the default), on an existing cluster
(`scheduler="tcp://host:8786"`) or on a `distributed.Client` you pass in.
"""

from __future__ import annotations

from .errors import DedupError, InputError
from .generate import Generated
from .params import LshParams, choose_params, with_overrides
from .pipeline import RunResult, connect, run

__all__ = [
    "DedupError",
    "Generated",
    "InputError",
    "LshParams",
    "RunResult",
    "choose_params",
    "connect",
    "run",
    "with_overrides",
]
