// The Python class Cms.
#pragma once

#include "module/binding/python.h"

namespace vica::py {

// The Cms class, created once per process.  Borrowed; throws InternalFailure
// or PythonErrorSet on failure.
PyTypeObject* cms_class();

}  // namespace vica::py
