"""Exact and near-duplicate detection for embedding corpora, in process or on a Dask cluster.

    from ambrel_dedup import run

    result = run("embeddings.parquet", "dedup-out", threshold=0.9)
    result.summary["counts"]["removed"]

The same stages run in this process (the default for inputs that fit in memory), on a local
cluster (`workers=4`), on an existing cluster (`scheduler="tcp://host:8786"`) or on a
`distributed.Client` you pass in, with the same output.

A persistent index keeps a run's vectors for what arrives later:

    from ambrel_dedup import Index, add_to_index, create_index

    create_index("corpus.parquet", "corpus.idx", threshold=0.9)
    add_to_index("today.parquet", "corpus.idx", "today-dedup")   # pairs within and with the index
    Index.open("corpus.idx").query(rows)                        # indexed ids at cosine >= 0.9
"""

from __future__ import annotations

from .datasets.generate import Generated
from .engine.opening import connect
from .errors import DedupError, InputError
from .index.jobs import add as add_to_index
from .index.jobs import create as create_index
from .index.jobs import query as query_index
from .index.matching import Matches
from .index.reader import Index
from .pipeline.job import run
from .pipeline.summary import RunResult

__all__ = [
    "DedupError",
    "Generated",
    "Index",
    "InputError",
    "Matches",
    "RunResult",
    "add_to_index",
    "connect",
    "create_index",
    "query_index",
    "run",
]
