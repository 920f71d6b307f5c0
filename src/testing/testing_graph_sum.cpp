// _vica_testing: the biconnected graph sum of the B_n engine.
//   biconnected_series(n, order, f) -> [F_0, ..., F_order]
//     f: the series of the pairs (0,1), (0,2), ..., (n-2,n-1), each with
//     order + 1 coefficients, one after the other.
#include <cstdint>
#include <string>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/failure.h"
#include "testing/registry.h"
#include "virial/graph_sum.h"

namespace vica::testing {
namespace {

PyObject* biconnected_series(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<3> sig{"_vica_testing", "biconnected_series", {"n", "order", "f"}};
    std::uint64_t n, order;
    std::vector<double> f;
    if (!py::parse(sig, py::fastcall_args(args, nargsf, kwnames), n, order, f)) return nullptr;
    if (n > 8 || order > 30) throw ValueError("n at most 8 and order at most 30");
    BiconnectedSum sum(static_cast<int>(n), static_cast<int>(order));
    const std::size_t k1 = order + 1;
    if (f.size() != static_cast<std::size_t>(sum.pairs()) * k1) {
      throw ValueError("f must hold " + std::to_string(sum.pairs() * k1) + " values");
    }
    for (int p = 0; p < sum.pairs(); ++p) {
      for (std::size_t k = 0; k < k1; ++k) sum.pair_series(p)[k] = f[p * k1 + k];
    }
    std::vector<double> out(k1, 0.0);
    sum.compute(static_cast<int>(order), out.data());
    if (order == 0) {
      std::vector<double> values(f.begin(), f.end());
      const double v = sum.value(values.data());
      if (!(v == out[0]) && !(v != v && out[0] != out[0])) throw ValueError("value() and compute() differ");
    }
    py::PyRef list(PyList_New(static_cast<Py_ssize_t>(k1)));
    if (!list) throw py::PythonErrorSet{};
    for (std::size_t k = 0; k < k1; ++k) {
      PyObject* item = PyFloat_FromDouble(out[k]);
      if (item == nullptr) throw py::PythonErrorSet{};
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
  });
}

PyMethodDef series_def = {"biconnected_series",
                          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(biconnected_series)),
                          METH_FASTCALL | METH_KEYWORDS, "biconnected_series(n, order, f)\n--\n\n"};

int add_graph_sum(PyObject* module) { return add_function(module, &series_def); }

static Registration reg(add_graph_sum);

}  // namespace
}  // namespace vica::testing
