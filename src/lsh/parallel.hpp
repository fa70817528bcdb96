// Running independent tasks on native threads.
//
// A call starts its worker threads and joins them before it returns, so no
// thread outlives the call (nothing to shut down at exit, nothing inherited
// by a forked child). Tasks are handed out through one atomic counter; the
// result of a task never depends on which thread ran it, so results do not
// depend on the thread count.
#pragma once

#include <cstddef>

namespace lsh {

// The number of CPUs this process may run on (its affinity mask), at least 1.
unsigned available_cpus() noexcept;

// Threads worth starting for `tasks` tasks when `requested` threads are
// allowed: min(requested, tasks), at least 1.
unsigned worker_count(std::size_t tasks, unsigned requested) noexcept;

namespace detail {
// Type-erased task body: called as body(context, task, worker).
using TaskBody = void (*)(void* context, std::size_t task, unsigned worker);
void run_tasks(std::size_t tasks, unsigned workers, TaskBody body, void* context);
}  // namespace detail

// Runs body(task, worker) for task = 0 .. tasks-1 on `workers` threads, the
// calling thread being worker 0. Each worker runs with the default
// floating-point environment. The first exception thrown by any task stops
// the handing out of further tasks and is rethrown here after every thread
// has been joined. If a thread cannot be started, the threads that could be
// started (at least the caller) do all the work.
template <class Body>
void parallel_for(std::size_t tasks, unsigned workers, Body&& body) {
    auto trampoline = [](void* context, std::size_t task, unsigned worker) {
        (*static_cast<Body*>(context))(task, worker);
    };
    detail::run_tasks(tasks, workers, trampoline, &body);
}

}  // namespace lsh
