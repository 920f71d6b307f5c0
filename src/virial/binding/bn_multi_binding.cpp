// vicatools._engine.bn_multi_run: B_n at many temperatures from one walk.
//
//   bn_multi_run(molecules, tables, law_tables, temperatures, u_min, dev_tol,
//                order_max, block_steps, max_blocks, reference_weight,
//                hard_sphere_diameter, reference_padding)
//     -> one list of order_max + 1 floats per temperature, in the order given
//   bn_multi_run_keyed(seed, ...): the same drawing from a generator keyed by
//     the seed (as bn_run_keyed), for fingerprints of the method's numbers
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
#include "runtime/random_source.h"
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

// The 32 key bytes of a seed, as bn_run_keyed spreads them (bn_keyed_binding.cpp).
RandomSource source_of_seed(std::uint64_t seed) {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(i * 53 + 7 + (seed >> (8 * (i % 8))));
  }
  RandomSource rng(key);
  rng.rekey_from_stream_for_testing();  // the whole stream follows from the seed
  return rng;
}

PyObject* stop_dict(PyObject* entries, const BnStop& stop) {
  PyRef owned(entries);
  PyRef dict(PyDict_New());
  if (!owned || !dict) throw PythonErrorSet{};
  if (PyDict_SetItemString(dict.get(), "entries", owned.get()) < 0) throw PythonErrorSet{};
  PyRef blocks(PyLong_FromUnsignedLongLong(stop.blocks));
  if (!blocks || PyDict_SetItemString(dict.get(), "blocks", blocks.get()) < 0) throw PythonErrorSet{};
  if (PyDict_SetItemString(dict.get(), "met", stop.met ? Py_True : Py_False) < 0) throw PythonErrorSet{};
  PyRef held(PyList_New(static_cast<Py_ssize_t>(stop.absolute.size())));
  if (!held) throw PythonErrorSet{};
  for (std::size_t k = 0; k < stop.absolute.size(); ++k) {
    PyObject* b = PyBool_FromLong(stop.absolute[k] ? 1 : 0);
    PyList_SetItem(held.get(), static_cast<Py_ssize_t>(k), b);
  }
  if (PyDict_SetItemString(dict.get(), "absolute", held.get()) < 0) throw PythonErrorSet{};
  return dict.release();
}

enum class Mode { plain, keyed, report };

// bn_multi_run; bn_multi_run_keyed (a leading seed argument); or bn_multi_run_stop
// (a trailing absolute_below, and a dict saying how the run ended).
PyObject* multi_run(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Mode mode) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 14> names{
        "seed", "molecules", "tables", "law_tables", "temperatures", "u_min", "dev_tol", "order_max",
        "block_steps", "max_blocks", "reference_weight", "hard_sphere_diameter", "reference_padding",
        "absolute_below"};
    const bool keyed = mode == Mode::keyed;
    std::array<PyRef, 14> all;
    PyRef* slots = all.data() + 1;
    const CallArgs call = fastcall_args(args, nargsf, kwnames);
    const char* fn = keyed ? "bn_multi_run_keyed" : mode == Mode::report ? "bn_multi_run_stop" : "bn_multi_run";
    if (keyed) {
      if (!match_arguments("_engine", fn, names.data(), 13, call, all.data())) return nullptr;
    } else {
      const std::size_t count = mode == Mode::report ? 13 : 12;
      if (!match_arguments("_engine", fn, names.data() + 1, count, call, all.data())) return nullptr;
      for (int i = static_cast<int>(count) - 1; i >= 0; --i) all[static_cast<std::size_t>(i) + 1] = std::move(all[static_cast<std::size_t>(i)]);
    }
    std::uint64_t seed = 0;
    if (keyed && !detail::convert_named(all[0].get(), "seed", seed)) return nullptr;
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
    if (mode == Mode::report && !detail::convert_named(slots[12].get(), "absolute_below", opt.absolute_below)) {
      return nullptr;
    }
    check_bn_molecules(fn, molecules);
    const BnRecord rec = bn_record_of(fn, std::move(molecules), raw, points);
    if (mode == Mode::report) {
      BnStop stop;
      PyObject* entries = nested_float_lists(bn_multi_run(rec, temperatures, opt, nullptr, stop));
      return stop_dict(entries, stop);
    }
    if (keyed) {
      RandomSource rng = source_of_seed(seed);
      return nested_float_lists(bn_multi_run(rec, temperatures, opt, rng));
    }
    return nested_float_lists(bn_multi_run(rec, temperatures, opt));
  });
}

PyObject* bn_multi_run_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return multi_run(args, nargsf, kwnames, Mode::plain);
}

PyObject* bn_multi_run_keyed_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return multi_run(args, nargsf, kwnames, Mode::keyed);
}

PyObject* bn_multi_run_stop_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return multi_run(args, nargsf, kwnames, Mode::report);
}

PyMethodDef bn_multi_run_def = {
    "bn_multi_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_multi_run_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "bn_multi_run(molecules, tables, law_tables, temperatures, u_min, dev_tol, order_max, block_steps, "
    "max_blocks, reference_weight, hard_sphere_diameter, reference_padding)\n--\n\n"};

PyMethodDef bn_multi_run_keyed_def = {
    "bn_multi_run_keyed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_multi_run_keyed_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "bn_multi_run_keyed(seed, molecules, tables, law_tables, temperatures, u_min, dev_tol, order_max, block_steps, "
    "max_blocks, reference_weight, hard_sphere_diameter, reference_padding)\n--\n\n"};

PyMethodDef bn_multi_run_stop_def = {
    "bn_multi_run_stop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_multi_run_stop_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "bn_multi_run_stop(molecules, tables, law_tables, temperatures, u_min, dev_tol, order_max, block_steps, "
    "max_blocks, reference_weight, hard_sphere_diameter, reference_padding, absolute_below)\n--\n\n"
    "bn_multi_run with the absolute rule near zero crossings (BnOptions::absolute_below): a dict of the "
    "entries, the production blocks made, whether the stop rule was met, and per temperature whether the "
    "absolute tolerance held it."};

}  // namespace

PyObject* bn_stop_dict(PyObject* entries, const BnStop& stop) { return stop_dict(entries, stop); }

int add_bn_multi_run(PyObject* module, PyObject* module_name) {
  for (PyMethodDef* def : {&bn_multi_run_def, &bn_multi_run_keyed_def, &bn_multi_run_stop_def}) {
    PyRef fn(PyCMethod_New(def, nullptr, module_name, nullptr));
    if (!fn || PyObject_SetAttrString(module, def->ml_name, fn.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace vica::py
