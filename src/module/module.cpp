// The module definition, its execution step and the exported entry point.
#include "module/py_ref.hpp"

#include <string>

#include "lsh/records.hpp"
#include "module/entry.hpp"
#include "module/failure.hpp"
#include "module/functions.hpp"
#include "module/once_cell.hpp"

namespace ambrel {

namespace {

OnceCell g_all_name;
OnceCell g_name_name;

std::string describe_pending_exception() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) return "unknown error";
    std::string text = "<failed to describe the error>";
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(exception.get())));
    PyRef value = PyRef::steal(PyObject_Str(exception.get()));
    const char* type_utf8 = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
    const char* value_utf8 = value ? PyUnicode_AsUTF8(value.get()) : nullptr;
    if (type_utf8 != nullptr && value_utf8 != nullptr) text = std::string(type_utf8) + ": " + value_utf8;
    PyErr_Clear();
    return text;
}

// Appends `name` to the module's __all__ (creating the list if needed) and
// sets the attribute.
void add_member(PyObject* module, PyObject* name, PyObject* member) {
    PyObject* all_name = interned(g_all_name, "__all__");
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyFailure::fetch();
        PyErr_Clear();
        all = check_new(PyList_New(0));
        check_ok(PyObject_SetAttr(module, all_name, all.get()) == 0);
    }
    if (!PyList_Check(all.get())) downcast_failure(all.get(), "list");
    if (PyList_Append(all.get(), name) != 0) {
        lsh::panic("could not append __name__ to __all__: " + describe_pending_exception());
    }
    check_ok(PyObject_SetAttr(module, name, member) == 0);
}

void add_type(PyObject* module, const char* name, PyObject* type) {
    PyRef key = check_new(PyUnicode_FromString(name));
    add_member(module, key.get(), type);
}

int execute(PyObject* module) {
    return guarded(
        [module] {
            if (!PyModule_Check(module)) downcast_failure(module, "module");
            prepare_panic_exception_type();

            add_type(module, "LshFamily", lsh_family_type());
            add_type(module, "LshConfig", lsh_config_type());

            PyObject* name_name = interned(g_name_name, "__name__");
            for (PyMethodDef& definition : function_definitions) {
                PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
                if (!module_name) throw PyFailure::fetch();
                PyRef function = check_new(PyCMethod_New(&definition, module, module_name.get(), nullptr));
                PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_name));
                if (!name) throw PyFailure::fetch();
                if (!PyUnicode_Check(name.get())) downcast_failure(name.get(), "str");
                add_member(module, name.get(), function.get());
            }
            return 0;
        },
        -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ambrel_native",
    "Native Python extension module for ambrel\n\n"
    "This module is imported as `ambrel_native` and provides accelerated\n"
    "implementations of the core LSH functions.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ambrel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ambrel_native(void) {
    return PyModuleDef_Init(&ambrel::module_definition);
}
