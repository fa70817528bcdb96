"""Many vectors per call: the batch forms of ``ambrel_native``.

Every function takes a batch of rows and returns numpy arrays that equal, row
by row and bit for bit, what the per-vector function of ``ambrel_native``
returns for that row. The work runs on native threads with the interpreter
released: ``threads=None`` uses every CPU this process may run on,
``threads=1`` only the calling thread (more threads than CPUs are not used). Results never depend on the thread
count or on the instruction set the machine offers.

Rows are a 2-D numpy array (float32, float64, float16, integer or bool; any
strides), any object exporting a 2-D buffer of such numbers, or a sequence of
equal-length sequences of numbers. Each number is rounded to the nearest
32-bit float exactly as the per-vector functions round it.
"""

from __future__ import annotations

import operator
from typing import Any

# First: where the core refuses to load (a subinterpreter) its ImportError says so, before numpy's.
from . import _core

try:
    import numpy as np
    import numpy.typing as npt
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("ambrel_batch needs numpy: pip install 'ambrel-native[batch]'") from error

import ambrel_native

__all__ = [
    "DEFAULT_MAX_PAIRS",
    "GreedyKeep",
    "SimhashBatch",
    "SimilarPairs",
    "available_cpus",
    "cell_candidates",
    "cosine_from_hamming_batch",
    "cosine_pairs",
    "greedy_keep",
    "hamming_distance_batch",
    "hamming_distance_pairs",
    "kernel",
    "nearest_cells",
    "normalize_batch",
    "sha256_batch",
    "simhash_lsh_batch",
    "similar_pairs",
]


def available_cpus() -> int:
    """The number of CPUs this process may run on: what ``threads=None`` uses."""
    return int(_core.available_cpus())


def kernel() -> str:
    """The instruction set the batch kernels use on this machine."""
    return str(_core.kernel())


def _threads(threads: int | None) -> int:
    if threads is None:
        return available_cpus()
    if isinstance(threads, bool) or not isinstance(threads, int):
        try:
            threads = operator.index(threads)
        except TypeError:
            raise TypeError(f"threads must be an int or None, not {type(threads).__name__}") from None
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return min(threads, 1 << 16)


class SimhashBatch:
    """The signatures of a batch of rows.

    ``codes[r, f]`` holds family ``f`` of row ``r`` as packed bits, the first
    signature bit the most significant bit of the first byte, padding bits
    zero: ``codes[r, f].tobytes().hex()`` starts with the hex signature.
    ``band_keys`` and ``band_values`` hold every band of the batch as one
    array; ``records(r)`` gives the records ``simhash_lsh_multi`` returns.
    """

    __slots__ = ("_band_keys", "_band_values", "band_count", "band_width", "bits", "codes", "families")

    codes: npt.NDArray[np.uint8]
    families: int
    bits: int
    band_width: int
    band_count: int

    def __init__(self, codes: npt.NDArray[np.uint8], families: int, bits: int, band_width: int, band_count: int):
        self.codes = codes
        self.families = families
        self.bits = bits
        self.band_width = band_width
        self.band_count = band_count
        self._band_keys: npt.NDArray[np.bytes_] | None = None
        self._band_values: npt.NDArray[np.uint64] | None = None

    @property
    def bands(self) -> int:
        """Bands per family (after the floors, and at most one per hex digit)."""
        return self.band_count

    def __len__(self) -> int:
        return int(self.codes.shape[0])

    def __repr__(self) -> str:
        return (
            f"SimhashBatch(rows={len(self)}, families={self.families}, bits={self.bits}, "
            f"bands={self.band_count}, band_width={self.band_width})"
        )

    def _hex_chars(self) -> int:
        return (self.bits + 3) // 4

    def records(self, row: int) -> list[ambrel_native.LshFamily]:
        """The ``LshFamily`` records of one row, equal field by field to
        ``ambrel_native.simhash_lsh_multi(row, families, bits, bands)``."""
        n = len(self)
        index = operator.index(row)
        if index < 0:
            index += n
        if not 0 <= index < n:
            raise IndexError(f"row {row} is out of range for a batch of {n} rows")
        chars = self._hex_chars()
        width = self.band_width
        result = []
        for family in range(self.families):
            signature = self.codes[index, family].tobytes().hex()[:chars]
            bands = [signature[k * width : (k + 1) * width] for k in range(self.band_count)]
            result.append(ambrel_native.LshFamily(family, self.bits, signature, bands))
        return result

    @property
    def band_keys(self) -> npt.NDArray[np.bytes_]:
        """Every band text as fixed-width ASCII, shape (rows, families, bands),
        dtype ``S<band_width>``: ``band_keys[r, f, k].decode()`` is band ``k``
        of family ``f`` of row ``r``. Fixed-width bytes keep the whole batch in
        one buffer that pyarrow, pandas and databases take as binary or text
        without a Python object per band."""
        if self._band_keys is None:
            raw = _core.band_texts(self.codes, len(self), self.families, self.bits, self.band_width, self.band_count)
            keys = np.frombuffer(raw, dtype=f"S{self.band_width}").reshape(len(self), self.families, self.band_count)
            self._band_keys = keys
        return self._band_keys

    @property
    def band_values(self) -> npt.NDArray[np.uint64]:
        """Every band as the integer its hex text stands for, shape (rows,
        families, bands), uint64: the compact key for grouping and joining.
        Needs bands of at most 16 hex digits."""
        if self.band_width > 16:
            raise ValueError(f"bands of {self.band_width} hex digits do not fit 64 bits; use band_keys instead")
        if self._band_values is None:
            raw = _core.band_values(self.codes, len(self), self.families, self.bits, self.band_width, self.band_count)
            values = np.frombuffer(raw, dtype=np.uint64).reshape(len(self), self.families, self.band_count)
            self._band_values = values
        return self._band_values


