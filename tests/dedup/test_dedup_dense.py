"""Dense cells: thousands of near-identical rows come out as one group, within a bounded number of
listed pairs per task."""

import numpy as np
from dedup_oracle import THRESHOLD, read_output

from ambrel_dedup import run, stages


def test_near_identical_rows_are_one_group_within_the_pair_budget(tmp_path, monkeypatch):
    n, dim = 3000, 32
    rng = np.random.default_rng(4)
    base = rng.standard_normal(dim).astype(np.float32)
    family = base + 1e-3 * rng.standard_normal((n, dim)).astype(np.float32)
    others = rng.standard_normal((200, dim)).astype(np.float32)
    np.save(tmp_path / "dense.npy", np.concatenate([family, others]))
    monkeypatch.setattr(stages, "MAX_PAIRS_PER_TASK", 20_000)
    result = run(tmp_path / "dense.npy", tmp_path / "out", THRESHOLD, in_process=True)
    pairs, groups = read_output(result.output)
    c = result.summary["counts"]
    assert c["incomplete_cells"] > 0
    # Far fewer than the 4.5 million pairs of the family are listed, every one at the threshold,
    # and the family is one group all the same.
    assert len(pairs) < 20_000 * 8 + 8 * n and (pairs.cosine >= THRESHOLD).all()
    assert set(groups[groups.id < n].id) == set(range(n)) and groups[groups.id < n].group.nunique() == 1
    assert not set(groups.id) & set(range(n, n + 200))
