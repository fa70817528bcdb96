"""The kept rows (`kept=`): the input without the removed ids, every column and type as read,
against a pandas anti-join; checked before any work and written whole or not at all."""

import os

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from dedup_oracle import damage, no_work, tree

import ambrel_dedup.pipeline.kept as kept_stage
from ambrel_dedup import DedupError, InputError, run
from ambrel_dedup.cli import main


def _vectors():
    """300 random rows: 30 exact copies (scaled) and 30 near copies of earlier rows, two zero rows."""
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((300, 16)).astype(np.float32)
    vectors[200:230] = vectors[0:30] * np.float32(4.0)
    vectors[230:260] = vectors[40:70] + np.float32(0.05) * rng.standard_normal((30, 16)).astype(np.float32)
    vectors[[10, 260]] = 0.0  # row 10 after its copy was taken: 29 exact copies are left
    return vectors


def _many_types(folder):
    """Two files in row groups of 50 with every kind of column; ids not in row order."""
    n = np.arange(300)
    table = pa.table(
        {
            "id": 1000 + 7 * np.random.default_rng(6).permutation(300),
            "embedding": pa.array(list(_vectors()), pa.list_(pa.float32())),
            "count": pa.array(n.astype(np.int32), mask=n % 7 == 0),
            "score": n / 7,
            "name": pa.array([f"row {i}" for i in n], mask=n % 11 == 0),
            "tags": [[f"t{j}" for j in range(i % 4)] for i in n],
            "info": [{"a": int(i), "b": None if i % 3 else "x"} for i in n],
            "at": pa.array(n * 3_600_000, pa.timestamp("ms", tz="UTC"), mask=n % 13 == 0),
            "kind": pa.array(["abc"[i % 3] for i in n]).dictionary_encode(),
            "flag": n % 2 == 0,
        }
    ).replace_schema_metadata({"origin": "test"})
    folder.mkdir()
    pq.write_table(table[:150], folder / "a.parquet", row_group_size=50)
    pq.write_table(table[150:], folder / "b.parquet", row_group_size=50)
    return folder


@pytest.mark.parametrize("on_cluster", [False, True])
def test_parquet_input_keeps_every_column_and_type(on_cluster, request, tmp_path):
    folder, kept = _many_types(tmp_path / "in"), tmp_path / "kept"
    where = {"client": request.getfixturevalue("client")} if on_cluster else {"in_process": True}
    result = run(folder, tmp_path / "out", kept=kept, partition_rows=100, **where)
    table = pq.read_table(folder)
    groups = pd.read_parquet(tmp_path / "out" / "groups.parquet")
    removed = groups.loc[~groups.keep, ["id"]]
    # The oracle: a pandas anti-join of the input with the removed ids, in input order.
    rows = table.select(["id"]).to_pandas().reset_index().merge(removed, on="id", how="left", indicator=True)
    expected = table.take(rows.loc[rows._merge == "left_only", "index"].to_numpy())
    got = pq.read_table(kept)
    assert got.schema.equals(table.schema, check_metadata=True) and got.schema.metadata == {b"origin": b"test"}
    assert got.to_pylist() == expected.to_pylist()
    assert len(removed) == 59 and set(table["id"].to_numpy()[[10, 260]]) <= set(got["id"].to_numpy())
    assert result.summary["counts"]["kept_rows"] == len(pd.read_parquet(kept)) == 300 - 59
    assert sorted(os.listdir(kept)) == [".ambrel-dedup", *(f"part-0000{i}.parquet" for i in range(4))]


