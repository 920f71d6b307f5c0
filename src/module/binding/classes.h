// Objects of the module's classes: the object header, a borrow counter and a
// native payload built by the constructor and never changed afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "module/binding/errors.h"
#include "module/binding/pyref.h"

namespace vica::py {

template <class T>
struct Boxed {
  PyObject ob_base;
  std::atomic<std::intptr_t> borrow;
  T value;
};

inline constexpr std::intptr_t kExclusiveBorrow = -1;

// A shared borrow of an object for the duration of a method call.
template <class T>
class SharedBorrow {
 public:
  explicit SharedBorrow(Boxed<T>* obj) : obj_(obj) {
    std::intptr_t cur = obj_->borrow.load(std::memory_order_relaxed);
    do {
      if (cur == kExclusiveBorrow) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        throw PythonErrorSet{};
      }
    } while (!obj_->borrow.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
  }
  ~SharedBorrow() { obj_->borrow.fetch_sub(1, std::memory_order_release); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  const T& get() const { return obj_->value; }

 private:
  Boxed<T>* obj_;
};

// Allocates an instance of `type` (or a subclass) and moves the payload in.
template <class T>
PyObject* new_boxed(PyTypeObject* type, T&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) throw PythonErrorSet{};
  auto* box = reinterpret_cast<Boxed<std::decay_t<T>>*>(self);
  new (&box->borrow) std::atomic<std::intptr_t>(0);
  new (&box->value) std::decay_t<T>(std::forward<T>(value));
  return self;
}

// tp_dealloc of every class: release the payload, free the object through
// its actual type, release the reference the instance held on its heap type.
template <class T>
void dealloc_boxed(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* box = reinterpret_cast<Boxed<T>*>(self);
  box->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// tp_setattro of every class.  Instances have no dictionary and only
// read-only properties, so the generic rule refuses every attribute with
// AttributeError, all but `__class__`, whose assignment would succeed between
// classes of one layout (turning an R1 into an R6R12 around an R1 payload).
// It is refused here with AttributeError as well.
int refuse_class_assignment(PyObject* self, PyObject* name, PyObject* value);

// Creates a class from its PyType_Spec (with optional bases) once per process; the
// name in the failure message is the bare class name.  Returns a borrowed
// reference that lives for the whole process.
PyTypeObject* create_class(PyType_Spec* spec, PyObject* bases, const char* class_name);

// Sets a class attribute after creation; on failure raises RuntimeError
// "An error occurred while initializing `Class.attr`" with the cause.
bool set_class_attribute(PyTypeObject* type, const char* class_name, const char* attr,
                         PyObject* value);

}  // namespace vica::py
