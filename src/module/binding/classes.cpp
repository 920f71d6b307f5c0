#include "module/binding/classes.h"

#include <string>

#include "runtime/failure.h"

namespace vica::py {

int refuse_class_assignment(PyObject* self, PyObject* name, PyObject* value) {
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__class__") == 0) {
    PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
    if (!type_name) return -1;
    PyErr_Format(PyExc_AttributeError, "attribute '__class__' of '%U' objects is not writable",
                 type_name.get());
    return -1;
  }
  return PyObject_GenericSetAttr(self, name, value);
}

PyTypeObject* create_class(PyType_Spec* spec, PyObject* bases, const char* class_name) {
  PyObject* type = bases != nullptr ? PyType_FromSpecWithBases(spec, bases) : PyType_FromSpec(spec);
  if (type == nullptr) {
    PyErr_Clear();
    fail(std::string("failed to create type object for `") + class_name + "`");
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

bool set_class_attribute(PyTypeObject* type, const char* class_name, const char* attr,
                         PyObject* value) {
  if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), attr, value) == 0) return true;
  PyObject* etype = nullptr;
  PyObject* evalue = nullptr;
  PyObject* etb = nullptr;
  PyErr_Fetch(&etype, &evalue, &etb);
  PyErr_NormalizeException(&etype, &evalue, &etb);
  PyRef cause_type(etype), cause(evalue), cause_tb(etb);
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing `%s.%s`", class_name,
               attr);
  if (cause) {
    PyObject* t = nullptr;
    PyObject* v = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (v != nullptr) PyException_SetCause(v, cause.release());
    PyErr_Restore(t, v, tb);
  }
  return false;
}

}  // namespace vica::py
