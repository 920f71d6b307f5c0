// The module vicatools._engine: engines beyond B and C, on the core and the
// binding layer that vica uses.
//
//   bn_run(molecules, tables, t_kelvin, u_min, dev_tol, order_max, block_steps,
//          max_blocks, reference_weight, hard_sphere_diameter, reference_padding)
//     -> list of floats
//
//   bn_multi_run(...): one walk for many temperatures (bn_multi_binding.cpp)
//
// molecules: n sequences of sites (x, y, z); tables: the n(n-1)/2 site-pair
// tables of the pairs (0,1), (0,2), ..., (n-2,n-1), each entry a sequence
// (tag, p0, p1, p2) with tag 0..3 for R0, R1, R6R12, R1R6R12, or another site
// law with the (r, u) tables it names in law_tables (virial/binding/law_tables.h).
// See virial/bn.h for the run.
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
#include "virial/binding/law_tables.h"
#include "virial/bn.h"

namespace vica::py {
extern PyMethodDef bn_run_keyed_def;
extern PyMethodDef b3_quadrature_def;  // b3_quadrature_binding.cpp
// bn_multi_run (bn_multi_binding.cpp): 0, or -1 with the error set.
int add_bn_multi_run(PyObject* module, PyObject* module_name);
// {"entries", "blocks", "met", "absolute"} of a run (bn_multi_binding.cpp); steals `entries`.
PyObject* bn_stop_dict(PyObject* entries, const BnStop& stop);

namespace {

// bn_run, or with `report` bn_run_stop (law_tables and absolute_below required; a dict
// saying how the run ended).
PyObject* single_run(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, bool report) {
  return guarded([&]() -> PyObject* {
    // law_tables, the (r, u) tables that entries (6, index) name, may be left out of bn_run
    static constexpr std::array<const char*, 13> names{
        "molecules", "tables", "t_kelvin", "u_min", "dev_tol", "order_max", "block_steps", "max_blocks",
        "reference_weight", "hard_sphere_diameter", "reference_padding", "law_tables", "absolute_below"};
    const char* fn = report ? "bn_run_stop" : "bn_run";
    std::array<PyRef, 13> slots;
    const CallArgs call = fastcall_args(args, nargsf, kwnames);
    const Py_ssize_t given = call.npos + (call.kwnames != nullptr ? PyTuple_Size(call.kwnames) : 0);
    const std::size_t count = report ? 13 : given == 12 ? 12 : 11;
    if (!match_arguments("_engine", fn, names.data(), count, call, slots.data())) return nullptr;
    std::vector<Molecule> molecules;
    std::vector<RawLawTable> raw;
    std::vector<RawPoints> points;
    BnOptions opt;
    if (!convert_bn_molecules(slots[0].get(), molecules)) {
      prefix_argument_error("molecules");
      return nullptr;
    }
    if (!convert_law_tables(slots[1].get(), raw)) {
      prefix_argument_error("tables");
      return nullptr;
    }
    if (count == 12 && !convert_point_tables(slots[11].get(), points)) {
      prefix_argument_error("law_tables");
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
    if (report && !detail::convert_named(slots[12].get(), "absolute_below", opt.absolute_below)) return nullptr;
    check_bn_molecules(fn, molecules);
    const BnRecord rec = bn_record_of(fn, std::move(molecules), raw, points);
    if (report) {
      BnStop stop;
      PyObject* entries = float_list(bn_run(rec, opt, nullptr, stop));
      return bn_stop_dict(entries, stop);
    }
    return float_list(bn_run(rec, opt));
  });
}

PyObject* bn_run_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return single_run(args, nargsf, kwnames, false);
}

PyObject* bn_run_stop_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return single_run(args, nargsf, kwnames, true);
}

PyMethodDef bn_run_def = {"bn_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_run_function)),
                          METH_FASTCALL | METH_KEYWORDS,
                          "bn_run(molecules, tables, t_kelvin, u_min, dev_tol, order_max, block_steps, max_blocks, "
                          "reference_weight, hard_sphere_diameter, reference_padding, law_tables=())\n--\n\n"};

PyMethodDef bn_run_stop_def = {
    "bn_run_stop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_run_stop_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "bn_run_stop(molecules, tables, t_kelvin, u_min, dev_tol, order_max, block_steps, max_blocks, "
    "reference_weight, hard_sphere_diameter, reference_padding, law_tables, absolute_below)\n--\n\n"
    "bn_run with the absolute rule near a zero crossing (BnOptions::absolute_below): a dict of the entries, "
    "the production blocks made, whether the stop rule was met, and whether the absolute tolerance held it."};

int exec_engine(PyObject* module) {
  return guarded([&]() -> int {
    PyRef name(PyModule_GetNameObject(module));
    if (!name) throw PythonErrorSet{};
    PyRef fn(PyCMethod_New(&bn_run_def, nullptr, name.get(), nullptr));
    if (!fn) throw PythonErrorSet{};
    if (PyObject_SetAttrString(module, "bn_run", fn.get()) < 0) throw PythonErrorSet{};
    PyRef stop_fn(PyCMethod_New(&bn_run_stop_def, nullptr, name.get(), nullptr));
    if (!stop_fn || PyObject_SetAttrString(module, "bn_run_stop", stop_fn.get()) < 0) throw PythonErrorSet{};
    PyRef keyed(PyCMethod_New(&bn_run_keyed_def, nullptr, name.get(), nullptr));  // bn_keyed_binding.cpp
    if (!keyed || PyObject_SetAttrString(module, "bn_run_keyed", keyed.get()) < 0) throw PythonErrorSet{};
    PyRef b3q(PyCMethod_New(&b3_quadrature_def, nullptr, name.get(), nullptr));
    if (!b3q || PyObject_SetAttrString(module, "b3_quadrature", b3q.get()) < 0) throw PythonErrorSet{};
    PyRef cubature(PyCMethod_New(&b2_cubature_def, nullptr, name.get(), nullptr));  // cubature_binding.cpp
    if (!cubature || PyObject_SetAttrString(module, "b2_cubature", cubature.get()) < 0) throw PythonErrorSet{};
    if (add_bn_multi_run(module, name.get()) < 0) throw PythonErrorSet{};
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
