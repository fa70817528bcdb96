// Internal failures: a broken invariant or a size that cannot be addressed.
//
// `panic` writes a report to standard error (thread, source location, message)
// and throws `Panic`. The module's entry wrapper catches it at the interpreter
// boundary and raises it as PanicException; nothing else should catch it.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace lsh {

class Panic final : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the internal failure report to standard error, without throwing.
void report_panic(const std::string& message, const std::source_location& where) noexcept;

[[noreturn]] void panic(std::string message, const std::source_location& where = std::source_location::current());

// The message of a size computation that does not fit the address space.
inline constexpr const char* kCapacityOverflow = "capacity overflow";

// Name of the environment variable that asks for a backtrace with every report.
inline constexpr const char* kBacktraceVariable = "AMBREL_NATIVE_BACKTRACE";

}  // namespace lsh
