# ambrel_add_extension(<target> <destination> <output-name> SOURCES <file>...)
#
# A CPython extension module: a shared module named
# <output-name>.<soabi>.so, built from SOURCES with the project's build flags,
# linked with the numeric core (ambrel_lsh_core) and the interpreter-boundary
# support library (ambrel_module_support), exporting nothing but
# PyInit_<output-name>, and installed into <destination> of the wheel ("." for
# a top-level module, "pkg" for pkg.<output-name>). Further libraries can be
# added with target_link_libraries(<target> PRIVATE ...).
function(ambrel_add_extension target destination output_name)
  cmake_parse_arguments(PARSE_ARGV 3 ARG "" "" "SOURCES")
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "ambrel_add_extension(${target}): no SOURCES")
  endif()
  Python_add_library(${target} MODULE WITH_SOABI ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME "${output_name}")
  target_link_libraries(${target} PRIVATE ambrel_build_flags ambrel_module_support ambrel_lsh_core)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # Export the entry point only; symbols of the static libraries stay local.
    set(map "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map")
    file(CONFIGURE OUTPUT "${map}" CONTENT "{\n  global: PyInit_${output_name};\n  local: *;\n};\n")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${map}" "LINKER:--exclude-libs,ALL")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${map}")
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION "${destination}")
endfunction()
