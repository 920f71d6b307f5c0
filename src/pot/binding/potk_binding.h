// The Python class family of PotK: the base class and its four variants.
#pragma once

#include "module/binding/python.h"
#include "pot/potk.h"

namespace vica::py {

// PotK objects are the object header followed by one PotK value.
struct PotKObject {
  PyObject ob_base;
  PotK value;
};

// The PotK class (its variant classes are created with it, once per process).
// Borrowed; throws InternalFailure or PythonErrorSet on failure.
PyTypeObject* potk_class();

}  // namespace vica::py
