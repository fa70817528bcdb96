"""Exact and near-duplicate detection for embedding corpora, in process or on a Dask cluster.

    from ambrel_dedup import run

    result = run("embeddings.parquet", "dedup-out", threshold=0.9)
    result.summary["counts"]["removed"]

The same stages run in this process (the default for inputs that fit in memory), on a local
cluster (`workers=4`), on an existing cluster (`scheduler="tcp://host:8786"`) or on a
`distributed.Client` you pass in, with the same output.
"""

from __future__ import annotations

from .errors import DedupError, InputError
from .generate import Generated
from .pipeline import RunResult, connect, run

__all__ = [
    "DedupError",
    "Generated",
    "InputError",
    "RunResult",
    "connect",
    "run",
]
