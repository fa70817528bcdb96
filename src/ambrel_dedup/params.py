"""LSH parameters chosen from a cosine threshold, and the banding curve they give.

A band of w signature bits puts two vectors at cosine c into the same bucket with
probability p(c)^w, p(c) = 1 - acos(c) / pi (each SimHash bit agrees with that
probability, independently across bits). With T bands a pair becomes a candidate
with probability 1 - (1 - p^w)^T: an S-shaped curve in c. As MinHash LSH libraries
do, the defaults minimise a weighted sum of the false-positive area (the curve
below the threshold) and the false-negative area (one minus the curve above it).
Candidates are verified afterwards, so a false positive costs one Hamming distance
while a false negative is a lost duplicate: the default weights favour recall.

Bands are whole hex characters of a signature, so w is a multiple of 4 bits. A
family of B bits is cut into K bands of w bits (K = floor(B / w) when B is a
multiple of w), and T bands spread over F = ceil(T / K) families. The
verification estimate uses all F x B bits, so a few families may be added purely
to make the cosine estimate sharper (`min_total_bits`).

Each band row also carries a 64-bit sketch (bits of another family); a candidate
pair whose sketches differ in more than `sketch_max` bits is dropped before the
exact verification. `sketch_max` is set so that a pair at the threshold is
dropped with probability at most 1e-4; the curve below includes that factor.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from functools import cache

import numpy as np

SKETCH_BITS = 64
SKETCH_MISS = 1e-4  # largest chance that the sketch drops a pair at the threshold
DEFAULT_MAX_TABLES = 64
DEFAULT_FP_WEIGHT = 0.05
DEFAULT_FN_WEIGHT = 0.95
DEFAULT_MIN_TOTAL_BITS = 1024
FAMILY_BITS = 256  # bits per family aimed at when laying out bands


def bit_agreement(cosine: np.ndarray | float) -> np.ndarray:
    """Chance that one SimHash bit agrees for two vectors at this cosine."""
    c = np.clip(np.asarray(cosine, dtype=np.float64), -1.0, 1.0)
    return np.asarray(1.0 - np.arccos(c) / math.pi)


def banding_curve(cosine: np.ndarray | float, band_bits: int, tables: int) -> np.ndarray:
    """Chance that a pair at this cosine shares at least one of `tables` bands of `band_bits` bits."""
    return np.asarray(1.0 - (1.0 - bit_agreement(cosine) ** band_bits) ** tables)


@cache
def _binomial_cdf(n: int, q_micro: int, h: int) -> float:
    q = q_micro / 1e9
    return sum(math.comb(n, k) * q**k * (1.0 - q) ** (n - k) for k in range(h + 1))


def sketch_pass(cosine: np.ndarray | float, sketch_max: int) -> np.ndarray:
    """Chance that two 64-bit sketches of vectors at this cosine differ in at most `sketch_max` bits."""
    if sketch_max >= SKETCH_BITS:
        return np.ones_like(np.asarray(cosine, dtype=np.float64))
    q = 1.0 - bit_agreement(cosine)
    ks = np.arange(sketch_max + 1)
    coef = np.array([math.comb(SKETCH_BITS, int(k)) for k in ks], dtype=np.float64)
    qq = np.asarray(q)[..., None]
    return np.asarray((coef * qq**ks * (1.0 - qq) ** (SKETCH_BITS - ks)).sum(axis=-1))


def sketch_limit(threshold: float, miss: float = SKETCH_MISS) -> int:
    """Smallest Hamming limit on the sketch that drops a pair at the threshold with probability <= miss."""
    q = float(1.0 - bit_agreement(threshold))
    for h in range(SKETCH_BITS + 1):
        if 1.0 - _binomial_cdf(SKETCH_BITS, round(q * 1e9), h) <= miss:
            return h
    return SKETCH_BITS


def estimate_limit(threshold: float, total_bits: int) -> int:
    """Largest Hamming distance over `total_bits` bits whose cosine estimate reaches the threshold."""
    h = math.floor(math.acos(max(-1.0, min(1.0, threshold))) / math.pi * total_bits)
    while h >= 0 and math.cos(h / total_bits * math.pi) < threshold:
        h -= 1
    while h + 1 <= total_bits and math.cos((h + 1) / total_bits * math.pi) >= threshold:
        h += 1
    return h


@dataclass(frozen=True)
class LshParams:
    """Signature layout and the bands used for bucketing.

    `families`, `bits` and `bands` are passed to the signature function as they
    are (after its floors: at least 1, 64 and 1); `tables` of the resulting
    families x bands bands are used as bucket keys, family by family.
    """

    threshold: float
    families: int
    bits: int
    bands: int
    tables: int
    sketch_max: int

    def __post_init__(self) -> None:
        if not 0.0 < self.threshold < 1.0:
            raise ValueError(f"threshold must be between 0 and 1 (exclusive), got {self.threshold}")
        for name in ("families", "bits", "bands", "tables"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be at least 1, got {getattr(self, name)}")
        if self.bits < 64:
            raise ValueError(f"bits must be at least 64, got {self.bits}")
        if self.tables > self.families * self.bands_per_family:
            raise ValueError(
                f"tables ({self.tables}) exceeds the {self.families * self.bands_per_family} bands of "
                f"{self.families} families x {self.bands_per_family} bands"
            )
        if not 0 <= self.sketch_max <= SKETCH_BITS:
            raise ValueError(f"sketch_max must be between 0 and {SKETCH_BITS}, got {self.sketch_max}")

    @classmethod
    def from_layout(
        cls, threshold: float, families: int, bits: int, bands: int, tables: int | None = None
    ) -> LshParams:
        """Parameters for an explicit signature layout (with the signature function's floors)."""
        families, bits, bands = max(1, families), max(64, bits), max(1, bands)
        probe = cls(threshold, families, bits, bands, 1, SKETCH_BITS)
        total = families * probe.bands_per_family
        return cls(threshold, families, bits, bands, total if tables is None else tables, sketch_limit(threshold))

    @property
    def hex_length(self) -> int:
        return math.ceil(self.bits / 4)

    @property
    def band_chars(self) -> int:
        return max(1, self.hex_length // self.bands)

    @property
    def bands_per_family(self) -> int:
        return min(self.bands, math.ceil(self.hex_length / self.band_chars))

    @property
    def band_bits(self) -> int:
        return 4 * self.band_chars

    @property
    def total_bits(self) -> int:
        return self.families * self.bits

    @property
    def code_bytes(self) -> int:
        """Bytes of one family's packed code."""
        return math.ceil(self.bits / 8)

    def tables_per_family(self) -> list[int]:
        k = self.bands_per_family
        return [max(0, min(k, self.tables - f * k)) for f in range(self.families)]

    def candidate_probability(self, cosine: np.ndarray | float) -> np.ndarray:
        """Chance that a pair at this cosine becomes a candidate (banding and sketch)."""
        agree = bit_agreement(cosine) ** self.band_bits
        # With one family the sketch shares bits with some bands; equal bits only make it pass more often.
        sketch = sketch_pass(cosine, self.sketch_max)
        miss = np.ones_like(np.asarray(agree))
        for used in self.tables_per_family():
            if used:
                miss = miss * (1.0 - (1.0 - (1.0 - agree) ** used) * sketch)
        return np.asarray(1.0 - miss)

    def found_probability(self, cosine: np.ndarray | float) -> np.ndarray:
        """Approximate chance that a pair at this cosine is reported: a candidate whose estimate reaches the threshold."""
        q = 1.0 - bit_agreement(cosine)
        h = estimate_limit(self.threshold, self.total_bits)
        # Normal approximation of the binomial tail, with continuity correction.
        mean = q * self.total_bits
        sd = np.sqrt(np.maximum(q * (1.0 - q) * self.total_bits, 1e-12))
        z = (h + 0.5 - mean) / sd
        estimate = 0.5 * (1.0 + np.vectorize(math.erf)(z / math.sqrt(2.0)))
        return np.asarray(self.candidate_probability(cosine) * estimate)

    def describe(self) -> str:
        t = self.threshold
        points = [c for c in (t - 0.05, t, t + 0.05) if -1.0 <= c <= 1.0]
        cand = ", ".join(f"{c:.2f}: {float(self.candidate_probability(c)):.4f}" for c in points)
        found = ", ".join(f"{c:.2f}: {float(self.found_probability(c)):.3f}" for c in points)
        return (
            f"{self.families} families x {self.bits} bits, {self.bands_per_family} bands of {self.band_bits} bits "
            f"per family, {self.tables} bands used as bucket keys, sketch limit {self.sketch_max}/64, "
            f"verification over {self.total_bits} bits\n"
            f"  candidate recall at cosine {cand}\n"
            f"  reported (estimate >= threshold) at cosine {found}"
        )


def _error_areas(
    threshold: float, band_bits: int, tables: np.ndarray, points: int = 801
) -> tuple[np.ndarray, np.ndarray]:
    lo = np.linspace(0.0, threshold, points)
    hi = np.linspace(threshold, 1.0, points)
    p_lo = bit_agreement(lo)[None, :] ** band_bits
    p_hi = bit_agreement(hi)[None, :] ** band_bits
    t = tables[:, None].astype(np.float64)
    fp = np.asarray(np.trapezoid(1.0 - (1.0 - p_lo) ** t, lo, axis=1))
    fn = np.asarray(np.trapezoid((1.0 - p_hi) ** t, hi, axis=1))
    return fp, fn


def choose_params(
    threshold: float,
    *,
    max_tables: int = DEFAULT_MAX_TABLES,
    fp_weight: float = DEFAULT_FP_WEIGHT,
    fn_weight: float = DEFAULT_FN_WEIGHT,
    min_total_bits: int = DEFAULT_MIN_TOTAL_BITS,
) -> LshParams:
    """The layout minimising fp_weight x false-positive area + fn_weight x false-negative area.

    Searches band widths of 1 to 16 hex characters and 1 to `max_tables` bands.
    Each family holds floor(64 / chars) bands (about 256 bits); families are added
    until the code has at least `min_total_bits` bits for the cosine estimate.
    """
    if not 0.0 < threshold < 1.0:
        raise ValueError(f"threshold must be between 0 and 1 (exclusive), got {threshold}")
    if max_tables < 1:
        raise ValueError(f"max_tables must be at least 1, got {max_tables}")
    tables = np.arange(1, max_tables + 1)
    best: tuple[float, int, int] | None = None
    for chars in range(1, 17):
        fp, fn = _error_areas(threshold, 4 * chars, tables)
        err = fp_weight * fp + fn_weight * fn
        i = int(np.argmin(err))
        if best is None or err[i] < best[0] - 1e-15:
            best = (float(err[i]), chars, int(tables[i]))
    assert best is not None
    _, chars, t = best
    per_family = max(1, (FAMILY_BITS // 4) // chars)
    bits = 4 * chars * per_family
    families = max(math.ceil(t / per_family), math.ceil(min_total_bits / bits))
    return LshParams(threshold, families, bits, per_family, t, sketch_limit(threshold))


def with_overrides(
    base: LshParams,
    *,
    families: int | None = None,
    bits: int | None = None,
    bands: int | None = None,
    tables: int | None = None,
) -> LshParams:
    """`base` with some layout values replaced; `tables` defaults to every band when the layout changes."""
    if families is None and bits is None and bands is None:
        return base if tables is None else replace(base, tables=tables)
    return LshParams.from_layout(
        base.threshold,
        base.families if families is None else families,
        base.bits if bits is None else bits,
        base.bands if bands is None else bands,
        tables,
    )


MIN_RECALL = 0.5  # least chance a layout may have of making a pair at the threshold a candidate, unless forced


def check_recall(params: LshParams, floor: float = MIN_RECALL) -> None:
    """Refuses a layout that would miss most pairs at its own threshold (a ValueError saying why)."""
    recall = float(params.candidate_probability(params.threshold))
    if recall < floor:
        raise ValueError(
            f"this layout ({params.families} families x {params.bits} bits, {params.tables} bands of "
            f"{params.band_bits} bits as keys) makes a pair at cosine {params.threshold} a candidate with "
            f"probability {recall:.4f}, below {floor}; choose narrower bands or more tables, or force the layout (--force-layout)"
        )
