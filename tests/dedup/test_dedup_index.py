"""The persistent index: create + add against one run over the union, queries against brute force,
kills at every step of an add, concurrent adds, and damaged or foreign indexes."""

from __future__ import annotations

import dataclasses
import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from dedup_oracle import THRESHOLD, ById, check_decision, read_output

import ambrel_batch as ab
from ambrel_dedup import Index, run
from ambrel_dedup.cli import main
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.errors import DedupError
from ambrel_dedup.index import files
from ambrel_dedup.index import jobs as ij
from ambrel_dedup.index import manifest as im
from ambrel_dedup.index import matching as iq
from ambrel_dedup.index import segments as st

OLD, NEW, DIM = 4500, 1500, 48


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    d = tmp_path_factory.mktemp("corpus")
    x = Clustered(count=OLD + NEW + 600, dim=DIM, seed=7).rows(0, OLD + NEW + 600)
    (d / "union").mkdir()
    np.save(d / "union" / "a.npy", x[:OLD])
    np.save(d / "union" / "b.npy", x[OLD : OLD + NEW])
    np.save(d / "old.npy", x[:OLD])
    np.save(d / "new.npy", x[OLD : OLD + NEW])
    np.save(d / "later.npy", x[OLD + NEW :])
    return d, x


@pytest.fixture(scope="module")
def grown(corpus, tmp_path_factory):
    """An index created on the old rows, the new rows added: (index path, create output, add output)."""
    d, _ = corpus
    w = tmp_path_factory.mktemp("grown")
    ij.create(d / "old.npy", w / "idx", THRESHOLD, output=w / "out1")
    ij.add(d / "new.npy", w / "idx", w / "out2")
    return w / "idx", w / "out1", w / "out2"


def _pairs(path: Path) -> pd.DataFrame:
    return read_output(path)[0]


def test_create_then_add_finds_the_pairs_of_one_run_and_merges_groups(corpus, grown, tmp_path):
    d, _ = corpus
    idx, out1, out2 = grown
    union = _pairs(run(d / "union", tmp_path / "union", THRESHOLD).output)
    steps = pd.concat([_pairs(out1), _pairs(out2)], ignore_index=True)
    assert (steps.cosine >= THRESHOLD).all()
    assert not steps.duplicated(["id_a", "id_b"]).any()
    key = ["id_a", "id_b"]
    both = union.merge(steps, on=key, suffixes=("_run", "_steps"))
    assert len(both) >= 0.99 * len(union)
    assert (both.cosine_run == both.cosine_steps).all()  # the same exact cosines, bit for bit
    # The decisions are those of one greedy pass over every pair listed in either step, the indexed
    # rows ranked first (their ids are the smaller ones here), across versions.
    table = Index.open(idx).groups()
    frame = pd.DataFrame({"id": table.ids, "group": table.group, "keep": table.keep, "cosine": table.cosine})
    check_decision(steps, frame, ById())
    gone = frame[~frame.keep]
    assert ((gone.id >= OLD) & (gone.group < OLD)).any()  # new rows removed for indexed ones
    # The add's groups are its removed rows and the kept rows they duplicate.
    _, g2 = read_output(out2)
    assert set(g2.id) == set(gone.id[gone.id >= OLD]) | set(gone.group[gone.id >= OLD])


def test_create_and_add_decide_as_one_run_with_the_indexed_rows_first(corpus, tmp_path):
    """With the largest id kept first, the new rows (larger ids) would outrank the indexed ones in a
    run; an add ranks them after every indexed row instead, so no indexed kept row is removed."""
    d, _ = corpus
    ij.create(d / "old.npy", tmp_path / "idx", THRESHOLD, keep="max", output=tmp_path / "o1")
    before = Index.open(tmp_path / "idx").groups()
    ij.add(d / "new.npy", tmp_path / "idx", tmp_path / "o2")
    steps = pd.concat([_pairs(tmp_path / "o1"), _pairs(tmp_path / "o2")], ignore_index=True)
    rank = {i: (-i if i < OLD else 10 * OLD - i) for i in set(steps.id_a) | set(steps.id_b)}
    table = Index.open(tmp_path / "idx").groups()
    check_decision(
        steps, pd.DataFrame({"id": table.ids, "group": table.group, "keep": table.keep, "cosine": table.cosine}), rank
    )
    was = dict(zip(before.ids.tolist(), before.keep.tolist()))
    now = dict(zip(table.ids.tolist(), table.keep.tolist()))
    assert all(now.get(i, True) == kept for i, kept in was.items())  # no indexed decision changed


