"""The per-partition pieces against oracles: band texts from the signature engine, brute-force pair
enumeration, union-find components, and the banding curve against signatures of pairs at known cosines."""

import itertools
import math

import numpy as np
import pandas as pd
import pytest
from dedup_oracle import components, true_cosines

import ambrel_batch as ab
from ambrel_dedup import Generated, InputError, LshParams, choose_params, with_overrides
from ambrel_dedup import kernels as k
from ambrel_dedup.params import estimate_limit
from ambrel_dedup.sources import parse_generated
from ambrel_dedup.truth import compare


def _rows_with_repeats(n, dim, seed):
    rng = np.random.default_rng(seed)
    rows = rng.standard_normal((n, dim)).astype(np.float32)
    rows[n // 2 :] = rows[: n - n // 2] + 0.05 * rng.standard_normal((n - n // 2, dim)).astype(np.float32)
    rows[-3:] = rows[:3]
    return ab.normalize_batch(rows)


@pytest.mark.parametrize(
    ("families", "bits", "bands"),
    [(3, 256, 16), (5, 240, 12), (2, 100, 7), (1, 66, 16), (3, 130, 4), (2, 256, 4), (2, 256, 1), (4, 64, 64)],
)
def test_bucket_keys_follow_the_band_texts(families, bits, bands):
    unit = _rows_with_repeats(40, 24, seed=bits + bands)
    res = ab.simhash_lsh_batch(unit, families, bits, bands)
    p = LshParams.from_layout(0.9, families, bits, bands)
    assert (p.bands_per_family, p.band_bits) == (res.bands, 4 * res.band_width)
    code_bytes = k.words_to_bytes(k.codes_to_words(np.asarray(res.codes)))
    keys = k.bucket_keys(code_bytes, p)
    texts = [[b for fam in res.records(r) for b in fam.bands] for r in range(len(unit))]
    for t in range(p.tables):
        column = [row[t] for row in texts]
        same_text = np.array([[a == b for b in column] for a in column])
        assert np.array_equal(keys[:, t][:, None] == keys[:, t][None, :], same_text), t
    assert len(np.unique(keys)) == len({(t, row[t]) for row in texts for t in range(p.tables)})
    if p.band_bits + max(1, (p.tables - 1).bit_length()) <= 64:  # the key holds the band's value below its index
        values = np.asarray(res.band_values).reshape(len(unit), -1)[:, : p.tables]
        assert np.array_equal(keys & np.uint64((1 << p.band_bits) - 1), values)
    # The sketch of a band is the first 64 bits of the next family.
    sk = k.sketches(code_bytes, p)
    for r in (0, 7):
        sigs = [fam.signature for fam in res.records(r)]
        for t in range(p.tables):
            assert int(sk[r, t]) == int(sigs[(t // p.bands_per_family + 1) % families][:16], 16)


def test_bucket_pairs_chain_dense_buckets_and_drop_far_sketches():
    rng = np.random.default_rng(5)
    big = rng.permutation(np.arange(100, 125))
    rows = pd.DataFrame(
        {
            "key": np.array([7] * 25 + [9] * 3 + [11], dtype=np.uint64),
            "id": np.concatenate([big, [3, 1, 2], [50]]).astype(np.int64),
            "sketch": np.array([0] * 26 + [2**64 - 1, 0, 0], dtype=np.uint64),
        }
    ).sample(frac=1.0, random_state=1)
    pairs, stats = k.bucket_pairs(rows, cap=10, sketch_max=20)
    got = set(zip(pairs.id_a.tolist(), pairs.id_b.tolist()))
    assert len(pairs) == len(got)
    dense = {p for p in got if p[0] >= 100}
    assert got - dense == {(2, 3)}  # id 1 has a sketch 64 bits away from both others
    # The dense bucket is one chain with a window of two: 2n - 3 pairs that connect all members.
    assert len(dense) == 2 * 25 - 3 and set(components(list(dense))) == set(big.tolist())
    assert max(sum(i in p for p in dense) for i in big.tolist()) <= 2 * k.CHAIN_WINDOW
    assert stats.pairs_in_buckets == 300 + 3
    assert stats.pairs_skipped == 300 - (2 * 25 - 3)
    assert stats.pairs_sketch_rejected == 2
    assert (stats.buckets, stats.largest_bucket, stats.chained_buckets) == (2, 25, 1)
    # The same members in another band give the same chain, so that bands add no new pairs.
    again, _ = k.bucket_pairs(rows.assign(key=rows.key + np.uint64(1)), cap=10, sketch_max=20)
    assert dense <= set(zip(again.id_a.tolist(), again.id_b.tolist()))


def test_bucket_pairs_stay_within_the_task_limit():
    rng = np.random.default_rng(8)
    keys = np.repeat(np.arange(40, dtype=np.uint64), 30)  # 40 buckets of 30: 17,400 pairs in all
    rows = pd.DataFrame(
        {"key": keys, "id": rng.permutation(1200).astype(np.int64), "sketch": np.zeros(1200, np.uint64)}
    )
    whole, stats = k.bucket_pairs(rows, cap=100, sketch_max=64)
    assert len(whole) == 40 * 435 and stats.chained_buckets == 0
    limited, stats = k.bucket_pairs(rows, cap=100, sketch_max=64, max_pairs=2000)
    assert 2000 < len(limited) < 2000 + 40 * 60 and stats.chained_buckets > 30
    assert set(zip(limited.id_a, limited.id_b)) <= set(zip(whole.id_a, whole.id_b))
    # Every bucket is still connected.
    assert len(set(components(list(zip(limited.id_a.tolist(), limited.id_b.tolist()))).values())) == 40


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
    members, _ = _shuffled(k.star_members(frame), "group", 3, lambda part: (k.mark_keepers(part, "min")[0], 0))
    assert dict(zip(members.id, members.group)) == components([(int(a), int(b)) for a, b in edges])
    assert len(members) == len(set(members.id))


@pytest.mark.parametrize("threshold", [0.8, 0.9])
def test_banding_curve_matches_signatures(threshold):
    """Pairs at a known cosine become candidates, and are reported, as often as the curves say."""
    p = choose_params(threshold)
    rng = np.random.default_rng(int(threshold * 100))
    n, dim = 3000, 64
    for cosine in (threshold - 0.05, threshold, threshold + 0.03):
        x = rng.standard_normal((n, dim))
        x /= np.linalg.norm(x, axis=1, keepdims=True)
        z = rng.standard_normal((n, dim))
        z -= np.sum(z * x, axis=1, keepdims=True) * x
        z /= np.linalg.norm(z, axis=1, keepdims=True)
        y = cosine * x + np.sqrt(1 - cosine**2) * z
        codes = [
            k.words_to_bytes(k.codes_to_words(np.asarray(ab.simhash_lsh_batch(v, p.families, p.bits, p.bands).codes)))
            for v in (x, y)
        ]
        same_band = k.bucket_keys(codes[0], p) == k.bucket_keys(codes[1], p)
        close = np.bitwise_count(k.sketches(codes[0], p) ^ k.sketches(codes[1], p)) <= p.sketch_max
        candidate = (same_band & close).any(axis=1)
        expected = float(p.candidate_probability(cosine))
        margin = 4 * np.sqrt(expected * (1 - expected) / n) + 0.005
        assert abs(candidate.mean() - expected) < margin, (cosine, candidate.mean(), expected)
        # Reported: a candidate whose estimate over every bit reaches the threshold (the curve
        # assumes independent bits; a shared band makes the estimate a little higher).
        estimate = ab.cosine_from_hamming_batch(ab.hamming_distance_pairs(codes[0], codes[1]), p.total_bits)
        reported = (candidate & (estimate >= threshold)).mean()
        expected = float(p.found_probability(cosine))
        assert -0.01 < reported - expected < 4 * np.sqrt(expected * (1 - expected) / n) + 0.03, (cosine, reported)


def test_limits_of_the_sketch_and_the_estimate():
    for threshold in (0.5, 0.8, 0.9, 0.97):
        q = np.arccos(threshold) / np.pi
        tail = [sum(math.comb(64, j) * q**j * (1 - q) ** (64 - j) for j in range(h + 1, 65)) for h in range(65)]
        h = choose_params(threshold).sketch_max
        assert tail[h] <= 1e-4 < tail[h - 1]
        for bits in (1024, 1200, 3328):
            limit = estimate_limit(threshold, bits)
            assert math.cos(limit / bits * math.pi) >= threshold > math.cos((limit + 1) / bits * math.pi)


def test_generated_data_set_texts():
    gen = parse_generated("generated:1500x20,seed=4,pairs=3,copies=1,groups=0,cosine=0.9-0.95")
    assert gen == Generated(1500, 20, 4, 3, 1, 0, 0.9, 0.95)
    assert parse_generated("generated") == Generated()
    for bad in ("generated:10x", "generated,colour=red", "generated,seed=x", "generated:5x5,pairs=500"):
        with pytest.raises(InputError, match="generated"):
            parse_generated(bad)


def test_chosen_layouts():
    for threshold in (0.7, 0.8, 0.85, 0.9, 0.95):
        p = choose_params(threshold)
        assert p.tables <= p.families * p.bands_per_family and p.total_bits >= 1024
        curve = [float(p.candidate_probability(c)) for c in (threshold - 0.1, threshold, threshold + 0.05)]
        # An S-curve around the threshold, leaning towards recall: candidates are verified afterwards.
        assert curve[0] < 0.65 and 0.8 < curve[1] < curve[2] and curve[2] > 0.94, (threshold, curve)
    manual = with_overrides(choose_params(0.9), families=3, bits=256, bands=16)
    assert (manual.tables, manual.band_bits, manual.total_bits) == (48, 16, 768)
    with pytest.raises(ValueError, match="tables"):
        LshParams(0.9, 2, 256, 16, 33, 20)


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
