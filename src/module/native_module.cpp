// The ambrel_native module: its definition, its execution step and the
// exported entry point. The functions are in native_functions.cpp, the two
// record classes in lsh/records.cpp.
#include "module/py_ref.hpp"

#include "lsh/records.hpp"
#include "module/native_functions.hpp"
#include "module/registration.hpp"

namespace ambrel {

namespace {

constexpr ModuleType kTypes[] = {
    {"LshFamily", lsh_family_type},
    {"LshConfig", lsh_config_type},
};

int execute(PyObject* module) { return execute_module(module, kTypes, native_functions()); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "ambrel_native",
    .m_doc =
        "Native Python extension module for ambrel\n\n"
        "This module is imported as `ambrel_native` and provides accelerated\n"
        "implementations of the core LSH functions.",
    .m_size = 0,           // no per-module state
    .m_methods = nullptr,  // the functions are added by the execution step
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace ambrel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ambrel_native(void) {
    return PyModuleDef_Init(&ambrel::module_definition);
}
