"""Output safety, connection faults and late errors: refused before any work, one clear line,
and nothing touched that the tool did not write."""

import contextlib
import errno
import fcntl
import json
import logging
import os
import socket
import subprocess
import sys
import threading

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from dedup_oracle import damage, no_work, tree
from distributed import LocalCluster
from distributed.scheduler import KilledWorker

import ambrel_dedup.engine.engines as engine
import ambrel_dedup.engine.opening as opening
import ambrel_dedup.pipeline.fit as fit
import ambrel_dedup.pipeline.read as read
from ambrel_dedup import DedupError, Generated, InputError, run
from ambrel_dedup.cli import main
from ambrel_dedup.files.sources import open_source
from ambrel_dedup.pipeline.cells import Layout

TINY = Generated(count=600, dim=8, seed=1)


def test_outputs_that_overlap_the_input_or_cannot_be_written_are_refused_first(client, tmp_path, monkeypatch):
    data = tmp_path / "d" / "data"
    data.mkdir(parents=True)
    np.save(data / "x.npy", np.ones((5, 4), np.float32))
    (tmp_path / "d" / "notes.txt").write_text("mine")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    monkeypatch.chdir(tmp_path / "d")
    before = tree(tmp_path)
    cases = [
        (data, data, "is the input"),
        (data, tmp_path / "d", "contains the input"),
        ("data/x.npy", ".", "contains the input"),
        (data, data / "out", "lies inside the input"),
        (data, tmp_path / "d" / "notes.txt", "not a directory"),
        (data, tmp_path / "d" / "notes.txt" / "out", "is not a directory"),
        (data, tmp_path / "dangling", "does not exist"),
        (TINY, "/proc", "mount point"),
    ]
    for source, out, words in cases:
        with pytest.raises(DedupError, match=words):
            run(source, out, client=client, overwrite=True, on_stage=no_work)
    assert tree(tmp_path) == before


