// _vica_testing: the exact coefficient lists of the virial runs.
//   virial_factorials(n)         -> [0!, 1!, ..., n!] as floats
//   virial_single_term_mismatches(tag, p0, p1, p2, n)
//                                -> how many of n random placements of two
//                                   one-site molecules give an energy whose
//                                   bits differ from pair_energy's
//   virial_multinomial_lists(m)  -> [L[0], ..., L[m]], each a list of
//                                   (c, i, j, k) tuples in list order
#include <cstdint>
#include <vector>

#include "mayer/exact_integer.h"
#include "mayer/mayer_sampling.h"
#include <cmath>
#include <cstring>
#include <random>
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

PyObject* virial_single_term_mismatches(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<5> sig{"_vica_testing", "virial_single_term_mismatches", {"tag", "p0", "p1", "p2", "n"}};
    std::uint64_t tag, n;
    double p0, p1, p2;
    if (!py::parse(sig, py::fastcall_args(args, nargsf, kwnames), tag, p0, p1, p2, n)) return nullptr;
    if (tag > 3) {
      PyErr_SetString(PyExc_ValueError, "tag must be 0 to 3");
      return nullptr;
    }
    const SitePairTable table{{PotK{static_cast<PotKind>(tag), p0, p1, p2}}};
    const WalkPairEnergy walk(table, 1, 1);
    std::mt19937_64 gen(12345);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-40, 4);
    auto coord = [&] {
      const int kind = static_cast<int>(gen() % 8);
      if (kind == 0) return 0.0;
      if (kind == 1) return -0.0;
      return std::ldexp(unit(gen), expo(gen));
    };
    std::uint64_t bad = 0;
    for (std::uint64_t s = 0; s < n; ++s) {
      const Molecule a{{coord(), coord(), coord()}};
      const Molecule b{{coord(), coord(), coord()}};
      Site o{coord(), coord(), coord()};
      if (s % 5 == 0) o = Site{a[0].x - b[0].x, a[0].y - b[0].y, a[0].z - b[0].z};  // coincident sites
      const double want = pair_energy(table, a, b, o);
      const double got = walk.energy(SiteArray(a), SiteArray(b), o);
      if (std::memcmp(&want, &got, sizeof(double)) != 0) ++bad;
    }
    return PyLong_FromUnsignedLongLong(bad);
  });
}

PyMethodDef single_term_def = {
    "virial_single_term_mismatches",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(virial_single_term_mismatches)),
    METH_FASTCALL | METH_KEYWORDS, "virial_single_term_mismatches(tag, p0, p1, p2, n)\n--\n\n"};

PyMethodDef factorials_def = {"virial_factorials",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(virial_factorials)),
                              METH_FASTCALL | METH_KEYWORDS, "virial_factorials(n)\n--\n\n"};
PyMethodDef multinomial_def = {
    "virial_multinomial_lists",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(virial_multinomial_lists)),
    METH_FASTCALL | METH_KEYWORDS, "virial_multinomial_lists(order_max)\n--\n\n"};

int add_virial(PyObject* module) {
  if (add_function(module, &factorials_def) != 0) return -1;
  if (add_function(module, &single_term_def) != 0) return -1;
  return add_function(module, &multinomial_def);
}

static Registration reg(add_virial);

}  // namespace
}  // namespace vica::testing
