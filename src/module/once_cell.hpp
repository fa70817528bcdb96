// Process-wide cells, each holding one Python object that is stored once and
// kept until the process ends.
//
// A cell is filled during a module's execution step where it can be (so that
// later calls never need memory for it), or on first need. Readers of a
// filled cell take the stored object without locking. Filling takes no lock
// either: a thread that finds the cell empty builds the object with the
// interpreter attached, then offers it; the first offer is stored, and a
// thread whose offer lost releases its own object and uses the stored one.
// No thread ever waits for another, so building may freely use the
// interpreter (an import, for example), and every thread sees one object.
#pragma once

#include "module/py_ref.hpp"

#include <atomic>

namespace ambrel {

class OnceCell {
public:
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Returns the stored object (borrowed), building it with `make()` first if
    // the cell is empty. `make` returns a new reference (PyRef) or throws; a
    // throw leaves the cell empty for a later attempt.
    template <class Make>
    PyObject* get_or_init(Make&& make) {
        if (PyObject* value = get()) return value;
        PyRef created = make();
        PyObject* expected = nullptr;
        if (value_.compare_exchange_strong(expected, created.get(), std::memory_order_acq_rel)) {
            return created.release();  // the cell keeps it until the process ends
        }
        return expected;  // another thread stored first; `created` is released
    }

private:
    std::atomic<PyObject*> value_{nullptr};
};

// An interned string in a process-wide cell.
class InternedString {
public:
    explicit constexpr InternedString(const char* text) noexcept : text_(text) {}

    // The string (borrowed), created on first need.
    PyObject* get();

private:
    const char* text_;
    OnceCell cell_;
};

}  // namespace ambrel
