"""Rows whose float32 normalisation would underflow or overflow keep their direction; zero rows are
set aside, counted and named, never paired."""

import json

import numpy as np
from dedup_oracle import THRESHOLD, read_output

import ambrel_batch as ab
from ambrel_dedup import partition as k
from ambrel_dedup import run


def test_scaling_keeps_ordinary_rows_bit_for_bit_and_rescues_the_others():
    rng = np.random.default_rng(1)
    ordinary = (rng.standard_normal((300, 40)) * rng.lognormal(0, 3, (300, 1))).astype(np.float32)
    scaled, zero = k.scale_rows(ordinary)
    assert not zero.any()
    assert np.array_equal(ab.normalize_batch(scaled).view(np.uint32), ab.normalize_batch(ordinary).view(np.uint32))
    direction = rng.standard_normal(40)
    for magnitude in (1e-30, 1e-40, 1e-44, 1e20, 3e38):
        row = (direction / np.abs(direction).max() * magnitude).astype(np.float32)
        unit = ab.normalize_batch(k.scale_rows(row[None, :])[0])[0].astype(np.float64)
        want = row.astype(np.float64) / np.linalg.norm(row.astype(np.float64))
        assert abs(unit @ want - 1.0) < 1e-3 and abs(np.linalg.norm(unit) - 1.0) < 1e-6, magnitude
    assert list(k.scale_rows(np.zeros((2, 3), np.float32))[1]) == [True, True]


def test_tiny_huge_and_zero_rows_in_a_run(client, tmp_path):
    rows = np.array(
        [
            [1e-30, 0, 0],
            [0, 1e-30, 0],
            [0, 0, 1e-30],
            [3e19, 0, 0],
            [0, 3e19, 0],
            [2e-30, 1e-31, 0],
            [0, 0, 0],
            [1, 2, 3],
            [0, 0, 0],
        ],
        dtype=np.float32,
    )
    np.save(tmp_path / "rows.npy", rows)
    result = run(tmp_path / "rows.npy", tmp_path / "out", THRESHOLD, client=client)
    pairs, groups = read_output(result.output)
    found = set(zip(pairs.id_a.tolist(), pairs.id_b.tolist()))
    # Only rows that point the same way are paired: 3e19 x is an exact copy of 1e-30 x along both
    # first axes, and [2e-30, 1e-31, 0] is near the first (cosine 0.9988, through the representative
    # of its copies); the zero rows 6 and 8 are in no pair and no group.
    assert found == {(0, 3), (1, 4), (0, 5)}
    assert set(pairs[pairs.exact].id_a) == {0, 1}
    assert not {6, 8} & set(groups.id)
    summary = json.loads((result.output / "summary.json").read_text())
    assert summary["zero_rows"] == {"count": 2, "ids": [6, 8]}
    assert summary["counts"]["exact_copies"] == 2


def test_partitions_of_only_zero_rows_or_only_copies(tmp_path):
    rows = np.random.default_rng(2).standard_normal((30, 8)).astype(np.float32)
    rows[10:20] = 0.0  # the second partition: zero rows only
    rows[20:30] = rows[0:10] * 2.0  # the third: exact copies of the first only
    np.save(tmp_path / "rows.npy", rows)
    result = run(tmp_path / "rows.npy", tmp_path / "out", THRESHOLD, in_process=True, partition_rows=10)
    pairs, groups = read_output(result.output)
    assert set(zip(pairs.id_a, pairs.id_b)) == {(i, i + 20) for i in range(10)} and pairs.exact.all()
    assert result.summary["counts"]["zero_rows"] == 10 and not set(range(10, 20)) & set(groups.id)


def test_inputs_of_few_distinct_vectors(client, tmp_path):
    """One vector 200 times, five vectors 1,000 times each (the sample of the rows holds few or no
    representatives): one cell, every copy grouped with the first of its vector, on both engines and
    in an index, whose queries find every copy."""
    from ambrel_dedup import Index, create_index

    rng = np.random.default_rng(6)
    for distinct, times in ((1, 200), (5, 1000)):
        vectors = rng.standard_normal((distinct, 16)).astype(np.float32)
        path = tmp_path / f"{distinct}.npy"
        np.save(path, np.tile(vectors, (times, 1)))
        for n, engine in enumerate(({"in_process": True}, {"client": client})):
            result = run(path, tmp_path / f"out-{distinct}-{n}", **engine)
            _, groups = read_output(result.output)
            assert result.summary["cells"]["count"] == 1
            assert result.summary["counts"]["removed"] == (times - 1) * distinct
            assert sorted(groups[groups.keep].id) == list(range(distinct))
            assert (groups.group == groups.id % distinct).all()
        create_index(path, tmp_path / f"{distinct}.idx")
        if distinct == 1:  # and the one vector zero: no representative at all, one empty cell
            np.save(tmp_path / "zero.npy", np.zeros((200, 16), np.float32))
            nothing = run(tmp_path / "zero.npy", tmp_path / "zero-out", in_process=True)
            assert nothing.summary["counts"]["zero_rows"] == 200 and nothing.summary["counts"]["removed"] == 0
        ids, _ = Index.open(tmp_path / f"{distinct}.idx").query(vectors[-1] * 3).of(0)
        assert sorted(ids) == list(range(distinct - 1, distinct * times, distinct))
