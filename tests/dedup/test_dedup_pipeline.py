"""End to end on local clusters, against brute force; the same output whatever the workers and partitions."""

import json

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
from dedup_oracle import SMALL, THRESHOLD, components, local_cluster, read_output, true_cosines
from distributed import Client

from ambrel_dedup import run


def test_finds_what_brute_force_finds(baseline):
    pairs, groups = read_output(baseline.output)
    vectors = SMALL.rows(0, SMALL.count)
    cos = true_cosines(vectors)

    assert (pairs.id_a < pairs.id_b).all()
    assert not pairs.duplicated(["id_a", "id_b"]).any()
    exact, near = pairs[pairs.exact], pairs[~pairs.exact]

    # Exact copies: same fingerprint, so distance 0, linked to the smallest id of their fingerprint.
    planted = SMALL.planted()
    assert {(min(a, b), max(a, b)) for a, b in planted.copies} == set(zip(exact.id_a, exact.id_b))
    assert (exact.hamming == 0).all() and (exact.cosine == 1.0).all()

    # Near pairs: the estimate reaches the threshold, nothing reported is far below it,
    # and every pair well above the threshold is reported (copies as exact pairs).
    assert (near.cosine >= THRESHOLD).all()
    assert len(near) > 0 and cos[near.id_a, near.id_b].min() >= THRESHOLD - 0.1
    truth = np.argwhere(np.triu(cos, 1) >= THRESHOLD + 0.05)
    assert len(truth) > len(planted.copies) + 30
    assert {(int(a), int(b)) for a, b in truth} <= set(zip(pairs.id_a, pairs.id_b))
    # The estimate from 1,200 bits is within a few hundredths of the true cosine.
    assert np.abs(near.cosine - cos[near.id_a, near.id_b]).max() < 0.06

    # Groups are the connected components of the pairs, labelled by their smallest id.
    expected = components(list(zip(pairs.id_a.tolist(), pairs.id_b.tolist())))
    assert dict(zip(groups.id, groups.group)) == expected
    assert groups.groupby("group").size().max() >= 4  # the planted groups around a source
    assert (groups.keep == (groups.id == groups.group)).all()

    summary = json.loads((baseline.output / "summary.json").read_text())
    assert summary["counts"]["pairs"] == len(pairs)
    assert summary["counts"]["removed"] == int((~groups.keep).sum())
    assert summary["skipped_pairs"] == 0
    assert set(summary["seconds"]) == {"read+sign", "exact", "bucket", "verify", "group", "write", "total"}
    assert summary["task_seconds"]["sign"] > 0


def test_same_output_on_one_worker_and_seven_partitions(client, baseline, tmp_path):
    expected = read_output(baseline.output)
    seven = run(SMALL, tmp_path / "seven", THRESHOLD, client=client, partition_rows=-(-SMALL.count // 7))
    assert seven.summary["partitions"] == 7
    with local_cluster(1) as cluster, Client(cluster, set_as_default=False) as single:
        one = run(SMALL, tmp_path / "one", THRESHOLD, client=single)
    for result in (seven, one):
        got = read_output(result.output)
        pd.testing.assert_frame_equal(got[0], expected[0])
        pd.testing.assert_frame_equal(got[1], expected[1])


def test_parquet_and_npy_inputs(client, baseline, tmp_path):
    vectors = SMALL.rows(0, SMALL.count)
    np.save(tmp_path / "all.npy", vectors)
    from_npy = run(tmp_path / "all.npy", tmp_path / "npy-out", THRESHOLD, client=client, partition_rows=900)
    pd.testing.assert_frame_equal(read_output(from_npy.output)[0], read_output(baseline.output)[0])

    # Two files, list and fixed-size-list columns, float64 values, ids unrelated to row order.
    ids = 10_000_000 - 7 * np.arange(SMALL.count, dtype=np.int64)
    half = SMALL.count // 2
    folder = tmp_path / "parquet"
    folder.mkdir()
    for name, rows, kind in (("a.parquet", slice(0, half), "list"), ("b.parquet", slice(half, None), "fixed")):
        block = vectors[rows].astype(np.float64)
        values = pa.array(block.reshape(-1))
        column = (
            pa.FixedSizeListArray.from_arrays(values, SMALL.dim)
            if kind == "fixed"
            else pa.ListArray.from_arrays(pa.array(np.arange(0, block.size + 1, SMALL.dim, dtype=np.int32)), values)
        )
        table = pa.table({"doc": ids[rows], "vec": column})
        pq.write_table(table, folder / name, row_group_size=500)
    from_parquet = run(folder, tmp_path / "pq-out", THRESHOLD, client=client, id_column="doc", vector_column="vec")
    got, _ = read_output(from_parquet.output)
    base, _ = read_output(baseline.output)
    back = {int(i): r for r, i in enumerate(ids)}
    mapped = {(min(back[a], back[b]), max(back[a], back[b]), h) for a, b, h in zip(got.id_a, got.id_b, got.hamming)}
    assert mapped == set(zip(base.id_a, base.id_b, base.hamming))


def test_on_an_existing_cluster_from_the_command_line(client, baseline, tmp_path, capsys):
    from ambrel_dedup.__main__ import main

    dataset = (
        f"generated:{SMALL.count}x{SMALL.dim},seed={SMALL.seed},pairs={SMALL.pairs_per_block},"
        f"copies={SMALL.copies_per_block},groups={SMALL.groups_per_block}"
    )
    out = tmp_path / "cli"
    assert main(["run", dataset, "--output", str(out), "--scheduler", client.scheduler.address]) == 0
    printed = capsys.readouterr().out
    for stage in ("read+sign", "exact", "bucket", "verify", "group", "write"):
        assert f"  {stage} " in printed
    assert "candidate recall at cosine 0.85" in printed
    pd.testing.assert_frame_equal(read_output(out)[1], read_output(baseline.output)[1])
    # An output that exists is refused before anything runs, and replaced whole with --overwrite.
    cluster = ["--scheduler", client.scheduler.address]
    assert main(["run", dataset, "--output", str(out), *cluster]) == 2
    assert "exists" in capsys.readouterr().err
    (out / "summary.json").unlink()
    try:
        import matplotlib  # noqa: F401

        plot = ["--plot", str(tmp_path / "p.png")]
    except ImportError:
        plot = []
    assert main(["run", dataset, "-o", str(out), "--overwrite", "--quiet", *cluster, *plot]) == 0
    assert (out / "summary.json").exists() and not list(tmp_path.glob(".cli*"))
    pd.testing.assert_frame_equal(read_output(out)[0], read_output(baseline.output)[0])
    if plot:
        assert (tmp_path / "p.png").read_bytes()[:4] == b"\x89PNG"
    assert main(["params", "--threshold", "0.9", "--count", "200000"]) == 0
    assert "58 bands used as bucket keys" in capsys.readouterr().out


def test_keep_largest_with_the_p2p_shuffle(client, baseline, tmp_path):
    result = run(SMALL, tmp_path / "out", THRESHOLD, client=client, keep="max", shuffle="p2p")
    _, groups = read_output(result.output)
    largest = groups.groupby("group").id.transform("max")
    assert (groups.keep == (groups.id == largest)).all()
    pd.testing.assert_frame_equal(groups[["id", "group"]], read_output(baseline.output)[1][["id", "group"]])