def test_queries_match_brute_force(corpus, grown, monkeypatch):
    _, x = corpus
    idx, _, _ = grown
    index = Index.open(idx)
    rng = np.random.default_rng(1)
    picked = x[rng.choice(OLD + NEW, 150, replace=False)].astype(np.float64)
    noise = rng.standard_normal(picked.shape) * np.linalg.norm(picked, axis=1, keepdims=True) * 0.03
    rows = np.concatenate([picked + noise, x[OLD + NEW :][:150]]).astype(np.float32)
    found = index.query(rows)
    u = rows.astype(np.float64) / np.linalg.norm(rows.astype(np.float64), axis=1, keepdims=True)
    xs = x[: OLD + NEW].astype(np.float64)
    xs /= np.linalg.norm(xs, axis=1, keepdims=True)
    truth = {(int(i), int(j)) for i, j in zip(*np.nonzero(u @ xs.T >= THRESHOLD + 1e-9))}
    got = set(zip(found.row.tolist(), found.id.tolist()))
    assert len(truth) > 200 and len(truth & got) >= 0.99 * len(truth)
    assert (found.cosine >= THRESHOLD).all() and len(got) == len(found)
    # Exact cosines, as the batch engine computes them on the normalised rows.
    i = np.arange(len(found))
    pair_rows = np.concatenate([ab.normalize_batch(rows[found.row]), ab.normalize_batch(x[found.id])])
    assert np.array_equal(found.cosine, ab.cosine_pairs(pair_rows, i, i + len(i)))
    ids, cos = found.of(0)
    assert list(cos) == sorted(cos, reverse=True) and ids.tolist() == found.id[found.row == 0].tolist()
    # Top-k: the k nearest of each row's matches; the table names the query's row as the command does.
    top = index.query(rows, k=2)
    want = found.to_pandas().groupby("query_id").head(2).reset_index(drop=True)
    pd.testing.assert_frame_equal(top.to_pandas(), want)
    # One row alone gives what it gets in a batch; a zero row matches nothing.
    alone = index.query(rows[5])
    assert alone.id.tolist() == found.of(5)[0].tolist()
    assert len(index.query(np.zeros((2, DIM)))) == 0
    # Cells too large for one product, or past the budget, are decided by similar_pairs: the same pairs.
    monkeypatch.setattr(iq, "_PRODUCT_ENTRIES", 0)
    again = index.query(rows)
    assert np.array_equal(again.id, found.id) and np.array_equal(again.cosine, found.cosine)
    with pytest.raises(ValueError, match="dimensions"):
        index.query(rows[:, :10])
    with pytest.raises(ValueError, match="built for"):
        index.query(rows, threshold=THRESHOLD - 0.1)


def test_a_higher_threshold_and_exact_copies_in_queries(tmp_path):
    rng = np.random.default_rng(4)
    x = rng.standard_normal((3000, 16)).astype(np.float32)
    x[100] = x[7] * 4.0  # an exact copy: the same direction
    np.save(tmp_path / "x.npy", x)
    ij.create(tmp_path / "x.npy", tmp_path / "idx", 0.8)
    index = Index.open(tmp_path / "idx")
    assert index.info()["exact_copies"] == 1
    ids, cos = index.query(x[7] * 0.5, threshold=0.95).of(0)
    assert sorted(ids.tolist()) == [7, 100] and (cos >= 0.95).all()


_KILLER = """
import os, signal, sys
from ambrel_dedup.index import files as index_files, jobs as index_jobs, manifest as index_manifest
name, nth, after = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "after"
owner = {"replace": os, "publish": index_manifest}.get(name, index_files)
real, calls = getattr(owner, name), [0]
def wrapped(*args, **kwargs):
    calls[0] += 1
    if calls[0] == nth and not after:
        os.kill(os.getpid(), signal.SIGKILL)
    out = real(*args, **kwargs)
    if calls[0] == nth and after:
        os.kill(os.getpid(), signal.SIGKILL)
    return out
setattr(owner, name, wrapped)
index_jobs.add(sys.argv[4], sys.argv[5], sys.argv[6])
"""


