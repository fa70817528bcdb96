#include "module/registration.hpp"

#include <string>

#include "module/entry.hpp"
#include "module/failure.hpp"
#include "module/once_cell.hpp"

namespace ambrel {

namespace {

InternedString g_all_name("__all__");
InternedString g_name_name("__name__");

// "Type: value" of the pending exception, which it clears.
std::string describe_pending_exception() {
    const PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) return "unknown error";
    const auto type = type_name_utf8(Py_TYPE(exception.get()));
    const auto value = str_utf8(exception.get());
    if (!type || !value) return "<failed to describe the error>";
    return *type + ": " + *value;
}

}  // namespace

int execute_module(PyObject* module, std::span<const ModuleType> types, std::span<PyMethodDef> functions) noexcept {
    return guarded(
        [&] {
            begin_execution(module);
            add_types(module, types);
            add_functions(module, functions);
            return 0;
        },
        -1);
}

void begin_execution(PyObject* module) {
    if (!PyModule_Check(module)) downcast_failure(module, "module");
    prepare_failure_cells();
    g_all_name.get();
    g_name_name.get();
}

void add_member(PyObject* module, PyObject* name, PyObject* member) {
    PyObject* all_name = g_all_name.get();
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

void add_types(PyObject* module, std::span<const ModuleType> types) {
    for (const ModuleType& entry : types) {
        PyObject* type = entry.type();
        PyRef key = check_new(PyUnicode_FromString(entry.name));
        add_member(module, key.get(), type);
    }
}

void add_functions(PyObject* module, std::span<PyMethodDef> definitions) {
    PyObject* name_name = g_name_name.get();
    for (PyMethodDef& definition : definitions) {
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
        if (!module_name) throw PyFailure::fetch();
        PyRef function = check_new(PyCMethod_New(&definition, module, module_name.get(), nullptr));
        PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_name));
        if (!name) throw PyFailure::fetch();
        if (!PyUnicode_Check(name.get())) downcast_failure(name.get(), "str");
        add_member(module, name.get(), function.get());
    }
}

}  // namespace ambrel
