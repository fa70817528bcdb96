// The ambrel_batch._core module: the native half of the ambrel_batch package.
// Like ambrel_native it keeps no per-module state and declares that it does
// not need the global interpreter lock; its functions detach from the
// interpreter while they compute.
#include "module/py_ref.hpp"

#include "module/batch_functions.hpp"
#include "module/registration.hpp"

namespace ambrel {

namespace {

int execute(PyObject* module) { return execute_module(module, {}, batch_functions()); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "ambrel_batch._core",
    .m_doc = "Native core of ambrel_batch: many rows per call, the interpreter released.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace ambrel

// The name is fixed by the import system: PyInit_ followed by the module name.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core(void) {
    return PyModuleDef_Init(&ambrel::module_definition);
}
