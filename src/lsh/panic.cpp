#include "lsh/panic.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace lsh {
namespace {

std::atomic<bool> g_reported_once{false};

unsigned long long os_thread_id() noexcept {
#if defined(__linux__)
    return static_cast<unsigned long long>(::syscall(SYS_gettid));
#else
    return static_cast<unsigned long long>(::getpid());
#endif
}

bool backtrace_requested() noexcept {
    const char* value = std::getenv(kBacktraceVariable);
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// One frame per line: index, address, and the demangled symbol with its offset
// when the dynamic symbol table knows it, else the object file.
void write_backtrace(std::FILE* out) noexcept {
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    std::fputs("stack backtrace:\n", out);
    for (int k = 1; k < count; ++k) {  // frame 0 is this function
        Dl_info info{};
        const char* symbol = nullptr;
        std::unique_ptr<char, decltype(&std::free)> demangled(nullptr, &std::free);
        if (::dladdr(frames[k], &info) != 0 && info.dli_sname != nullptr) {
            int status = 0;
            demangled.reset(abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status));
            symbol = status == 0 && demangled ? demangled.get() : info.dli_sname;
        }
        const auto address = reinterpret_cast<std::uintptr_t>(frames[k]);
        if (symbol != nullptr) {
            const auto offset = address - reinterpret_cast<std::uintptr_t>(info.dli_saddr);
            std::fprintf(out, "  %2d: %#zx %s+%#zx\n", k - 1, static_cast<size_t>(address), symbol,
                         static_cast<size_t>(offset));
        } else {
            std::fprintf(out, "  %2d: %#zx <unknown> in %s\n", k - 1, static_cast<size_t>(address),
                         info.dli_fname != nullptr ? info.dli_fname : "?");
        }
    }
}

}  // namespace

void report_panic(const std::string& message, const std::source_location& where) noexcept {
    std::FILE* out = stderr;
    std::fprintf(out, "\nthread '<unnamed>' (%llu) panicked at %s:%u:%u:\n%s\n", os_thread_id(), where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message.c_str());
    if (backtrace_requested()) {
        write_backtrace(out);
    } else if (!g_reported_once.exchange(true)) {
        std::fprintf(out, "note: run with `%s=1` environment variable to display a backtrace\n", kBacktraceVariable);
    }
    std::fflush(out);
}

void panic(std::string message, const std::source_location& where) {
    report_panic(message, where);
    throw Panic(std::move(message));
}

}  // namespace lsh
