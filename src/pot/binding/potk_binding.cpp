#include "pot/binding/potk_binding.h"

#include <array>
#include <string>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/classes.h"
#include "module/binding/errors.h"
#include "runtime/failure.h"

namespace vica::py {
namespace {

PotKObject* as_potk(PyObject* self) { return reinterpret_cast<PotKObject*>(self); }

PyObject* alloc_potk(PyTypeObject* type, const PotK& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) throw PythonErrorSet{};
  as_potk(self)->value = value;
  return self;
}

void potk_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// PotK(flag, r): the flag constructor.
PyObject* potk_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<2> sig{"PotK", "__new__", {"flag", "r"}};
    std::string flag;
    std::vector<double> r;
    if (!parse(sig, tuple_args(args, kwds), flag, r)) return nullptr;
    return alloc_potk(type, potk_from_flag(flag, r));
  });
}

// The four variants: constructor parameters, getters, length and items.
template <PotKind Kind>
struct Variant;

template <>
struct Variant<PotKind::R0> {
  static constexpr const char* name = "R0";
  static constexpr Signature<0> sig{"R0", "__new__", {}};
  static PotK make() { return PotK::r0(); }
};
template <>
struct Variant<PotKind::R1> {
  static constexpr const char* name = "R1";
  static constexpr Signature<1> sig{"R1", "__new__", {"_0"}};
  static PotK make(double a) { return PotK::r1(a); }
};
template <>
struct Variant<PotKind::R6R12> {
  static constexpr const char* name = "R6R12";
  static constexpr Signature<2> sig{"R6R12", "__new__", {"_0", "_1"}};
  static PotK make(double a, double b) { return PotK::r6r12(a, b); }
};
template <>
struct Variant<PotKind::R1R6R12> {
  static constexpr const char* name = "R1R6R12";
  static constexpr Signature<3> sig{"R1R6R12", "__new__", {"_0", "_1", "_2"}};
  static PotK make(double a, double b, double c) { return PotK::r1r6r12(a, b, c); }
};

template <PotKind Kind, std::size_t... I>
PyObject* variant_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwds,
                           std::index_sequence<I...>) {
  return guarded([&]() -> PyObject* {
    std::array<double, sizeof...(I) == 0 ? 1 : sizeof...(I)> p{};
    if (!parse(Variant<Kind>::sig, tuple_args(args, kwds), p[I]...)) return nullptr;
    return alloc_potk(type, Variant<Kind>::make(p[I]...));
  });
}

template <PotKind Kind>
PyObject* variant_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return variant_new_impl<Kind>(type, args, kwds,
                                std::make_index_sequence<static_cast<std::size_t>(Kind)>{});
}

// A variant object always holds its own kind; anything else is a broken invariant.
template <PotKind Kind>
const PotK& checked_value(PyObject* self) {
  const PotK& v = as_potk(self)->value;
  if (v.tag != Kind) {
    fail("internal error: entered unreachable code: Wrong complex enum variant found in variant "
         "wrapper PyClass");
  }
  return v;
}

template <PotKind Kind, std::size_t Index>
PyObject* variant_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return PyFloat_FromDouble(checked_value<Kind>(self).param(Index));
  });
}

template <PotKind Kind>
Py_ssize_t variant_len(PyObject* self) {
  return guarded([&]() -> Py_ssize_t {
    return static_cast<Py_ssize_t>(checked_value<Kind>(self).param_count());
  });
}

template <PotKind Kind>
PyObject* variant_getitem(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    std::uint64_t idx = 0;
    if (!convert(key, idx)) {
      prefix_argument_error("idx");
      return nullptr;
    }
    const PotK& v = checked_value<Kind>(self);
    if (idx >= v.param_count()) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      return nullptr;
    }
    return PyFloat_FromDouble(v.param(static_cast<std::size_t>(idx)));
  });
}

// The read-only properties _0.._{n-1} of a variant with n parameters.
template <PotKind Kind>
PyGetSetDef* variant_getset() {
  static PyGetSetDef defs[4] = {};
  static const bool filled = [] {
    const PyGetSetDef all[3] = {
        {"_0", variant_get<Kind, 0>, nullptr, nullptr, nullptr},
        {"_1", variant_get<Kind, 1>, nullptr, nullptr, nullptr},
        {"_2", variant_get<Kind, 2>, nullptr, nullptr, nullptr},
    };
    for (std::size_t i = 0; i < static_cast<std::size_t>(Kind); ++i) defs[i] = all[i];
    return true;
  }();
  (void)filled;
  return defs;
}

