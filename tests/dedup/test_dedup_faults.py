"""Bad input, an unreachable scheduler, dying workers and workers stuck at their memory limit: clear
errors, and never a partial output."""

import asyncio
import contextlib
import logging
import operator
import re
import signal
import time

import dask
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from dedup_oracle import SMALL, THRESHOLD, KillOnSign, local_cluster, read_output
from distributed import Client, LocalCluster
from distributed.core import Status

import ambrel_dedup.engine.engines as engine
from ambrel_dedup import DedupError, Generated, InputError, run
from ambrel_dedup.engine import failures
from ambrel_dedup.files.sources import open_source


def _parquet(path, ids, vectors, **columns):
    table = pa.table({"id": pa.array(ids, type=pa.int64()), "embedding": vectors, **columns})
    pq.write_table(table, path)
    return path


def _bad_inputs(tmp_path):
    """(name, input path, words the error must contain)."""
    good = [[0.5, 1.0, -2.0]] * 10
    ragged = [list(v) for v in good]
    ragged[7] = [1.0, 2.0]
    nulls = [list(v) for v in good]
    nulls[3] = None
    nan = np.ones((9, 4), dtype=np.float32)
    nan[5, 2] = np.nan
    huge = np.ones((6, 3))
    huge[4, 0] = 1e300
    np.save(tmp_path / "nan.npy", nan)
    np.save(tmp_path / "huge.npy", huge)
    np.save(tmp_path / "flat.npy", np.ones(5, dtype=np.float32))
    np.save(tmp_path / "empty.npy", np.ones((0, 8), dtype=np.float32))
    table = pa.table({"id": pa.array(range(10), type=pa.int64()), "vector": pa.array(good)})
    pq.write_table(table, tmp_path / "renamed.parquet")
    return [
        ("missing column", tmp_path / "renamed.parquet", ["no column 'embedding'"]),
        (
            "text values",
            _parquet(tmp_path / "text.parquet", range(3), pa.array([["a"], ["b"], ["c"]])),
            ["list of numbers"],
        ),
        ("ragged rows", _parquet(tmp_path / "ragged.parquet", range(10), pa.array(ragged)), ["row 7", "2 dimensions"]),
        ("null vector", _parquet(tmp_path / "null.parquet", range(10), pa.array(nulls)), ["row 3", "null"]),
        ("NaN row", tmp_path / "nan.npy", ["row 5", "NaN"]),
        ("beyond float32", tmp_path / "huge.npy", ["row 4", "infinite"]),
        ("not a matrix", tmp_path / "flat.npy", ["2-D"]),
        ("empty .npy", tmp_path / "empty.npy", ["no vectors"]),
        (
            "empty Parquet",
            _parquet(tmp_path / "none.parquet", [], pa.array([], type=pa.list_(pa.float32()))),
            ["no vectors"],
        ),
        (
            "duplicate ids",
            _parquet(tmp_path / "dup.parquet", [1, 2, 3, 2], pa.array(good[:4])),
            ["id 2", "row 1", "row 3"],
        ),
    ]


def test_bad_input_is_named_and_nothing_is_written(client, tmp_path):
    cases = _bad_inputs(tmp_path)
    for name, path, words in cases:
        out = tmp_path / "out"
        with pytest.raises(InputError) as info:
            run(path, out, THRESHOLD, client=client)
        message = str(info.value)
        assert str(path) in message, name
        for word in words:
            assert word in message, (name, message)
        assert not out.exists(), name
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".out")]


def test_messages_name_what_is_at_fault(tmp_path, monkeypatch):
    rng = np.random.default_rng(0)

    def fixed(rows, dim):
        return pa.FixedSizeListArray.from_arrays(pa.array(rng.standard_normal(rows * dim), pa.float32()), dim)

    # The first file with rows sets the dimension, whatever the type of its column; the file that
    # disagrees is named, with the one that set it: when planned, or row by row when read.
    lists, fixed_first = tmp_path / "lists", tmp_path / "fixed"
    lists.mkdir()
    fixed_first.mkdir()
    _parquet(lists / "0.parquet", [], pa.array([], pa.list_(pa.float32())))
    a = _parquet(lists / "a.parquet", range(10), pa.array(rng.standard_normal((10, 8)).tolist()))
    b = _parquet(lists / "b.parquet", range(10, 20), fixed(10, 4))
    with pytest.raises(InputError, match="^" + re.escape(f"{b}: vectors of 4 dimensions, but {a} has 8") + "$"):
        open_source(lists)
    b.unlink()
    _parquet(lists / "c.parquet", range(10, 20), fixed(10, 8))
    assert open_source(lists).dim == 8
    a = _parquet(fixed_first / "a.parquet", range(10), fixed(10, 8))
    ragged = rng.standard_normal((10, 8)).tolist()
    ragged[3] = ragged[3][:5]
    b = _parquet(fixed_first / "b.parquet", range(10, 20), pa.array(ragged))
    expected = f"{b}: row 3 (id 13): a vector of 5 dimensions, expected 8 like the first row of {a}"
    with pytest.raises(InputError, match="^" + re.escape(expected) + "$"):
        run(fixed_first, tmp_path / "out", in_process=True)

    # A missing file whose name starts like the built-in data set's is a missing file.
    monkeypatch.chdir(tmp_path)
    for name in ("generated_2024.parquet", "generated:100x8.parquet", "generated,seed=1.parquet"):
        with pytest.raises(InputError, match=rf"^{re.escape(name)}: no such file or directory$"):
            open_source(name)
    with pytest.raises(InputError, match="the seed must be a whole number"):
        open_source("generated:100x8,seed=-1")
    assert open_source("generated,seed=4").kind == open_source("generated:600x8").kind == "generated"

    # Rows numbered from first_id are refused, before any work, when their ids would pass int64.
    np.save(tmp_path / "ten.npy", rng.standard_normal((10, 4)).astype(np.float32))
    np.save(tmp_path / "five.npy", rng.standard_normal((5, 4)).astype(np.float32))
    last = 2**63 - 1
    for source, what in (
        (tmp_path / "ten.npy", str(tmp_path / "ten.npy")),
        (Generated(count=10, dim=4), "the generated data set"),
    ):
        with pytest.raises(
            InputError, match=re.escape(f"{last - 4:,} to {last + 5:,}, past the largest id 2**63-1")
        ) as info:
            open_source(source, first_id=last - 4)
        assert str(info.value).startswith(what), info.value
    five = open_source(tmp_path / "five.npy", first_id=last - 4)
    assert five.read(five.partitions[-1])[0].tolist() == list(range(last - 4, last + 1))
    assert not (tmp_path / "out").exists()


