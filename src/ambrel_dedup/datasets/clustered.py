"""A clustered data set: embeddings in topics, with near-duplicate families and exact copies.

Real embeddings are not independent directions: they come in topics (all the
descriptions of Haskell libraries, of fonts, of Node.js modules), and inside a
topic in families of near duplicates (a library's -dev, -doc and -dbg packages).
This data set models both, so that candidate generation meets the crowded
neighbourhoods it meets on real data:

- About one topic per `per_topic` rows. Topic k's centre and tightness come from
  (seed, k) alone, so any topic is derived without generating any row.
- Each row belongs to a topic drawn at random and lies at cosine `a` from its
  centre, where `a**2` scatters around the topic's tightness: two rows of a topic
  have a cosine of about the product of their two `a`s, typically 0.5 .. 0.8,
  with a tail of pairs between 0.85 and 0.95 in the tighter topics.
- Families of near duplicates around a row of the block, of heavy-tailed size
  (2 .. `family_max`) and of a per-family closeness drawn between
  `family_low` and `family_high` (about the cosine of two members).
- A few exact copies per block, at another power-of-two scale.
- Every row has a random norm.

Rows are made in blocks of 1,000 from (seed, block number) alone, so any range
of rows is produced without the rest and nothing depends on partitioning.
Topics are in proportion to the count, so pairs above a threshold grow about
linearly with it.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

BLOCK = 1000
_CENTRE = 0x43454E54  # stream tag of the topic centres
_ROWS = 0x524F5753  # stream tag of the blocks of rows


@dataclass(frozen=True)
class Clustered:
    """Parameters of the clustered data set (ids are row numbers)."""

    count: int = 200_000
    dim: int = 384
    seed: int = 0
    per_topic: int = 100  # rows per topic, on average
    tight_low: float = 0.45  # range of a topic's mean squared cosine to its centre
    tight_high: float = 0.85
    row_spread: float = 0.08  # spread of a row's squared cosine around its topic's
    family_share: float = 0.15  # share of each block's rows in near-duplicate families
    family_max: int = 50
    family_low: float = 0.80  # range of a family's closeness (about its members' cosines)
    family_high: float = 0.99
    copies_per_block: int = 2

    def __post_init__(self) -> None:
        if self.count < 1 or self.dim < 2:
            raise ValueError(f"the clustered data set needs a row and two dimensions, got {self.count} x {self.dim}")
        if self.per_topic < 1 or self.family_max < 2 or self.copies_per_block < 0:
            raise ValueError("per_topic must be >= 1, family_max >= 2 and copies_per_block >= 0")
        if not 0.0 <= self.family_share <= 0.5:
            raise ValueError("family_share must be within 0 .. 0.5")
        for low, high in ((self.tight_low, self.tight_high), (self.family_low, self.family_high)):
            if not 0.0 < low <= high < 1.0:
                raise ValueError("closeness ranges need 0 < low <= high < 1")

    @property
    def topics(self) -> int:
        return max(1, round(self.count / self.per_topic))

    def describe(self) -> str:
        return (
            f"clustered (seed {self.seed}): {self.count:,} vectors of {self.dim} dimensions in "
            f"{self.topics:,} topics, {self.family_share:.0%} of rows in near-duplicate families of "
            f"2 .. {self.family_max} at closeness {self.family_low:g} .. {self.family_high:g}, "
            f"{self.copies_per_block} exact copies per {BLOCK:,} rows"
        )

    def centre(self, k: int) -> tuple[np.ndarray, float]:
        """Topic k's unit centre (float64) and tightness (mean squared cosine of its rows to it)."""
        rng = np.random.default_rng([self.seed, _CENTRE, k])
        tight = float(rng.uniform(self.tight_low, self.tight_high))
        c = rng.standard_normal(self.dim)
        return c / np.linalg.norm(c), tight

    def _block(self, b: int) -> np.ndarray:
        n = min(BLOCK, self.count - b * BLOCK)
        rng = np.random.default_rng([self.seed, _ROWS, b])
        topic = rng.integers(0, self.topics, n)
        unique, inverse = np.unique(topic, return_inverse=True)
        centres = np.empty((len(unique), self.dim))
        tight = np.empty(len(unique))
        for i, k in enumerate(unique):
            centres[i], tight[i] = self.centre(int(k))
        c = centres[inverse]
        a2 = np.clip(tight[inverse] + self.row_spread * rng.standard_normal(n), 0.05, 0.97)
        x = _around(c, np.sqrt(a2), rng.standard_normal((n, self.dim)))

        # Near-duplicate families: members around a source row of the block.
        weights = np.arange(2, self.family_max + 1, dtype=np.float64) ** -2.2
        budget = int(self.family_share * n)
        sizes = []
        while budget >= 2:
            s = min(int(rng.choice(len(weights), p=weights / weights.sum())) + 2, budget)
            sizes.append(s)
            budget -= s
        perm = rng.permutation(n)
        used = sum(sizes)
        starts = np.cumsum([0, *sizes[:-1]]).astype(np.int64)
        sources = np.repeat(perm[starts], np.array(sizes) - 1) if sizes else np.zeros(0, np.int64)
        in_family = np.ones(used, dtype=bool)
        in_family[starts] = False
        members = perm[:used][in_family]
        closeness = rng.uniform(self.family_low, self.family_high, len(sizes))
        g2 = np.repeat(closeness, np.array(sizes, dtype=np.int64) - 1) if sizes else np.zeros(0)
        g2 = np.clip(g2 + 0.01 * rng.standard_normal(len(g2)), 0.5, 0.999)
        # A member at cosine sqrt(g2) from the source: two members at about g2 from each other.
        x[members] = _around(x[sources], np.sqrt(g2), rng.standard_normal((len(members), self.dim)))

        x *= rng.lognormal(mean=1.0, sigma=0.5, size=n)[:, None]
        out = x.astype(np.float32)
        rest = perm[used:]
        c = min(self.copies_per_block, len(rest) // 2)
        powers = 2.0 ** rng.choice(np.array([-1, 1, 2]), size=c)
        out[rest[c : 2 * c]] = out[rest[:c]] * powers[:, None].astype(np.float32)
        return out

    def rows(self, start: int, stop: int) -> np.ndarray:
        """Rows start .. stop - 1 as float32."""
        stop = min(stop, self.count)
        if start >= stop:
            return np.zeros((0, self.dim), dtype=np.float32)
        parts = []
        for b in range(start // BLOCK, (stop - 1) // BLOCK + 1):
            lo, hi = max(start, b * BLOCK) - b * BLOCK, min(stop, (b + 1) * BLOCK) - b * BLOCK
            parts.append(self._block(b)[lo:hi])
        return np.concatenate(parts)


def _around(centres: np.ndarray, cos: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Unit rows at cosine `cos` from the rows of `centres`, in the random directions z (float64)."""
    u = centres / np.linalg.norm(centres, axis=1, keepdims=True)
    z = z - np.sum(z * u, axis=1, keepdims=True) * u
    z /= np.maximum(np.linalg.norm(z, axis=1, keepdims=True), 1e-300)
    return cos[:, None] * u + np.sqrt(1.0 - cos**2)[:, None] * z
