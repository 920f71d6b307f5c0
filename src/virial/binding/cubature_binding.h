// The b2_cubature function of vicatools._engine (cubature_binding.cpp).
#pragma once

#include "module/binding/python.h"

namespace vica::py {
extern PyMethodDef b2_cubature_def;
}  // namespace vica::py
