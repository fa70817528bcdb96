#include "lsh/panic.hpp"

#include <execinfo.h>

namespace lsh {

Panic::Panic(std::string message, const std::source_location& where) : message_(std::move(message)), where_(where) {
    const int count = ::backtrace(frames_.data(), static_cast<int>(frames_.size()));
    frame_count_ = count > 0 ? static_cast<std::size_t>(count) : 0;
}

void panic(std::string message, const std::source_location& where) { throw Panic(std::move(message), where); }

}  // namespace lsh
