// The one place that includes Python.h, for the 3.9 stable ABI.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Part of the interpreter's calling conventions since 3.7, exposed by the
// limited headers only from 3.10 on: the documented values.
#ifndef METH_FASTCALL
#define METH_FASTCALL 0x0080
#endif
#ifndef PY_VECTORCALL_ARGUMENTS_OFFSET
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
#endif

namespace vica::py {
// Signature of a METH_FASTCALL | METH_KEYWORDS method.
using FastMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames);
}  // namespace vica::py
