"""End to end on local clusters, against brute force; the same output whatever the workers and partitions."""

import json
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from dedup_oracle import SMALL, THRESHOLD, ById, check_decision, local_cluster, read_output
from distributed import Client

import ambrel_batch as ab
from ambrel_dedup import partition as k
from ambrel_dedup import run
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.pipeline import cells


def _unit(vectors):
    return ab.normalize_batch(k.scale_rows(vectors)[0])


def ordered_cosines(unit, a, b):
    """The exact cosine as defined: ordered double sums of the float32 products, then the division."""
    x, y = unit[a].astype(np.float64), unit[b].astype(np.float64)
    dot = np.cumsum(x * y, axis=1)[:, -1]
    return np.clip(dot / np.sqrt(np.cumsum(x * x, axis=1)[:, -1] * np.cumsum(y * y, axis=1)[:, -1]), -1.0, 1.0)


def test_finds_what_brute_force_finds(baseline):
    pairs, groups = read_output(baseline.output)
    vectors = SMALL.rows(0, SMALL.count)
    unit = _unit(vectors)

    assert (pairs.id_a < pairs.id_b).all()
    assert not pairs.duplicated(["id_a", "id_b"]).any()
    # Every cosine is the exact one, bit for bit, and every reported pair reaches the threshold.
    assert np.array_equal(pairs.cosine.to_numpy(), ordered_cosines(unit, pairs.id_a, pairs.id_b))
    assert (pairs.cosine >= THRESHOLD).all()
    exact, near = pairs[pairs.exact], pairs[~pairs.exact]

    # Exact copies: linked to the smallest id of their fingerprint (the keep rule's first).
    planted = SMALL.planted()
    assert {(min(a, b), max(a, b)) for a, b in planted.copies} == set(zip(exact.id_a, exact.id_b))
    # Near pairs: against brute force over the representatives (exact copies stand for each other).
    copies = set(exact.id_b)
    truth = ab.similar_pairs(unit, THRESHOLD)
    want = {(a, b) for a, b in zip(truth.a.tolist(), truth.b.tolist()) if a not in copies and b not in copies}
    got = set(zip(near.id_a.tolist(), near.id_b.tolist()))
    assert got <= want and len(got) >= 0.99 * len(want) and len(want) > 100

    # The decision is the sequential greedy rule's on the listed pairs; its groups are no chains.
    check_decision(pairs, groups, ById())
    assert groups.groupby("group").size().max() >= 4  # the planted groups around a source

    summary = json.loads((baseline.output / "summary.json").read_text())
    assert summary["counts"]["pairs"] == len(pairs)
    assert summary["counts"]["removed"] == int((~groups.keep).sum())
    assert set(summary["seconds"]) == {"read", "exact", "cells", "pairs", "group", "recheck", "write", "total"}
    assert summary["promised_recall"]["0.90"] is None or summary["promised_recall"]["0.90"] >= 0.99


@pytest.mark.parametrize("data", ["clustered", "real"])
def test_clustered_and_real_embeddings_against_brute_force(data, tmp_path, monkeypatch):
    """In process, at two thresholds: nothing below the threshold, recall at least 0.99."""
    if data == "clustered":
        vectors = Clustered(count=6000, dim=64, seed=2).rows(0, 6000)
    else:
        sample = Path(__file__).parent.parent / "data" / "real_sample.npy"
        if not sample.exists():
            pytest.skip("no real sample in tests/data")
        vectors = np.load(sample).astype(np.float32)
        # A small sample: smaller cells, so that its pairs still cross cell borders.
        monkeypatch.setattr(cells, "ONE_CELL_ROWS", 0)
        monkeypatch.setattr(cells, "CELL_ROWS", 100)
    np.save(tmp_path / "rows.npy", vectors)
    unit = _unit(vectors)
    for threshold in (0.8, 0.9):
        result = run(tmp_path / "rows.npy", tmp_path / f"out{threshold}", threshold, in_process=True)
        pairs, _ = read_output(result.output)
        truth = ab.similar_pairs(unit, threshold)
        found = _found(pairs, truth.a.tolist(), truth.b.tolist())
        assert (pairs.cosine >= threshold).all() and len(truth.a) > 50
        assert found >= 0.99 * len(truth.a), (data, threshold, found, len(truth.a))


def _found(pairs, a, b):
    """True pairs (a[i], b[i]) reported, or linked through exact copies (one stands for the others)."""
    exact = pairs[pairs.exact]
    rep = dict(zip(exact.id_b.tolist(), exact.id_a.tolist()))

    def key(x, y):
        x, y = rep.get(x, x), rep.get(y, y)
        return min(x, y), max(x, y)

    linked = {key(x, y) for x, y in zip(pairs.id_a.tolist(), pairs.id_b.tolist())}
    return sum(rep.get(x, x) == rep.get(y, y) or key(x, y) in linked for x, y in zip(a, b))


def test_same_output_on_one_worker_and_seven_partitions(client, baseline, tmp_path):
    expected = read_output(baseline.output)
    seven = run(SMALL, tmp_path / "seven", THRESHOLD, client=client, partition_rows=-(-SMALL.count // 7))
    assert seven.summary["partitions"] == 7
    with local_cluster(1) as cluster, Client(cluster, set_as_default=False) as single:
        one = run(SMALL, tmp_path / "one", THRESHOLD, client=single)
    here = run(SMALL, tmp_path / "here", THRESHOLD, in_process=True, partition_rows=1300)
    assert here.summary["engine"]["name"] == "in-process"
    for result in (seven, one, here):
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
    mapped = {(min(back[a], back[b]), max(back[a], back[b]), c) for a, b, c in zip(got.id_a, got.id_b, got.cosine)}
    # Other ids draw another sample for the cells, so a pair near a border may meet in one run
    # and not the other; the cosines of the pairs both report are the same.
    expected = set(zip(base.id_a, base.id_b, base.cosine))
    assert len(mapped & expected) >= 0.99 * max(len(mapped), len(expected))
    assert {(a, b) for a, b, _ in mapped} & {(a, b) for a, b, _ in expected - mapped} == set()


def test_on_an_existing_cluster_from_the_command_line(client, baseline, tmp_path, capsys):
    from ambrel_dedup.cli import main

    dataset = (
        f"generated:{SMALL.count}x{SMALL.dim},seed={SMALL.seed},pairs={SMALL.pairs_per_block},"
        f"copies={SMALL.copies_per_block},groups={SMALL.groups_per_block}"
    )
    out = tmp_path / "cli"
    assert main(["run", dataset, "--output", str(out), "--scheduler", client.scheduler.address]) == 0
    printed = capsys.readouterr().out
    for stage in ("read", "exact", "cells", "pairs", "group", "write"):
        assert f"  {stage} " in printed
    assert "recall promised at 0.88" in printed
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


def test_keep_largest_with_the_p2p_shuffle(client, baseline, tmp_path):
    result = run(SMALL, tmp_path / "out", THRESHOLD, client=client, keep="max", shuffle="p2p")
    pairs, groups = read_output(result.output)
    check_decision(pairs, groups, ById(largest=True))
    # The same pairs but for the exact copies, which the largest id of their vector represents now.
    base = read_output(baseline.output)[0]
    pd.testing.assert_frame_equal(pairs[~pairs.exact].reset_index(drop=True), base[~base.exact].reset_index(drop=True))
