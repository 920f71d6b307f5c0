// One owner per Python reference.
#pragma once

#include <utility>

#include "module/binding/python.h"

namespace vica::py {

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
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (for returning it to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace vica::py
