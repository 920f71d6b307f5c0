// The Python class Uij.
#pragma once

#include "module/binding/python.h"

namespace vica::py {

// The Uij class, created once per process.  Borrowed; throws InternalFailure
// or PythonErrorSet on failure.
PyTypeObject* uij_class();

}  // namespace vica::py
