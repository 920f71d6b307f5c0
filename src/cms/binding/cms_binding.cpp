#include "cms/binding/cms_binding.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "cms/cms.h"
#include "module/binding/args.h"
#include "module/binding/classes.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"

namespace vica::py {
namespace {

using CmsObject = Boxed<CmsRecord>;

PyObject* cms_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<6> sig{"Cms", "__new__", {"mol1", "mol2", "mol3", "potk12", "potk13", "potk23"}};
    FiniteMolecule mol1, mol2, mol3;
    SitePairTable potk12, potk13, potk23;
    if (!parse(sig, tuple_args(args, kwds), mol1, mol2, mol3, potk12, potk13, potk23)) return nullptr;
    return new_boxed(type, make_cms(std::move(mol1.sites), std::move(mol2.sites), std::move(mol3.sites), std::move(potk12),
                                    std::move(potk13), std::move(potk23)));
  });
}

PyObject* cms_run_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!PyObject_TypeCheck(self, cms_class())) {
      raise_not_instance(self, "Cms");
      return nullptr;
    }
    static constexpr Signature<3> sig{"Cms", "run", {"t_kelvin", "dev_tol", "order_max"}};
    double t_kelvin, dev_tol;
    std::uint64_t order_max;
    if (!parse(sig, fastcall_args(args, nargsf, kwnames), t_kelvin, dev_tol, order_max)) return nullptr;
    SharedBorrow<CmsRecord> borrow(reinterpret_cast<CmsObject*>(self));
    const std::vector<double> result = cms_run(borrow.get(), t_kelvin, dev_tol, order_max);
    return float_list(result);
  });
}

PyMethodDef cms_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cms_run_method)),
     METH_FASTCALL | METH_KEYWORDS, "run($self, t_kelvin, dev_tol, order_max)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* create_cms_class() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Cms(mol1, mol2, mol3, potk12, potk13, potk23)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(cms_new)},
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_class_assignment)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<CmsRecord>)},
      {Py_tp_methods, cms_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"builtins.Cms", static_cast<int>(sizeof(CmsObject)), 0, Py_TPFLAGS_DEFAULT, slots};
  return create_class(&spec, nullptr, "Cms");
}

}  // namespace

PyTypeObject* cms_class() {
  static PyTypeObject* cls = nullptr;
  if (cls == nullptr) cls = create_cms_class();
  return cls;
}

}  // namespace vica::py
