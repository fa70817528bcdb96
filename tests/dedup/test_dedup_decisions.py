"""The decision: the sequential greedy rule on the listed pairs (the oracle in dedup_oracle), by the
user's keep rule, the same on every engine, partitioning and path; every removal explained; the
decision again at a higher threshold from the run's pairs alone."""

from __future__ import annotations

import datetime
import json

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from dedup_oracle import ById, check_decision, read_output

from ambrel_dedup import run
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.pipeline import group, recheck
from ambrel_dedup.pipeline.pairs import Pairs
from ambrel_dedup.review.rethreshold import RunOutput, decide_at, rethreshold

N, DIM = 3000, 24


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Clustered rows with families, exact copies, and one column of each kind to keep by."""
    d = tmp_path_factory.mktemp("decisions")
    x = Clustered(count=N, dim=DIM, seed=8).rows(0, N)
    x[2000:2100] = x[0:100] * 2.0  # exact copies (a power of two keeps the direction bit for bit)
    rng = np.random.default_rng(8)
    ids = rng.permutation(10 * N)[:N].astype(np.int64)
    score = rng.integers(0, 50, N)  # many ties
    quality = rng.random(N)
    quality[rng.random(N) < 0.1] = np.nan
    day = [datetime.date(2020, 1, 1) + datetime.timedelta(days=int(v)) for v in rng.integers(0, 400, N)]
    text = [None if i % 17 == 0 else f"row {v:04d}" for i, v in enumerate(rng.integers(0, 9999, N))]
    seen = pd.to_datetime(rng.integers(0, 10**6, N), unit="s").astype("datetime64[ms]")
    table = pa.table(
        {
            "id": ids,
            "embedding": pa.FixedSizeListArray.from_arrays(pa.array(x.reshape(-1)), DIM),
            "score": score,
            "quality": pa.array(quality, from_pandas=True),
            "day": pa.array(day, pa.date32()),
            "text": text,
            "seen": pa.array(seen, pa.timestamp("ms")),
        }
    )
    pq.write_table(table, d / "corpus.parquet", row_group_size=700)
    return d, table.drop(["embedding"]).to_pandas()


def _ranks(frame: pd.DataFrame, column: str | None, descending: bool) -> dict[int, int]:
    """Rank positions by a column (missing last, ties by the smallest id), or by id."""
    if column is None:
        order = frame.sort_values("id", ascending=not descending)
    else:
        values = frame[column]
        order = frame.assign(_missing=values.isna()).sort_values(
            ["_missing", column, "id"], ascending=[True, not descending, True]
        )
    return dict(zip(order.id.tolist(), range(len(order))))


@pytest.mark.parametrize(
    ("keep", "keep_by", "column", "descending"),
    [
        ("max", None, None, True),
        ("min", "score", "score", True),
        ("min", "quality:asc", "quality", False),
        ("min", "day", "day", True),
        ("min", "seen:asc", "seen", False),
        ("min", "text:asc", "text", False),
    ],
)
def test_keep_rules_decide_as_the_greedy_rule(corpus, tmp_path, keep, keep_by, column, descending):
    d, frame = corpus
    result = run(d / "corpus.parquet", tmp_path / "out", 0.85, in_process=True, keep=keep, keep_by=keep_by)
    pairs, groups = read_output(result.output)
    ranks = _ranks(frame, column, descending)
    check_decision(pairs, groups, ranks)
    # An exact copy's vector is represented by its best-ranked row: the other goes where it goes.
    by_id = groups.set_index("id")
    exact = pairs[pairs.exact]
    assert len(exact) >= 100
    for a, b in zip(exact.id_a.tolist(), exact.id_b.tolist()):
        first, second = sorted((a, b), key=ranks.__getitem__)
        kept = bool(by_id.keep.get(first, True))
        assert not by_id.keep[second] and by_id.group[second] == (first if kept else by_id.group[first])
    if column is not None:
        keys = pd.read_parquet(result.output / "keys.parquet")
        assert set(keys.id) == set(pairs.id_a) | set(pairs.id_b)
    # Run again at a higher threshold from these pairs alone: the greedy rule on the pairs above it.
    again = rethreshold(result.output, 0.9, tmp_path / "again")
    p2, g2 = read_output(again.output)
    assert (p2.cosine >= 0.9).all() or p2.exact.all()
    check_decision(p2, g2, ranks)


def test_the_same_decisions_on_every_engine_partitioning_and_path(client, corpus, tmp_path, monkeypatch):
    d, _ = corpus
    here = run(d / "corpus.parquet", tmp_path / "here", 0.85, in_process=True, keep_by="text")
    expected = read_output(here.output)
    monkeypatch.setattr(group, "LOCAL_EDGES", 10)  # the pairs decided on the engine, a set of components a task
    for n, kwargs in enumerate(({"in_process": True, "partition_rows": 333}, {"client": client})):
        other = run(d / "corpus.parquet", tmp_path / f"o{n}", 0.85, keep_by="text", **kwargs)
        assert other.summary["counts"]["component_rounds"] > 0
        for got, want in zip(read_output(other.output), expected):
            pd.testing.assert_frame_equal(got, want)


def test_a_chain_is_cut_and_components_keep_it_whole(tmp_path):
    """Rows 0-1 and 1-2 at cosine 0.946, 0-2 at 0.79: the greedy rule keeps 0 and 2; the components
    keep 0 alone, removing 2 though nothing kept is near it. Every removal is explained."""
    rng = np.random.default_rng(9)
    base, side = rng.standard_normal(32), rng.standard_normal(32)
    side -= side @ base / (base @ base) * base
    side *= np.linalg.norm(base) / np.linalg.norm(side)
    chain = np.stack([np.cos(a) * base + np.sin(a) * side for a in (0.0, 0.33, 0.66)])
    np.save(tmp_path / "x.npy", np.concatenate([chain, rng.standard_normal((300, 32))]).astype(np.float32))
    greedy_run = run(tmp_path / "x.npy", tmp_path / "greedy", 0.9, in_process=True, annotate=tmp_path / "ann")
    _, g = read_output(greedy_run.output)
    assert g.id.tolist() == [0, 1] and g.keep.tolist() == [True, False] and g.duplicate_of.tolist()[1] == 0
    comp = run(tmp_path / "x.npy", tmp_path / "comp", 0.9, in_process=True, groups="components")
    _, c = read_output(comp.output)
    assert c.id.tolist() == [0, 1, 2] and c.keep.tolist() == [True, False, False] and (c.group == 0).all()
    assert c.cosine.isna().all()  # a component's rows need not be near its kept row
    # The annotated data set: every row, with the decision beside it.
    annotated = pq.read_table(tmp_path / "ann").to_pandas()
    assert annotated.id.tolist() == list(range(303)) and annotated.columns.tolist()[-2:] == ["duplicate_of", "cosine"]
    assert annotated.duplicate_of.isna().sum() == 302 and annotated.duplicate_of[1] == 0
    assert annotated.cosine[1] == g.cosine[1] and annotated.cosine.isna().sum() == 302


def test_the_promise_comes_with_its_uncertainty(tmp_path, capsys):
    x = Clustered(count=12_000, dim=32, seed=4).rows(0, 12_000)
    np.save(tmp_path / "x.npy", x)
    result = run(tmp_path / "x.npy", tmp_path / "out", 0.9, in_process=True)
    promised, lower = result.summary["promised_recall"], result.summary["promised_recall_lower"]
    assert all(lower[k] <= promised[k] for k in promised) and lower["0.90"] > 0.9
    # A margin of nothing promises little: the run says so on screen and in the summary.
    weak = run(tmp_path / "x.npy", tmp_path / "weak", 0.9, in_process=True, margin=0.0, force_layout=True, log=print)
    assert weak.summary["promise_below"] == 0.99
    assert "warning: the cells promise a recall of" in capsys.readouterr().out
    assert json.loads((weak.output / "summary.json").read_text())["promise_below"] == 0.99


def test_rethreshold_refuses_a_lower_threshold(corpus, tmp_path):
    d, _ = corpus
    result = run(d / "corpus.parquet", tmp_path / "out", 0.9, in_process=True)
    with pytest.raises(ValueError, match=r"below the run.s 0\.9"):
        decide_at(RunOutput.read(result.output), 0.85)


def test_pairs_the_cells_missed_between_kept_rows_are_found_again(tmp_path, monkeypatch):
    """A layout that misses many pairs (no margin): the recheck finds most of those between two kept
    rows, and the decision is still the greedy rule's on every listed pair."""
    import ambrel_batch as ab

    x = Clustered(count=12_000, dim=32, seed=6).rows(0, 12_000)
    np.save(tmp_path / "x.npy", x)
    unit = ab.normalize_batch(x)
    truth = ab.similar_pairs(unit, 0.85)

    def kept_pairs(out):
        pairs, groups = read_output(out)
        gone = np.zeros(len(x), bool)
        gone[groups.id[~groups.keep].to_numpy()] = True
        return pairs, groups, int((~gone[truth.a] & ~gone[truth.b]).sum())

    weak = {"margin": 0.0, "force_layout": True, "in_process": True}
    checked = run(tmp_path / "x.npy", tmp_path / "checked", 0.85, **weak)
    pairs, groups, left = kept_pairs(checked.output)
    check_decision(pairs, groups, ById())
    monkeypatch.setattr(recheck, "recheck", lambda *args: Pairs([], 0, 0, 0, [], 0))
    unchecked = run(tmp_path / "x.npy", tmp_path / "unchecked", 0.85, **weak)
    _, _, before = kept_pairs(unchecked.output)
    assert checked.summary["counts"]["recheck_pairs"] > 0 and before > 20 and left < before / 5
