// The operations of the kernel families on AVX2 with FMA: eight floats, four
// doubles, four 64-bit integers per vector. The names and their meanings are
// listed in scalar.hpp.
//
// Included inside a LSH_TARGET_BEGIN(LSH_TARGET_AVX2) region, after
// <immintrin.h> and the standard headers (see target.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cpu.hpp"

namespace lsh::simd {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

struct Avx2 {
    static constexpr Isa kIsa = Isa::avx2;

    using F32 = __m256;
    static constexpr std::size_t kF32Lanes = 8;
    static F32 zero_f32() noexcept { return _mm256_setzero_ps(); }
    static F32 load_f32(const float* p) noexcept { return _mm256_loadu_ps(p); }
    static void store_f32(float* p, F32 v) noexcept { _mm256_storeu_ps(p, v); }
    static F32 broadcast_f32(const float* p) noexcept { return _mm256_broadcast_ss(p); }
    static F32 add_f32(F32 a, F32 b) noexcept { return _mm256_add_ps(a, b); }
    static F32 mul_add_f32(F32 a, F32 b, F32 c) noexcept { return _mm256_fmadd_ps(a, b, c); }
    static std::uint64_t greater_bits_f32(F32 v, F32 limit) noexcept {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, limit, _CMP_GT_OQ)));
    }
    static std::uint64_t less_bits_f32(F32 v, F32 limit) noexcept {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, limit, _CMP_LT_OQ)));
    }
    // ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)).
    static float sum_lanes_f32(F32 v) noexcept {
        const __m128 half = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        const __m128 pair = _mm_add_ps(half, _mm_movehl_ps(half, half));
        return _mm_cvtss_f32(_mm_add_ss(pair, _mm_shuffle_ps(pair, pair, 1)));
    }

    using F64 = __m256d;
    static constexpr std::size_t kF64Lanes = 4;
    static F64 zero_f64() noexcept { return _mm256_setzero_pd(); }
    static F64 splat_f64(double x) noexcept { return _mm256_set1_pd(x); }
    static F64 add_f64(F64 a, F64 b) noexcept { return _mm256_add_pd(a, b); }
    static F64 mul_add_f64(F64 a, F64 b, F64 c) noexcept { return _mm256_fmadd_pd(a, b, c); }
    static void store_f64(double* p, F64 v) noexcept { _mm256_store_pd(p, v); }
    static unsigned positive_bits_f64(F64 v) noexcept {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_GT_OQ)));
    }

    using I32 = __m128i;
    static I32 load_i32(const std::int32_t* p) noexcept { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
    static I32 splat_i32(std::int32_t n) noexcept { return _mm_set1_epi32(n); }
    static I32 add_i32(I32 a, I32 b) noexcept { return _mm_add_epi32(a, b); }
    using I64 = __m256i;
    static I64 load_i64(const std::int64_t* p) noexcept {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
    }
    static I64 splat_i64(std::int64_t n) noexcept { return _mm256_set1_epi64x(n); }
    static I64 add_i64(I64 a, I64 b) noexcept { return _mm256_add_epi64(a, b); }
    static F64 gather_widen_f32(const float* base, I32 at) noexcept {
        return _mm256_cvtps_pd(_mm_i32gather_ps(base, at, 4));
    }
    static F64 gather_widen_f32(const float* base, I64 at) noexcept {
        return _mm256_cvtps_pd(_mm256_i64gather_ps(base, at, 4));
    }

    using U64 = __m256i;
    static U64 load_u64(const std::uint64_t* p) noexcept {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
    }
    static void store_u64(std::uint64_t* p, U64 v) noexcept { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }
    static U64 splat_u64(std::uint64_t x) noexcept { return _mm256_set1_epi64x(static_cast<long long>(x)); }
    static U64 add_u64(U64 a, U64 b) noexcept { return _mm256_add_epi64(a, b); }
    static U64 xor_u64(U64 a, U64 b) noexcept { return _mm256_xor_si256(a, b); }
    template <int N>
    static U64 shift_right_u64(U64 v) noexcept {
        return _mm256_srli_epi64(v, N);
    }
    template <int N>
    static U64 shift_left_u64(U64 v) noexcept {
        return _mm256_slli_epi64(v, N);
    }
    static U64 mul_u32x32(U64 a, U64 b) noexcept { return _mm256_mul_epu32(a, b); }
    static constexpr bool kMulU64 = false;

    // The lanes whose sign bit is set, which is all blendv reads.
    using Mask64 = __m256d;
    template <int B>
    static Mask64 bit_set_u64(U64 v) noexcept {
        return _mm256_castsi256_pd(_mm256_slli_epi64(v, 63 - B));
    }
    static F64 select_f64(Mask64 m, F64 clear, F64 set) noexcept { return _mm256_blendv_pd(clear, set, m); }
};

}  // namespace
}  // namespace lsh::simd
