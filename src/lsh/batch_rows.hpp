// A matrix of rows to be read as 32-bit floats.
//
// The rows may be any strided two-dimensional array of a numeric element
// type. Every element is read as the double it stands for and rounded to the
// nearest 32-bit float, exactly as the per-vector functions convert each
// number of a vector, whatever the floating-point control state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lsh/fp_env.hpp"

namespace lsh {

enum class ElementType {
    float32,
    float64,
    float16,
    int8,
    uint8,
    int16,
    uint16,
    int32,
    uint32,
    int64,
    uint64,
    boolean,
};

struct RowMatrix {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes
    ElementType type = ElementType::float32;
};

// The value of an IEEE half-precision number, exactly (every half is a float).
inline float half_to_float(std::uint16_t bits) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
    const std::uint32_t exponent = (bits >> 10) & 0x1Fu;
    const std::uint32_t mantissa = bits & 0x3FFu;
    std::uint32_t out;
    if (exponent == 0) {
        // Zero or subnormal: mantissa * 2^-24, a normal float unless zero.
        // Integer arithmetic keeps flush-to-zero and rounding modes out.
        if (mantissa == 0) {
            out = sign;
        } else {
            int shift = 0;
            std::uint32_t m = mantissa;
            while ((m & 0x400u) == 0) {
                m <<= 1;
                ++shift;
            }
            out = sign | (static_cast<std::uint32_t>(127 - 15 + 1 - shift) << 23) | ((m & 0x3FFu) << 13);
        }
    } else if (exponent == 0x1F) {
        out = sign | 0x7F800000u | (mantissa << 13);
    } else {
        out = sign | ((exponent - 15 + 127) << 23) | (mantissa << 13);
    }
    float value;
    std::memcpy(&value, &out, sizeof value);
    return value;
}

namespace detail {

template <class T>
inline T load_element(const char* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
inline void read_converted(const RowMatrix& m, const char* row, float* out) noexcept {
    for (std::size_t i = 0; i < m.cols; ++i) {
        const T value = load_element<T>(row + static_cast<std::ptrdiff_t>(i) * m.col_stride);
        out[i] = narrow_to_float(static_cast<double>(value));
    }
}

}  // namespace detail

// Reads row r into out[0 .. cols-1]. Integers become doubles (correctly
// rounded: the caller runs under the default floating-point environment)
// before they are narrowed, as Python's float() of them would.
inline void read_row(const RowMatrix& m, std::size_t r, float* out) noexcept {
    const char* row = m.data + static_cast<std::ptrdiff_t>(r) * m.row_stride;
    switch (m.type) {
        case ElementType::float32:
            if (m.col_stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
                std::memcpy(out, row, m.cols * sizeof(float));
            } else {
                for (std::size_t i = 0; i < m.cols; ++i)
                    out[i] = detail::load_element<float>(row + static_cast<std::ptrdiff_t>(i) * m.col_stride);
            }
            return;
        case ElementType::float64: detail::read_converted<double>(m, row, out); return;
        case ElementType::float16:
            for (std::size_t i = 0; i < m.cols; ++i)
                out[i] = half_to_float(
                    detail::load_element<std::uint16_t>(row + static_cast<std::ptrdiff_t>(i) * m.col_stride));
            return;
        case ElementType::int8: detail::read_converted<std::int8_t>(m, row, out); return;
        case ElementType::uint8: detail::read_converted<std::uint8_t>(m, row, out); return;
        case ElementType::int16: detail::read_converted<std::int16_t>(m, row, out); return;
        case ElementType::uint16: detail::read_converted<std::uint16_t>(m, row, out); return;
        case ElementType::int32: detail::read_converted<std::int32_t>(m, row, out); return;
        case ElementType::uint32: detail::read_converted<std::uint32_t>(m, row, out); return;
        case ElementType::int64: detail::read_converted<std::int64_t>(m, row, out); return;
        case ElementType::uint64: detail::read_converted<std::uint64_t>(m, row, out); return;
        case ElementType::boolean:
            for (std::size_t i = 0; i < m.cols; ++i)
                out[i] = detail::load_element<std::uint8_t>(row + static_cast<std::ptrdiff_t>(i) * m.col_stride) != 0
                             ? 1.0f
                             : 0.0f;
            return;
    }
}

}  // namespace lsh
