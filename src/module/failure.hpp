// Failures on their way to the interpreter.
//
// An ordinary failure (`PyFailure`) is a Python exception that has not been
// raised yet: either a type and message, created only when raised, or an
// exception object fetched from the interpreter. An internal failure is
// `lsh::Panic`; it becomes PanicException at the entry wrapper.
#pragma once

#include "module/py_ref.hpp"

#include <source_location>
#include <string>

#include "lsh/panic.hpp"

namespace ambrel {

class PyFailure {
public:
    // A lazily created exception: `type(message)`.
    PyFailure(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
    // An exception instance (owned).
    explicit PyFailure(PyRef exception) noexcept : exception_(std::move(exception)) {}

    PyFailure(PyFailure&&) noexcept = default;
    PyFailure& operator=(PyFailure&&) noexcept = default;

    // Takes the pending exception. If it is a PanicException coming back from
    // Python code, resumes the panic instead (does not return). When nothing
    // is pending (a broken protocol), the failure is a SystemError.
    static PyFailure fetch(const std::source_location& where = std::source_location::current());

    // Sets the failure as the interpreter's pending exception.
    void raise() &&;

    // Creates the exception object now (for example to add a note to it).
    // Returns false when that failed; then the creation's own exception is
    // pending in the interpreter.
    bool materialize();

    // Calls exception.add_note(note); a failing add_note is discarded.
    void add_note(const char* note_utf8);

    PyObject* exception() const noexcept { return exception_.get(); }

private:
    PyObject* type_ = nullptr;  // borrowed: a built-in exception type
    std::string message_;
    PyRef exception_;
};

// A failed interpreter call that had to return an object: the pending
// exception goes to the unraisable hook, then "PyObject pointer is null".
[[noreturn]] void null_object(const std::source_location& where = std::source_location::current());

// Returns the object, or follows the null-object rule.
inline PyRef check_new(PyObject* object, const std::source_location& where = std::source_location::current()) {
    if (object == nullptr) null_object(where);
    return PyRef::steal(object);
}

// Fails with the pending exception when `ok` is false.
inline void check_ok(bool ok, const std::source_location& where = std::source_location::current()) {
    if (!ok) throw PyFailure::fetch(where);
}

// "'{type}' object is not an instance of '{target}'" (or "'None' is not ...").
[[noreturn]] void downcast_failure(PyObject* object, const char* target);

// The process-wide PanicException type, created on first need; failing to
// create it then is an internal failure.
PyObject* panic_exception_type();

// Creates the PanicException type ahead of need (during the module's
// execution step), so that raising an internal failure never has to create
// it while memory may be exhausted; a failure here is the interpreter's own
// exception (normally MemoryError) and fails the import.
void prepare_panic_exception_type();

// Raises an internal failure's message as PanicException. Never fails in a
// way that escapes: when memory runs out the MemoryError is left pending.
void raise_panic(const std::string& message) noexcept;

}  // namespace ambrel
