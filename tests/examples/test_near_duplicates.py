"""The near-duplicate finder in examples/ keeps its promises on small data."""

import re
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
an = pytest.importorskip("ambrel_native")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture(scope="module")
def finder():
    # Imported from sys.path, not from a file path, so that worker processes can import it too.
    sys.path.insert(0, str(EXAMPLES))
    try:
        import near_duplicates

        yield near_duplicates
    finally:
        sys.path.remove(str(EXAMPLES))


def unit_rows(vectors):
    return np.array([an.normalize_vector(row) for row in vectors.tolist()], dtype=np.float64)


@pytest.mark.parametrize(("bits", "bands"), [(256, 16), (64, 16), (100, 7), (256, 1000), (130, 4), (10, 0), (66, 3)])
def test_band_layout_matches_the_module(finder, bits, bands):
    family = an.simhash_lsh_multi([0.5, -0.25, 1.0], families=1, bits=bits, bands=bands)[0]
    band_bits, count = finder.band_layout(bits, bands)
    assert count == len(family.bands)
    assert {4 * len(b) for b in family.bands} == {band_bits}


def test_planted_pairs_have_their_cosines(finder):
    data = finder.make_dataset(count=600, dim=64, pairs=50, copies=20, seed=7)
    assert data.vectors.shape == (600, 64)
    assert data.vectors.dtype == np.float32
    unit = unit_rows(data.vectors)
    cosines = [c for _, _, c in data.planted]
    assert cosines == pytest.approx(np.linspace(0.99, 0.80, 50).tolist())
    for i, j, c in data.planted:
        assert float(unit[i] @ unit[j]) == pytest.approx(c, abs=1e-5)
    # Nothing else comes close: the planted pairs and the copies are the only near duplicates.
    sims = np.triu(unit @ unit.T, k=1)
    assert int((sims >= 0.79).sum()) == 50 + 20


def test_copies_share_their_fingerprint(finder):
    data = finder.make_dataset(count=300, dim=40, pairs=10, copies=30, seed=11)
    digests = [an.compute_embedding_sha256(an.normalize_vector(row)) for row in data.vectors.tolist()]
    groups = {frozenset(g) for g in finder.digest_groups(digests)}
    assert groups == {frozenset(pair) for pair in data.copies}
    # Some copies are stored at another scale: equal after normalisation only.
    assert any(not np.array_equal(data.vectors[a], data.vectors[b]) for a, b in data.copies)


def test_candidate_pairs(finder):
    bands = [("aa", "x0"), ("aa", "x1"), ("bb", "x1"), ("cc", "x2"), ("aa", "x3")]
    found = finder.candidate_pairs(bands, max_bucket=10)
    assert found.pairs.tolist() == [[0, 1], [0, 4], [1, 2], [1, 4]]
    assert (found.buckets, found.shared, found.oversized) == (7, 2, 0)
    capped = finder.candidate_pairs(bands, max_bucket=2)
    assert capped.pairs.tolist() == [[1, 2]]
    assert capped.oversized == 1


def test_verify_sums_the_families(finder):
    vectors = [[1.0, 0.0, 0.5], [0.9, 0.1, 0.5], [-1.0, 0.2, 0.0]]
    signatures = [tuple(f.signature for f in an.simhash_lsh_multi(v, families=2, bits=64)) for v in vectors]
    pairs = np.array([[0, 1], [0, 2]])
    distances, estimates = finder.verify(pairs, signatures, 128, show=False)
    for (i, j), d, e in zip(pairs.tolist(), distances.tolist(), estimates.tolist(), strict=True):
        expected = sum(map(an.hamming_distance_hex, signatures[i], signatures[j]))
        assert d == expected
        assert e == an.cosine_from_hamming(expected, 128)
    assert estimates[0] > estimates[1]


@pytest.mark.parametrize("workers", [1, 2])
def test_built_in_data_end_to_end(finder, capsys, workers):
    argv = ["--count", "1500", "--dim", "64", "--pairs", "80", "--copies", "12", "--workers", str(workers)]
    assert finder.main([*argv, "--no-progress", "--rows", "4"]) == 0
    out = capsys.readouterr().out
    assert "planted copies found: 12 of 12" in out
    assert "bit-identical normalised vectors: 12 groups, the same as by fingerprint" in out
    recall, precision = (float(x) for x in re.search(r"recall ([\d.]+), precision ([\d.]+)", out).groups())
    assert recall >= 0.8
    assert precision >= 0.8
    assert "reported: hit" in out


def test_user_input_file(finder, tmp_path, capsys):
    rng = np.random.default_rng(3)
    x = rng.standard_normal((300, 64))
    x[7] = 3 * x[5]  # same direction, other scale
    x[9] = x[8] + 1e-3 * rng.standard_normal(64)
    path = tmp_path / "embeddings.npy"
    np.save(path, x)
    assert finder.main(["--input", str(path), "--workers", "1", "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "recall 1.000, precision 1.000; 2 of 2 true pairs reported, 0 false" in out


def test_refuses_an_array_that_is_not_a_matrix(finder, tmp_path):
    path = tmp_path / "flat.npy"
    np.save(path, np.zeros(5))
    with pytest.raises(SystemExit, match="two-dimensional"):
        finder.main(["--input", str(path), "--workers", "1"])
