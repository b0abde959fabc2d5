// The internal failure of a computation. Cores throw it; the boundary guard
// turns it into PanicException. Free of Python, so every core can use it.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace tarnwick {

class Fault : public std::exception {
 public:
  explicit Fault(std::string text, std::source_location where = std::source_location::current())
      : text_(std::move(text)), where_(where) {}

  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const noexcept { return text_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string text_;
  std::source_location where_;
};

// Writes the fault report (thread, source location, text) to standard error.
void report_fault(const std::string& text, const std::source_location& where) noexcept;

// Reports the fault at the moment it happens, then throws it. Every fault
// path is cold and out of line, so hot loops carry no string formatting.
[[noreturn, gnu::cold, gnu::noinline]] void raise_fault(
    std::string text, std::source_location where = std::source_location::current());

// "index out of bounds: the len is L but the index is I".
[[noreturn, gnu::cold, gnu::noinline]] void index_fault(
    std::uint64_t len, std::uint64_t index, std::source_location where = std::source_location::current());

// "capacity overflow": a buffer larger than any allocation may be.
[[noreturn, gnu::cold, gnu::noinline]] void capacity_fault(
    std::source_location where = std::source_location::current());

// "attempt to calculate the remainder with a divisor of zero".
[[noreturn, gnu::cold, gnu::noinline]] void remainder_by_zero_fault(
    std::source_location where = std::source_location::current());

}  // namespace tarnwick