def test_npy_input_gives_ids_and_the_float32_rows(tmp_path):
    vectors = np.random.default_rng(7).standard_normal((40, 32))  # float64, rounded as read
    vectors[10:20] = vectors[0:10] * 2.0  # the second partition: copies only, none of it kept
    np.save(tmp_path / "x.npy", vectors)
    run(tmp_path / "x.npy", tmp_path / "out", kept=tmp_path / "kept", in_process=True, partition_rows=10)
    got = pq.read_table(tmp_path / "kept")
    assert got.schema == pa.schema({"id": pa.int64(), "embedding": pa.list_(pa.float32(), 32)})
    ids = np.r_[0:10, 20:40]
    assert np.array_equal(got["id"].to_numpy(), ids)
    assert np.array_equal(np.stack(got["embedding"].to_numpy()), vectors[ids].astype(np.float32))
    empty = pq.read_table(tmp_path / "kept" / "part-00001.parquet")
    assert empty.num_rows == 0 and empty.schema == got.schema


def test_kept_overlapping_the_input_or_the_output_is_refused_first(tmp_path, capsys):
    data, out, other = tmp_path / "data", tmp_path / "out", tmp_path / "other"
    data.mkdir()
    np.save(data / "x.npy", _vectors())
    run(data, out, kept=tmp_path / "old", in_process=True)
    (tmp_path / "foreign").mkdir()
    (tmp_path / "old" / "notes.txt").write_text("mine")
    before = tree(tmp_path)
    for kept, output, words in [
        (data, other, "the kept dataset is the input"),
        (data / "kept", other, "the kept dataset lies inside the input"),
        (tmp_path, other, "the kept dataset contains the input"),
        (out, out, "the kept dataset is the output"),
        (out / "kept", out, "the kept dataset lies inside the output"),
        (tmp_path / "new", tmp_path / "new" / "out", "the kept dataset contains the output"),
        (tmp_path / "foreign", other, "not written by ambrel-dedup"),
        (tmp_path / "old", other, "did not write there"),
    ]:
        with pytest.raises(DedupError, match=words):
            run(data, output, kept=kept, overwrite=True, in_process=True, on_stage=no_work)
    assert main(["run", str(data), "-o", str(other), "--kept", str(data / "k"), "--engine", "in-process"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "the kept dataset lies inside the input" in err
    assert tree(tmp_path) == before


def test_a_failed_run_leaves_neither_and_overwriting_replaces_kept(client, tmp_path, monkeypatch):
    # A damaged page in a column that only the kept stage reads: named, and neither directory appears.
    folder, out, kept = _many_types(tmp_path / "in"), tmp_path / "out", tmp_path / "kept"
    damage(folder / "b.parquet", 1, 4)  # the column "name" of rows 50 to 99 of b.parquet
    with pytest.raises(InputError, match=r"b\.parquet: row group 1 \(rows 50 to 99\) cannot be read"):
        run(folder, out, kept=kept, client=client, partition_rows=100)
    assert os.listdir(tmp_path) == ["in"]

    np.save(tmp_path / "x.npy", _vectors())
    for rows in (100, 150):  # 3, then 2 partitions: the replaced KEPT holds only the new files
        run(tmp_path / "x.npy", out, kept=kept, in_process=True, partition_rows=rows, overwrite=True)
    assert sorted(os.listdir(kept)) == [".ambrel-dedup", "part-00000.parquet", "part-00001.parquet"]

    # A failure in the kept stage, or an output that appears before the moves, leaves what was there.
    before = tree(tmp_path)

    def fails(part, *args):
        (args[-1] / kept_stage.part_name(part.index)).write_text("half")
        raise RuntimeError("disk on fire")

    def appears(stage, client):
        if stage == "kept":
            (tmp_path / "late").mkdir()

    monkeypatch.setattr(kept_stage, "_write_part", fails)
    with pytest.raises(DedupError, match=r"^kept: RuntimeError: disk on fire; nothing was written$"):
        run(tmp_path / "x.npy", out, kept=kept, in_process=True, overwrite=True)
    assert tree(tmp_path) == before
    monkeypatch.undo()
    with pytest.raises(DedupError, match="late: appeared while the run was going on"):
        run(tmp_path / "x.npy", tmp_path / "late", kept=tmp_path / "late-kept", in_process=True, on_stage=appears)
    assert not (tmp_path / "late-kept").exists()
