// Failures on their way to the interpreter.
//
// An ordinary failure (`PyFailure`) is a Python exception that has not been
// raised yet: either a type and message, created only when raised, or an
// exception object fetched from the interpreter. An internal failure is
// `lsh::Panic`; the entry wrapper (entry.hpp) writes its report and raises it
// as PanicException.
#pragma once

#include "module/py_ref.hpp"

#include <optional>
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
    void add_note(const std::string& note);

    PyObject* exception() const noexcept { return exception_.get(); }

private:
    PyObject* type_ = nullptr;  // borrowed: a built-in exception type
    std::string message_;
    PyRef exception_;
};

// A failed interpreter call that had to return an object: the pending
// exception goes to the unraisable hook, then the internal failure
// "PyObject pointer is null". Does not return.
[[noreturn]] void fail_null_result(const std::source_location& where = std::source_location::current());

// Returns the object, or follows the null-result rule.
inline PyRef check_new(PyObject* object, const std::source_location& where = std::source_location::current()) {
    if (object == nullptr) fail_null_result(where);
    return PyRef::steal(object);
}

// Fails with the pending exception when `ok` is false.
inline void check_ok(bool ok, const std::source_location& where = std::source_location::current()) {
    if (!ok) throw PyFailure::fetch(where);
}

// "'{type}' object is not an instance of '{target}'" (or "'None' is not ...").
[[noreturn]] void downcast_failure(PyObject* object, const char* target);

// The UTF-8 form of a string for a message. Takes a new reference (or null,
// when the call that made it failed); returns nothing when there is no string
// or it cannot be encoded, and then clears the pending error.
std::optional<std::string> take_utf8(PyObject* text);
// The same for str(object) and for the qualified name of a type.
std::optional<std::string> str_utf8(PyObject* object);
std::optional<std::string> type_name_utf8(PyTypeObject* type);

// The process-wide PanicException type, created on first need; failing to
// create it then is an internal failure.
PyObject* panic_exception_type();

// Fills the cells that raising a failure relies on (the PanicException type,
// the "add_note" name) ahead of need, during a module's execution step, so
// that raising never has to create them while memory may be exhausted; a
// failure here is the interpreter's own exception (normally MemoryError) and
// fails the import.
void prepare_failure_cells();

// Writes the internal failure report to standard error: the thread, the
// source location and the message, then a backtrace when the environment
// asks for one (AMBREL_NATIVE_BACKTRACE), or else, once per process, a note
// saying how to ask.
void report_panic(const lsh::Panic& panic) noexcept;

// Raises an internal failure's message as PanicException. Never fails in a
// way that escapes: when memory runs out the MemoryError is left pending.
void raise_panic(const std::string& message) noexcept;

// Writes "uncaught panic at ffi boundary" and ends the process: a failure
// while a failure was being raised, or in a slot that must not fail.
[[noreturn]] void abort_uncaught_panic() noexcept;

}  // namespace ambrel
