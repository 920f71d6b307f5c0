// _vica_testing: the private module through which pytest reaches the core.
// Each file of this directory adds its functions to the module with one
// static Registration, so files can be added without touching the others.
#pragma once

#include "module/binding/python.h"

namespace vica::testing {

using Adder = int (*)(PyObject* module);  // 0 on success, -1 with an error set

struct Registration {
  explicit Registration(Adder add);
};

// Adds a module-level function taking METH_FASTCALL | METH_KEYWORDS arguments.
int add_function(PyObject* module, PyMethodDef* def);

}  // namespace vica::testing
