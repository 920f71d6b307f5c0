// _vica_testing: the exact coefficient lists of the virial runs.
//   virial_factorials(n)         -> [0!, 1!, ..., n!] as floats
//   virial_multinomial_lists(m)  -> [L[0], ..., L[m]], each a list of
//                                   (c, i, j, k) tuples in list order
#include <cstdint>
#include <vector>

#include "bms/exact_integer.h"
#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "testing/registry.h"

namespace vica::testing {
namespace {

PyObject* virial_factorials(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<1> sig{"_vica_testing", "virial_factorials", {"n"}};
    std::uint64_t n;
    if (!py::parse(sig, py::fastcall_args(args, nargsf, kwnames), n)) return nullptr;
    const std::vector<double> f = exact_factorials(static_cast<std::size_t>(n) + 1);
    py::PyRef list(PyList_New(static_cast<Py_ssize_t>(f.size())));
    if (!list) throw py::PythonErrorSet{};
    for (std::size_t i = 0; i < f.size(); ++i) {
      PyObject* item = PyFloat_FromDouble(f[i]);
      if (item == nullptr) throw py::PythonErrorSet{};
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* virial_multinomial_lists(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<1> sig{"_vica_testing", "virial_multinomial_lists", {"order_max"}};
    std::uint64_t m;
    if (!py::parse(sig, py::fastcall_args(args, nargsf, kwnames), m)) return nullptr;
    const MultinomialLists lists = multinomial_lists(m);
    py::PyRef out(PyList_New(0));
    if (!out) throw py::PythonErrorSet{};
    for (std::size_t big_i = 0; big_i + 1 < lists.start.size(); ++big_i) {
      py::PyRef row(PyList_New(0));
      if (!row) throw py::PythonErrorSet{};
      for (std::size_t e = lists.start[big_i]; e < lists.start[big_i + 1]; ++e) {
        const MultinomialTerm& t = lists.terms[e];
        py::PyRef item(Py_BuildValue("(dIII)", t.c, static_cast<unsigned>(t.i), static_cast<unsigned>(t.j),
                                     static_cast<unsigned>(big_i - t.i - t.j)));
        if (!item || PyList_Append(row.get(), item.get()) < 0) throw py::PythonErrorSet{};
      }
      if (PyList_Append(out.get(), row.get()) < 0) throw py::PythonErrorSet{};
    }
    return out.release();
  });
}

PyMethodDef factorials_def = {"virial_factorials",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(virial_factorials)),
                              METH_FASTCALL | METH_KEYWORDS, "virial_factorials(n)\n--\n\n"};
PyMethodDef multinomial_def = {
    "virial_multinomial_lists",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(virial_multinomial_lists)),
    METH_FASTCALL | METH_KEYWORDS, "virial_multinomial_lists(order_max)\n--\n\n"};

int add_virial(PyObject* module) {
  if (add_function(module, &factorials_def) != 0) return -1;
  return add_function(module, &multinomial_def);
}

static Registration reg(add_virial);

}  // namespace
}  // namespace vica::testing
