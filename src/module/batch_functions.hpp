// The functions of ambrel_batch._core, in the order they are added to the
// module.
#pragma once

#include "module/py_ref.hpp"

#include <span>

namespace ambrel {

// Static method descriptions.
std::span<PyMethodDef> batch_functions() noexcept;

}  // namespace ambrel
