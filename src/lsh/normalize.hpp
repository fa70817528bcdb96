// Scaling a vector to unit Euclidean length in 32-bit arithmetic.
#pragma once

#include <span>
#include <vector>

namespace lsh {

// Returns x / ||x|| element by element. The sum of squares is accumulated
// strictly left to right in one 32-bit float, each square rounded to 32 bits
// before it is added; the norm is the correctly rounded square root and every
// element is divided by it (not multiplied by its reciprocal). When the sum is
// zero the input comes back unchanged. Bit-exact for every input.
std::vector<float> normalize_vector(std::span<const float> x);

// The same into a caller's buffer of x.size() floats (may alias x).
void normalize_vector_into(std::span<const float> x, float* out);

}  // namespace lsh
