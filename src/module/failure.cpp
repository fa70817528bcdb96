#include "module/failure.hpp"

#include <cstdio>
#include <cstdlib>

#include "module/once_cell.hpp"

namespace ambrel {

namespace {

OnceCell g_panic_type;
OnceCell g_add_note_name;

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics: an internal\n"
    "failure such as a broken invariant or a size that does not fit the address space.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.";

PyRef create_panic_type() {
    return PyRef::steal(
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
}

bool is_panic_exception(PyObject* exception) {
    PyObject* type = g_panic_type.get();
    return type != nullptr && PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(type));
}

// A PanicException raised by Python code that the module called: report it
// and continue as an internal failure with the same message.
[[noreturn]] void resume_panic(PyRef exception, const std::source_location& where) {
    std::string message = "Unwrapped panic from Python code";
    if (PyRef text = PyRef::steal(PyObject_Str(exception.get()))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
            message.assign(utf8, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    std::fputs(
        "--- PanicException fetched from Python: resuming the panic in native code ---\n"
        "Python stack trace below:\n",
        stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    lsh::panic(std::move(message), where);
}

}  // namespace

PyObject* interned(OnceCell& cell, const char* text) {
    return cell.get_or_init([text] { return check_new(PyUnicode_InternFromString(text)); });
}

PyFailure PyFailure::fetch(const std::source_location& where) {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        return PyFailure(PyExc_SystemError, "error return without exception set");
    }
    if (is_panic_exception(exception.get())) resume_panic(std::move(exception), where);
    return PyFailure(std::move(exception));
}

bool PyFailure::materialize() {
    if (exception_) return true;
    PyRef message =
        PyRef::steal(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (!message) return false;
    PyRef exception = PyRef::steal(PyObject_CallOneArg(type_, message.get()));
    if (!exception) return false;
    exception_ = std::move(exception);
    return true;
}

void PyFailure::add_note(const char* note_utf8) {
    if (!materialize()) {
        // The failure cannot even be created (memory is exhausted): keep the
        // lazy form; raising it will report the shortage.
        PyErr_Clear();
        return;
    }
    PyObject* name = nullptr;
    try {
        name = interned(g_add_note_name, "add_note");
    } catch (...) {
        PyErr_Clear();
        return;
    }
    PyRef note = PyRef::steal(PyUnicode_FromString(note_utf8));
    if (!note) {
        PyErr_Clear();
        return;
    }
    PyRef result = PyRef::steal(PyObject_CallMethodOneArg(exception_.get(), name, note.get()));
    if (!result) PyErr_Clear();
}

void PyFailure::raise() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    PyErr_SetString(type_, message_.c_str());
}

void null_object(const std::source_location& where) {
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
    lsh::panic("PyObject pointer is null", where);
}

void downcast_failure(PyObject* object, const char* target) {
    if (object == Py_None) {
        throw PyFailure(PyExc_TypeError, std::string("'None' is not an instance of '") + target + "'");
    }
    std::string type_name = "<failed to extract type name>";
    if (PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            type_name.assign(utf8, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    throw PyFailure(PyExc_TypeError, "'" + type_name + "' object is not an instance of '" + target + "'");
}

PyObject* panic_exception_type() {
    return g_panic_type.get_or_init([] {
        PyRef type = create_panic_type();
        if (!type) {
            PyErr_Clear();
            lsh::panic("Failed to initialize new exception type.");
        }
        return type;
    });
}

void prepare_panic_exception_type() {
    g_panic_type.get_or_init([] {
        PyRef type = create_panic_type();
        if (!type) throw PyFailure::fetch();
        return type;
    });
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;  // MemoryError (or the decoding error) stays pending
    PyErr_SetObject(type, text.get());
}

}  // namespace ambrel
