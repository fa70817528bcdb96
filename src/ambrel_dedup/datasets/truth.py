"""Brute-force cosine similarity: the oracle the pipeline is checked against, and the baseline it is timed against."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

BLOCK_BYTES = 256 << 20


def unit_rows(vectors: np.ndarray) -> np.ndarray:
    """Rows scaled to unit length in float32 (zero rows stay zero)."""
    x = np.asarray(vectors, dtype=np.float32)
    norms = np.linalg.norm(x.astype(np.float64), axis=1, keepdims=True)
    return (x / np.where(norms > 0, norms, 1.0)).astype(np.float32)


def brute_force_pairs(vectors: np.ndarray, threshold: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every pair (i, j), i < j, of rows whose cosine is at least `threshold`: (i, j, cosine).

    A float32 matrix product block by block, as a numpy user would write it.
    """
    unit = unit_rows(vectors)
    n = len(unit)
    block = max(1, min(n, BLOCK_BYTES // max(1, 4 * n)))
    found_i, found_j, found_c = [], [], []
    for start in range(0, n, block):
        stop = min(n, start + block)
        sims = unit[start:stop] @ unit[start:].T
        rows, cols = np.nonzero(sims >= threshold)
        cols_abs = cols + start
        upper = cols_abs > rows + start
        found_i.append(rows[upper] + start)
        found_j.append(cols_abs[upper])
        found_c.append(sims[rows[upper], cols[upper]])
    if not found_i:
        return np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0, np.float32)
    return np.concatenate(found_i).astype(np.int64), np.concatenate(found_j).astype(np.int64), np.concatenate(found_c)


@dataclass(frozen=True)
class Agreement:
    """How reported pairs and groups compare with brute-force truth at a threshold."""

    true_pairs: int
    found: int  # true pairs reported, or linked through an exact copy
    reported: int  # near pairs reported among the rows compared
    reported_true: int  # of those, at or above the threshold
    far_below: int  # reported pairs at least 0.1 below the threshold
    missed: list[tuple[int, int, float]]

    @property
    def recall(self) -> float:
        return self.found / self.true_pairs if self.true_pairs else 1.0

    @property
    def precision(self) -> float:
        return self.reported_true / self.reported if self.reported else 1.0


def compare(
    vectors: np.ndarray,
    ids: np.ndarray,
    threshold: float,
    pairs: tuple[np.ndarray, np.ndarray],
    exact_groups: dict[int, int],
) -> Agreement:
    """Compares reported near pairs (id_a, id_b) of these rows with brute force.

    A true pair counts as found when it was reported, or when its two ids share an
    exact-duplicate representative, or their representatives were reported: the
    pipeline compares one representative per fingerprint.
    """
    unit = unit_rows(vectors).astype(np.float64)
    pos = {int(i): r for r, i in enumerate(ids)}
    ti, tj, tc = brute_force_pairs(vectors, threshold)
    rep = {int(i): exact_groups.get(int(i), int(i)) for i in ids}
    a, b = pairs
    inside = [(int(x), int(y)) for x, y in zip(a, b) if int(x) in pos and int(y) in pos]
    linked = {(min(rep[x], rep[y]), max(rep[x], rep[y])) for x, y in inside}
    found, missed = 0, []
    for i, j, c in zip(ti, tj, tc):
        x, y = int(ids[i]), int(ids[j])
        rx, ry = rep[x], rep[y]
        if rx == ry or (min(rx, ry), max(rx, ry)) in linked:
            found += 1
        else:
            missed.append((x, y, float(c)))
    cos = np.array([unit[pos[x]] @ unit[pos[y]] for x, y in inside]) if inside else np.zeros(0)
    return Agreement(
        true_pairs=len(ti),
        found=found,
        reported=len(inside),
        reported_true=int((cos >= threshold - 1e-6).sum()),
        far_below=int((cos < threshold - 0.1).sum()),
        missed=missed,
    )
