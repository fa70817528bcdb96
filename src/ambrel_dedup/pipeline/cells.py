"""Cells: spherical k-means on a sample of the vectors, every vector placed in its nearest cell and
in the cells near its border, and the recall a layout promises (the pairs of a cell are found in
`cell_pairs`).

A pair of near duplicates lies close to the same centroids, so it meets in a cell unless the two
vectors sit on either side of a border; each vector therefore also visits the cells whose
centroid is within `margin` (in cosine) of its nearest one. A pair meets when one vector owns a
cell the other owns or visits. The margin is chosen on a held-out part of the sample, for the
share of its pairs at the threshold that meet in a cell, and that share at the threshold and
around it is the recall the layout promises. A margin the user chooses that promises less than
RECALL_FLOOR is refused unless forced; a run whose cells promise less than PROMISE_WARNING says so.

Every decision is made on exact cosines (`ambrel_batch.nearest_cells`, `similar_pairs`,
`cosine_pairs`), and the sample, the starting centroids and the order of every sum depend on the
ids alone, so the cells are the same on every machine, for any partitioning and thread count.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from ..errors import DedupError
from ..partition import mix64

CELL_ROWS = 500  # vectors owned by a cell, on average
ONE_CELL_ROWS = 5000  # up to this many vectors, one cell holds them all
SAMPLE_PER_CELL = 40  # sample rows per cell for training (as many again are held out)
MAX_CELLS = 8  # cells a vector is placed in: its own and up to 7 near its border
ROUNDS = 10  # k-means rounds
TARGET_RECALL = 0.997  # share of held-out pairs at the threshold that must meet in a cell
MIN_MARGIN, MAX_MARGIN, DEFAULT_MARGIN = 0.03, 0.25, 0.08
MIN_PAIRS_FOR_MARGIN = 50  # fewer held-out pairs than this: synthetic pairs instead
SYNTHETIC_ROWS = 4096  # held-out rows that get synthetic partners
CALIBRATION_OFFSETS = (0.0, -0.02, -0.05, -0.1, -0.15)  # cosines below the threshold the margin may be chosen at
CALIBRATION_PAIRS_WANTED = 1000  # held-out pairs that put a few beyond the TARGET_RECALL quantile
CALIBRATION_PAIRS = 2_000_000  # held-out pairs listed, at most
PROMISE_OFFSETS = (-0.02, 0.0, 0.02)
MERGE_COSINE = 0.99  # centroids at least this close to each other hold one region: one cell
_U64 = np.uint64


def cell_count(n: int) -> int:
    """Cells for n vectors; a small input is one cell, compared whole."""
    return 1 if n <= ONE_CELL_ROWS else max(1, round(n / CELL_ROWS))


def sample_keys(ids: np.ndarray, salt: int = 0) -> np.ndarray:
    """The order in which rows enter the sample: a hash of the id, so that the sample does not
    depend on how the rows are split into partitions (another `salt`: another sample)."""
    return mix64(np.asarray(ids, dtype=np.int64).view(_U64) ^ _U64(salt))


def sample_limit(count: int, cells: int, max_rows: int | None = None) -> np.uint64:
    """Rows whose sample key is at most this limit form the sample: about 2 * SAMPLE_PER_CELL per
    cell, and at most about `max_rows`."""
    share = 2 * SAMPLE_PER_CELL * cells / max(count, 1)
    if max_rows is not None:
        share = min(share, max_rows / max(count, 1))
    if share >= 1.0:
        return np.uint64(np.iinfo(np.uint64).max)
    return np.uint64(min(int(share * 2.0**64), 2**64 - 1))


@dataclass(frozen=True)
class Layout:
    """Trained cells and the margin that places a vector near a border in other cells too."""

    threshold: float
    centroids: np.ndarray  # (cells, d) float32, unit rows
    margin: float
    max_cells: int = MAX_CELLS
    promised: dict[str, float | None] = field(default_factory=dict)  # recall at t - 0.02, t, t + 0.02
    held_out_pairs: int = 0  # at the threshold
    calibration: float | None = None  # the lowest cosine of the held-out pairs the margin was chosen on
    promised_lower: dict[str, float | None] = field(default_factory=dict)  # 95% lower confidence bounds

    @property
    def cells(self) -> int:
        return len(self.centroids)

    def describe(self) -> str:
        def shown(level: str, r: float | None) -> str:
            if r is None:
                return f"{level}: n/a"
            low = self.promised_lower.get(level)
            return f"{level}: {r:.4f}" + (f" (>= {low:.4f})" if low is not None and low < r else "")

        promise = ", ".join(shown(c, r) for c, r in self.promised.items())
        return (
            f"{self.cells:,} cells (spherical k-means), each vector also in the cells within {self.margin:.3f} "
            f"of its nearest centroid (at most {self.max_cells}); recall promised at {promise} "
            f"({self.held_out_pairs:,} held-out pairs at the threshold; {self.calibrated_on()})"
        )

    def calibrated_on(self) -> str:
        if self.calibration is None:
            return "margin chosen on synthetic pairs" if self.cells > 1 else "one cell"
        return f"margin chosen on the held-out pairs at cosine >= {self.calibration:.2f}"


def _unit(rows: np.ndarray) -> np.ndarray:
    import ambrel_batch as ab

    return ab.normalize_batch(np.ascontiguousarray(rows, dtype=np.float32), threads=1)


def train(sample: np.ndarray, cells: int, threads: int | None = None) -> np.ndarray:
    """Spherical k-means on sample rows (already in their canonical order): the first `cells` rows
    start as centroids; each round assigns every row to its nearest centroid by exact cosine and
    moves each centroid to the normalised sum of its rows (a float64 sum in row order). A cell
    that loses all its rows keeps its centroid."""
    import ambrel_batch as ab

    cells = max(1, min(cells, len(sample)))
    centroids = np.array(sample[:cells], dtype=np.float32)
    for _ in range(ROUNDS):
        nearest, _ = ab.nearest_cells(sample, centroids, threads=threads)
        owner = nearest[:, 0]
        # bincount adds the weights of each cell in row order, in float64, one column at a time.
        sums = np.stack([np.bincount(owner, weights=col, minlength=cells) for col in sample.T], axis=1)
        filled = np.bincount(owner, minlength=cells) > 0
        moved = centroids.copy()
        moved[filled] = _unit(sums[filled])
        if np.array_equal(moved, centroids):
            break
        centroids = moved
    return centroids


def merge_close(centroids: np.ndarray, threads: int | None = None) -> np.ndarray:
    """The centroids with those closer than MERGE_COSINE to each other (linked through such pairs)
    made one: their normalised sum, in the place of the first of them. k-means cuts a family of
    near-identical rows into as many cells as its share of the rows asks for, all around one
    point; every row of it then sees more cells within the margin than it may visit, and its pairs
    across them go unseen. One cell holds the family whole."""
    import ambrel_batch as ab

    from ..partition import component_labels

    close = ab.similar_pairs(centroids, MERGE_COSINE, threads=threads)
    if len(close.a) == 0:
        return centroids
    members, labels = component_labels(close.a, close.b)
    label = np.arange(len(centroids))
    label[members] = labels
    firsts, slot = np.unique(label, return_inverse=True)
    sums = np.zeros((len(firsts), centroids.shape[1]))
    np.add.at(sums, slot, centroids.astype(np.float64))  # in index order within each group
    return _unit(sums)


def meet(cells_of: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Whether the pairs (a, b) meet in a cell: one owns a cell that the other owns or visits."""
    own_a, own_b = cells_of[a, :1], cells_of[b, :1]
    return (cells_of[a] == own_b).any(axis=1) | (cells_of[b] == own_a).any(axis=1)


