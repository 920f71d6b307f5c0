// The module vica: its definition, entry point and execution step.
#include "module/binding/classes.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "bms/binding/bms_binding.h"
#include "cms/binding/cms_binding.h"
#include "pot/binding/potk_binding.h"
#include "uij/binding/uij_binding.h"
#include "runtime/failure.h"

namespace vica::py {
namespace {

constexpr char kGreeting[] = "Hello from vica, world!";
static_assert(sizeof(kGreeting) - 1 == 23, "the greeting is 23 characters long");

PyObject* hello(PyObject*, PyObject*) {
  return PyUnicode_FromStringAndSize(kGreeting, sizeof(kGreeting) - 1);
}

PyMethodDef hello_def = {"hello", hello, METH_NOARGS, "hello()\n--\n\n"};

// Appends `name` to the module's __all__ (creating it when missing), then
// sets the attribute.
void add_public(PyObject* module, const char* name, PyObject* value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all) throw PythonErrorSet{};
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonErrorSet{};
  }
  PyRef text(PyUnicode_FromString(name));
  if (!text || !PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    fail("could not append __name__ to __all__");
  }
  if (PyObject_SetAttrString(module, name, value) < 0) throw PythonErrorSet{};
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  add_public(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_vica(PyObject* module) {
  return guarded([&]() -> int {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) throw PythonErrorSet{};
    PyRef hello_fn(PyCMethod_New(&hello_def, nullptr, module_name.get(), nullptr));
    if (!hello_fn) throw PythonErrorSet{};
    add_public(module, "hello", hello_fn.get());
    add_class(module, "PotK", potk_class());
    add_class(module, "Uij", uij_class());
    add_class(module, "Bms", bms_class());
    add_class(module, "Cms", cms_class());
    return 0;
  });
}

PyModuleDef_Slot vica_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_vica)},
    {0, nullptr},
};

PyModuleDef vica_def = {
    PyModuleDef_HEAD_INIT,
    "vica",
    "Virial coefficients of rigid multi-site molecules by Mayer-sampling Monte Carlo.",
    0,
    nullptr,
    vica_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vica::py

extern "C" PyMODINIT_FUNC PyInit_vica(void) { return PyModuleDef_Init(&vica::py::vica_def); }
