// The ambrel_batch._core module: the native half of the ambrel_batch package.
// Like ambrel_native it keeps no per-module state and declares that it does
// not need the global interpreter lock; its functions detach from the
// interpreter while they compute.
//
// It is not supported in subinterpreters: the exception type and names it
// uses live in process-wide cells, which interpreters must not share. The
// multiple-interpreters slot makes an isolated interpreter refuse the import;
// a legacy one does not check that slot, so a first execution step refuses
// every interpreter but the main one. Either way the import is an ImportError.
#include "module/py_ref.hpp"

#include "module/batch_functions.hpp"
#include "module/batch_pairs.hpp"
#include "module/entry.hpp"
#include "module/registration.hpp"

namespace ambrel {

namespace {

int refuse_subinterpreters(PyObject*) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
    PyErr_SetString(PyExc_ImportError,
                    "ambrel_batch._core does not support subinterpreters (it keeps process-wide state); "
                    "import ambrel_batch in the main interpreter");
    return -1;
}

int execute(PyObject* module) {
    if (execute_module(module, {}, batch_functions()) != 0) return -1;
    return guarded(
        [&] {
            add_functions(module, batch_pair_functions());
            return 0;
        },
        -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(refuse_subinterpreters)},
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
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
