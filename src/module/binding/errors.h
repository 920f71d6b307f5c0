// How failures of the core reach Python.
//
// Every entry point runs its work inside `guarded`: a C++ exception thrown by
// the core is turned into the Python exception here and nowhere else.
//   InternalFailure  -> diagnostic on standard error, then
//                       pyo3_runtime.PanicException(message)
//   vica::ValueError -> ValueError, vica::RuntimeError -> RuntimeError,
//   vica::MemoryError -> MemoryError(message),
//   vica::FloatingPointError -> FloatingPointError(message)
//   std::bad_alloc, std::length_error -> MemoryError
//   PythonErrorSet   -> the Python error that is already pending
//
// One thing is never caught for good: abi::__forced_unwind, the unwind with
// which pthread_exit ends a thread (CPython ends daemon threads that way when
// they wake up in a finalizing interpreter).  It must run to the thread's
// end; swallowing it would carry on in an interpreter that is being torn
// down, and glibc aborts when such an unwind is not rethrown.  Every
// catch-all of the binding layer therefore rethrows it first, and the calls
// that may run Python code mark it (call_python, pyref.h) so that the
// references dropped on its way out are left alone.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <type_traits>
#include <utility>

#include "module/binding/pyref.h"
#include "module/binding/python.h"

namespace vica::py {

// Thrown by binding code that has already set a Python error.
struct PythonErrorSet {};

// The process-wide pyo3_runtime.PanicException class (borrowed, created on
// first need), or null with an error set.
PyObject* panic_exception_class();

// Sets the Python error for the exception being handled; call only inside a
// catch block that has already let abi::__forced_unwind through.
void set_error_from_current_exception() noexcept;

// Not noexcept: a forced unwind passes through on its way to the thread's end.
template <class F>
VICA_CATCHES_FORCED_UNWIND auto guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (abi::__forced_unwind&) {
    t_thread_exiting = true;
    throw;
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
