// The exact-cosine functions of ambrel_batch._core: cosines of given pairs,
// the similar pairs of a set of rows, the nearest cells of each row.
#pragma once

#include "module/py_ref.hpp"

#include <span>

namespace ambrel {

// Static method descriptions, added after batch_functions().
std::span<PyMethodDef> batch_pair_functions() noexcept;

}  // namespace ambrel
