// The five functions of ambrel_native, in the order they are added to the
// module.
#pragma once

#include "module/py_ref.hpp"

#include <span>

namespace ambrel {

// Static method descriptions (fast call with keywords).
std::span<PyMethodDef> native_functions() noexcept;

}  // namespace ambrel
