"""Slow, obviously-correct pure-Python model of ambrel_native.

Used by the test suite as a differential oracle. Every 32-bit operation is
computed in double precision and then rounded once to 32 bits; for +, -, *,
/ and sqrt of 32-bit operands that double rounding is innocuous, so each
step is the correctly rounded 32-bit result.
"""

import hashlib
import math
import struct

MASK64 = (1 << 64) - 1


def f32(x):
    """Round a Python float to the nearest 32-bit float (ties to even)."""
    x = float(x)
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:  # rounds beyond the 32-bit range
        return math.copysign(math.inf, x)


def f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def f32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits & 0xFFFFFFFF))[0]


def f64_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def to_f32_vector(values):
    return [f32(float(v)) for v in values]


# --- vector normalisation -------------------------------------------------


def normalize_vector(vector):
    x = to_f32_vector(vector)
    s = 0.0
    for v in x:
        s = f32(s + f32(v * v))
    if s == 0.0:
        return list(x)
    norm = f32(math.sqrt(s))
    return [f32(v / norm) for v in x]


# --- SimHash ---------------------------------------------------------------


def splitmix64(seed):
    z = (seed + 0x9E3779B97F4A7C15) & MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def projection_sign(u, w, i):
    seed = ((u << 48) ^ (w << 24) ^ i) & MASK64
    return 1 if splitmix64(seed) & 1 else -1


def signature_bit(vector, u, w):
    if not vector:
        return 0
    acc = -0.0
    for i, v in enumerate(vector):
        acc = acc + v if projection_sign(u, w, i) == 1 else acc + (-v)
    return 1 if acc > 0.0 else 0


def bits_to_hex(bits):
    out = []
    for start in range(0, len(bits), 4):
        group = list(bits[start : start + 4]) + [0] * 4
        value = 8 * group[0] + 4 * group[1] + 2 * group[2] + group[3]
        out.append("0123456789abcdef"[value])
    return "".join(out)


def split_bands(signature, k):
    length = len(signature)
    chunk = max(1, length // k)
    count = min(k, -(-length // chunk))
    return [signature[j * chunk : j * chunk + min(chunk, length - j * chunk)] for j in range(count)]


def simhash_lsh_multi(normalized_vector, families=3, bits=256, bands=16):
    """Returns a list of (family, bits, signature, bands) tuples."""
    vector = to_f32_vector(normalized_vector)
    f, b, k = max(families, 1), max(bits, 64), max(bands, 1)
    result = []
    for u in range(f):
        sig = bits_to_hex([signature_bit(vector, u, w) for w in range(b)])
        result.append((u, b, sig, split_bands(sig, k)))
    return result


# --- signature comparison --------------------------------------------------

HEX_DIGITS = "0123456789abcdefABCDEF"


def clean_signature(text):
    return [int(c, 16) for c in text if c in HEX_DIGITS]


def hamming_distance_hex(a, b):
    ca, cb = clean_signature(a), clean_signature(b)
    d = sum(bin(x ^ y).count("1") for x, y in zip(ca, cb))
    return d + 4 * abs(len(ca) - len(cb))


def cosine_from_hamming(distance_bits, total_bits):
    if total_bits == 0:
        return 0.0
    return math.cos((float(distance_bits) / float(total_bits)) * math.pi)


# --- canonical embedding hash ----------------------------------------------


def quantize_6dp(x):
    p = float(x) * 1000000.0  # exact for every 32-bit x
    if math.isnan(p) or math.isinf(p):
        return p
    whole = math.trunc(p)  # exact integer
    if abs(p - whole) >= 0.5:  # p - whole is exact
        whole += 1 if p > 0 else -1
    r = math.copysign(float(whole), p)
    return r / 1000000.0


def shortest_digits(magnitude):
    """(digits, p) with magnitude == 0.<digits> * 10**p, shortest round-trip."""
    text = repr(magnitude)
    mantissa, _, exponent = text.partition("e")
    int_part, _, frac_part = mantissa.partition(".")
    digits = int_part + frac_part
    point = len(int_part) + (int(exponent) if exponent else 0)
    stripped = digits.lstrip("0")
    point -= len(digits) - len(stripped)
    return stripped.rstrip("0"), point


def format_canonical_float(v):
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    if v == 0.0:
        text = sign + "0"
    else:
        digits, p = shortest_digits(abs(v))
        k = len(digits)
        if p <= 0:
            body = "0." + "0" * -p + digits
        elif p < k:
            body = digits[:p] + "." + digits[p:]
        else:
            body = digits + "0" * (p - k)
        text = sign + body
    if v.is_integer() and "." not in text:
        text += ".0"
    return text


def canonical_embedding_text(vector):
    parts = [format_canonical_float(quantize_6dp(x)) for x in to_f32_vector(vector)]
    return "[" + ", ".join(parts) + "]"


def compute_embedding_sha256(normalized_embedding):
    text = canonical_embedding_text(normalized_embedding)
    return hashlib.sha256(text.encode("ascii")).hexdigest()


# --- comparison helpers for the tests ----------------------------------------


def float_key(x):
    """Bit pattern of a float, with every NaN mapped to one key."""
    return "nan" if math.isnan(x) else f64_bits(x)


def as_tuples(result):
    """(family, bits, signature, bands) for tuples and LshFamily records alike."""
    return [r if isinstance(r, tuple) else (r.family, r.bits, r.signature, r.bands) for r in result]


def hex_to_bits(signature, bits):
    return [(int(c, 16) >> (3 - j)) & 1 for c in signature for j in range(4)][:bits]
