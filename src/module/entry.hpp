// The entry wrapper: every call from the interpreter into the module goes
// through `guarded`, so that no C++ exception ever reaches the interpreter.
//
//   ordinary failure (PyFailure)  -> raised as the pending exception
//   internal failure (lsh::Panic) -> raised as PanicException
//   std::bad_alloc                -> MemoryError
//   anything else                 -> PanicException with its description
//
// A failure while raising one of these writes "uncaught panic at ffi
// boundary" and aborts the process.
#pragma once

#include "module/failure.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <type_traits>

namespace ambrel {

namespace detail {

// Nesting depth of module entries on this thread.
inline thread_local int entry_depth __attribute__((tls_model("initial-exec"))) = 0;

struct EntryScope {
    EntryScope() noexcept { ++entry_depth; }
    ~EntryScope() { --entry_depth; }
};

[[noreturn]] inline void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// Raises the exception that is being handled. Returns normally once the
// Python exception is set.
inline void raise_current() noexcept {
    try {
        try {
            throw;
        } catch (PyFailure& failure) {
            std::move(failure).raise();
        } catch (const lsh::Panic& panic) {
            raise_panic(panic.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            std::string message = error.what();
            lsh::report_panic(message, std::source_location::current());
            raise_panic(message);
        } catch (...) {
            const std::string message = "unknown C++ exception";
            lsh::report_panic(message, std::source_location::current());
            raise_panic(message);
        }
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace detail

// Runs `operation` and returns its result; on failure raises it and returns
// `error_value` (nullptr for object results, -1 for integer slots).
template <class Operation, class Result = std::invoke_result_t<Operation>>
Result guarded(Operation&& operation, Result error_value) noexcept {
    detail::EntryScope scope;
    try {
        return operation();
    } catch (...) {
        detail::raise_current();
        return error_value;
    }
}

template <class Operation>
PyObject* guarded(Operation&& operation) noexcept {
    return guarded(std::forward<Operation>(operation), static_cast<PyObject*>(nullptr));
}

// For slots that must not fail (deallocators): any failure aborts.
template <class Operation>
void guarded_infallible(Operation&& operation) noexcept {
    detail::EntryScope scope;
    try {
        operation();
    } catch (...) {
        detail::abort_at_boundary();
    }
}

}  // namespace ambrel
