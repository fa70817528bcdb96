// The operations of the kernel families on AVX-512 (F, DQ, VL, BW): sixteen
// floats, eight doubles, eight 64-bit integers per vector, mask registers for
// comparisons and choices. The names and their meanings are listed in
// scalar.hpp.
//
// Included inside a LSH_TARGET_BEGIN(LSH_TARGET_AVX512) region, after
// <immintrin.h> and the standard headers (see target.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/cpu.hpp"

namespace lsh::simd {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces)

struct Avx512 {
    static constexpr Isa kIsa = Isa::avx512;

    using F32 = __m512;
    static constexpr std::size_t kF32Lanes = 16;
    static F32 zero_f32() noexcept { return _mm512_setzero_ps(); }
    static F32 load_f32(const float* p) noexcept { return _mm512_loadu_ps(p); }
    static void store_f32(float* p, F32 v) noexcept { _mm512_storeu_ps(p, v); }
    static F32 broadcast_f32(const float* p) noexcept { return _mm512_set1_ps(*p); }
    static F32 add_f32(F32 a, F32 b) noexcept { return _mm512_add_ps(a, b); }
    static F32 mul_add_f32(F32 a, F32 b, F32 c) noexcept { return _mm512_fmadd_ps(a, b, c); }
    static std::uint64_t greater_bits_f32(F32 v, F32 limit) noexcept {
        return _mm512_cmp_ps_mask(v, limit, _CMP_GT_OQ);
    }
    static std::uint64_t less_bits_f32(F32 v, F32 limit) noexcept { return _mm512_cmp_ps_mask(v, limit, _CMP_LT_OQ); }
    // The compiler's reduction: the high half added to the low one, down to
    // one lane.
    static float sum_lanes_f32(F32 v) noexcept { return _mm512_reduce_add_ps(v); }

    using F64 = __m512d;
    static constexpr std::size_t kF64Lanes = 8;
    static F64 zero_f64() noexcept { return _mm512_setzero_pd(); }
    static F64 splat_f64(double x) noexcept { return _mm512_set1_pd(x); }
    static F64 add_f64(F64 a, F64 b) noexcept { return _mm512_add_pd(a, b); }
    static F64 mul_add_f64(F64 a, F64 b, F64 c) noexcept { return _mm512_fmadd_pd(a, b, c); }
    static void store_f64(double* p, F64 v) noexcept { _mm512_store_pd(p, v); }
    static unsigned positive_bits_f64(F64 v) noexcept { return _mm512_cmp_pd_mask(v, _mm512_setzero_pd(), _CMP_GT_OQ); }

    using I32 = __m256i;
    static I32 load_i32(const std::int32_t* p) noexcept {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
    }
    static I32 splat_i32(std::int32_t n) noexcept { return _mm256_set1_epi32(n); }
    static I32 add_i32(I32 a, I32 b) noexcept { return _mm256_add_epi32(a, b); }
    using I64 = __m512i;
    static I64 load_i64(const std::int64_t* p) noexcept { return _mm512_load_si512(p); }
    static I64 splat_i64(std::int64_t n) noexcept { return _mm512_set1_epi64(n); }
    static I64 add_i64(I64 a, I64 b) noexcept { return _mm512_add_epi64(a, b); }
    static F64 gather_widen_f32(const float* base, I32 at) noexcept {
        return _mm512_cvtps_pd(_mm256_i32gather_ps(base, at, 4));
    }
    static F64 gather_widen_f32(const float* base, I64 at) noexcept {
        return _mm512_cvtps_pd(_mm512_i64gather_ps(at, base, 4));
    }

    using U64 = __m512i;
    static U64 load_u64(const std::uint64_t* p) noexcept { return _mm512_load_si512(p); }
    static void store_u64(std::uint64_t* p, U64 v) noexcept { _mm512_store_si512(p, v); }
    static U64 splat_u64(std::uint64_t x) noexcept { return _mm512_set1_epi64(static_cast<long long>(x)); }
    static U64 add_u64(U64 a, U64 b) noexcept { return _mm512_add_epi64(a, b); }
    static U64 xor_u64(U64 a, U64 b) noexcept { return _mm512_xor_si512(a, b); }
    template <int N>
    static U64 shift_right_u64(U64 v) noexcept {
        return _mm512_srli_epi64(v, N);
    }
    template <int N>
    static U64 shift_left_u64(U64 v) noexcept {
        return _mm512_slli_epi64(v, N);
    }
    static U64 mul_u32x32(U64 a, U64 b) noexcept { return _mm512_mul_epu32(a, b); }
    static constexpr bool kMulU64 = true;  // DQ
    static U64 mul_u64(U64 a, U64 b) noexcept { return _mm512_mullo_epi64(a, b); }

    using Mask64 = __mmask8;
    template <int B>
    static Mask64 bit_set_u64(U64 v) noexcept {
        return _mm512_test_epi64_mask(v, splat_u64(std::uint64_t{1} << B));
    }
    static F64 select_f64(Mask64 m, F64 clear, F64 set) noexcept { return _mm512_mask_blend_pd(m, clear, set); }
};

}  // namespace
}  // namespace lsh::simd
