// A process-wide cell holding one Python object, filled at most once.
//
// Readers of a filled cell take the stored object without locking. A thread
// that must wait for another thread that is filling the cell detaches from
// the interpreter while it waits, so that the filler, which may need the
// interpreter (an import, for example), can make progress.
#pragma once

#include "module/py_ref.hpp"

#include <atomic>
#include <mutex>

namespace ambrel {

class OnceCell {
public:
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Returns the stored object (borrowed), creating it with `make()` first if
    // needed. `make` returns a new reference (PyRef) or throws; a throw leaves
    // the cell empty for a later attempt. `make` must not use this cell.
    template <class Make>
    PyObject* get_or_init(Make&& make) {
        if (PyObject* value = get()) return value;
        if (!mutex_.try_lock()) {
            PyThreadState* state = PyEval_SaveThread();
            mutex_.lock();
            PyEval_RestoreThread(state);
        }
        std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
        if (PyObject* value = get()) return value;
        PyRef created = make();
        PyObject* value = created.release();  // the cell keeps it until the process ends
        value_.store(value, std::memory_order_release);
        return value;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

// An interned string, created once per process.
PyObject* interned(OnceCell& cell, const char* text);

}  // namespace ambrel
