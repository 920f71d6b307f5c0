// b2_cubature of vicatools._engine:
//
//   b2_cubature(molecule1, molecule2, laws, tables, temperatures, u_min,
//               order_max, rtol, atol, max_evaluations, masses1, masses2)
//     -> dict
//
// molecule1, molecule2: sequences of sites (x, y, z); laws: one row per site
// of molecule 1, each a sequence of one flat law entry per site of molecule 2
// (virial/site_law.h: (tag, p...) with tag 0..6); tables: a sequence of
// (r values, u values) that entries of tag 6 name by index; masses: one per
// site in u, both empty for no quantum correction.  The dict holds
// "temperatures" (one dict per temperature: "entries", "errors", "converged",
// and with masses "translational", "rotational", "quantum_errors"),
// "evaluations", "radial_nodes", "angular_level", "orientations",
// "split_radius", "far_radius", "converged", "geometry" and "message".  See
// virial/b2_cubature.h.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/failure.h"
#include "virial/b2_cubature.h"
#include "virial/binding/cubature_binding.h"

namespace vica::py {
namespace {

using Entry = std::vector<double>;

struct RawTable {
  std::vector<double> r, u;
};

bool convert_laws(PyObject* obj, std::vector<std::vector<Entry>>& out) {
  return convert_sequence(obj, out, [](PyObject* row, std::vector<Entry>& entries) {
    return convert_sequence(row, entries, [](PyObject* e, Entry& entry) { return convert(e, entry); });
  });
}

bool convert_tables(PyObject* obj, std::vector<RawTable>& out) {
  return convert_sequence(obj, out, [](PyObject* item, RawTable& t) {
    std::vector<std::vector<double>> pair;
    if (!convert_sequence(item, pair, [](PyObject* v, std::vector<double>& xs) { return convert(v, xs); })) {
      return false;
    }
    if (pair.size() != 2) {
      PyErr_SetString(PyExc_ValueError, "a table is a pair (r values, u values)");
      return false;
    }
    t.r = std::move(pair[0]);
    t.u = std::move(pair[1]);
    return true;
  });
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  if (!owned) throw PythonErrorSet{};
  if (PyDict_SetItemString(dict, key, owned.get()) < 0) throw PythonErrorSet{};
}

PyObject* b2_cubature_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<12> sig{"_engine",
                                       "b2_cubature",
                                       {"molecule1", "molecule2", "laws", "tables", "temperatures", "u_min",
                                        "order_max", "rtol", "atol", "max_evaluations", "masses1", "masses2"}};
    std::array<PyRef, 12> slots;
    const CallArgs call = fastcall_args(args, nargsf, kwnames);
    if (!match_arguments(sig.class_name, sig.func_name, sig.names.data(), 12, call, slots.data())) return nullptr;
    Molecule m1, m2;
    std::vector<std::vector<Entry>> raw_laws;
    std::vector<RawTable> raw_tables;
    B2CubatureOptions opt;
    if (!detail::convert_named(slots[0].get(), "molecule1", m1) ||
        !detail::convert_named(slots[1].get(), "molecule2", m2)) {
      return nullptr;
    }
    if (!convert_laws(slots[2].get(), raw_laws)) {
      prefix_argument_error("laws");
      return nullptr;
    }
    if (!convert_tables(slots[3].get(), raw_tables)) {
      prefix_argument_error("tables");
      return nullptr;
    }
    if (!detail::convert_named(slots[4].get(), "temperatures", opt.temperatures) ||
        !detail::convert_named(slots[5].get(), "u_min", opt.u_min) ||
        !detail::convert_named(slots[6].get(), "order_max", opt.order_max) ||
        !detail::convert_named(slots[7].get(), "rtol", opt.rtol) ||
        !detail::convert_named(slots[8].get(), "atol", opt.atol) ||
        !detail::convert_named(slots[9].get(), "max_evaluations", opt.max_evaluations) ||
        !detail::convert_named(slots[10].get(), "masses1", opt.masses1) ||
        !detail::convert_named(slots[11].get(), "masses2", opt.masses2)) {
      return nullptr;
    }
    std::vector<std::shared_ptr<const LawTable>> tables;
    for (std::size_t i = 0; i < raw_tables.size(); ++i) {
      tables.push_back(make_law_table(std::move(raw_tables[i].r), std::move(raw_tables[i].u),
                                      "b2_cubature(): table " + std::to_string(i)));
    }
    SiteLawTable laws(raw_laws.size());
    for (std::size_t a = 0; a < raw_laws.size(); ++a) {
      for (std::size_t b = 0; b < raw_laws[a].size(); ++b) {
        laws[a].push_back(site_law_from_entry(raw_laws[a][b], tables,
                                              "b2_cubature(): law of row " + std::to_string(a) + ", entry " +
                                                  std::to_string(b)));
      }
    }
    const B2CubatureResult res = b2_cubature(m1, m2, laws, opt);
    PyRef out(PyDict_New());
    if (!out) throw PythonErrorSet{};
    PyRef list(PyList_New(0));
    if (!list) throw PythonErrorSet{};
    for (const B2CubatureTemperature& t : res.temperatures) {
      PyRef d(PyDict_New());
      if (!d) throw PythonErrorSet{};
      set_item(d.get(), "entries", float_list(t.entries));
      set_item(d.get(), "errors", float_list(t.errors));
      set_item(d.get(), "converged", PyBool_FromLong(t.converged ? 1 : 0));
      if (!t.translational.empty()) {
        set_item(d.get(), "translational", float_list(t.translational));
        set_item(d.get(), "rotational", float_list(t.rotational));
        set_item(d.get(), "quantum_errors", float_list(t.quantum_errors));
      }
      if (PyList_Append(list.get(), d.get()) < 0) throw PythonErrorSet{};
    }
    if (PyDict_SetItemString(out.get(), "temperatures", list.get()) < 0) throw PythonErrorSet{};
    set_item(out.get(), "evaluations", PyLong_FromUnsignedLongLong(res.evaluations));
    set_item(out.get(), "radial_nodes", PyLong_FromUnsignedLongLong(res.radial_nodes));
    set_item(out.get(), "angular_level", PyLong_FromLong(res.angular_level_max));
    set_item(out.get(), "orientations", PyLong_FromUnsignedLongLong(res.orientations_max));
    set_item(out.get(), "split_radius", PyFloat_FromDouble(res.split_radius));
    set_item(out.get(), "far_radius", PyFloat_FromDouble(res.far_radius));
    set_item(out.get(), "converged", PyBool_FromLong(res.converged ? 1 : 0));
    set_item(out.get(), "geometry", PyUnicode_FromString(res.geometry.c_str()));
    set_item(out.get(), "message", PyUnicode_FromString(res.message.c_str()));
    return out.release();
  });
}

}  // namespace

PyMethodDef b2_cubature_def = {
    "b2_cubature", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(b2_cubature_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "b2_cubature(molecule1, molecule2, laws, tables, temperatures, u_min, order_max, rtol, atol, "
    "max_evaluations, masses1, masses2)\n--\n\n"
    "B2 (or B12) of two rigid site models by adaptive integration, with its beta derivatives and, given "
    "site masses (u), the first-order quantum correction; energies in K, lengths in angstrom."};

}  // namespace vica::py
