// How failures of the core reach Python.
//
// Every entry point runs its work inside `guarded`: a C++ exception thrown by
// the core is turned into the Python exception here and nowhere else.
//   InternalFailure  -> diagnostic on standard error, then
//                       pyo3_runtime.PanicException(message)
//   vica::ValueError -> ValueError, vica::RuntimeError -> RuntimeError,
//   vica::MemoryError -> MemoryError(message)
//   std::bad_alloc, std::length_error -> MemoryError
//   PythonErrorSet   -> the Python error that is already pending
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "module/binding/python.h"

namespace vica::py {

// Thrown by binding code that has already set a Python error.
struct PythonErrorSet {};

// The process-wide pyo3_runtime.PanicException class (borrowed, created on
// first need), or null with an error set.
PyObject* panic_exception_class();

// Sets the Python error for the exception being handled; call only inside a
// catch block.
void set_error_from_current_exception() noexcept;

template <class F>
auto guarded(F&& f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    set_error_from_current_exception();
    if constexpr (std::is_integral_v<decltype(f())>) {
      return -1;
    } else {
      return nullptr;
    }
  }
}

}  // namespace vica::py
