"""Ids of any integer type or text: the same rows with int64 ids, text ids and uint64 ids past
2**63 - 1 give the same outputs once each id is mapped to its row, and every output gives the ids
back in the input's type."""

import re

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from dedup_oracle import no_work

from ambrel_dedup import InputError, run
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.files.sources import open_source
from ambrel_dedup.review.report import write_report
from ambrel_dedup.review.rethreshold import rethreshold

N = 6000
PERM = np.random.default_rng(1).permutation(N)
# Text whose order is neither the input's nor the numbers' ("d-10" < "d-9"), "é" after "d".
TEXT = [("é" if p % 3 == 0 else "d") + f"-{p}" for p in PERM]
RANK = np.argsort(np.argsort(np.array(TEXT, dtype=object)))  # each row's place in code point order
IDS = {
    "int": pa.array(np.arange(N), pa.int64()),  # the row's position: the keep rule ranks by `rank`
    "text": pa.array(TEXT),
    "uint64": pa.array(np.uint64(2**63) + 3 * RANK.astype(np.uint64), pa.uint64()),
}


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Each id kind as two files of row groups of 1000; row 7 is a zero row."""
    root = tmp_path_factory.mktemp("ids")
    vectors = Clustered(count=N, dim=16, seed=0, family_share=0.3, copies_per_block=20).rows(0, N)
    vectors[7] = 0
    embedding = pa.array(list(vectors), pa.list_(pa.float32()))
    found = {}
    for kind, ids in IDS.items():
        folder = root / kind
        folder.mkdir()
        table = pa.table({"id": ids, "embedding": embedding, "rank": RANK, "score": np.arange(N) % 3})
        pq.write_table(table[:3500], folder / "a.parquet", row_group_size=1000)
        pq.write_table(table[3500:], folder / "b.parquet", row_group_size=1000)
        found[kind] = folder
    return found


def _rows(kind):
    """The user's id -> its row."""
    return {x: i for i, x in enumerate(IDS[kind].to_pylist())}


def _mapped(out, kind):
    """pairs.parquet and groups.parquet with every id as its row, as sorted tuples."""
    row = _rows(kind)
    pairs = pq.read_table(out / "pairs.parquet").to_pylist()
    groups = pq.read_table(out / "groups.parquet").to_pylist()
    dup = [g["duplicate_of"] for g in groups]
    return (
        sorted((*sorted((row[p["id_a"]], row[p["id_b"]])), p["cosine"], p["exact"]) for p in pairs),
        sorted(
            (row[g["id"]], row[g["group"]], g["keep"], None if d is None else row[d], g["cosine"])
            for g, d in zip(groups, dup)
        ),
    )


def _in_order(out, kind):
    """Every part of pairs.parquet sorted by (id_a, id_b) with id_a < id_b, and of groups.parquet by
    id, in the user's ids; the columns of the input's type."""
    for part in sorted((out / "pairs.parquet").glob("*.parquet")):
        table = pq.read_table(part)
        assert table.schema.field("id_a").type == table.schema.field("id_b").type == IDS[kind].type
        both = list(zip(table["id_a"].to_pylist(), table["id_b"].to_pylist()))
        assert all(a < b for a, b in both) and both == sorted(both)
    for part in sorted((out / "groups.parquet").glob("*.parquet")):
        table = pq.read_table(part)
        assert {table.schema.field(c).type for c in ("id", "group", "duplicate_of")} == {IDS[kind].type}
        assert table["id"].to_pylist() == sorted(table["id"].to_pylist())


@pytest.mark.parametrize("on_cluster", [False, True])
def test_text_and_uint64_ids_give_the_outputs_of_int64_ids(inputs, on_cluster, request, tmp_path):
    where = {"client": request.getfixturevalue("client")} if on_cluster else {"in_process": True}
    results, kept, annotated = {}, {}, {}
    for kind, folder in inputs.items():
        rule = {"keep_by": "rank:asc"} if kind == "int" else {"keep": "min"}
        out = tmp_path / kind
        results[kind] = run(
            folder,
            out,
            0.85,
            kept=tmp_path / f"{kind}-kept",
            annotate=tmp_path / f"{kind}-ann",
            partition_rows=1500,
            **where,
            **rule,
        )
        kept[kind] = pq.read_table(tmp_path / f"{kind}-kept")
        annotated[kind] = pq.read_table(tmp_path / f"{kind}-ann")
    assert results["int"].summary["counts"]["removed"] > 1000 and results["int"].summary["cells"]["count"] > 1
    for kind in ("text", "uint64"):
        row = _rows(kind)
        assert _mapped(tmp_path / kind, kind) == _mapped(tmp_path / "int", "int"), kind
        _in_order(tmp_path / kind, kind)
        assert results[kind].summary["counts"] == results["int"].summary["counts"]
        assert results[kind].summary["zero_rows"]["ids"] == [IDS[kind][7].as_py()]
        # The kept rows are the same rows, in input order, with the input's columns and types.
        assert kept[kind].schema == pq.read_table(inputs[kind]).schema
        assert [row[x] for x in kept[kind]["id"].to_pylist()] == kept["int"]["id"].to_pylist()
        table = annotated[kind]
        assert table.schema.field("duplicate_of").type == IDS[kind].type
        dup = [None if d is None else row[d] for d in table["duplicate_of"].to_pylist()]
        assert dup == annotated["int"]["duplicate_of"].to_pylist()

    if not on_cluster:  # keep max: the largest text first
        run(inputs["int"], tmp_path / "int-max", 0.85, keep_by="rank:desc", in_process=True)
        run(inputs["text"], tmp_path / "text-max", 0.85, keep="max", in_process=True)
        assert _mapped(tmp_path / "text-max", "text") == _mapped(tmp_path / "int-max", "int")
        assert _mapped(tmp_path / "text-max", "text")[1] != _mapped(tmp_path / "text", "text")[1]


