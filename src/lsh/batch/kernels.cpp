// The portable batch kernels (plain C++ that the compiler may vectorise for
// the build's baseline) and the table the engine picks from.
#include "lsh/batch_kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

#include "lsh/batch_lanes.hpp"
#include "lsh/fp_env.hpp"

namespace lsh {

namespace detail {
namespace {

struct ScalarOps {
    using F = float;
    static constexpr std::size_t kFloats = 1;
    static F zero() noexcept { return 0.0f; }
    static F load(const float* p) noexcept { return *p; }
    static void store(float* p, F v) noexcept { *p = v; }
    static F broadcast(const float* p) noexcept { return *p; }
    static F add(F a, F b) noexcept { return a + b; }
    // b is +-1 or 0: a * b is exact, so this is one rounded addition.
    static F fmadd(F a, F b, F c) noexcept { return a * b + c; }
    static std::uint64_t greater_mask(F v, F limit) noexcept { return v > limit ? 1u : 0u; }
    static std::uint64_t less_mask(F v, F limit) noexcept { return v < limit ? 1u : 0u; }

    using D = double;
    using I = std::int32_t;
    static constexpr std::size_t kLanes = 1;
    static I offsets(const std::int32_t* p) noexcept { return *p; }
    static I advance(I a, I b) noexcept { return a + b; }
    static I splat_offset(std::int32_t n) noexcept { return n; }
    static D gather_widen(const float* base, I at) noexcept { return widen_to_double(base[at]); }
    static D splat(double x) noexcept { return x; }
    static D fmadd_pd(D s, D x, D acc) noexcept { return acc + s * x; }
    static unsigned positive_mask(D sum) noexcept { return sum > 0.0 ? 1u : 0u; }
};

}  // namespace

extern const BatchKernels kBatchScalar{Isa::scalar,
                                       4,
                                       16,
                                       &micro_rows<ScalarOps, 4, 16>,
                                       &measure_row,
                                       &interleave_rows<4>,
                                       &decide_sums<ScalarOps>,
                                       &exact_sums<ScalarOps, 4>};

}  // namespace detail

namespace {

// Best first, ending with the portable kernels.
constexpr const BatchKernels* kKernels[] = {
#if LSH_HAVE_X86_TARGETS
    &detail::kBatchAvx512,
    &detail::kBatchAvx2,
#endif
#if LSH_HAVE_NEON_TARGETS
    &detail::kBatchNeon,
#endif
    &detail::kBatchScalar,
};

}  // namespace

const BatchKernels& batch_kernels() noexcept {
    static const BatchKernels& kernels = best_kernel(std::span<const BatchKernels* const>(kKernels));
    return kernels;
}

const BatchKernels* find_batch_kernels(Isa isa) noexcept {
    return find_kernel(std::span<const BatchKernels* const>(kKernels), isa);
}

}  // namespace lsh
