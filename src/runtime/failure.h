// Internal failures of the numerical core.
//
// A computation that meets a condition it cannot continue from (an index
// outside a table, a zero divisor, a failed write to standard output) throws
// InternalFailure.  The core never talks to Python: the binding layer catches
// the exception at the boundary, writes the diagnostic to standard error and
// raises the interpreter-level exception.
//
// Ordinary refusals of a run's input that the caller can correct (a temperature
// that is not a positive number, a start configuration that cannot exist) are
// reported with the standard exception types below instead, which the binding
// layer turns into the matching Python exception:
//   vica::ValueError   -> ValueError
//   vica::RuntimeError -> RuntimeError
//   vica::MemoryError  -> MemoryError with the message (a run too large to hold)
//   vica::FloatingPointError -> FloatingPointError (a run whose sums can no
//                         longer become finite)
//   std::bad_alloc, std::length_error -> MemoryError
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace vica {

class InternalFailure : public std::exception {
 public:
  InternalFailure(std::string message, std::source_location where)
      : message_(std::move(message)), file_(where.file_name()), line_(where.line()),
        column_(where.column()) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const char* file() const noexcept { return file_; }
  unsigned line() const noexcept { return line_; }
  unsigned column() const noexcept { return column_; }

 private:
  std::string message_;
  const char* file_;
  unsigned line_;
  unsigned column_;
};

// Input refused with a Python ValueError.
class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A run that cannot go on for a reason the caller should know (Python RuntimeError).
class RuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A run whose buffers could never be held, refused before it starts (Python
// MemoryError carrying the message).
class MemoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A run stopped because its estimate can no longer be finite (Python
// FloatingPointError carrying the message).
class FloatingPointError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
  throw InternalFailure(std::move(message), where);
}

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void fail_index_out_of_bounds(std::size_t len, std::size_t index,
                                           std::source_location where = std::source_location::current());

}  // namespace vica