def test_rethreshold_and_report_on_text_ids(inputs, tmp_path):
    # Kept by a column of many ties (three values): ties go to the row first in the input, as
    # the int64 ids here (rows numbered in input order), in the run and in rethreshold.
    for kind in ("int", "text"):
        out = tmp_path / kind
        run(inputs[kind], out, 0.8, keep_by="score:asc", in_process=True)
        rethreshold(out, 0.9, tmp_path / f"{kind}-9")
        run(
            inputs[kind],
            tmp_path / f"{kind}-min",
            0.8,
            **({"keep_by": "rank:asc"} if kind == "int" else {}),
            in_process=True,
        )
        rethreshold(tmp_path / f"{kind}-min", 0.9, tmp_path / f"{kind}-min-9")
    for name in ("", "-9", "-min-9"):
        assert _mapped(tmp_path / f"text{name}", "text") == _mapped(tmp_path / f"int{name}", "int"), name
    _in_order(tmp_path / "text-9", "text")
    keys = pq.read_table(tmp_path / "text-9" / "keys.parquet")
    assert keys.schema.field("id").type == pa.string() and keys.num_rows > 0
    page = write_report(tmp_path / "text-min", show=["id", "rank"]).read_text()
    assert sum(page.count(f'<span class="rid">{t}</span>') for t in TEXT) > 20


def test_int32_ids_come_back_as_int32(tmp_path):
    vectors = Clustered(count=600, dim=16, seed=1, family_share=0.3, copies_per_block=20).rows(0, 600)
    ids = 1000 + 7 * PERM[PERM < 600]
    table = pa.table(
        {
            "id": pa.array(ids, pa.int32()),
            "embedding": pa.array(list(vectors), pa.list_(pa.float32())),
            "n": np.arange(600),
        }
    )
    pq.write_table(table, tmp_path / "in.parquet", row_group_size=100)
    pq.write_table(table.set_column(0, "id", table["id"].cast(pa.int64())), tmp_path / "wide.parquet")
    got = run(
        tmp_path / "in.parquet",
        tmp_path / "out",
        0.85,
        keep_by="n",
        kept=tmp_path / "kept",
        annotate=tmp_path / "ann",
        in_process=True,
    )
    run(tmp_path / "wide.parquet", tmp_path / "wide", 0.85, keep_by="n", in_process=True)
    for name, columns in (("pairs", ["id_a", "id_b"]), ("groups", ["id", "group", "duplicate_of"]), ("keys", ["id"])):
        narrow, wide = (
            pq.read_table(tmp_path / "out" / f"{name}.parquet"),
            pq.read_table(tmp_path / "wide" / f"{name}.parquet"),
        )
        assert {narrow.schema.field(c).type for c in columns} == {pa.int32()}, name
        assert narrow.to_pylist() == wide.to_pylist(), name
    assert str(pq.read_table(tmp_path / "out" / "groups.parquet").to_pandas().duplicate_of.dtype) == "Int32"
    assert pq.read_table(tmp_path / "kept").schema == table.schema
    assert pq.read_table(tmp_path / "ann").schema.field("duplicate_of").type == pa.int32()
    assert got.summary["counts"]["removed"] > 50


def test_bad_ids_are_refused_naming_the_rows(tmp_path):
    embedding = pa.array([[1.0, float(i)] for i in range(4)], pa.list_(pa.float32()))

    def folder(name, *files):
        (tmp_path / name).mkdir()
        for i, ids in enumerate(files):
            pq.write_table(pa.table({"id": ids, "embedding": embedding}), tmp_path / name / f"{i}.parquet")
        return tmp_path / name

    dup = folder("dup", pa.array(["a", "b", "c", "x"]), pa.array(["y", "x", "z", "w"]))
    with pytest.raises(InputError) as info:
        run(dup, tmp_path / "out", in_process=True)
    assert str(info.value) == f"id 'x' appears more than once: {dup / '0.parquet'} row 3 and {dup / '1.parquet'} row 1"
    cases = [
        (folder("mixed", pa.array(["a", "b", "c", "d"]), pa.array(range(4))), "but those of"),
        (folder("null", pa.array(["a", None, "c", "d"])), "0.parquet: row 1: no id (null)"),
        (folder("binary", pa.array([b"a", b"b", b"c", b"d"])), "expected integer or text ids"),
    ]
    for path, words in cases:
        with pytest.raises(InputError, match=re.escape(words)):
            run(path, tmp_path / "out", in_process=True, on_stage=no_work if path.name != "null" else None)
    assert not (tmp_path / "out").exists()
    # Which inputs carry their rows by position (an index refuses them): text, uint64 past int64.
    small = folder("small", pa.array(range(4), pa.uint64()))
    big = folder("big", pa.array([0, 1, 2, 2**63], pa.uint64()))
    kinds = {p.name: (open_source(p).keyed_ids, open_source(p).id_type) for p in (dup, small, big)}
    assert kinds == {"dup": (True, "string"), "small": (False, "uint64"), "big": (True, "uint64")}
