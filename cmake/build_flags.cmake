# The compile and link settings every target of this project shares, carried
# by one INTERFACE target: link `ambrel_build_flags` and nothing else is needed.
#
#   warnings        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
#   floating point  results are bit-exact: no contraction into fused
#                   multiply-add, no fast-math (clang: no finite-math either)
#   sanitizers      AddressSanitizer + UndefinedBehaviorSanitizer with -DAMBREL_SANITIZE=ON
#   file names      source locations in reports are relative to the repository
add_library(ambrel_build_flags INTERFACE)
target_compile_features(ambrel_build_flags INTERFACE cxx_std_20)
target_compile_options(ambrel_build_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -ffp-contract=off -fno-fast-math
  "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/="
)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(ambrel_build_flags INTERFACE -fno-finite-math-only)
endif()
if(AMBREL_SANITIZE)
  set(_ambrel_sanitizer_flags -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_compile_options(ambrel_build_flags INTERFACE ${_ambrel_sanitizer_flags})
  target_link_options(ambrel_build_flags INTERFACE ${_ambrel_sanitizer_flags})
endif()
