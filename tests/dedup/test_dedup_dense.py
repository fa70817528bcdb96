"""Dense buckets: thousands of near-identical rows come out as one group through a bounded number
of candidate pairs, instead of every pair of every band."""

import numpy as np
from dedup_oracle import THRESHOLD, components, read_output

from ambrel_dedup import run


def test_near_identical_rows_are_one_group_through_few_pairs(client, tmp_path):
    n, dim = 3000, 32
    rng = np.random.default_rng(4)
    base = rng.standard_normal(dim).astype(np.float32)
    family = base + 1e-3 * rng.standard_normal((n, dim)).astype(np.float32)
    others = rng.standard_normal((200, dim)).astype(np.float32)
    np.save(tmp_path / "dense.npy", np.concatenate([family, others]))
    result = run(tmp_path / "dense.npy", tmp_path / "out", THRESHOLD, client=client, bucket_cap=100)
    pairs, groups = read_output(result.output)
    c = result.summary["counts"]
    assert c["bucket_chained_buckets"] > 0
    # Far fewer candidates than the 4.5 million pairs of the family, and every one verified.
    assert c["candidate_pairs"] < 100 * n
    family_ids = set(range(n))
    assert groups[groups.id < n].group.nunique() == 1 and set(groups[groups.id < n].id) == family_ids
    assert set(components(list(zip(pairs.id_a.tolist(), pairs.id_b.tolist()))).values()) >= {0}
    assert result.summary["skipped_pairs"] == c["bucket_pairs_skipped"] > 0