def test_overwrite_replaces_only_an_output_of_this_tool(client, tmp_path, monkeypatch):
    out = tmp_path / "out"
    first = run(TINY, out, client=client)
    marker = json.loads((out / ".ambrel-dedup").read_text())
    assert marker["format"] >= 1 and first.summary["vectors"] == TINY.count

    # Stale leftovers of a killed run go; a running run's (locked) and foreign ones stay.
    stale, held, foreign = (tmp_path / f".out.tmp-{t}" for t in ("0123456789", "abcdef0123", "fedcba9876"))
    for leftover in (stale, held, foreign):
        leftover.mkdir()
    for leftover in (stale, held):
        (leftover / ".ambrel-dedup").write_text(json.dumps(marker))
    fd = os.open(held, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    # Where the exchange is refused, the documented two renames are used.
    calls = []

    def no_exchange(src, dst, flags):
        calls.append(flags)
        raise OSError(errno.EINVAL, "not here")

    monkeypatch.setattr("ambrel_dedup.files.outputs._renameat2", no_exchange)
    second = run(Generated(count=700, dim=8, seed=1), out, client=client, overwrite=True)
    os.close(fd)
    assert calls == [2] and second.summary["vectors"] == 700
    assert json.loads((out / "summary.json").read_text())["vectors"] == 700
    assert not stale.exists() and held.exists() and foreign.exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == [".out.tmp-abcdef0123", ".out.tmp-fedcba9876", "out"]
    monkeypatch.undo()

    # A symbolic link is written through; the link stays a link.
    link = tmp_path / "link"
    link.symlink_to(out)
    run(TINY, link, client=client, overwrite=True)
    assert link.is_symlink() and json.loads((out / "summary.json").read_text())["vectors"] == TINY.count

    # Never replaced: a directory without the marker, or an output holding someone else's file.
    (out / "notes.txt").write_text("mine")
    plain = tmp_path / "plain"
    plain.mkdir()
    (plain / "pairs.parquet").write_text("not ours")
    for target, words in ((out, "did not write"), (plain, "not written by")):
        with pytest.raises(DedupError, match=words):
            run(TINY, target, client=client, overwrite=True, on_stage=no_work)
    assert (out / "notes.txt").read_text() == "mine" and (plain / "pairs.parquet").read_text() == "not ours"

    # Input discovery enters neither leftovers nor outputs.
    (plain / "pairs.parquet").unlink()
    np.save(tmp_path / "x.npy", np.random.default_rng(0).standard_normal((50, 8)).astype(np.float32))
    np.save(foreign / "y.npy", np.ones((3, 8), np.float32))  # the held one went once unlocked
    (out / "notes.txt").unlink()
    np.save(out / "z.npy", np.ones((3, 8), np.float32))
    source = open_source(tmp_path)
    assert [os.path.basename(p.file) for p in source.partitions] == ["x.npy"]


def test_scheduler_addresses_that_do_not_speak_dask(tmp_path, capsys):
    silent = socket.create_server(("127.0.0.1", 0))
    noisy = socket.create_server(("127.0.0.1", 0))
    guard = threading.Timer(60, silent.close)  # only a guard, should the run not give up
    guard.daemon = True
    guard.start()

    def garbage():
        peer, _ = noisy.accept()
        with peer:
            peer.sendall(b"\xff" * 64)
            with contextlib.suppress(OSError):
                peer.recv(1)

    threading.Thread(target=garbage, daemon=True).start()
    with silent, noisy:
        with pytest.raises(DedupError, match="accepts connections but sent no Dask handshake within 1 s"):
            run(TINY, tmp_path / "out", scheduler=f"tcp://127.0.0.1:{silent.getsockname()[1]}", connect_timeout=1)
        for port, words in ((noisy.getsockname()[1], "does not speak the Dask protocol"), (9, "refused")):
            capsys.readouterr()
            assert (
                main(["run", "generated:600x8", "-o", str(tmp_path / "out"), "--scheduler", f"127.0.0.1:{port}"]) == 2
            )
            err = capsys.readouterr().err
            assert err.count("\n") == 1 and words in err and "Traceback" not in err, err
    guard.cancel()
    assert list(tmp_path.iterdir()) == []


def test_scheduler_addresses_of_other_protocols(tmp_path):
    # From the command line in a process of its own: what it prints up to its exit, one line and no traceback.
    for address, words in (
        ("inproc://127.0.0.1/1234/1", "nothing listens at this address in this process"),
        ("ws://127.0.0.1:9", "ws://127.0.0.1:9: Connection refused"),
        ("udp://127.0.0.1:9", "Dask has no protocol 'udp' (it knows inproc://, tcp://, tls://"),
    ):
        command = [sys.executable, "-m", "ambrel_dedup", "run", "generated:600x8", "-o", str(tmp_path / "out")]
        done = subprocess.run([*command, "--scheduler", address], capture_output=True, text=True, timeout=60)
        assert done.returncode == 2 and done.stdout == "", (address, done)
        assert done.stderr.startswith("ambrel-dedup: error: ") and done.stderr.count("\n") == 1, done.stderr
        assert words in done.stderr and "Traceback" not in done.stderr, done.stderr
    # A scheduler in this process is reached at its inproc:// address.
    with LocalCluster(
        n_workers=1, threads_per_worker=1, processes=False, dashboard_address=":0", silence_logs=logging.CRITICAL
    ) as cluster:
        assert cluster.scheduler_address.startswith("inproc://")
        assert run(TINY, tmp_path / "out", scheduler=cluster.scheduler_address).summary["vectors"] == TINY.count
    assert os.listdir(tmp_path) == ["out"]


def test_late_failures_name_the_file_or_the_stage(client, tmp_path, monkeypatch):
    # A damaged page: the file and its row group.
    vectors = np.random.default_rng(0).standard_normal((200, 8)).astype(np.float32)
    table = pa.table(
        {
            "id": pa.array(range(200), pa.int64()),
            "embedding": pa.FixedSizeListArray.from_arrays(pa.array(vectors.ravel()), 8),
        }
    )
    folder = tmp_path / "in"
    folder.mkdir()
    path = folder / "part.parquet"
    pq.write_table(table, path, row_group_size=100)
    damage(path, 1, 1)
    with pytest.raises(InputError, match=r"part\.parquet: row group 1 \(rows 100 to 199\) cannot be read") as info:
        run(folder, tmp_path / "out", client=client, partition_rows=100)
    assert str(path) in str(info.value) and "\n" not in str(info.value)

    # Failures outside the tracked tasks: named by their stage, not raw.
    def killed(*args):
        raise KilledWorker(("shuffle-abc", 0), None, 1)

    def no_memory(*args):
        raise MemoryError

    pq.write_table(table, tmp_path / "ok.parquet")
    for owner, name, fault, words in (
        (read, "_check_unique_ids", killed, r"read: workers died .*task .shuffle. was killed"),
        (engine.ClusterEngine, "gather", no_memory, r"read: out of memory"),
    ):
        with monkeypatch.context() as m:
            m.setattr(owner, name, fault)
            with pytest.raises(DedupError, match=words):
                run(tmp_path / "ok.parquet", tmp_path / "out", client=client)
    from ambrel_dedup.engine.failures import killed as describe

    message = str(describe("write", KilledWorker("ambrel-read-0123456789-1-3", None, 1)))
    assert message.startswith("write: workers died") and "read task of partition 3" in message

    # A long stage says it is still running.
    import ambrel_dedup.engine.monitor as monitor

    monkeypatch.setattr(monitor, "HEARTBEAT_SECONDS", 0.05)
    seen = threading.Event()

    def log(line):
        if "pairs" in line and "still running" in line and "workers' memory" in line:
            seen.set()

    def slow_pairs(stage, c):
        if stage == "pairs":
            seen.wait(60)

    run(TINY, tmp_path / "out", client=client, log=log, on_stage=slow_pairs)
    assert seen.is_set()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in", "ok.parquet", "out"]


def test_paths_sizes_layouts_and_cluster_sizes(client, tmp_path, monkeypatch):
    # A relative path reaches the workers resolved (their directory is not this one).
    monkeypatch.chdir(tmp_path)

    def no_cluster(*args, **kwargs):
        pytest.fail("a local cluster was started")

    monkeypatch.setattr(opening, "LocalCluster", no_cluster)
    np.save("rel.npy", np.random.default_rng(0).standard_normal((40, 8)).astype(np.float32))
    assert run("rel.npy", "out", client=client).summary["vectors"] == 40
    for kwargs, error, words in (
        ({"source": Generated(count=200_000, dim=8), "partition_rows": 1}, InputError, "at most 100,000 can be"),
        ({"margin": -0.1}, ValueError, "margin must be"),
        ({"workers": 1000}, ValueError, "workers must be between 1 and"),
        ({"threads_per_worker": -1}, ValueError, "threads per worker must be between 1 and"),
    ):
        args = {"source": TINY, "output": tmp_path / "new", "on_stage": no_work, **kwargs}
        with pytest.raises(error, match=words):
            run(**args)
    assert sorted(os.listdir(tmp_path)) == ["out", "rel.npy"]
    # A margin whose promised recall is too low is refused, unless forced; nothing is written.
    fit_cells = fit.fit_cells

    def weak(*args, **kwargs):
        layout = fit_cells(*args, **kwargs)
        return Layout(layout.threshold, layout.centroids, layout.margin, layout.max_cells, {"0.90": 0.5}, 60)

    monkeypatch.setattr(fit, "fit_cells", weak)
    with pytest.raises(DedupError, match=r"promises a recall of 0\.500 at 0\.9"):
        run(TINY, tmp_path / "weak", margin=0.0, in_process=True)
    assert run(TINY, tmp_path / "weak", margin=0.0, in_process=True, force_layout=True).summary["vectors"] == 600
    assert sorted(os.listdir(tmp_path)) == ["out", "rel.npy", "weak"]
