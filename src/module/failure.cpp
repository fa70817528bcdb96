#include "module/failure.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <cxxabi.h>
#include <dlfcn.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include "module/once_cell.hpp"

namespace ambrel {

namespace {

OnceCell g_panic_type;
InternedString g_add_note_name("add_note");

// The environment variable that asks for a backtrace with every report.
constexpr const char* kBacktraceVariable = "AMBREL_NATIVE_BACKTRACE";

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
    std::string message = str_utf8(exception.get()).value_or("Unwrapped panic from Python code");
    std::fputs(
        "--- PanicException fetched from Python: resuming the panic in native code ---\n"
        "Python stack trace below:\n",
        stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    lsh::panic(std::move(message), where);
}

// ---- the internal failure report

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
// when the dynamic symbol table knows it, else the object file. The first
// frame, the panic's own constructor, is left out.
void write_backtrace(std::FILE* out, std::span<void* const> frames) noexcept {
    std::fputs("stack backtrace:\n", out);
    for (std::size_t k = 1; k < frames.size(); ++k) {
        Dl_info info{};
        const char* symbol = nullptr;
        std::unique_ptr<char, decltype(&std::free)> demangled(nullptr, &std::free);
        if (::dladdr(frames[k], &info) != 0 && info.dli_sname != nullptr) {
            int status = 0;
            demangled.reset(abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status));
            symbol = status == 0 && demangled ? demangled.get() : info.dli_sname;
        }
        const auto address = reinterpret_cast<std::uintptr_t>(frames[k]);
        const auto index = static_cast<int>(k - 1);
        if (symbol != nullptr) {
            const auto offset = address - reinterpret_cast<std::uintptr_t>(info.dli_saddr);
            std::fprintf(out, "  %2d: %#zx %s+%#zx\n", index, static_cast<size_t>(address), symbol,
                         static_cast<size_t>(offset));
        } else {
            std::fprintf(out, "  %2d: %#zx <unknown> in %s\n", index, static_cast<size_t>(address),
                         info.dli_fname != nullptr ? info.dli_fname : "?");
        }
    }
}

}  // namespace

std::optional<std::string> take_utf8(PyObject* text) {
    const PyRef held = PyRef::steal(text);
    if (held) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(held.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return std::nullopt;
}

std::optional<std::string> str_utf8(PyObject* object) { return take_utf8(PyObject_Str(object)); }

std::optional<std::string> type_name_utf8(PyTypeObject* type) { return take_utf8(PyType_GetQualName(type)); }

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

void PyFailure::add_note(const std::string& note) {
    if (!materialize()) {
        // The failure cannot even be created (memory is exhausted): keep the
        // lazy form; raising it will report the shortage.
        PyErr_Clear();
        return;
    }
    PyObject* name = nullptr;
    try {
        name = g_add_note_name.get();
    } catch (...) {
        PyErr_Clear();
        return;
    }
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (!text) {
        PyErr_Clear();
        return;
    }
    PyRef result = PyRef::steal(PyObject_CallMethodOneArg(exception_.get(), name, text.get()));
    if (!result) PyErr_Clear();
}

void PyFailure::raise() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    PyErr_SetString(type_, message_.c_str());
}

void fail_null_result(const std::source_location& where) {
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
    lsh::panic("PyObject pointer is null", where);
}

void downcast_failure(PyObject* object, const char* target) {
    if (object == Py_None) {
        throw PyFailure(PyExc_TypeError, std::string("'None' is not an instance of '") + target + "'");
    }
    const std::string type_name = type_name_utf8(Py_TYPE(object)).value_or("<failed to extract type name>");
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

void prepare_failure_cells() {
    g_panic_type.get_or_init([] {
        PyRef type = create_panic_type();
        if (!type) throw PyFailure::fetch();
        return type;
    });
    g_add_note_name.get();
}

void report_panic(const lsh::Panic& panic) noexcept {
    std::FILE* out = stderr;
    const std::source_location& where = panic.where();
    std::fprintf(out, "\nthread '<unnamed>' (%llu) panicked at %s:%u:%u:\n%s\n", os_thread_id(), where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), panic.message().c_str());
    if (backtrace_requested()) {
        write_backtrace(out, panic.frames());
    } else if (!g_reported_once.exchange(true)) {
        std::fprintf(out, "note: run with `%s=1` environment variable to display a backtrace\n", kBacktraceVariable);
    }
    std::fflush(out);
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (const lsh::Panic& panic) {
        report_panic(panic);
        abort_uncaught_panic();
    } catch (...) {
        abort_uncaught_panic();
    }
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;  // MemoryError (or the decoding error) stays pending
    PyErr_SetObject(type, text.get());
}

void abort_uncaught_panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace ambrel
