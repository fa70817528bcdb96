"""The built-in data set: random embeddings with planted near duplicates and exact copies.

Rows are made in blocks of 1,000 from (seed, block number) alone, so any range of
rows is produced without the rest and the data never depends on how the rows are
split into partitions. In every block a few source rows get a partner at an exact
cosine (drawn uniformly between `cosine_low` and `cosine_high`), a few groups of
rows lie around a source row at such cosines (so that they form groups larger
than two, linked through the source), and a few rows are copied at another
power-of-two scale: normalisation removes such a scale bit for
bit, so a copy has its original's fingerprint. Background rows are independent
Gaussian directions (in 384 dimensions their cosines are about N(0, 1/384)), and
every row has a random norm, as a model returns them.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

BLOCK = 1000
GROUP_SIZE = 4


@dataclass(frozen=True)
class Planted:
    pairs: list[tuple[int, int, float]] = field(default_factory=list)  # (i, j, cosine), i < j
    copies: list[tuple[int, int]] = field(default_factory=list)  # (original, copy)


@dataclass(frozen=True)
class Generated:
    """Parameters of the built-in data set (ids are row numbers)."""

    count: int = 200_000
    dim: int = 384
    seed: int = 0
    pairs_per_block: int = 5
    copies_per_block: int = 2
    groups_per_block: int = 1
    cosine_low: float = 0.80
    cosine_high: float = 0.99

    def __post_init__(self) -> None:
        if self.count < 1 or self.dim < 1:
            raise ValueError(
                f"the generated data set needs at least one row and one dimension, got {self.count} x {self.dim}"
            )
        if not 0 <= self.seed < 2**63:
            raise ValueError(f"the seed must be a whole number from 0 to 2**63 - 1, got {self.seed}")
        if min(self.pairs_per_block, self.copies_per_block, self.groups_per_block) < 0:
            raise ValueError("pairs, copies and groups per block must not be negative")
        if 2 * self.pairs_per_block + 2 * self.copies_per_block + GROUP_SIZE * self.groups_per_block > BLOCK:
            raise ValueError(f"the planted rows must fit in a block of {BLOCK}")
        if not -1.0 <= self.cosine_low <= self.cosine_high <= 1.0:
            raise ValueError("need -1 <= cosine_low <= cosine_high <= 1")

    def describe(self) -> str:
        blocks = -(-self.count // BLOCK)
        return (
            f"generated (seed {self.seed}): {self.count:,} vectors of {self.dim} dimensions, "
            f"about {blocks * self.pairs_per_block:,} planted pairs at cosine {self.cosine_low:g} .. "
            f"{self.cosine_high:g}, {blocks * self.groups_per_block:,} groups of {GROUP_SIZE} around a source "
            f"and {blocks * self.copies_per_block:,} exact copies"
        )

    def _block(self, b: int) -> tuple[np.ndarray, Planted]:
        start = b * BLOCK
        n = min(BLOCK, self.count - start)
        rng = np.random.default_rng([self.seed, b])
        # Background rows: Gaussian directions in float32 at random norms.
        vectors = rng.standard_normal((n, self.dim), dtype=np.float32)
        vectors *= rng.lognormal(mean=1.0, sigma=0.5, size=n).astype(np.float32)[:, None]
        perm = rng.permutation(n)
        cos_draw = rng.uniform(self.cosine_low, self.cosine_high, self.pairs_per_block)
        z = rng.standard_normal((self.pairs_per_block, self.dim))
        partner_norms = rng.lognormal(mean=1.0, sigma=0.5, size=self.pairs_per_block)
        powers = 2.0 ** rng.choice(np.array([-1, 1, 2]), size=self.copies_per_block)
        group_size = GROUP_SIZE - 1
        group_cos = rng.uniform(self.cosine_low, self.cosine_high, (self.groups_per_block, group_size))
        group_z = rng.standard_normal((self.groups_per_block, group_size, self.dim))
        group_norms = rng.lognormal(mean=1.0, sigma=0.5, size=(self.groups_per_block, group_size))

        p = min(self.pairs_per_block, n // 4)
        c = min(self.copies_per_block, (n - 2 * p) // 2)
        g = min(self.groups_per_block, (n - 2 * p - 2 * c) // GROUP_SIZE)
        originals, duplicates = perm[2 * p : 2 * p + c], perm[2 * p + c : 2 * p + 2 * c]
        first = 2 * p + 2 * c
        group_sources = perm[first : first + g]
        members = perm[first + g : first + GROUP_SIZE * g]
        # Every partner is at an exact cosine from its source (as stored, in float32): the
        # pairs' partners, and the other members of each group around its source.
        sources = np.concatenate([perm[:p], np.repeat(group_sources, group_size)])
        partners = np.concatenate([perm[p : 2 * p], members])
        cosines = np.concatenate([cos_draw[:p], group_cos[:g].reshape(-1)])
        z = np.concatenate([z[:p], group_z[:g].reshape(-1, self.dim)])
        norms = np.concatenate([partner_norms[:p], group_norms[:g].reshape(-1)])
        x = vectors[sources].astype(np.float64)
        x /= np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-300)
        zp = z - np.sum(z * x, axis=1, keepdims=True) * x
        zp /= np.maximum(np.linalg.norm(zp, axis=1, keepdims=True), 1e-300)
        partner = cosines[:, None] * x + np.sqrt(1.0 - cosines**2)[:, None] * zp
        vectors[partners] = (partner * norms[:, None]).astype(np.float32)
        vectors[duplicates] = vectors[originals] * powers[:c, None].astype(np.float32)
        planted = Planted(
            [(start + int(min(i, j)), start + int(max(i, j)), float(k)) for i, j, k in zip(sources, partners, cosines)],
            [(start + int(i), start + int(j)) for i, j in zip(originals, duplicates)],
        )
        return vectors, planted

    def rows(self, start: int, stop: int) -> np.ndarray:
        """Rows start .. stop - 1 as float32."""
        stop = min(stop, self.count)
        if start >= stop:
            return np.zeros((0, self.dim), dtype=np.float32)
        parts = []
        for b in range(start // BLOCK, (stop - 1) // BLOCK + 1):
            block, _ = self._block(b)
            lo, hi = max(start, b * BLOCK) - b * BLOCK, min(stop, (b + 1) * BLOCK) - b * BLOCK
            parts.append(block[lo:hi])
        return np.concatenate(parts)

    def planted(self, stop: int | None = None) -> Planted:
        """The planted pairs and copies whose rows are all below `stop` (default: all rows)."""
        stop = self.count if stop is None else min(stop, self.count)
        out = Planted()
        for b in range(-(-stop // BLOCK)):
            _, planted = self._block(b)
            out.pairs.extend(p for p in planted.pairs if p[1] < stop)
            out.copies.extend(c for c in planted.copies if max(c) < stop)
        return out
