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

// Rounds a double to the nearest 32-bit float (ties to even) whatever the
// control state: subnormal results are built from their bits, so neither
// flush-to-zero nor denormals-are-zero can change them.
inline float narrow_to_float(double value) noexcept {
    constexpr double kSmallestNormal = 0x1p-126;
    const double magnitude = value < 0 ? -value : value;
    if (!(magnitude < kSmallestNormal) || magnitude == 0.0) {
        return static_cast<float>(value);  // normal, infinite, NaN or zero
    }
    // Subnormal range: the result is a whole multiple of 2^-149. Scaling by
    // 2^149 is exact and lands in the normal double range; round half to even
    // by hand so the rounding direction cannot interfere either.
    const double scaled = magnitude * 0x1p149;
    auto whole = static_cast<std::uint32_t>(scaled);  // truncates; scaled <= 2^23
    const double rest = scaled - static_cast<double>(whole);
    if (rest > 0.5 || (rest == 0.5 && (whole & 1u) != 0)) ++whole;
    std::uint32_t bits = whole;  // 2^23 encodes the smallest normal exactly
    if (value < 0) bits |= 0x80000000u;
    float result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
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

}  // namespace lsh
