#include "uij/binding/uij_binding.h"

#include <cstdint>
#include <utility>

#include "module/binding/args.h"
#include "module/binding/classes.h"
#include "module/binding/errors.h"
#include "uij/uij.h"

namespace vica::py {
namespace {

using UijObject = Boxed<vica::Uij>;

UijObject* as_uij(PyObject* self) { return reinterpret_cast<UijObject*>(self); }

// Uij(moli, molj, potk)
PyObject* uij_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> sig{"Uij", "__new__", {"moli", "molj", "potk"}};
    FiniteMolecule moli, molj;
    PairRecord pair;
    if (!parse(sig, tuple_args(args, kwds), moli, molj, pair.potk)) return nullptr;
    pair.moli = std::move(moli.sites);
    pair.molj = std::move(molj.sites);
    return new_boxed(type, vica::Uij(std::move(pair)));
  });
}

// uij($self, r, phi1, theta1, phi2, theta2, psi2)
PyObject* uij_uij(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<6> sig{"Uij", "uij", {"r", "phi1", "theta1", "phi2", "theta2", "psi2"}};
    SharedBorrow<vica::Uij> borrow(as_uij(self));
    double r, phi1, theta1, phi2, theta2, psi2;
    if (!parse(sig, fastcall_args(args, nargsf, kwnames), r, phi1, theta1, phi2, theta2, psi2)) {
      return nullptr;
    }
    return PyFloat_FromDouble(borrow.get().uij(r, phi1, theta1, phi2, theta2, psi2));
  });
}

// u_r($self, r, dev_tol, num_inner, num_outer, num_print)
PyObject* uij_u_r(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<5> sig{"Uij", "u_r", {"r", "dev_tol", "num_inner", "num_outer", "num_print"}};
    SharedBorrow<vica::Uij> borrow(as_uij(self));
    double r, dev_tol;
    std::uint64_t num_inner, num_outer, num_print;
    if (!parse(sig, fastcall_args(args, nargsf, kwnames), r, dev_tol, num_inner, num_outer,
               num_print)) {
      return nullptr;
    }
    return PyFloat_FromDouble(borrow.get().u_r(r, dev_tol, num_inner, num_outer, num_print));
  });
}

template <FastMethod F>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyTypeObject* create_uij_class() {
  static PyMethodDef methods[] = {
      {"uij", as_cfunction<uij_uij>(), METH_FASTCALL | METH_KEYWORDS,
       "uij($self, r, phi1, theta1, phi2, theta2, psi2)\n--\n\n"},
      {"u_r", as_cfunction<uij_u_r>(), METH_FASTCALL | METH_KEYWORDS,
       "u_r($self, r, dev_tol, num_inner, num_outer, num_print)\n--\n\n"},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Uij(moli, molj, potk)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(uij_new)},
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_class_assignment)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<vica::Uij>)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"builtins.Uij", static_cast<int>(sizeof(UijObject)), 0,
                             Py_TPFLAGS_DEFAULT, slots};
  return create_class(&spec, nullptr, "Uij");
}

}  // namespace

PyTypeObject* uij_class() {
  static PyTypeObject* cls = nullptr;
  if (cls == nullptr) cls = create_uij_class();
  return cls;
}

}  // namespace vica::py