def _killed_add(script: Path, point: tuple[str, int, str], new: Path, idx: Path, out: Path) -> int:
    args = [sys.executable, str(script), point[0], str(point[1]), point[2], str(new), str(idx), str(out)]
    return subprocess.run(args, capture_output=True, timeout=120).returncode


@pytest.mark.parametrize(
    "point",
    [
        ("save_array", 1, "before"),  # the first file of the new segment
        ("save_array", 15, "after"),  # the segment written, its group changes not yet
        ("publish", 1, "before"),  # everything written but the manifest
        ("replace", 1, "before"),  # the new manifest synced beside the old one
        ("replace", 1, "after"),  # renamed: the new version stands
    ],
)
def test_an_add_killed_at_any_point_leaves_a_whole_version(corpus, tmp_path, point):
    d, x = corpus
    ij.create(d / "old.npy", tmp_path / "idx", THRESHOLD)
    before = Index.open(tmp_path / "idx")
    expected = before.query(x[:50])
    script = tmp_path / "killer.py"
    script.write_text(textwrap.dedent(_KILLER))
    assert _killed_add(script, point, d / "new.npy", tmp_path / "idx", tmp_path / "out") == -9
    after = Index.open(tmp_path / "idx", verify=True)
    landed = point == ("replace", 1, "after")
    assert after.version == (2 if landed else 1)
    assert after.count == OLD + (NEW if landed else 0)
    if not landed:
        got = after.query(x[:50])
        assert np.array_equal(got.id, expected.id) and np.array_equal(got.cosine, expected.cosine)
        ij.add(d / "new.npy", tmp_path / "idx", tmp_path / "again")  # the lock died with the process
        assert Index.open(tmp_path / "idx").count == OLD + NEW
    done = ij.vacuum(tmp_path / "idx", keep=1)
    assert (done["entries_removed"] > 0) == (not landed)  # what the killed add wrote, never referenced
    left = {p.name for p in (tmp_path / "idx" / files.DATA).iterdir()}
    assert left == im.read_manifest(tmp_path / "idx").newest.names()
    assert set(os.listdir(tmp_path / "idx")) <= st.ENTRIES
    assert Index.open(tmp_path / "idx", verify=True).count == OLD + NEW


_HOLDER = """
import sys, time
from pathlib import Path
from ambrel_dedup.index import jobs as index_jobs, stages as index_stages
real = index_stages.segments
def slow(*args, **kwargs):
    Path(sys.argv[4]).touch()
    while not Path(sys.argv[5]).exists():
        time.sleep(0.05)
    return real(*args, **kwargs)
index_stages.segments = slow
index_jobs.add(sys.argv[1], sys.argv[2], sys.argv[3])
"""


def test_two_adds_at_once_lose_nothing(corpus, tmp_path):
    d, _ = corpus
    ij.create(d / "old.npy", tmp_path / "idx", THRESHOLD)
    script = tmp_path / "holder.py"
    script.write_text(textwrap.dedent(_HOLDER))
    inside, go = tmp_path / "inside", tmp_path / "go"
    first = subprocess.Popen(
        [sys.executable, str(script), str(d / "new.npy"), str(tmp_path / "idx"), str(tmp_path / "o1"), inside, go]
    )
    try:
        deadline = time.monotonic() + 60
        while not inside.exists() and first.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert inside.exists()
        with pytest.raises(DedupError, match="another process is adding"):
            ij.add(d / "later.npy", tmp_path / "idx", tmp_path / "o2")
        assert not (tmp_path / "o2").exists()
    finally:
        go.touch()
        assert first.wait(timeout=120) == 0
    ij.add(d / "later.npy", tmp_path / "idx", tmp_path / "o2")
    index = Index.open(tmp_path / "idx")
    assert index.version == 3 and index.count == OLD + NEW + 600
    assert len(np.unique(index.all_ids())) == index.count


