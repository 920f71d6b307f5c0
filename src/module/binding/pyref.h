// One owner per Python reference.
#pragma once

#include <cxxabi.h>

#include <utility>

#include "module/binding/python.h"

namespace vica::py {

// True on a thread that the interpreter is ending with pthread_exit while it
// is inside a call of this module: a daemon thread that woke up (in Python
// code run by a conversion) in an interpreter that is finalizing.  Such a
// thread no longer holds the interpreter lock and the interpreter may already
// be torn down, so the references dropped on the unwind's way out are left as
// they are; the process is ending.
inline thread_local bool t_thread_exiting = false;

// A handler of abi::__forced_unwind receives no exception object (the unwind
// is not a C++ exception), so its reference is bound to null: the documented
// way to catch it, which UndefinedBehaviorSanitizer would report.  Functions
// with such a handler are exempt from that one check, and kept out of line so
// that the exemption is not lost by inlining them into a checked caller.
#define VICA_CATCHES_FORCED_UNWIND __attribute__((noinline, no_sanitize("null")))

// Calls an interpreter function that may run Python code (and so may release
// the interpreter lock and never get it back), marking such an exit before
// the frames above it drop their references.
template <class F>
VICA_CATCHES_FORCED_UNWIND decltype(auto) call_python(F&& f) {
  try {
    return f();
  } catch (abi::__forced_unwind&) {
    t_thread_exiting = true;
    throw;
  }
}

// A move-only owned reference: the destructor releases it, so no error path
// needs its own decref.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, as returned by a failing call).
  explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
  static PyRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    if (p_ != nullptr && !t_thread_exiting) Py_DECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (for returning it to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace vica::py
