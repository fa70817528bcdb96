#include "lsh/normalize.hpp"

#include <cmath>
#include <cstddef>

#include "lsh/fp_env.hpp"

namespace lsh {

void normalize_vector_into(std::span<const float> x, float* out) {
    const std::size_t n = x.size();
    if (n == 0) return;
    FloatEnvScope fp_env;

    // Contraction is off for the whole build, so each square is rounded to
    // float before it is added.
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float square = x[i] * x[i];
        sum = sum + square;
    }
    if (sum == 0.0f) {
        if (out != x.data()) {
            for (std::size_t i = 0; i < n; ++i) out[i] = x[i];
        }
        return;
    }
    // sqrt of a float in double, rounded to float, is the correctly rounded
    // float square root (53 >= 2 * 24 + 2).
    const float norm = static_cast<float>(std::sqrt(static_cast<double>(sum)));
    for (std::size_t i = 0; i < n; ++i) out[i] = x[i] / norm;
}

std::vector<float> normalize_vector(std::span<const float> x) {
    std::vector<float> result(x.size());
    normalize_vector_into(x, result.data());
    return result;
}

}  // namespace lsh
