// _vica_testing: the B_n walks on a keyed generator, for bit-for-bit comparisons.
//   bn_keyed_run(molecules, tables, law_tables, temperatures, u_min, dev_tol,
//                order_max, block_steps, max_blocks, reference_weight, seed, multi)
//     -> one list of entries per temperature.  multi = 0: bn_run at each
//        temperature, each on a generator keyed by `seed` (words seed, 0, ..., 0);
//        multi = 1: one bn_multi_run over all of them on such a generator.  The
//        generators rekey from their own stream, so equal seeds repeat whole runs.
#include <array>
#include <cstdint>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/random_source.h"
#include "testing/registry.h"
#include "virial/binding/law_tables.h"
#include "virial/bn.h"
#include "virial/bn_multi.h"

namespace vica::testing {
namespace {

RandomSource keyed(std::uint64_t seed) {
  std::array<std::uint8_t, 32> key{};
  for (int b = 0; b < 8; ++b) key[b] = static_cast<std::uint8_t>(seed >> (8 * b));
  RandomSource rng(key);
  rng.rekey_from_stream_for_testing();
  return rng;
}

PyObject* bn_keyed_run(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<12> sig{
        "_vica_testing",
        "bn_keyed_run",
        {"molecules", "tables", "law_tables", "temperatures", "u_min", "dev_tol", "order_max", "block_steps",
         "max_blocks", "reference_weight", "seed", "multi"}};
    std::array<py::PyRef, 12> slots;
    const py::CallArgs call = py::fastcall_args(args, nargsf, kwnames);
    if (!py::match_arguments(sig.class_name, sig.func_name, sig.names.data(), 12, call, slots.data())) return nullptr;
    std::vector<Molecule> molecules;
    std::vector<py::RawLawTable> raw;
    std::vector<py::RawPoints> points;
    std::vector<double> temperatures;
    std::uint64_t seed = 0, multi = 0;
    BnOptions opt;
    if (!py::convert_bn_molecules(slots[0].get(), molecules) || !py::convert_law_tables(slots[1].get(), raw) ||
        !py::convert_point_tables(slots[2].get(), points) || !py::convert(slots[3].get(), temperatures) ||
        !py::convert(slots[4].get(), opt.u_min) || !py::convert(slots[5].get(), opt.dev_tol) ||
        !py::convert(slots[6].get(), opt.order_max) || !py::convert(slots[7].get(), opt.block_steps) ||
        !py::convert(slots[8].get(), opt.max_blocks) || !py::convert(slots[9].get(), opt.reference_weight) ||
        !py::convert(slots[10].get(), seed) || !py::convert(slots[11].get(), multi)) {
      return nullptr;
    }
    const BnRecord rec = py::bn_record_of("bn_keyed_run", std::move(molecules), raw, points);
    std::vector<std::vector<double>> out;
    if (multi != 0) {
      RandomSource rng = keyed(seed);
      out = bn_multi_run(rec, temperatures, opt, rng);
    } else {
      for (double t : temperatures) {
        RandomSource rng = keyed(seed);
        BnOptions one = opt;
        one.t_kelvin = t;
        out.push_back(bn_run(rec, one, rng));
      }
    }
    py::PyRef list(PyList_New(0));
    if (!list) throw py::PythonErrorSet{};
    for (const std::vector<double>& row : out) {
      py::PyRef r(PyList_New(0));
      if (!r) throw py::PythonErrorSet{};
      for (double v : row) {
        py::PyRef x(PyFloat_FromDouble(v));
        if (!x || PyList_Append(r.get(), x.get()) < 0) throw py::PythonErrorSet{};
      }
      if (PyList_Append(list.get(), r.get()) < 0) throw py::PythonErrorSet{};
    }
    return list.release();
  });
}

PyMethodDef keyed_def = {"bn_keyed_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_keyed_run)),
                         METH_FASTCALL | METH_KEYWORDS,
                         "bn_keyed_run(molecules, tables, law_tables, temperatures, u_min, dev_tol, order_max, "
                         "block_steps, max_blocks, reference_weight, seed, multi)\n--\n\n"};

int add_bn_keyed(PyObject* module) { return add_function(module, &keyed_def); }

static Registration reg(add_bn_keyed);

}  // namespace
}  // namespace vica::testing
