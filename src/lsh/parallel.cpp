#include "lsh/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <sched.h>

#include "lsh/fp_env.hpp"

namespace lsh {

unsigned available_cpus() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
#endif
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

unsigned worker_count(std::size_t tasks, unsigned requested) noexcept {
    const std::size_t count = std::min<std::size_t>(std::max(requested, 1u), std::max<std::size_t>(tasks, 1));
    return static_cast<unsigned>(count);
}

namespace detail {

namespace {

struct SharedState {
    SharedState(std::size_t task_count, TaskBody task_body, void* task_context) noexcept
        : tasks(task_count), body(task_body), context(task_context) {}

    std::size_t tasks;
    TaskBody body;
    void* context;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::exception_ptr error;
};

void work(SharedState& state, unsigned worker) noexcept {
    const FloatEnvScope fp_env;
    try {
        while (!state.failed.load(std::memory_order_relaxed)) {
            const std::size_t task = state.next.fetch_add(1, std::memory_order_relaxed);
            if (task >= state.tasks) break;
            state.body(state.context, task, worker);
        }
    } catch (...) {
        const std::lock_guard lock(state.error_mutex);
        if (!state.error) state.error = std::current_exception();
        state.failed.store(true, std::memory_order_relaxed);
    }
}

}  // namespace

void run_tasks(std::size_t tasks, unsigned workers, TaskBody body, void* context) {
    if (tasks == 0) return;
    SharedState state(tasks, body, context);
    std::vector<std::thread> threads;
    const unsigned extra = worker_count(tasks, workers) - 1;
    // A thread that cannot be started (no memory, a thread limit) is not an
    // error: the threads that run, at least this one, share the work.
    try {
        threads.reserve(extra);
        for (unsigned k = 1; k <= extra; ++k) threads.emplace_back([&state, k] { work(state, k); });
    } catch (const std::system_error&) {  // NOLINT(bugprone-empty-catch)
    } catch (const std::bad_alloc&) {     // NOLINT(bugprone-empty-catch)
    }
    work(state, 0);
    for (std::thread& thread : threads) thread.join();
    if (state.error) std::rethrow_exception(state.error);
}

}  // namespace detail

}  // namespace lsh
