// A row-major float32 matrix held in a vector, seen as the core's RowMatrix.
#pragma once

#include <cstddef>
#include <vector>

#include "lsh/batch_rows.hpp"

namespace lsh_test {

inline lsh::RowMatrix float32_matrix(const std::vector<float>& values, std::size_t n, std::size_t d) {
    return {reinterpret_cast<const char*>(values.data()),
            n,
            d,
            static_cast<std::ptrdiff_t>(d * sizeof(float)),
            sizeof(float),
            lsh::ElementType::float32};
}

}  // namespace lsh_test
