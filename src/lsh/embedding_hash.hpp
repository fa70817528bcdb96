// The canonical text of an embedding and its SHA-256 digest.
//
// Each component is quantised to 6 decimal places and written in positional
// decimal ("0.000001", "123.456787", "1.0", "-0.0", "NaN", "inf", "-inf");
// the components are joined as "[a, b, c]". The text is an interchange
// format: other implementations of the same rules produce the same digest.
#pragma once

#include <span>
#include <string>

namespace lsh {

// round(x * 1e6) with halves away from zero and the sign kept, then / 1e6.
double quantize_6dp(float x);

// Appends the component text of a quantised value.
void append_canonical_float(std::string& out, double value);
std::string format_canonical_float(double value);

// "[" + component texts joined by ", " + "]".
std::string canonical_embedding_text(std::span<const float> vector);

// Lowercase hexadecimal SHA-256 of the canonical text: 64 characters.
std::string compute_embedding_sha256(std::span<const float> vector);

}  // namespace lsh
