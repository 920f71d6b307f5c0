// _vica_testing: the private module through which pytest reaches the core.
// Each file of this directory adds its functions to the module with one
// static Registration, so files can be added without touching the others.
#pragma once

#include <cstddef>

#include "module/binding/python.h"

namespace vica::testing {

using Adder = int (*)(PyObject* module);  // 0 on success, -1 with an error set

struct Registration {
  explicit Registration(Adder add);
};

// Adds a module-level function taking METH_FASTCALL | METH_KEYWORDS arguments.
int add_function(PyObject* module, PyMethodDef* def);

// The method entry of a function F(self, args, nargs, kwnames) taking
// METH_FASTCALL | METH_KEYWORDS arguments.
template <auto F>
PyMethodDef def(const char* name, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

// Adds every function of a static table; 0 on success, -1 with an error set.
template <std::size_t N>
int add_functions(PyObject* module, PyMethodDef (&defs)[N]) {
  for (PyMethodDef& d : defs) {
    if (add_function(module, &d) != 0) return -1;
  }
  return 0;
}

}  // namespace vica::testing
