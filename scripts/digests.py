#!/usr/bin/env python3
"""One SHA-256 per output of a fixed set of jobs, to show that a change of the code's layout
changes no result: run it before and after, and compare the lines.

    .venv/bin/python scripts/digests.py > before.txt     # ... change the code ...
    .venv/bin/python scripts/digests.py > after.txt && diff before.txt after.txt

The jobs: a run on the built-in set, a clustered set and the real sample of tests/data, in this
process and on 2 local workers, with the kept data set; an index created, added to and queried.
What varies from run to run by design is left out of the digests: seconds, the index's id, dates
and its writers' tokens (files are named by version and number). Tables are hashed by their
values and order (Arrow's stream format), not by their Parquet bytes.
"""

from __future__ import annotations

import hashlib
import json
import re
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

ROOT = Path(__file__).resolve().parent.parent


def _table(path: Path) -> str:
    table = pq.read_table(path)
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    return hashlib.sha256(sink.getvalue().to_pybytes()).hexdigest()


def _named(text: str) -> str:
    """A name under data/ without its writer's token."""
    return re.sub(r"(seg-\d{6}-\d{4}|groups-\d{6})-[0-9a-f]{8}", r"\1", text)


def _without(value: Any, drop: set[str]) -> Any:
    if isinstance(value, dict):
        return {_named(k): _without(v, drop) for k, v in value.items() if k not in drop}
    if isinstance(value, list):
        return [_without(v, drop) for v in value]
    return _named(value) if isinstance(value, str) else value


def _json(path: Path, drop: set[str]) -> str:
    text = json.dumps(_without(json.loads(path.read_text()), drop), sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()


def digests(directory: Path, label: str) -> list[str]:
    """label/name sha256 for every output in a directory (recursively for an index)."""
    lines = []
    for path in sorted(directory.rglob("*")):
        name = _named(str(path.relative_to(directory)))
        if path.suffix == ".parquet" and (path.is_dir() or path.parent.suffix != ".parquet"):
            lines.append(f"{label}/{name} {_table(path)}")
        elif path.name == "summary.json":
            lines.append(f"{label}/{name} {_json(path, {'seconds', 'path', 'files', 'input_paths'})}")
        elif path.name == "manifest.json":
            lines.append(f"{label}/{name} {_json(path, {'id', 'created', 'token', 'seconds', 'path', 'input'})}")
        elif path.suffix == ".npy":
            array = np.load(path, allow_pickle=False)
            content = hashlib.sha256(str(array.dtype).encode() + str(array.shape).encode() + array.tobytes())
            lines.append(f"{label}/{name} {content.hexdigest()}")
    return lines


def main() -> int:
    work = Path(tempfile.mkdtemp(prefix="ambrel-digests-"))
    try:
        print("\n".join(_jobs(work)))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def _jobs(work: Path) -> list[str]:
    from dask.distributed import Client, LocalCluster

    from ambrel_dedup import Generated, add_to_index, create_index, query_index, run
    from ambrel_dedup.datasets.clustered import Clustered

    small = Generated(count=4000, dim=48, seed=3, pairs_per_block=40, copies_per_block=10, groups_per_block=5)
    clustered = Clustered(count=6000, dim=64, seed=2).rows(0, 6000)
    np.save(work / "clustered.npy", clustered)
    np.save(work / "old.npy", clustered[:4500])
    np.save(work / "new.npy", clustered[4500:])
    inputs: dict[str, Any] = {"generated": small, "clustered": work / "clustered.npy"}
    sample = ROOT / "tests" / "data" / "real_sample.npy"
    if sample.exists():
        np.save(work / "real.npy", np.load(sample).astype(np.float32))
        inputs["real"] = work / "real.npy"
    lines: list[str] = []
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster,
        Client(cluster, set_as_default=False) as client,
    ):
        for name, source in inputs.items():
            for engine, kwargs in (("here", {"in_process": True}), ("workers", {"client": client})):
                out, kept = work / f"{name}-{engine}", work / f"{name}-{engine}-kept"
                run(source, out, 0.85, kept=kept, **kwargs)
                lines += digests(out, f"run/{name}/{engine}") + digests(kept, f"kept/{name}/{engine}")
    create_index(work / "old.npy", work / "idx", 0.85, output=work / "create")
    add_to_index(work / "new.npy", work / "idx", work / "add")
    query_index(work / "new.npy", work / "idx", work / "query")
    for name in ("create", "add", "query", "idx"):
        lines += digests(work / name, f"index/{name}")
    return lines


if __name__ == "__main__":
    sys.exit(main())