template <PotKind Kind>
PyTypeObject* create_variant(PyTypeObject* base, const char* doc) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(variant_new<Kind>)},
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_class_assignment)},
      {Py_tp_dealloc, reinterpret_cast<void*>(potk_dealloc)},
      {Py_tp_getset, variant_getset<Kind>()},
      {Py_sq_length, reinterpret_cast<void*>(variant_len<Kind>)},
      {Py_mp_length, reinterpret_cast<void*>(variant_len<Kind>)},
      {Py_mp_subscript, reinterpret_cast<void*>(variant_getitem<Kind>)},
      {0, nullptr},
  };
  static std::string type_name = std::string("builtins.") + Variant<Kind>::name;
  static PyType_Spec spec = {type_name.c_str(), static_cast<int>(sizeof(PotKObject)), 0,
                             Py_TPFLAGS_DEFAULT, slots};
  PyRef bases(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
  if (!bases) throw PythonErrorSet{};
  PyTypeObject* type = create_class(&spec, bases.get(), Variant<Kind>::name);

  const std::string qualname = std::string("PotK.") + Variant<Kind>::name;
  PyRef qual(PyUnicode_FromString(qualname.c_str()));
  if (!qual) throw PythonErrorSet{};
  if (!set_class_attribute(type, Variant<Kind>::name, "__qualname__", qual.get())) {
    throw PythonErrorSet{};
  }
  const std::size_t n = static_cast<std::size_t>(Kind);
  PyRef match_args(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!match_args) throw PythonErrorSet{};
  static const char* const field_names[] = {"_0", "_1", "_2"};
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* field = PyUnicode_FromString(field_names[i]);
    if (field == nullptr) throw PythonErrorSet{};
    PyTuple_SetItem(match_args.get(), static_cast<Py_ssize_t>(i), field);  // steals
  }
  if (!set_class_attribute(type, Variant<Kind>::name, "__match_args__", match_args.get())) {
    throw PythonErrorSet{};
  }
  return type;
}

PyTypeObject* create_family() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("PotK(flag, r)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(potk_new)},
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_class_assignment)},
      {Py_tp_dealloc, reinterpret_cast<void*>(potk_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"builtins.PotK", static_cast<int>(sizeof(PotKObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  PyTypeObject* base = create_class(&spec, nullptr, "PotK");
  struct Entry {
    const char* name;
    PyTypeObject* type;
  };
  const Entry variants[] = {
      {"R0", create_variant<PotKind::R0>(base, "R0()\n--\n\n")},
      {"R1", create_variant<PotKind::R1>(base, "R1(_0)\n--\n\n")},
      {"R6R12", create_variant<PotKind::R6R12>(base, "R6R12(_0, _1)\n--\n\n")},
      {"R1R6R12", create_variant<PotKind::R1R6R12>(base, "R1R6R12(_0, _1, _2)\n--\n\n")},
  };
  for (const Entry& e : variants) {
    if (!set_class_attribute(base, "PotK", e.name, reinterpret_cast<PyObject*>(e.type))) {
      throw PythonErrorSet{};
    }
  }
  return base;
}

}  // namespace

PyTypeObject* potk_class() {
  static PyTypeObject* cls = nullptr;
  if (cls == nullptr) cls = create_family();
  return cls;
}

VICA_CATCHES_FORCED_UNWIND bool convert(PyObject* obj, SitePairTable& out) {
  PyTypeObject* potk = nullptr;
  try {
    potk = potk_class();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_error_from_current_exception();
    return false;
  }
  auto read_row = [potk](PyObject* row_obj, std::vector<PotK>& row) {
    return convert_sequence(row_obj, row, [potk](PyObject* item, PotK& value) {
      if (!PyObject_TypeCheck(item, potk)) {
        raise_not_instance(item, "PotK");
        return false;
      }
      value = as_potk(item)->value;
      return true;
    });
  };
  return convert_sequence(obj, out, read_row);
}

}  // namespace vica::py
