// The floating-point control state that the bit-exact arithmetic relies on.
//
// Another library loaded into the process may have switched on flush-to-zero
// or denormals-are-zero (shared objects built with -ffast-math do this when
// they are loaded), or changed the rounding direction. `FloatEnvScope` puts
// the default IEEE state in place for its lifetime and restores the caller's
// state afterwards; it costs one read of the control register when the state
// is already the default.
#pragma once

#include <cfenv>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace lsh {

#if defined(__x86_64__) || defined(_M_X64)

class FloatEnvScope {
public:
    // Round to nearest, no flush-to-zero, no denormals-are-zero, all
    // exceptions masked: the power-on default of MXCSR.
    static constexpr unsigned kDefault = 0x1F80;
    static constexpr unsigned kControlMask = 0xFFC0;  // everything but the sticky flags

    FloatEnvScope() noexcept : saved_(_mm_getcsr()) {
        changed_ = (saved_ & kControlMask) != kDefault;
        if (changed_) _mm_setcsr(kDefault | (saved_ & ~kControlMask));
    }
    ~FloatEnvScope() {
        if (changed_) _mm_setcsr(saved_);
    }
    FloatEnvScope(const FloatEnvScope&) = delete;
    FloatEnvScope& operator=(const FloatEnvScope&) = delete;

private:
    unsigned saved_;
    bool changed_;
};

#elif defined(__aarch64__)

class FloatEnvScope {
public:
    // FPCR: FZ (bit 24), FZ16 (bit 19), RMode (bits 22-23), AH (bit 1), FIZ (bit 0).
    static constexpr std::uint64_t kMask = (1u << 24) | (1u << 19) | (3u << 22) | 0x3u;

    FloatEnvScope() noexcept {
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(saved_));
        changed_ = (saved_ & kMask) != 0;
        if (changed_) {
            const std::uint64_t value = saved_ & ~kMask;
            __asm__ __volatile__("msr fpcr, %0" : : "r"(value));
        }
    }
    ~FloatEnvScope() {
        if (changed_) __asm__ __volatile__("msr fpcr, %0" : : "r"(saved_));
    }
    FloatEnvScope(const FloatEnvScope&) = delete;
    FloatEnvScope& operator=(const FloatEnvScope&) = delete;

private:
    std::uint64_t saved_ = 0;
    bool changed_ = false;
};

#else

class FloatEnvScope {
public:
    FloatEnvScope() noexcept : mode_(std::fegetround()) {
        if (mode_ != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    }
    ~FloatEnvScope() {
        if (mode_ != FE_TONEAREST) std::fesetround(mode_);
    }
    FloatEnvScope(const FloatEnvScope&) = delete;
    FloatEnvScope& operator=(const FloatEnvScope&) = delete;

private:
    int mode_;
};

#endif

namespace detail {

// value / 2^shift rounded to the nearest integer, ties to even (0 < shift < 64).
constexpr std::uint64_t shift_right_rounded(std::uint64_t value, unsigned shift) noexcept {
    const std::uint64_t kept = value >> shift;
    const std::uint64_t dropped = value & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    return kept + ((dropped > half || (dropped == half && (kept & 1u) != 0)) ? 1 : 0);
}

}  // namespace detail

// Rounds a double to the nearest 32-bit float (ties to even) whatever the
// control state. The conversion instruction would follow the rounding
// direction and flush-to-zero, so finite results are built from the bits in
// integer arithmetic; callers need no FloatEnvScope (argument conversion
// narrows between calls into the interpreter, which may change the state).
inline float narrow_to_float(double value) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const std::uint64_t magnitude = bits & 0x7FFFFFFFFFFFFFFFull;
    if (magnitude >= 0x7FF0000000000000ull) {
        // Infinity or NaN: converted exactly in every state (a NaN keeps the
        // high bits of its payload and becomes quiet).
        return static_cast<float>(value);
    }
    std::uint32_t result = 0;  // below 2^-150 (half the smallest subnormal): zero
    if (magnitude >= 0x47F0000000000000ull) {
        result = 0x7F800000u;  // 2^128 and above: infinity
    } else if (magnitude >= 0x3810000000000000ull) {
        // 2^-126 and above, a normal float: keep the top 23 of the 52
        // fraction bits, rounded, and rebias the exponent (1023 - 127). A
        // carry out of the fraction moves into the exponent; past the largest
        // float it gives exactly the encoding of infinity.
        result = static_cast<std::uint32_t>(detail::shift_right_rounded(magnitude, 29) - (std::uint64_t{896} << 23));
    } else if (magnitude >= 0x3690000000000000ull) {
        // 2^-150 up to 2^-126, a subnormal float: the value in units of
        // 2^-149 is the 53-bit significand shifted right by 926 - exponent
        // (30 to 53) places, rounded; 2^23 units encode the smallest normal.
        const auto exponent = static_cast<unsigned>(magnitude >> 52);
        const std::uint64_t significand = (magnitude & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
        result = static_cast<std::uint32_t>(detail::shift_right_rounded(significand, 926 - exponent));
    }
    result |= static_cast<std::uint32_t>(bits >> 32) & 0x80000000u;
    float narrowed;
    std::memcpy(&narrowed, &result, sizeof narrowed);
    return narrowed;
}

// Widens a 32-bit float to a double exactly, also for subnormals when
// denormals-are-zero is on.
inline double widen_to_double(float value) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if ((bits & 0x7F800000u) != 0 || (bits & 0x007FFFFFu) == 0) return static_cast<double>(value);
    const double magnitude = static_cast<double>(bits & 0x007FFFFFu) * 0x1p-149;  // exact
    return (bits & 0x80000000u) != 0 ? -magnitude : magnitude;
}

// Pins a value to this point of the program. The compiler does not know that
// arithmetic depends on the control register, and may move a computation
// across the register change of a FloatEnvScope (a sanitizer build was seen
// dividing before the scope set round-to-nearest). Passing the inputs through
// here after the scope begins, and the result before it ends, keeps the
// computation inside: the empty volatile statement is ordered with the
// register writes, and the value must be known at it.
template <class T>
inline void pin_value(T& value) noexcept {
    __asm__ __volatile__("" : "+g"(value));
}

}  // namespace lsh