def _damage(kind: str, idx: Path) -> None:
    manifest = json.loads((idx / im.MANIFEST).read_text())
    seg = idx / files.DATA / manifest["versions"][-1]["segments"][0]["name"]
    if kind == "newer format":
        (idx / im.MANIFEST).write_text(json.dumps(dict(manifest, format=im.FORMAT + 1)))
    elif kind == "missing file":
        (seg / "ids.npy").unlink()
    elif kind == "damaged file":
        data = bytearray((seg / "ids.npy").read_bytes())
        data[-1] ^= 1
        (seg / "ids.npy").write_bytes(bytes(data))
    elif kind == "truncated rows":
        with open(seg / "unit.npy", "r+b") as f:
            f.truncate(f.seek(0, 2) - 4)
    elif kind == "not json":
        (idx / im.MANIFEST).write_text("{")


@pytest.mark.parametrize(
    ("kind", "message"),
    [
        ("newer format", "newer than this"),
        ("missing file", "ids.npy: missing"),
        ("damaged file", "ids.npy: its contents differ"),
        ("truncated rows", "unit.npy: .* bytes, the index recorded"),
        ("not json", "manifest.json: not valid JSON"),
    ],
)
def test_a_damaged_index_is_named_and_nothing_is_written(corpus, tmp_path, kind, message):
    d, _ = corpus
    ij.create(d / "later.npy", tmp_path / "idx", THRESHOLD)
    _damage(kind, tmp_path / "idx")
    manifest = (tmp_path / "idx" / im.MANIFEST).read_bytes()
    for call in (
        lambda: Index.open(tmp_path / "idx"),
        lambda: ij.add(d / "new.npy", tmp_path / "idx", tmp_path / "out"),
        lambda: ij.query(d / "new.npy", tmp_path / "idx", tmp_path / "out"),
    ):
        with pytest.raises(DedupError, match=message):
            call()
    assert (tmp_path / "idx" / im.MANIFEST).read_bytes() == manifest
    assert not (tmp_path / "out").exists()


def test_refusals_name_the_path_and_write_nothing(corpus, tmp_path):
    d, x = corpus
    (tmp_path / "plain").mkdir()
    with pytest.raises(DedupError, match="not an ambrel-dedup index"):
        ij.add(d / "new.npy", tmp_path / "plain", tmp_path / "out")
    assert os.listdir(tmp_path / "plain") == []
    ij.create(d / "later.npy", tmp_path / "idx", THRESHOLD)
    with pytest.raises(DedupError, match="exists"):
        ij.create(d / "later.npy", tmp_path / "idx", THRESHOLD)
    np.save(tmp_path / "wide.npy", np.ones((5, DIM + 1), np.float32))
    with pytest.raises(DedupError, match=f"{DIM + 1} dimensions; the index"):
        ij.add(tmp_path / "wide.npy", tmp_path / "idx", tmp_path / "out")
    import pyarrow as pa
    import pyarrow.parquet as pq

    taken = pa.table({"id": [10**9, 3], "embedding": [list(map(float, r)) for r in x[:2]]})
    pq.write_table(taken, tmp_path / "taken.parquet")
    with pytest.raises(DedupError, match="id 3 is already in the index"):
        ij.add(tmp_path / "taken.parquet", tmp_path / "idx", tmp_path / "out")
    assert not (tmp_path / "out").exists() and Index.open(tmp_path / "idx").version == 1