def _read_only(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    array.flags.writeable = False
    return array


def _floored(value: Any, floor: int) -> Any:
    """An integer count raised to its floor (a negative one too); anything
    else is passed on, for the core to name in its TypeError."""
    try:
        number = operator.index(value)
    except TypeError:
        return value
    return max(number, floor)


def simhash_lsh_batch(
    rows: Any, families: int = 3, bits: int = 256, bands: int = 16, *, threads: int | None = None
) -> SimhashBatch:
    """SimHash signatures of every row, as ``simhash_lsh_multi`` computes them
    for one vector (the same floors: at least 1 family, 64 bits, 1 band; a
    count below its floor, negative included, is raised to it). A layout or an
    output too large to count in 64 bits raises ``OverflowError``."""
    raw, n, families_used, bits_used, width, count, row_bytes = _core.simhash_lsh_batch(
        rows, _floored(families, 1), _floored(bits, 64), _floored(bands, 1), _threads(threads)
    )
    codes = np.frombuffer(raw, dtype=np.uint8).reshape(n, families_used, row_bytes // families_used)
    return SimhashBatch(_read_only(codes), families_used, bits_used, width, count)


def normalize_batch(rows: Any, *, threads: int | None = None) -> npt.NDArray[np.float32]:
    """Every row scaled to unit length as ``normalize_vector`` scales it:
    float32, shape (rows, components)."""
    raw, n, d = _core.normalize_batch(rows, _threads(threads))
    return np.frombuffer(raw, dtype=np.float32).reshape(n, d)


def sha256_batch(rows: Any, *, threads: int | None = None) -> npt.NDArray[np.bytes_]:
    """The canonical SHA-256 digest of every row, as ``compute_embedding_sha256``
    gives it, as 64 ASCII hex characters: dtype ``S64``, shape (rows,)."""
    raw, n = _core.sha256_batch(rows, _threads(threads))
    return np.frombuffer(raw, dtype="S64").reshape(n)


def _packed(codes: Any, name: str) -> npt.NDArray[np.uint8]:
    array = np.asarray(codes)
    if array.dtype != np.uint8:
        raise TypeError(f"{name} must hold packed codes as uint8, not {array.dtype}")
    # ascontiguousarray makes a 0-d array 1-d: keep the shape, so that the callers see 0-d input.
    return np.ascontiguousarray(array).reshape(array.shape)


def hamming_distance_batch(code: Any, codes: Any, *, threads: int | None = None) -> npt.NDArray[np.int64]:
    """Differing bits between one packed code (any shape: all its bytes count,
    every family included) and each of the codes ``codes[i]``."""
    one = _packed(code, "code").reshape(-1)
    many = _packed(codes, "codes")
    if many.ndim < 1:
        raise ValueError("codes must have a first dimension of rows")
    width = int(np.prod(many.shape[1:], dtype=np.int64))
    if width != one.size:
        raise ValueError(f"code has {one.size} bytes but each of codes has {width}")
    raw = _core.hamming_one_to_many(one, many, many.shape[0], width, _threads(threads))
    return np.frombuffer(raw, dtype=np.int64)


def hamming_distance_pairs(a: Any, b: Any, *, threads: int | None = None) -> npt.NDArray[np.int64]:
    """Differing bits between ``a[i]`` and ``b[i]`` for every i: packed codes
    of the same shape, all bytes of a row counting (every family)."""
    left = _packed(a, "a")
    right = _packed(b, "b")
    if left.shape != right.shape:
        raise ValueError(f"a and b must have the same shape, not {left.shape} and {right.shape}")
    if left.ndim < 1:
        raise ValueError("a and b must have a first dimension of pairs")
    width = int(np.prod(left.shape[1:], dtype=np.int64))
    raw = _core.hamming_pairs(left, right, left.shape[0], width, _threads(threads))
    return np.frombuffer(raw, dtype=np.int64)


def cosine_from_hamming_batch(distances: Any, total_bits: int) -> npt.NDArray[np.float64]:
    """``cosine_from_hamming(d, total_bits)`` for every distance d, with the
    same arithmetic (the division first, then the C library's cosine)."""
    values = np.asarray(distances)
    if values.size == 0:
        return np.empty(values.shape, dtype=np.float64)
    if values.dtype.kind not in "iu":
        raise TypeError(f"distances must be integers, not {values.dtype}")
    if values.dtype.kind == "i" and values.size and int(values.min()) < 0:
        raise OverflowError("distances must not be negative")
    flat = np.ascontiguousarray(values, dtype=np.uint64).reshape(-1)
    raw = _core.cosine_from_hamming_batch(flat, flat.size, total_bits)
    return np.frombuffer(raw, dtype=np.float64).reshape(values.shape)


from ._greedy import GreedyKeep, greedy_keep  # noqa: E402
from ._pairs import (  # noqa: E402
    DEFAULT_MAX_PAIRS,
    SimilarPairs,
    cell_candidates,
    cosine_pairs,
    nearest_cells,
    similar_pairs,
)
