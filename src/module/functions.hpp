// The module's five functions, in the order they are added to the module.
#pragma once

#include "module/py_ref.hpp"

namespace ambrel {

inline constexpr int kFunctionCount = 5;

// Static method descriptions (fast call with keywords).
extern PyMethodDef function_definitions[kFunctionCount];

}  // namespace ambrel
