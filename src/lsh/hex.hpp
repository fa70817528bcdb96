// Lowercase hexadecimal digits, as signatures and digests are written.
#pragma once

namespace lsh {

inline constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace lsh
