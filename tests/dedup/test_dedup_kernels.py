"""The per-partition pieces against oracles: cells against brute force, union-find components,
the data sets and the demo's comparison."""

import itertools

import numpy as np
import pandas as pd
import pytest
from dedup_oracle import components, true_cosines

import ambrel_batch as ab
from ambrel_dedup import Generated, InputError
from ambrel_dedup import partition as k
from ambrel_dedup.datasets.clustered import Clustered
from ambrel_dedup.datasets.truth import compare
from ambrel_dedup.files.sources import parse_generated
from ambrel_dedup.pipeline import cell_pairs as cp
from ambrel_dedup.pipeline import cells as cl


def _shuffled(frame, column, parts, func):
    """What a shuffle by `column` followed by a per-partition function does."""
    outs = [func(frame[frame[column] % parts == i]) for i in range(parts)]
    return pd.concat([o[0] for o in outs], ignore_index=True), sum(o[1] for o in outs)


def _graphs():
    rng = np.random.default_rng(11)
    labels = rng.permutation(10_000)
    path = [(labels[i], labels[i + 1]) for i in range(300)]  # a long chain in random id order
    star = [(labels[400], labels[401 + i]) for i in range(50)]
    random_edges = [tuple(rng.choice(labels[500:900], 2, replace=False)) for _ in range(300)]
    yield path
    yield path + star + random_edges
    yield [(labels[1000 + i], labels[2000 + i]) for i in range(40)]  # matching: many components of two


@pytest.mark.parametrize("edges", list(_graphs()), ids=["path", "mixed", "matching"])
def test_star_steps_give_union_find_components(edges):
    frame = pd.DataFrame({"id_a": [min(e) for e in edges], "id_b": [max(e) for e in edges]}, dtype=np.int64)
    for _ in range(40):
        frame, large = _shuffled(k.directed(frame), "src", 3, k.large_star)
        frame, small = _shuffled(frame, "id_b", 3, k.small_star)
        if large == 0 and small == 0:
            break
    else:
        pytest.fail("did not settle")
    members, _ = _shuffled(k.star_members(frame), "id", 3, lambda part: (part.drop_duplicates(), 0))
    want = components([(int(a), int(b)) for a, b in edges])
    assert dict(zip(members.id, members.group)) == want
    assert len(members) == len(set(members.id))
    ids, labels = k.component_labels(np.array([e[0] for e in edges]), np.array([e[1] for e in edges]))
    assert dict(zip(ids.tolist(), labels.tolist())) == want


@pytest.mark.parametrize("margin", [0.0, 0.05, 0.3])
def test_cells_report_every_pair_that_meets_once(margin):
    """Over all cells, the pairs are exactly the brute-force pairs whose vectors meet in a cell,
    each once, whatever the margin and however many cells a task takes."""
    rows = ab.normalize_batch(Clustered(count=3000, dim=32, seed=5).rows(0, 3000))
    ids = np.arange(10**12, 10**12 + 3000 * 7, 7)[np.random.default_rng(1).permutation(3000)]
    layout = cl.fit(ids, rows, 3000, 0.85, threads=2)
    layout = cl.Layout(0.85, layout.centroids, margin, 4)
    cells_of = cl.place(rows, layout)
    truth = ab.similar_pairs(rows, 0.85)
    met = cl.meet(cells_of, truth.a, truth.b)
    want = {(min(x, y), max(x, y)) for x, y in zip(ids[truth.a[met]].tolist(), ids[truth.b[met]].tolist())}
    for split in (1, 3):
        parts = [
            cp.pairs_in_cells(group, ids, rows, cells_of, 0.85, 10**7)
            for group in np.array_split(np.arange(layout.cells), split)
        ]
        found = cp.CellPairs.concat(parts)
        got = list(zip(found.a.tolist(), found.b.tolist()))
        assert len(got) == len(set(got)) and set(got) == want and len(want) > 100


def test_generated_data_set_texts():
    gen = parse_generated("generated:1500x20,seed=4,pairs=3,copies=1,groups=0,cosine=0.9-0.95")
    assert gen == Generated(1500, 20, 4, 3, 1, 0, 0.9, 0.95)
    assert parse_generated("generated") == Generated()
    for bad in ("generated:10x", "generated,colour=red", "generated,seed=x", "generated:5x5,pairs=500"):
        with pytest.raises(InputError, match="generated"):
            parse_generated(bad)


def test_generated_rows_do_not_depend_on_the_split():
    gen = Generated(count=2300, dim=16, seed=9)
    whole = gen.rows(0, gen.count)
    cuts = [0, 1, 999, 1000, 1737, 2300]
    assert np.array_equal(whole, np.concatenate([gen.rows(a, b) for a, b in itertools.pairwise(cuts)]))
    unit = whole / np.linalg.norm(whole.astype(np.float64), axis=1, keepdims=True)
    for i, j, c in gen.planted().pairs:
        assert unit[i] @ unit[j] == pytest.approx(c, abs=1e-5)
    for i, j in gen.planted().copies:
        assert not np.array_equal(whole[i], whole[j])
        digests = ab.sha256_batch(ab.normalize_batch(whole[[i, j]]))
        assert digests[0] == digests[1]


def test_the_demo_comparison_counts_what_brute_force_says():
    rng = np.random.default_rng(2)
    vectors = rng.standard_normal((60, 32)).astype(np.float32)
    vectors[10] = vectors[3] * 2  # an exact copy
    vectors[20] = vectors[5] + 0.01 * vectors[6]  # a near duplicate
    vectors[30] = vectors[7] + 0.3 * vectors[8]  # cosine about 0.96
    ids = np.arange(100, 160)
    cos = true_cosines(vectors)
    truth = {(i, j) for i, j in zip(*np.nonzero(np.triu(cos, 1) >= 0.9))}
    assert truth == {(3, 10), (5, 20), (7, 30)}
    # Reported: the near pair 5-20, a false one 1-2; the copy 10 of 3 through its representative.
    result = compare(vectors, ids, 0.9, (np.array([105, 101]), np.array([120, 102])), {110: 103})
    assert (result.true_pairs, result.found, result.reported, result.reported_true) == (3, 2, 2, 1)
    assert result.far_below == 1 and [m[:2] for m in result.missed] == [(107, 130)]
