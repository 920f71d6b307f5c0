#include "bms/binding/bms_binding.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "bms/bms.h"
#include "module/binding/args.h"
#include "module/binding/classes.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"

namespace vica::py {
namespace {

using BmsObject = Boxed<BmsRecord>;

PyObject* bms_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> sig{"Bms", "__new__", {"mol1", "mol2", "potk"}};
    FiniteMolecule mol1, mol2;
    SitePairTable potk;
    if (!parse(sig, tuple_args(args, kwds), mol1, mol2, potk)) return nullptr;
    return new_boxed(type, make_bms(std::move(mol1.sites), std::move(mol2.sites), std::move(potk)));
  });
}

PyObject* bms_run_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!PyObject_TypeCheck(self, bms_class())) {
      raise_not_instance(self, "Bms");
      return nullptr;
    }
    static constexpr Signature<4> sig{"Bms", "run", {"t_kelvin", "u_min", "dev_tol", "order_max"}};
    double t_kelvin, u_min, dev_tol;
    std::uint64_t order_max;
    if (!parse(sig, fastcall_args(args, nargsf, kwnames), t_kelvin, u_min, dev_tol, order_max)) return nullptr;
    SharedBorrow<BmsRecord> borrow(reinterpret_cast<BmsObject*>(self));
    const std::vector<double> result = bms_run(borrow.get(), t_kelvin, u_min, dev_tol, order_max);
    return float_list(result);
  });
}

PyMethodDef bms_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bms_run_method)),
     METH_FASTCALL | METH_KEYWORDS, "run($self, t_kelvin, u_min, dev_tol, order_max)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* create_bms_class() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Bms(mol1, mol2, potk)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(bms_new)},
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_class_assignment)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<BmsRecord>)},
      {Py_tp_methods, bms_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"builtins.Bms", static_cast<int>(sizeof(BmsObject)), 0, Py_TPFLAGS_DEFAULT, slots};
  return create_class(&spec, nullptr, "Bms");
}

}  // namespace

PyTypeObject* bms_class() {
  static PyTypeObject* cls = nullptr;
  if (cls == nullptr) cls = create_bms_class();
  return cls;
}

}  // namespace vica::py
