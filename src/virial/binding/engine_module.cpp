// The module vicatools._engine: engines beyond B and C, on the core and the
// binding layer that vica uses.
//
//   bn_run(molecules, tables, t_kelvin, u_min, dev_tol, order_max, block_steps,
//          max_blocks, reference_weight, hard_sphere_diameter, reference_padding)
//     -> list of floats
//
// molecules: n sequences of sites (x, y, z); tables: the n(n-1)/2 site-pair
// tables of the pairs (0,1), (0,2), ..., (n-2,n-1), each entry a sequence
// (tag, p0, p1, p2) with tag 0..3 for R0, R1, R6R12, R1R6R12.  See
// virial/bn.h for the run.
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/failure.h"
#include "virial/binding/cubature_binding.h"
#include "virial/bn.h"

namespace vica::py {
extern PyMethodDef bn_run_keyed_def;
extern PyMethodDef b3_quadrature_def;  // b3_quadrature_binding.cpp
namespace {

using Entry = std::vector<double>;
using RawTable = std::vector<std::vector<Entry>>;

bool convert_molecules(PyObject* obj, std::vector<Molecule>& out) {
  return convert_sequence(obj, out, [](PyObject* item, Molecule& m) { return convert(item, m); });
}

bool convert_tables(PyObject* obj, std::vector<RawTable>& out) {
  return convert_sequence(obj, out, [](PyObject* t, RawTable& table) {
    return convert_sequence(t, table, [](PyObject* r, std::vector<Entry>& row) {
      return convert_sequence(r, row, [](PyObject* e, Entry& entry) { return convert(e, entry); });
    });
  });
}

PotK potk_of(const Entry& e, std::size_t table, std::size_t row, std::size_t col) {
  const std::string where = "table " + std::to_string(table) + ", row " + std::to_string(row) + ", entry " +
                            std::to_string(col);
  if (e.size() != 4) throw ValueError("bn_run(): " + where + " must be (tag, p0, p1, p2)");
  const double tag = e[0];
  for (double p : e) {
    if (!std::isfinite(p)) throw ValueError("bn_run(): " + where + " has a non-finite number");
  }
  if (tag == 0.0) return PotK::r0();
  if (tag == 1.0) return PotK::r1(e[1]);
  if (tag == 2.0) return PotK::r6r12(e[1], e[2]);
  if (tag == 3.0) return PotK::r1r6r12(e[1], e[2], e[3]);
  throw ValueError("bn_run(): " + where + " has tag " + std::to_string(tag) + " (0 to 3 expected)");
}

PyObject* bn_run_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<11> sig{
        "_engine",
        "bn_run",
        {"molecules", "tables", "t_kelvin", "u_min", "dev_tol", "order_max", "block_steps", "max_blocks",
         "reference_weight", "hard_sphere_diameter", "reference_padding"}};
    std::array<PyRef, 11> slots;
    const CallArgs call = fastcall_args(args, nargsf, kwnames);
    if (!match_arguments(sig.class_name, sig.func_name, sig.names.data(), 11, call, slots.data())) return nullptr;
    std::vector<Molecule> molecules;
    std::vector<RawTable> raw;
    BnOptions opt;
    if (!convert_molecules(slots[0].get(), molecules)) {
      prefix_argument_error("molecules");
      return nullptr;
    }
    if (!convert_tables(slots[1].get(), raw)) {
      prefix_argument_error("tables");
      return nullptr;
    }
    if (!detail::convert_named(slots[2].get(), "t_kelvin", opt.t_kelvin) ||
        !detail::convert_named(slots[3].get(), "u_min", opt.u_min) ||
        !detail::convert_named(slots[4].get(), "dev_tol", opt.dev_tol) ||
        !detail::convert_named(slots[5].get(), "order_max", opt.order_max) ||
        !detail::convert_named(slots[6].get(), "block_steps", opt.block_steps) ||
        !detail::convert_named(slots[7].get(), "max_blocks", opt.max_blocks) ||
        !detail::convert_named(slots[8].get(), "reference_weight", opt.reference_weight) ||
        !detail::convert_named(slots[9].get(), "hard_sphere_diameter", opt.hard_sphere_diameter) ||
        !detail::convert_named(slots[10].get(), "reference_padding", opt.reference_padding)) {
      return nullptr;
    }
    for (std::size_t m = 0; m < molecules.size(); ++m) {
      for (std::size_t s = 0; s < molecules[m].size(); ++s) {
        const Site& p = molecules[m][s];
        if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))) {
          throw ValueError("bn_run(): molecule " + std::to_string(m) + ", site " + std::to_string(s) +
                           " has a non-finite coordinate");
        }
      }
    }
    std::vector<SitePairTable> tables(raw.size());
    for (std::size_t t = 0; t < raw.size(); ++t) {
      tables[t].resize(raw[t].size());
      for (std::size_t r = 0; r < raw[t].size(); ++r) {
        for (std::size_t c = 0; c < raw[t][r].size(); ++c) tables[t][r].push_back(potk_of(raw[t][r][c], t, r, c));
      }
    }
    const BnRecord rec = make_bn(std::move(molecules), std::move(tables));
    return float_list(bn_run(rec, opt));
  });
}

PyMethodDef bn_run_def = {"bn_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_run_function)),
                          METH_FASTCALL | METH_KEYWORDS,
                          "bn_run(molecules, tables, t_kelvin, u_min, dev_tol, order_max, block_steps, max_blocks, "
                          "reference_weight, hard_sphere_diameter, reference_padding)\n--\n\n"};

int exec_engine(PyObject* module) {
  return guarded([&]() -> int {
    PyRef name(PyModule_GetNameObject(module));
    if (!name) throw PythonErrorSet{};
    PyRef fn(PyCMethod_New(&bn_run_def, nullptr, name.get(), nullptr));
    if (!fn) throw PythonErrorSet{};
    if (PyObject_SetAttrString(module, "bn_run", fn.get()) < 0) throw PythonErrorSet{};
    PyRef keyed(PyCMethod_New(&bn_run_keyed_def, nullptr, name.get(), nullptr));  // bn_keyed_binding.cpp
    if (!keyed || PyObject_SetAttrString(module, "bn_run_keyed", keyed.get()) < 0) throw PythonErrorSet{};
    PyRef b3q(PyCMethod_New(&b3_quadrature_def, nullptr, name.get(), nullptr));
    if (!b3q || PyObject_SetAttrString(module, "b3_quadrature", b3q.get()) < 0) throw PythonErrorSet{};
    PyRef cubature(PyCMethod_New(&b2_cubature_def, nullptr, name.get(), nullptr));  // cubature_binding.cpp
    if (!cubature || PyObject_SetAttrString(module, "b2_cubature", cubature.get()) < 0) throw PythonErrorSet{};
    return 0;
  });
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_engine)},
    {0, nullptr},
};

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT,
    "vicatools._engine",
    "Mayer-sampling engines of vicatools beyond B and C: B_n of n rigid molecules.",
    0,
    nullptr,
    engine_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vica::py

extern "C" PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&vica::py::engine_def); }
