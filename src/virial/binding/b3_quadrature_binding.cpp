// vicatools._engine.b3_quadrature: C of one-site molecules by quadrature.
//
//   b3_quadrature(laws, tables, temperatures, u_min, order_max, rtol, atol, max_evaluations) -> dict
//
// laws: three flat site-law entries (12, 13, 23) as virial/site_law.h reads
// them; tables: the (r, u) point lists that entries of kind 6 name by index;
// u_min: the energy floor in K (-inf: none).
// The dict holds "entries" and "errors" (one list of order_max + 1 floats per
// temperature), "tail_bounds" and "targets" (the same shape), "converged" (one
// bool per temperature), "evaluations" (site-law energies) and "cutoff".
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/failure.h"
#include "virial/b3_quadrature.h"
#include "virial/site_law.h"

namespace vica::py {
namespace {

using Entry = std::vector<double>;
using RawTable = std::vector<std::vector<double>>;

PyObject* rows(const std::vector<double>& flat, std::size_t per_row) {
  const std::size_t nrows = per_row == 0 ? 0 : flat.size() / per_row;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(nrows)));
  if (!list) throw PythonErrorSet{};
  for (std::size_t i = 0; i < nrows; ++i) {
    std::vector<double> row(flat.begin() + static_cast<std::ptrdiff_t>(i * per_row),
                            flat.begin() + static_cast<std::ptrdiff_t>((i + 1) * per_row));
    PyObject* item = float_list(row);
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) throw PythonErrorSet{};
  }
  return list.release();
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  if (!owned) throw PythonErrorSet{};
  if (PyDict_SetItemString(dict, key, owned.get()) < 0) throw PythonErrorSet{};
}

PyObject* b3_quadrature_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<8> sig{
        "_engine",
        "b3_quadrature",
        {"laws", "tables", "temperatures", "u_min", "order_max", "rtol", "atol", "max_evaluations"}};
    std::array<PyRef, 8> slots;
    const CallArgs call = fastcall_args(args, nargsf, kwnames);
    if (!match_arguments(sig.class_name, sig.func_name, sig.names.data(), 8, call, slots.data())) return nullptr;
    std::vector<Entry> laws;
    std::vector<RawTable> raw_tables;
    B3QuadratureOptions opt;
    std::uint64_t order_max = 0, max_evaluations = 0;
    if (!convert_sequence(slots[0].get(), laws, [](PyObject* e, Entry& out) { return convert(e, out); })) {
      prefix_argument_error("laws");
      return nullptr;
    }
    if (!convert_sequence(slots[1].get(), raw_tables, [](PyObject* t, RawTable& out) {
          return convert_sequence(t, out, [](PyObject* c, std::vector<double>& col) { return convert(c, col); });
        })) {
      prefix_argument_error("tables");
      return nullptr;
    }
    if (!detail::convert_named(slots[2].get(), "temperatures", opt.temperatures) ||
        !detail::convert_named(slots[3].get(), "u_min", opt.u_min) ||
        !detail::convert_named(slots[4].get(), "order_max", order_max) ||
        !detail::convert_named(slots[5].get(), "rtol", opt.rtol) ||
        !detail::convert_named(slots[6].get(), "atol", opt.atol) ||
        !detail::convert_named(slots[7].get(), "max_evaluations", max_evaluations)) {
      return nullptr;
    }
    if (order_max > 169) throw ValueError("b3_quadrature(): order_max above 169 is not supported (k! overflows)");
    opt.order_max = static_cast<std::size_t>(order_max);
    opt.max_evaluations = max_evaluations;
    if (laws.size() != 3) {
      throw ValueError("b3_quadrature(): laws must hold three entries (pairs 12, 13, 23), got " +
                       std::to_string(laws.size()));
    }
    std::vector<std::shared_ptr<const LawTable>> tables;
    for (std::size_t i = 0; i < raw_tables.size(); ++i) {
      const std::string where = "b3_quadrature(): table " + std::to_string(i);
      if (raw_tables[i].size() != 2) throw ValueError(where + " must be a pair (r, u) of point lists");
      tables.push_back(make_law_table(raw_tables[i][0], raw_tables[i][1], where));
    }
    static const char* names[3] = {"12", "13", "23"};
    SiteLaw l[3];
    for (int i = 0; i < 3; ++i) {
      l[i] = site_law_from_entry(laws[static_cast<std::size_t>(i)], tables,
                                 std::string("b3_quadrature(): law ") + names[i]);
    }
    const B3QuadratureResult r = b3_quadrature(l[0], l[1], l[2], opt);
    const std::size_t n = r.order_max + 1;
    PyRef dict(PyDict_New());
    if (!dict) throw PythonErrorSet{};
    set_item(dict.get(), "entries", rows(r.entries, n));
    set_item(dict.get(), "errors", rows(r.errors, n));
    set_item(dict.get(), "tail_bounds", rows(r.tail_bounds, n));
    set_item(dict.get(), "targets", rows(r.targets, n));
    {
      PyRef conv(PyList_New(static_cast<Py_ssize_t>(r.converged.size())));
      if (!conv) throw PythonErrorSet{};
      for (std::size_t j = 0; j < r.converged.size(); ++j) {
        PyObject* b = PyBool_FromLong(r.converged[j] ? 1 : 0);
        if (PyList_SetItem(conv.get(), static_cast<Py_ssize_t>(j), b) < 0) throw PythonErrorSet{};
      }
      set_item(dict.get(), "converged", conv.release());
    }
    set_item(dict.get(), "evaluations", PyLong_FromUnsignedLongLong(r.evaluations));
    set_item(dict.get(), "cutoff", PyFloat_FromDouble(r.cutoff));
    return dict.release();
  });
}

}  // namespace

PyMethodDef b3_quadrature_def = {
    "b3_quadrature", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(b3_quadrature_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "b3_quadrature(laws, tables, temperatures, u_min, order_max, rtol, atol, max_evaluations)\n--\n\n"};

}  // namespace vica::py
