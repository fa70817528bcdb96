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

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
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

# Each name from where it lives, imported when first used: `import ambrel_dedup` (and its command,
# which says what is missing) works without numpy, pandas, Dask or pyarrow installed.
_WHERE = {
    "DedupError": ("errors", "DedupError"),
    "Generated": ("datasets.generate", "Generated"),
    "Index": ("index.reader", "Index"),
    "InputError": ("errors", "InputError"),
    "Matches": ("index.matching", "Matches"),
    "RunResult": ("pipeline.summary", "RunResult"),
    "add_to_index": ("index.jobs", "add"),
    "connect": ("engine.opening", "connect"),
    "create_index": ("index.jobs", "create"),
    "query_index": ("index.jobs", "query"),
    "run": ("pipeline.job", "run"),
}


def __getattr__(name: str) -> Any:
    if name not in _WHERE:
        raise AttributeError(f"module 'ambrel_dedup' has no attribute {name!r}")
    module, attribute = _WHERE[name]
    value = getattr(importlib.import_module(f".{module}", __name__), attribute)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *_WHERE])


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
