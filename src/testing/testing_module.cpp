#include <vector>

#include "module/binding/pyref.h"
#include "testing/registry.h"

namespace vica::testing {
namespace {

std::vector<Adder>& adders() {
  static std::vector<Adder> list;
  return list;
}

int exec_testing(PyObject* module) {
  for (Adder add : adders()) {
    if (add(module) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_testing)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vica_testing",
    "Core internals of vica, exposed for its test suite only.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

Registration::Registration(Adder add) { adders().push_back(add); }

int add_function(PyObject* module, PyMethodDef* def) {
  py::PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  py::PyRef fn(PyCMethod_New(def, nullptr, name.get(), nullptr));
  if (!fn) return -1;
  return PyObject_SetAttrString(module, def->ml_name, fn.get());
}

}  // namespace vica::testing

extern "C" PyMODINIT_FUNC PyInit__vica_testing(void) {
  return PyModuleDef_Init(&vica::testing::module_def);
}
