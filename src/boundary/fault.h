// The internal failure of a computation. Cores throw it; the boundary guard
// turns it into PanicException. This header must stay free of Python.h so the
// algorithm cores can use it.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace tarnwick {

class Fault : public std::exception {
 public:
  // A fault that carries no text (an unknown native exception) reports a
  // fixed sentence instead.
  explicit Fault(std::string text, bool has_text = true,
                 std::source_location where = std::source_location::current())
      : text_(std::move(text)), has_text_(has_text), where_(where) {}

  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const noexcept { return text_; }
  bool has_text() const noexcept { return has_text_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string text_;
  bool has_text_;
  std::source_location where_;
};

// Writes the fault report (thread, source location, text) to standard error.
void report_fault(const std::string& text, const std::source_location& where) noexcept;

// Reports the fault at the moment it happens, then throws it.
[[noreturn]] void raise_fault(std::string text,
                              std::source_location where = std::source_location::current());

}  // namespace tarnwick
