// Filling a module object in its execution step (the Py_mod_exec slot):
//
//   constexpr ModuleType kTypes[] = {{"LshFamily", lsh_family_type}, {"LshConfig", lsh_config_type}};
//
//   int execute(PyObject* module) { return execute_module(module, kTypes, native_functions()); }
//
// which runs, inside the entry wrapper, begin_execution, add_types and
// add_functions.
//
// Every member added is also appended to the module's __all__, in the order
// of addition.
#pragma once

#include "module/py_ref.hpp"

#include <span>

namespace ambrel {

// A class of a module: its attribute name and the get-or-create function of
// its (process-wide) type object.
struct ModuleType {
    const char* name;
    PyObject* (*type)();
};

// The first step of every execution step: checks that `module` is a module
// object (else the downcast TypeError for target "module") and fills the
// process-wide cells that raising a failure relies on.
void begin_execution(PyObject* module);

// Sets the module's attribute `name` (a str) to `member` and appends the name
// to __all__, which is created when missing; __all__ that is not a list is a
// downcast TypeError, and a failing append an internal failure.
void add_member(PyObject* module, PyObject* name, PyObject* member);

// A fast-call entry (or any other C function of a method table) as the
// PyCFunction that PyMethodDef stores; CPython calls it by its flags.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The whole execution step of a module with these types and functions:
// returns 0, or -1 with the exception set.
int execute_module(PyObject* module, std::span<const ModuleType> types, std::span<PyMethodDef> functions) noexcept;

// Adds each type under its name, in order.
void add_types(PyObject* module, std::span<const ModuleType> types);

// Creates a function object for each method description, bound to the module
// (its __self__ is the module and its __module__ the module's name), and adds
// it under its __name__, in order. The descriptions must outlive the module.
void add_functions(PyObject* module, std::span<PyMethodDef> definitions);

}  // namespace ambrel