def test_unreachable_scheduler(tmp_path):
    with pytest.raises(DedupError, match=r"cannot reach the Dask scheduler at tcp://127\.0\.0\.1:9"):
        run(SMALL, tmp_path / "out", THRESHOLD, scheduler="tcp://127.0.0.1:9", connect_timeout=1)
    assert list(tmp_path.iterdir()) == []


def test_a_worker_killed_while_reading_changes_nothing(baseline, tmp_path):
    marker = tmp_path / "killed"
    with local_cluster(2) as cluster, Client(cluster, set_as_default=False) as c:
        c.register_plugin(KillOnSign(str(marker), once=True))
        result = run(SMALL, tmp_path / "out", THRESHOLD, client=c)
    assert marker.exists()  # a worker did die in the middle of reading
    for got, expected in zip(read_output(result.output), read_output(baseline.output)):
        pd.testing.assert_frame_equal(got, expected)


def test_workers_that_keep_dying_fail_the_run_cleanly(tmp_path):
    out = tmp_path / "out"
    with (
        dask.config.set({"distributed.scheduler.allowed-failures": 1}),
        local_cluster(2) as cluster,
        Client(cluster, set_as_default=False) as c,
    ):
        c.register_plugin(KillOnSign(str(tmp_path / "unused"), once=False))
        with pytest.raises(DedupError, match="read: workers died"):
            run(SMALL, out, THRESHOLD, client=c)
    assert list(tmp_path.iterdir()) == []


@contextlib.contextmanager
def _deadline(seconds):
    """Fails the test, rather than hanging it, when the body does not end in time."""

    def expired(signum, frame):
        raise TimeoutError(f"still waiting after {seconds} s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


async def _fill_until_paused(dask_worker):
    """Holds memory outside Dask's knowledge until the worker pauses at its limit, as a leak would."""
    held = dask_worker.held_by_test = []
    while dask_worker.status != Status.paused:
        held.append(np.ones(16 << 20, np.uint8))
        await asyncio.sleep(0.05)


def test_workers_paused_at_their_memory_limit_fail_the_run_in_bounded_time(tmp_path, monkeypatch):
    monkeypatch.setattr(engine, "STALL_SECONDS", 2.0)
    monkeypatch.setattr(engine, "POLL_SECONDS", 0.2)
    with (
        _deadline(90),
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            memory_limit="1GB",
            processes=True,
            dashboard_address=":0",
            silence_logs=logging.CRITICAL,
        ) as cluster,
        Client(cluster, set_as_default=False) as c,
        c.as_current(),  # as the pipeline runs its stages
    ):
        paused, healthy = sorted(c.nthreads())
        c.run(_fill_until_paused, workers=[paused])
        cluster_engine = engine.ClusterEngine(c)
        # A task longer than the stall time on the healthy worker is progress, not a stall.
        started = time.monotonic()
        cluster_engine.wait("pairs", [c.submit(time.sleep, 3, workers=[healthy], pure=False)])
        assert time.monotonic() - started >= 3
        # A task only the paused worker may run never starts: gathering it gives up.
        stuck = c.submit(operator.add, 1, 1, workers=[paused], pure=False)
        with pytest.raises(failures.Stalled, match=r"1 of 2 workers paused at their memory limit of 954 MiB"):
            cluster_engine.gather([stuck])
        assert stuck.cancelled()
        # Both paused: the run fails in its first stage, saying what to change, and writes nothing.
        c.run(_fill_until_paused, workers=[healthy])
        started = time.monotonic()
        with pytest.raises(DedupError) as info:
            run(Generated(count=600, dim=8, seed=1), tmp_path / "out", client=c)
        assert time.monotonic() - started < 30
    message = str(info.value)
    assert message.startswith("read: no task has finished for ") and "2 of 2 workers paused" in message, message
    for words in ("more memory", "--partition-rows", "more workers", "nothing was written"):
        assert words in message, message
    assert list(tmp_path.iterdir()) == []
