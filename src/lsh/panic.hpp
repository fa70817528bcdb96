// Internal failures: a broken invariant or a size that cannot be addressed.
//
// `panic` throws `Panic` with the message, the source location of the check
// and the call stack at that point. The core writes nothing: the entry wrapper
// of the module catches the panic at the interpreter boundary, writes the
// report and raises it as PanicException; nothing else should catch it.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <source_location>
#include <span>
#include <string>

namespace lsh {

class Panic final : public std::exception {
public:
    Panic(std::string message, const std::source_location& where);
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    // Return addresses of the call stack where the panic was raised,
    // innermost first.
    std::span<void* const> frames() const noexcept { return {frames_.data(), frame_count_}; }

private:
    std::string message_;
    std::source_location where_;
    std::array<void*, 64> frames_{};
    std::size_t frame_count_ = 0;
};

[[noreturn]] void panic(std::string message, const std::source_location& where = std::source_location::current());

// The message of a size computation that does not fit the address space.
inline constexpr const char* kCapacityOverflow = "capacity overflow";

// a * b, or a panic with "capacity overflow" when it does not fit 64 bits.
inline std::uint64_t checked_product(std::uint64_t a, std::uint64_t b,
                                     const std::source_location& where = std::source_location::current()) {
    if (a != 0 && b > ~std::uint64_t{0} / a) panic(kCapacityOverflow, where);
    return a * b;
}

}  // namespace lsh
