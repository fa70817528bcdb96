"""Dense cells: thousands of near-identical rows come out as one kept row and the rows removed for
it, each with its pair, within a bounded number of listed pairs per task."""

import numpy as np
import pytest
from dedup_oracle import THRESHOLD, read_output

from ambrel_dedup import run
from ambrel_dedup.pipeline import pairs as pair_stage


@pytest.mark.parametrize(
    ("n", "budget"),
    [(3000, 20_000), (12_000, pair_stage.MAX_PAIRS_PER_TASK)],  # one cell; many cells k-means would cut it into
)
def test_near_identical_rows_are_one_kept_row_and_its_duplicates(tmp_path, monkeypatch, n, budget):
    dim = 32
    rng = np.random.default_rng(4)
    base = rng.standard_normal(dim).astype(np.float32)
    family = base + 1e-3 * rng.standard_normal((n, dim)).astype(np.float32)
    others = rng.standard_normal((200, dim)).astype(np.float32)
    np.save(tmp_path / "dense.npy", np.concatenate([family, others]))
    monkeypatch.setattr(pair_stage, "MAX_PAIRS_PER_TASK", budget)
    for keep in ("min", "max"):
        result = run(tmp_path / "dense.npy", tmp_path / keep, THRESHOLD, in_process=True, keep=keep)
        pairs, groups = read_output(result.output)
        assert result.summary["counts"]["dense_cells"] > 0
        # Far fewer than the 4.5 million pairs of the family are listed, every one at the threshold;
        # the family keeps its best-ranked row and every other row names it, with their listed pair.
        assert len(pairs) < 2 * n and (pairs.cosine >= THRESHOLD).all()
        first = 0 if keep == "min" else n - 1
        assert set(groups.id) == set(range(n)) and groups[groups.keep].id.tolist() == [first]
        gone = groups[~groups.keep]
        assert (gone.duplicate_of == first).all() and (gone.group == first).all()
        listed = dict(zip(zip(pairs.id_a, pairs.id_b), pairs.cosine))
        assert all(listed[min(i, first), max(i, first)] == c for i, c in zip(gone.id, gone.cosine))
