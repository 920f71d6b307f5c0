// vicatools._engine.bn_multi_run: B_n at many temperatures from one walk.
//
//   bn_multi_run(molecules, tables, law_tables, temperatures, u_min, dev_tol,
//                order_max, block_steps, max_blocks, reference_weight,
//                hard_sphere_diameter, reference_padding)
//     -> one list of order_max + 1 floats per temperature, in the order given
//
// The arguments are bn_run's (virial/binding/law_tables.h for the tables),
// with the list of temperatures in K for its t_kelvin; see virial/bn_multi.h
// for the walk.
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/failure.h"
#include "virial/binding/law_tables.h"
#include "virial/bn_multi.h"

namespace vica::py {

namespace {

PyObject* nested_float_lists(const std::vector<std::vector<double>>& rows) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!out) throw PythonErrorSet{};
  for (std::size_t k = 0; k < rows.size(); ++k) {
    PyRef row(PyList_New(static_cast<Py_ssize_t>(rows[k].size())));
    if (!row) throw PythonErrorSet{};
    for (std::size_t j = 0; j < rows[k].size(); ++j) {
      PyObject* item = PyFloat_FromDouble(rows[k][j]);
      if (item == nullptr) throw PythonErrorSet{};
      PyList_SetItem(row.get(), static_cast<Py_ssize_t>(j), item);
    }
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(k), row.release());
  }
  return out.release();
}

PyObject* bn_multi_run_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<12> sig{
        "_engine",
        "bn_multi_run",
        {"molecules", "tables", "law_tables", "temperatures", "u_min", "dev_tol", "order_max", "block_steps",
         "max_blocks", "reference_weight", "hard_sphere_diameter", "reference_padding"}};
    std::array<PyRef, 12> slots;
    const CallArgs call = fastcall_args(args, nargsf, kwnames);
    if (!match_arguments(sig.class_name, sig.func_name, sig.names.data(), 12, call, slots.data())) return nullptr;
    std::vector<Molecule> molecules;
    std::vector<RawLawTable> raw;
    std::vector<RawPoints> points;
    std::vector<double> temperatures;
    BnOptions opt;
    if (!convert_bn_molecules(slots[0].get(), molecules)) {
      prefix_argument_error("molecules");
      return nullptr;
    }
    if (!convert_law_tables(slots[1].get(), raw)) {
      prefix_argument_error("tables");
      return nullptr;
    }
    if (!convert_point_tables(slots[2].get(), points)) {
      prefix_argument_error("law_tables");
      return nullptr;
    }
    if (!convert(slots[3].get(), temperatures)) {
      prefix_argument_error("temperatures");
      return nullptr;
    }
    if (!detail::convert_named(slots[4].get(), "u_min", opt.u_min) ||
        !detail::convert_named(slots[5].get(), "dev_tol", opt.dev_tol) ||
        !detail::convert_named(slots[6].get(), "order_max", opt.order_max) ||
        !detail::convert_named(slots[7].get(), "block_steps", opt.block_steps) ||
        !detail::convert_named(slots[8].get(), "max_blocks", opt.max_blocks) ||
        !detail::convert_named(slots[9].get(), "reference_weight", opt.reference_weight) ||
        !detail::convert_named(slots[10].get(), "hard_sphere_diameter", opt.hard_sphere_diameter) ||
        !detail::convert_named(slots[11].get(), "reference_padding", opt.reference_padding)) {
      return nullptr;
    }
    check_bn_molecules("bn_multi_run", molecules);
    const BnRecord rec = bn_record_of("bn_multi_run", std::move(molecules), raw, points);
    return nested_float_lists(bn_multi_run(rec, temperatures, opt));
  });
}

PyMethodDef bn_multi_run_def = {
    "bn_multi_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_multi_run_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "bn_multi_run(molecules, tables, law_tables, temperatures, u_min, dev_tol, order_max, block_steps, "
    "max_blocks, reference_weight, hard_sphere_diameter, reference_padding)\n--\n\n"};

}  // namespace

int add_bn_multi_run(PyObject* module, PyObject* module_name) {
  PyRef fn(PyCMethod_New(&bn_multi_run_def, nullptr, module_name, nullptr));
  if (!fn) return -1;
  return PyObject_SetAttrString(module, "bn_multi_run", fn.get());
}

}  // namespace vica::py
