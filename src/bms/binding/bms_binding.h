// The Python class Bms.
#pragma once

#include "module/binding/python.h"

namespace vica::py {

// The Bms class, created once per process.  Borrowed; throws InternalFailure
// or PythonErrorSet on failure.
PyTypeObject* bms_class();

}  // namespace vica::py