def test_keep_rules_across_versions(tmp_path):
    """No chain: a row two steps from the kept one stays. An add never removes an indexed kept row:
    a new row of a better rank by id is removed for it."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(9)
    base = rng.standard_normal(32)
    side = rng.standard_normal(32)
    side -= side @ base / (base @ base) * base
    side *= np.linalg.norm(base) / np.linalg.norm(side)

    def at(angle: float) -> list[float]:
        return list(np.cos(angle) * base + np.sin(angle) * side)

    far = rng.standard_normal((500, 32))  # unrelated rows around them
    old = {5: at(0.0), 7: at(0.33), 9: at(0.66)}  # 5-7 and 7-9 at cosine 0.946; 5-9 at 0.79
    old_rows = [*old.values(), *map(list, far)]
    pq.write_table(pa.table({"id": [5, 7, 9, *range(1000, 1500)], "embedding": old_rows}), tmp_path / "old.parquet")
    ij.create(tmp_path / "old.parquet", tmp_path / "idx", 0.9, margin=2.0, force_layout=True)
    groups = Index.open(tmp_path / "idx").groups()
    assert groups.ids.tolist() == [5, 7] and groups.group.tolist() == [5, 5] and groups.keep.tolist() == [True, False]
    # New id 0 near 9 only (cosine 0.99); new id 20 alone.
    new = pa.table({"id": [0, 20], "embedding": [at(0.8), list(rng.standard_normal(32))]})
    pq.write_table(new, tmp_path / "new.parquet")
    result = ij.add(tmp_path / "new.parquet", tmp_path / "idx", tmp_path / "out", kept=tmp_path / "kept")
    _, g = read_output(tmp_path / "out")
    assert g.id.tolist() == [0, 9] and g.keep.tolist() == [False, True] and g.group.tolist() == [9, 9]
    assert result.summary["counts"]["removed"] == 1
    kept = pq.read_table(tmp_path / "kept")
    assert kept.column("id").to_pylist() == [20] and kept.schema.names == new.schema.names


def test_the_command_line(corpus, tmp_path, capsys):
    d, _ = corpus
    idx = str(tmp_path / "idx")
    assert main(["index", "create", str(d / "later.npy"), "--index", idx, "--quiet"]) == 0
    assert main(["index", "add", str(d / "new.npy"), "--index", idx, "-o", str(tmp_path / "o"), "--quiet"]) == 0
    assert main(["query", str(d / "new.npy"), "--index", idx, "-o", str(tmp_path / "q"), "--quiet"]) == 0
    matches = pd.read_parquet(tmp_path / "q" / "matches.parquet")
    assert (matches.query_id + 600 == matches.id).sum() == NEW  # every added row finds itself
    assert (
        main(["query", str(d / "new.npy"), "--index", idx, "-o", str(tmp_path / "q1"), "--top-k", "1", "--quiet"]) == 0
    )
    nearest = pd.read_parquet(tmp_path / "q1" / "matches.parquet")
    assert len(nearest) == NEW and nearest.query_id.is_unique  # each row's nearest: itself, or a copy of it
    assert ((nearest.query_id + 600 == nearest.id) | (nearest.cosine == matches.cosine.max())).all()
    capsys.readouterr()
    assert main(["index", "info", "--index", idx, "--json", "--verify"]) == 0
    shown = json.loads(capsys.readouterr().out)
    assert shown["version"] == 2 and shown["vectors"] == NEW + 600
    (tmp_path / "idx" / files.DATA / "notes.txt").write_text("not the tool's")
    assert main(["index", "vacuum", idx, "--keep", "1"]) == 0
    assert (tmp_path / "idx" / files.DATA / "notes.txt").exists()  # vacuum removes only what the tool wrote
    assert main(["index", "info", str(tmp_path)]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "not an ambrel-dedup index" in err[0]


def test_add_and_query_on_a_cluster_give_the_same_outputs(client, corpus, grown, tmp_path):
    d, _ = corpus
    idx, _, out2 = grown
    ij.create(d / "old.npy", tmp_path / "idx", THRESHOLD)
    ij.add(d / "new.npy", tmp_path / "idx", tmp_path / "out2", client=client)
    for ours, theirs in zip(read_output(tmp_path / "out2"), read_output(out2)):
        pd.testing.assert_frame_equal(ours, theirs)
    here = ij.query(d / "later.npy", idx, tmp_path / "q1")
    there = ij.query(d / "later.npy", idx, tmp_path / "q2", client=client)
    assert here.summary["matches"] == there.summary["matches"]
    a, b = (pd.read_parquet(p / "matches.parquet").sort_values(["query_id", "id"]) for p in (here.output, there.output))
    pd.testing.assert_frame_equal(a.reset_index(drop=True), b.reset_index(drop=True))


def test_adding_only_the_kept_rows(tmp_path):
    rng = np.random.default_rng(12)
    x = rng.standard_normal((400, 16)).astype(np.float32)
    np.save(tmp_path / "old.npy", x[:300])
    np.save(tmp_path / "new.npy", np.concatenate([x[300:], x[:1] * 3.0, x[300:301] * 2.0]))  # ids 300..401
    ij.create(tmp_path / "old.npy", tmp_path / "idx", 0.9, keep="max")
    ij.add(tmp_path / "new.npy", tmp_path / "idx", tmp_path / "out", add="kept")
    _, g = read_output(tmp_path / "out")
    removed = set(g.id[~g.keep])
    assert {400, 300} <= removed and 401 not in removed  # 400 copies indexed 0; 401 outranks its copy 300
    index = Index.open(tmp_path / "idx")
    assert set(index.all_ids().tolist()) == set(range(402)) - removed
    ids, _ = index.query(x[300]).of(0)
    assert set(ids.tolist()) == {401}


def test_an_index_made_anew_at_the_same_path_is_opened_anew(tmp_path):
    import shutil

    from ambrel_dedup.index.reader import opened

    rng = np.random.default_rng(3)
    np.save(tmp_path / "a.npy", rng.standard_normal((300, 8)).astype(np.float32))
    np.save(tmp_path / "b.npy", rng.standard_normal((200, 8)).astype(np.float32))
    root = str((tmp_path / "idx").absolute())
    ij.create(tmp_path / "a.npy", root, 0.9)
    assert opened(root, 1).count == 300
    shutil.rmtree(root)
    ij.create(tmp_path / "b.npy", root, 0.9)  # version 1 again, in a process that holds the old one
    assert opened(root, 1).count == 200


def test_small_adds_and_adds_that_leave_everything_out(tmp_path):
    rng = np.random.default_rng(21)
    x = rng.standard_normal((6000, 8)).astype(np.float32)  # more than one cell
    np.save(tmp_path / "base.npy", x)
    ij.create(tmp_path / "base.npy", tmp_path / "idx", 0.9)
    np.save(tmp_path / "one.npy", rng.standard_normal((1, 8)).astype(np.float32))
    np.save(tmp_path / "copies.npy", x[:10] * 2.0)  # exact copies of indexed rows only
    ij.add(tmp_path / "one.npy", tmp_path / "idx", tmp_path / "o1")
    ij.add(tmp_path / "copies.npy", tmp_path / "idx", tmp_path / "o2", add="kept")  # every row removed
    index = Index.open(tmp_path / "idx", verify=True)
    assert index.count == 6001 and len(index.query(x[:3])) >= 3
    # The left-out ids 6001 .. 6010 are never given again, nor do they name a group.
    ij.add(tmp_path / "one.npy", tmp_path / "idx", tmp_path / "o3")
    index = Index.open(tmp_path / "idx")
    assert index.all_ids().max() == 6011
    assert not set(range(6001, 6011)) & set(index.groups().group.tolist())


def test_an_index_changed_under_an_add_gets_nothing(corpus, tmp_path, monkeypatch):
    from ambrel_dedup.index import stages as index_stages

    d, _ = corpus
    ij.create(d / "later.npy", tmp_path / "idx", THRESHOLD)
    real = index_stages.segments

    def meanwhile(*args, **kwargs):  # another index takes the place of the one being added to
        manifest = im.read_manifest(tmp_path / "idx")
        im.publish(tmp_path / "idx", dataclasses.replace(manifest, id="another"))
        return real(*args, **kwargs)

    monkeypatch.setattr(index_stages, "segments", meanwhile)
    with pytest.raises(DedupError, match="replaced or changed while adding"):
        ij.add(d / "new.npy", tmp_path / "idx", tmp_path / "out")
    assert not (tmp_path / "out").exists() and im.read_manifest(tmp_path / "idx").version == 1


def test_removing_ids_and_vacuum_reclaiming_them(tmp_path, capsys):
    rng = np.random.default_rng(30)
    x = rng.standard_normal((3000, 16)).astype(np.float32)
    x[2000] = x[5] * 2.0  # an exact copy of 5, which is removed: the copy stays findable
    x[10] = x[11] * 1.01  # a near pair, of which 10 is removed
    np.save(tmp_path / "x.npy", x)
    ij.create(tmp_path / "x.npy", tmp_path / "idx", THRESHOLD)
    before = Index.open(tmp_path / "idx").query(x[:50])
    gone = [5, 10, 2999]
    with pytest.raises(DedupError, match="id 4000 is not in the index; nothing was removed"):
        ij.remove(tmp_path / "idx", [1, 4000])
    assert main(["index", "remove", "--index", str(tmp_path / "idx"), "--ids", "5,10, 2999"]) == 0
    assert "removed 3 ids" in capsys.readouterr().out
    index = Index.open(tmp_path / "idx")
    assert index.count == 2997 and not set(gone) & set(index.all_ids().tolist())
    kept = ~np.isin(before.id, gone)
    after = index.query(x[:50])
    assert np.array_equal(after.id, before.id[kept]) and np.array_equal(after.cosine, before.cosine[kept])
    assert 2000 in after.of(5)[0]  # the copy of a removed row still matches
    # Vacuum writes the segments holding removed ids anew: the same answers, the rows' bytes freed.
    size = sum(p.stat().st_size for p in (tmp_path / "idx").rglob("*") if p.is_file())
    done = ij.vacuum(tmp_path / "idx", keep=1)
    assert done["compacted_ids"] == 3 and done["bytes_freed"] > 0
    compacted = Index.open(tmp_path / "idx", verify=True)
    again = compacted.query(x[:50])
    assert compacted.count == 2997 and np.array_equal(again.id, after.id) and np.array_equal(again.cosine, after.cosine)
    assert sum(p.stat().st_size for p in (tmp_path / "idx").rglob("*") if p.is_file()) < size
    # A removed id may be added again.
    import pyarrow as pa
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"id": [10], "embedding": [list(map(float, x[10]))]}), tmp_path / "back.parquet")
    ij.add(tmp_path / "back.parquet", tmp_path / "idx", tmp_path / "out")
    assert 10 in Index.open(tmp_path / "idx").query(x[11]).of(0)[0]


def test_an_index_refuses_ids_it_cannot_hold(tmp_path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    x = np.random.default_rng(0).standard_normal((50, 8))
    pq.write_table(
        pa.table({"id": [f"d{i}" for i in range(50)], "embedding": [list(r) for r in x]}), tmp_path / "t.parquet"
    )
    with pytest.raises(DedupError, match="ids of string, which an index does not hold"):
        ij.create(tmp_path / "t.parquet", tmp_path / "idx", THRESHOLD)
    assert not (tmp_path / "idx").exists()


def _parquet(path: Path, ids, rows) -> Path:
    import pyarrow as pa
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"id": np.asarray(ids, np.int64), "embedding": [list(map(float, r)) for r in rows]}), path)
    return path


def test_a_removed_vector_is_stood_for_by_its_copies(tmp_path):
    """A removed representative whose exact copies stay (one in its segment, one an add wrote):
    before and after vacuum, queries and adds meet the copies as an index of the held rows would;
    the removed id is added again only once vacuum has written its segment anew."""
    x = np.random.default_rng(3).standard_normal((301, 16)).astype(np.float32)
    x[200] = x[0]
    near = x[0] + np.float32(0.02) * np.random.default_rng(4).standard_normal(16).astype(np.float32)
    idx = tmp_path / "idx"
    ij.create(_parquet(tmp_path / "base.parquet", range(300), x[:300]), idx, THRESHOLD)
    ij.add(_parquet(tmp_path / "copy.parquet", [999], x[:1]), idx, tmp_path / "o1")
    ij.remove(idx, [0])
    with pytest.raises(DedupError, match=r"id 0 was removed from the index .* run `ambrel-dedup index vacuum"):
        ij.add(_parquet(tmp_path / "back.parquet", [0], x[:1]), idx, tmp_path / "o2")
    ij.add(_parquet(tmp_path / "near.parquet", [1500], near[None]), idx, tmp_path / "o3")
    pairs = _pairs(tmp_path / "o3")
    assert pairs[["id_a", "id_b"]].values.tolist() == [[200, 1500]]  # the smallest copy stands for 0
    held = Index.open(idx).query(x[:1]).of(0)[0].tolist()
    ij.vacuum(idx)
    after = Index.open(idx, verify=True)
    assert sorted(held) == sorted(after.query(x[:1]).of(0)[0].tolist()) == [200, 999, 1500]
    assert after.info()["representatives"] + after.info()["exact_copies"] == after.count == 301
    # Added again after vacuum: the rows it meets were removed (for 0), so it is kept and names none.
    ij.add(tmp_path / "back.parquet", idx, tmp_path / "o4")
    pairs, groups = read_output(tmp_path / "o4")[:2]
    assert (pairs.id_a != pairs.id_b).all() and 0 not in groups.id.tolist()
