"""Native Python extension module for ambrel

This module is imported as `ambrel_native` and provides accelerated
implementations of the core LSH functions."""

from collections.abc import Buffer, Sequence
from typing import Self, SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = [
    "LshFamily",
    "LshConfig",
    "simhash_lsh_multi",
    "normalize_vector",
    "hamming_distance_hex",
    "cosine_from_hamming",
    "compute_embedding_sha256",
]

# A vector is any sequence of numbers other than `str` (lists, tuples, `range`,
# `bytes`, `array.array`, numpy arrays, ...). Elements are read as doubles and
# rounded to 32-bit floats. Buffers are listed for numpy arrays, whose type is
# not a `Sequence` to type checkers; the object must still support indexing.
_Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer

@final
class LshFamily:
    """LSH family result containing signature and bands

    This mirrors the Python LSHFamily dataclass from ambrel.lsh"""

    def __new__(cls, family: int, bits: int, signature: str, bands: Sequence[str]) -> Self: ...
    @property
    def family(self) -> int: ...
    @property
    def bits(self) -> int: ...
    @property
    def signature(self) -> str: ...
    @property
    def bands(self) -> list[str]: ...

@final
class LshConfig:
    """LSH configuration

    This mirrors the Python LshConfig dataclass from ambrel.types"""

    def __new__(cls, families: int = 3, bits: int = 256, bands: int = 16) -> Self: ...
    @property
    def families(self) -> int: ...
    @property
    def bits(self) -> int: ...
    @property
    def bands(self) -> int: ...

def simhash_lsh_multi(
    normalized_vector: _Vector, families: int = 3, bits: int = 256, bands: int = 16
) -> list[LshFamily]:
    """Generate SimHash LSH signatures for a normalized embedding vector

    Args:
        normalized_vector: L2-normalized embedding vector (list of floats)
        families: Number of independent hash families (default: 3)
        bits: Number of bits per signature (default: 256)
        bands: Number of bands to split signature into (default: 16)

    Returns:
        List of LshFamily objects, one per family"""

def normalize_vector(vector: _Vector) -> list[float]:
    """L2-normalize a vector

    Args:
        vector: Input vector (list of floats)

    Returns:
        L2-normalized vector. If the input has zero magnitude, returns the original."""

def hamming_distance_hex(a: str, b: str) -> int:
    """Compute Hamming distance between two hex-encoded signatures

    Args:
        a: First hex signature string
        b: Second hex signature string

    Returns:
        Number of differing bits"""

def cosine_from_hamming(distance_bits: int, total_bits: int) -> float:
    """Estimate cosine similarity from Hamming distance

    Uses the formula: cos(π × distance / total_bits)

    Args:
        distance_bits: Hamming distance in bits
        total_bits: Total number of bits in the signatures

    Returns:
        Estimated cosine similarity in [-1, 1]"""

def compute_embedding_sha256(normalized_embedding: _Vector) -> str:
    """Compute canonical SHA-256 hash of a normalized embedding

    The embedding is quantized to 6 decimal places and serialized as JSON
    with specific formatting (spaces after commas, .0 for whole numbers)
    to ensure deterministic hashing across implementations.

    Args:
        normalized_embedding: L2-normalized embedding vector

    Returns:
        Hex-encoded SHA-256 hash"""
