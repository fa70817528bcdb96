// The entry wrapper: every call from the interpreter into the module goes
// through `guarded`, so that no C++ exception ever reaches the interpreter.
//
//   ordinary failure (PyFailure)  -> raised as the pending exception
//   internal failure (lsh::Panic) -> report on stderr, raised as PanicException
//   std::bad_alloc                -> MemoryError
//   anything else                 -> the same as an internal failure with its description
//
// A failure while raising one of these writes "uncaught panic at ffi
// boundary" and aborts the process.
#pragma once

#include "module/failure.hpp"

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

// Raises the exception that is being handled. Returns normally once the
// Python exception is set.
inline void raise_current() noexcept {
    try {
        try {
            throw;
        } catch (PyFailure& failure) {
            std::move(failure).raise();
        } catch (const lsh::Panic& panic) {
            report_panic(panic);
            raise_panic(panic.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            const lsh::Panic panic(error.what(), std::source_location::current());
            report_panic(panic);
            raise_panic(panic.message());
        } catch (...) {
            const lsh::Panic panic("unknown C++ exception", std::source_location::current());
            report_panic(panic);
            raise_panic(panic.message());
        }
    } catch (...) {
        abort_uncaught_panic();
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
    } catch (const lsh::Panic& panic) {
        report_panic(panic);
        abort_uncaught_panic();
    } catch (...) {
        abort_uncaught_panic();
    }
}

}  // namespace ambrel