def _needed_margin(
    rows: np.ndarray, centroids: np.ndarray, a: np.ndarray, b: np.ndarray, threads: int | None
) -> np.ndarray:
    """The margin each pair (a, b) needs to meet: how far below its own nearest centroid each
    vector sees the other's cell (the smaller of the two)."""
    import ambrel_batch as ab

    cells_of, sims = ab.nearest_cells(rows, centroids, threads=threads)
    n = len(rows)
    both = np.concatenate([rows, centroids])
    need_a = sims[a, 0] - ab.cosine_pairs(both, a, n + cells_of[b, 0], threads=threads)
    need_b = sims[b, 0] - ab.cosine_pairs(both, b, n + cells_of[a, 0], threads=threads)
    return np.minimum(need_a, need_b)


def synthetic_pairs(rows: np.ndarray, cosines: list[float]) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Rows with a partner at each of these cosines in a random direction (rows, a, b, cosine):
    stand-ins for the pairs of a sample that holds too few."""
    import ambrel_batch as ab

    rng = np.random.default_rng(0x43454C4C)
    x = rows.astype(np.float64)
    parts, cos = [rows], []
    for c in cosines:
        z = rng.standard_normal(x.shape)
        z -= np.sum(z * x, axis=1, keepdims=True) * x
        z /= np.maximum(np.linalg.norm(z, axis=1, keepdims=True), 1e-300)
        parts.append(ab.normalize_batch((c * x + np.sqrt(max(0.0, 1 - c * c)) * z).astype(np.float32), threads=1))
        cos.append(np.full(len(rows), c))
    n = len(rows)
    a = np.tile(np.arange(n), len(cosines))
    b = n + np.arange(n * len(cosines))
    return np.concatenate(parts), a, b, np.concatenate(cos)


def promise_levels(threshold: float) -> list[float]:
    """The cosines at which a layout states its recall: the threshold and 0.02 either side."""
    return [min(1.0, max(-1.0, threshold + offset)) for offset in PROMISE_OFFSETS]


def choose_layout(
    held_out: np.ndarray,
    centroids: np.ndarray,
    threshold: float,
    threads: int | None = None,
    margin: float | None = None,
    max_cells: int = MAX_CELLS,
) -> Layout:
    """The smallest margin at which TARGET_RECALL of the held-out pairs at the threshold meet in a
    cell (or the margin given), and the share that meet at the threshold and 0.02 around it.

    The quantile needs pairs beyond it: with fewer than CALIBRATION_PAIRS_WANTED held-out pairs at
    the threshold, the margin is chosen on the held-out pairs down to the first lower cosine
    (CALIBRATION_OFFSETS) that has that many (else the lowest, if it has MIN_PAIRS_FOR_MARGIN):
    pairs further apart need at least the margin of the pairs at the threshold. A level with too
    few pairs of its own is promised what the pairs down to that cosine get. A held-out part
    without enough pairs even then (data without near duplicates, or a small input) gives up to
    SYNTHETIC_ROWS of its rows partners at the three cosines in random directions instead."""
    import ambrel_batch as ab

    levels = promise_levels(threshold)
    lowest = max(-1.0, threshold + CALIBRATION_OFFSETS[-1])
    found = ab.similar_pairs(held_out, min(levels[0], lowest), max_pairs=CALIBRATION_PAIRS, threads=threads)
    rows, a, b, cos = held_out, found.a, found.b, found.cosine
    real = int((cos >= threshold).sum())
    counts = [(threshold + o, int((cos >= threshold + o).sum())) for o in CALIBRATION_OFFSETS]
    enough = [level for level, count in counts if count >= CALIBRATION_PAIRS_WANTED]
    enough = enough or [level for level, count in counts[::-1] if count >= MIN_PAIRS_FOR_MARGIN]
    if enough:
        calibration = max(-1.0, enough[0])
    else:
        rows, a, b, cos = synthetic_pairs(held_out[:SYNTHETIC_ROWS], levels)
        calibration = threshold
    used = cos >= calibration - 1e-12
    if margin is None:
        need = _needed_margin(rows, centroids, a[used], b[used], threads)
        margin = float(np.quantile(need, TARGET_RECALL, method="higher")) + 1e-6 if len(need) else DEFAULT_MARGIN
        margin = min(MAX_MARGIN, max(MIN_MARGIN, margin))
    cells_of, _ = ab.nearest_cells(rows, centroids, margin=margin, max_cells=max_cells, threads=threads)
    met = meet(cells_of, a, b)
    promised: dict[str, float | None] = {}
    lower: dict[str, float | None] = {}
    for level in levels:
        pick = cos >= level - 1e-12
        if pick.sum() < MIN_PAIRS_FOR_MARGIN:
            pick = pick | used
        n, hits = int(pick.sum()), int(met[pick].sum())
        promised[f"{level:.2f}"] = hits / n if n else None
        lower[f"{level:.2f}"] = lower_bound(hits, n) if n else None
    return Layout(threshold, centroids, margin, max_cells, promised, real, calibration if enough else None, lower)


CONFIDENCE_Z = 1.6448536269514722  # one-sided 95%


def lower_bound(hits: int, n: int, z: float = CONFIDENCE_Z) -> float:
    """A one-sided 95% lower confidence bound on a share from `hits` of `n` trials (Wilson's score
    interval): how low the recall the held-out pairs measure may really be."""
    p = hits / n
    centre = p + z * z / (2 * n)
    spread = z * np.sqrt(p * (1 - p) / n + z * z / (4 * n * n))
    return float(max(0.0, (centre - spread) / (1 + z * z / n)))


def fit(
    sample_ids: np.ndarray,
    sample: np.ndarray,
    count: int,
    threshold: float,
    threads: int | None = None,
    margin: float | None = None,
    max_cells: int = MAX_CELLS,
) -> Layout:
    """Cells for `count` vectors from sample rows (normalised; any order): trained on one half of the
    sample (by sample key), the margin chosen on the other; each vector in at most `max_cells`."""
    order = np.argsort(sample_keys(sample_ids), kind="stable")
    rows = np.ascontiguousarray(sample[order], dtype=np.float32)
    training, held_out = rows[0::2], rows[1::2]
    centroids = merge_close(train(training, cell_count(count), threads), threads)
    if len(centroids) == 1:  # every pair meets in the one cell
        every = {f"{x:.2f}": 1.0 for x in promise_levels(threshold)}
        return Layout(threshold, centroids, DEFAULT_MARGIN, 1, every, promised_lower=dict(every))
    if len(held_out) < 2:
        return Layout(threshold, centroids, DEFAULT_MARGIN if margin is None else margin, max_cells)
    return choose_layout(held_out, centroids, threshold, threads, margin, max_cells)


def place(rows: np.ndarray, layout: Layout, threads: int | None = 1) -> np.ndarray:
    """(n, max_cells) int32: every row's own cell first, then the cells it visits, padded with -1."""
    import ambrel_batch as ab

    if len(rows) == 0:  # a block whose rows are all exact copies
        return np.zeros((0, layout.max_cells), np.int32)
    cells_of, _ = ab.nearest_cells(
        rows, layout.centroids, margin=layout.margin, max_cells=layout.max_cells, threads=threads
    )
    return np.ascontiguousarray(cells_of)


RECALL_FLOOR = 0.9  # a chosen margin whose promised recall at the threshold is lower is refused
PROMISE_WARNING = 0.99  # a run whose cells promise less at the threshold says so


def check_margin(layout: Layout, threshold: float, margin: float | None, forced: bool) -> None:
    """Refuses a margin the user chose (`margin`) whose promised recall at the threshold is below
    RECALL_FLOOR, unless the layout is `forced`."""
    promised = layout.promised.get(f"{threshold:.2f}")
    if margin is not None and promised is not None and promised < RECALL_FLOOR and not forced:
        raise DedupError(
            f"cells: a margin of {margin} promises a recall of {promised:.3f} at {threshold}, "
            f"below {RECALL_FLOOR}; choose a larger margin, or force the layout"
        )


def promise_low(layout: Layout, threshold: float) -> bool:
    """Whether the cells promise less than PROMISE_WARNING of the pairs at the threshold."""
    promised = layout.promised.get(f"{threshold:.2f}")
    return promised is not None and promised < PROMISE_WARNING
