// _vica_testing: the sines and cosines of the Monte Carlo step on each path,
// and the runs of this module's core (which follow the path chosen here; the
// vica module links its own copy of the core and keeps its best path).
//   trig_paths()                   -> names of the paths this build and CPU can run
//   trig_info()                    -> (libmvec found, its acos found, best path)
//   active_trig_path(), set_trig_path(name)
//   trig_sin(path, xs)             -> [sin x] through the one-angle routine
//   trig_euler(path, xs)           -> [(sin x, cos x)], the angles three to a call
//   trig_sincos5(path, xs)         -> [(sin x, cos x)], the angles five to a call
//   trig_acos(path, xs)            -> [acos x], two to a call
//   trig_sincos10(path, xs)        -> [(sin x, cos x)], the angles ten to a call
//   trig_acos4(path, xs)           -> [acos x], four to a call
//   trig_rotation(path, phi, theta, psi) -> the rotation built by the path's rotation routine
//   trig_max_ulp(path, n, max_abs, walk) -> (sin ulp, cos ulp, largest |x|), the largest
//       distances in units in the last place from std::sin / std::cos over n
//       angles per lane of the Euler, five- and ten-angle routines: random walks of
//       standard deviation pi per step (walk) or magnitudes log-uniform up to
//       max_abs with random signs
//   trig_acos_max_ulp(path, n)     -> largest ulp distance from std::acos over 1 - 2u
//                                     (two- and four-argument routines)
//   bms_run(mol1, mol2, table, t_kelvin, u_min, dev_tol, order_max),
//   cms_run(mol1, mol2, mol3, t12, t13, t23, t_kelvin, dev_tol, order_max),
//   u_r(moli, molj, table, r, dev_tol, num_inner, num_outer, num_print)
//                                  -> the runs of this module's core
//   bms_run_keyed(seed, mol1, mol2, table, t_kelvin, u_min, dev_tol, order_max),
//   cms_run_keyed(seed, mol1, mol2, mol3, t12, t13, t23, t_kelvin, dev_tol, order_max)
//                                  -> the same runs drawing from a generator keyed
//                                     from seed (equal seeds: equal streams)
//   exact_acceptance(), set_exact_acceptance(on)
//                                  -> whether walks decide every trial with the
//                                     acceptance rule as written (no estimate)
//   expm1_estimates(xs)            -> [the acceptance test's estimate of e^x - 1]
//   estimated_verdict(x, y)        -> -1 reject, 0 undecided, 1 accept
//   moderate(v)                    -> whether v may enter the estimated test
// Tables are lists of rows of (tag, p0, p1, p2) entries.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "bms/bms.h"
#include "cms/cms.h"
#include "mayer/acceptance.h"
#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/failure.h"
#include "runtime/random_source.h"
#include "testing/registry.h"
#include "uij/step_trig.h"
#include "uij/uij.h"

namespace vica::testing {

bool entry_from(PyObject* obj, PotK& out);  // testing_kernels.cpp

namespace {

using py::PyRef;

struct Table {
  SitePairTable value;
};

bool convert(PyObject* obj, Table& out) {
  return py::convert_sequence(obj, out.value, [](PyObject* row, std::vector<PotK>& entries) {
    return py::convert_sequence(row, entries, entry_from);
  });
}

const char* name_of(TrigPath p) {
  switch (p) {
    case TrigPath::avx512:
      return "avx512";
    case TrigPath::avx2:
      return "avx2";
    case TrigPath::scalar:
      break;
  }
  return "scalar";
}

TrigPath path_of(const std::string& name) {
  TrigPath p;
  if (name == "scalar") {
    p = TrigPath::scalar;
  } else if (name == "avx2") {
    p = TrigPath::avx2;
  } else if (name == "avx512") {
    p = TrigPath::avx512;
  } else if (name == "active") {
    p = active_trig_path();
  } else {
    throw ValueError("unknown sine/cosine path: " + name);
  }
  if (!trig_path_supported(p)) throw ValueError("this build or CPU cannot run the sine/cosine path " + name);
  return p;
}

PyObject* floats(const std::vector<double>& v) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) throw py::PythonErrorSet{};
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(v[i]);
    if (item == nullptr) throw py::PythonErrorSet{};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* pairs(const std::vector<double>& s, const std::vector<double>& c) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(s.size())));
  if (!list) throw py::PythonErrorSet{};
  for (std::size_t i = 0; i < s.size(); ++i) {
    PyObject* item = Py_BuildValue("(dd)", s[i], c[i]);
    if (item == nullptr) throw py::PythonErrorSet{};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Distance of two doubles in units in the last place (0 for equal values and
// for +0 / -0; the largest value when either is NaN and the other is not).
std::uint64_t ulp_distance(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b) ? 0 : std::numeric_limits<std::uint64_t>::max();
  }
  auto ordered = [](double x) {
    const std::int64_t i = std::bit_cast<std::int64_t>(x);
    return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
  };
  const std::int64_t ia = ordered(a), ib = ordered(b);
  return ia > ib ? static_cast<std::uint64_t>(ia) - static_cast<std::uint64_t>(ib)
                 : static_cast<std::uint64_t>(ib) - static_cast<std::uint64_t>(ia);
}

RandomSource keyed_source(std::uint64_t seed = 0) {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(i * 37 + 11 + (seed >> (8 * (i % 8))));
  }
  RandomSource rng(key);
  rng.rekey_from_stream_for_testing();
  return rng;
}

template <class Body>
PyObject* wrap(Body body) {
  return py::guarded(body);
}

PyObject* t_trig_paths(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<0> sig{"_vica_testing", "trig_paths", {}};
    if (!py::parse(sig, py::fastcall_args(args, n, kw))) return nullptr;
    PyRef out(PyList_New(0));
    if (!out) throw py::PythonErrorSet{};
    for (TrigPath p : {TrigPath::scalar, TrigPath::avx2, TrigPath::avx512}) {
      if (!trig_path_supported(p)) continue;
      PyRef name(PyUnicode_FromString(name_of(p)));
      if (!name || PyList_Append(out.get(), name.get()) < 0) throw py::PythonErrorSet{};
    }
    return out.release();
  });
}

PyObject* t_trig_info(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<0> sig{"_vica_testing", "trig_info", {}};
    if (!py::parse(sig, py::fastcall_args(args, n, kw))) return nullptr;
    return Py_BuildValue("(OOs)", trig_vector_library_found() ? Py_True : Py_False,
                         trig_vector_acos_found() ? Py_True : Py_False, name_of(best_trig_path()));
  });
}

PyObject* t_active_trig_path(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<0> sig{"_vica_testing", "active_trig_path", {}};
    if (!py::parse(sig, py::fastcall_args(args, n, kw))) return nullptr;
    return PyUnicode_FromString(name_of(active_trig_path()));
  });
}

PyObject* t_set_trig_path(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<1> sig{"_vica_testing", "set_trig_path", {"path"}};
    std::string path;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path)) return nullptr;
    set_active_trig_path(path_of(path));
    Py_RETURN_NONE;
  });
}

PyObject* t_trig_sin(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<2> sig{"_vica_testing", "trig_sin", {"path", "xs"}};
    std::string path;
    std::vector<double> xs;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, xs)) return nullptr;
    const TrigRoutines& r = trig_routines(path_of(path));
    std::vector<double> out;
    for (double x : xs) out.push_back(r.sin(x));
    return floats(out);
  });
}

PyObject* t_trig_euler(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<2> sig{"_vica_testing", "trig_euler", {"path", "xs"}};
    std::string path;
    std::vector<double> xs;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, xs)) return nullptr;
    const TrigRoutines& r = trig_routines(path_of(path));
    const std::size_t m = xs.size();
    xs.resize((m + 2) / 3 * 3, 0.0);
    std::vector<double> s, c;
    for (std::size_t i = 0; i < xs.size(); i += 3) {
      const EulerSinCos e = r.euler(xs[i], xs[i + 1], xs[i + 2]);
      s.insert(s.end(), {e.sf, e.st, e.sp});
      c.insert(c.end(), {e.cf, e.ct, e.cp});
    }
    s.resize(m);
    c.resize(m);
    return pairs(s, c);
  });
}

PyObject* t_trig_sincos5(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<2> sig{"_vica_testing", "trig_sincos5", {"path", "xs"}};
    std::string path;
    std::vector<double> xs;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, xs)) return nullptr;
    const TrigRoutines& r = trig_routines(path_of(path));
    const std::size_t m = xs.size();
    xs.resize((m + 4) / 5 * 5, 0.0);
    std::vector<double> s, c;
    for (std::size_t i = 0; i < xs.size(); i += 5) {
      const SinCos5 e = r.sincos5(xs[i], xs[i + 1], xs[i + 2], xs[i + 3], xs[i + 4]);
      s.insert(s.end(), e.s, e.s + 5);
      c.insert(c.end(), e.c, e.c + 5);
    }
    s.resize(m);
    c.resize(m);
    return pairs(s, c);
  });
}

PyObject* t_trig_acos(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<2> sig{"_vica_testing", "trig_acos", {"path", "xs"}};
    std::string path;
    std::vector<double> xs;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, xs)) return nullptr;
    const TrigRoutines& r = trig_routines(path_of(path));
    const std::size_t m = xs.size();
    xs.resize((m + 1) / 2 * 2, 0.0);
    std::vector<double> out;
    for (std::size_t i = 0; i < xs.size(); i += 2) {
      const Acos2 a = r.acos2(xs[i], xs[i + 1]);
      out.insert(out.end(), {a.a0, a.a1});
    }
    out.resize(m);
    return floats(out);
  });
}

PyObject* t_trig_sincos10(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<2> sig{"_vica_testing", "trig_sincos10", {"path", "xs"}};
    std::string path;
    std::vector<double> xs;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, xs)) return nullptr;
    const TrigRoutines& r = trig_routines(path_of(path));
    const std::size_t m = xs.size();
    xs.resize((m + 9) / 10 * 10, 0.0);
    std::vector<double> s, c;
    for (std::size_t i = 0; i < xs.size(); i += 10) {
      const SinCos10 e = r.sincos10(xs.data() + i);
      s.insert(s.end(), e.s, e.s + 10);
      c.insert(c.end(), e.c, e.c + 10);
    }
    s.resize(m);
    c.resize(m);
    return pairs(s, c);
  });
}

PyObject* t_trig_acos4(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<2> sig{"_vica_testing", "trig_acos4", {"path", "xs"}};
    std::string path;
    std::vector<double> xs;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, xs)) return nullptr;
    const TrigRoutines& r = trig_routines(path_of(path));
    const std::size_t m = xs.size();
    xs.resize((m + 3) / 4 * 4, 0.0);
    std::vector<double> out;
    for (std::size_t i = 0; i < xs.size(); i += 4) {
      const Acos4 a = r.acos4(xs[i], xs[i + 1], xs[i + 2], xs[i + 3]);
      out.insert(out.end(), a.a, a.a + 4);
    }
    out.resize(m);
    return floats(out);
  });
}

PyObject* t_trig_rotation(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<4> sig{"_vica_testing", "trig_rotation", {"path", "phi", "theta", "psi"}};
    std::string path;
    double phi, theta, psi;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, phi, theta, psi)) return nullptr;
    Rotation rot;
    trig_routines(path_of(path)).rotation(phi, theta, psi, &rot);
    const double* m = rot.m;
    return Py_BuildValue("(ddddddddd)", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
  });
}

PyObject* t_trig_max_ulp(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<4> sig{"_vica_testing", "trig_max_ulp", {"path", "n", "max_abs", "walk"}};
    std::string path;
    std::uint64_t count;
    double max_abs;
    std::uint64_t walk;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, count, max_abs, walk)) return nullptr;
    const TrigRoutines& r = trig_routines(path_of(path));
    RandomSource rng = keyed_source();
    const double log_max = std::log(max_abs);
    double x[10] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::uint64_t worst_s = 0, worst_c = 0;
    double largest = 0.0;
    auto check = [&](double xi, double s, double c) {
      const std::uint64_t ds = ulp_distance(s, std::sin(xi));
      const std::uint64_t dc = ulp_distance(c, std::cos(xi));
      if (ds > worst_s) worst_s = ds;
      if (dc > worst_c) worst_c = dc;
      if (std::fabs(xi) > largest) largest = std::fabs(xi);
    };
    for (std::uint64_t k = 0; k < count; ++k) {
      for (double& xi : x) {
        if (walk != 0) {
          xi = rng.standard_normal() * 3.141592653589793 + xi;
        } else {
          const double mag = std::exp(rng.uniform01() * log_max);
          xi = rng.coin() ? -mag : mag;
        }
      }
      const EulerSinCos e = r.euler(x[0], x[1], x[2]);
      check(x[0], e.sf, e.cf);
      check(x[1], e.st, e.ct);
      check(x[2], e.sp, e.cp);
      const SinCos5 f = r.sincos5(x[0], x[1], x[2], x[3], x[4]);
      for (int i = 0; i < 5; ++i) check(x[i], f.s[i], f.c[i]);
      const SinCos10 h = r.sincos10(x);
      for (int i = 0; i < 10; ++i) check(x[i], h.s[i], h.c[i]);
      const std::uint64_t d1 = ulp_distance(r.sin(x[4]), std::sin(x[4]));
      if (d1 > worst_s) worst_s = d1;
    }
    return Py_BuildValue("(KKd)", static_cast<unsigned long long>(worst_s), static_cast<unsigned long long>(worst_c),
                         largest);
  });
}

PyObject* t_trig_acos_max_ulp(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<2> sig{"_vica_testing", "trig_acos_max_ulp", {"path", "n"}};
    std::string path;
    std::uint64_t count;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), path, count)) return nullptr;
    const TrigRoutines& r = trig_routines(path_of(path));
    RandomSource rng = keyed_source();
    std::uint64_t worst = 0;
    for (std::uint64_t k = 0; k < count; ++k) {
      const double a = 1.0 - 2.0 * rng.uniform01();
      const double b = 1.0 - 2.0 * rng.uniform01();
      const Acos2 v = r.acos2(a, b);
      const std::uint64_t da = ulp_distance(v.a0, std::acos(a));
      const std::uint64_t db = ulp_distance(v.a1, std::acos(b));
      if (da > worst) worst = da;
      if (db > worst) worst = db;
      const Acos4 w = r.acos4(b, a, -a, -b);
      const double args4[4] = {b, a, -a, -b};
      for (int i = 0; i < 4; ++i) {
        const std::uint64_t d = ulp_distance(w.a[i], std::acos(args4[i]));
        if (d > worst) worst = d;
      }
    }
    return PyLong_FromUnsignedLongLong(worst);
  });
}

PyObject* t_bms_run(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<7> sig{
        "_vica_testing", "bms_run", {"mol1", "mol2", "table", "t_kelvin", "u_min", "dev_tol", "order_max"}};
    Molecule mol1, mol2;
    Table table;
    double t, u_min, dev_tol;
    std::uint64_t order_max;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), mol1, mol2, table, t, u_min, dev_tol, order_max)) {
      return nullptr;
    }
    return floats(bms_run(make_bms(mol1, mol2, table.value), t, u_min, dev_tol, order_max));
  });
}

PyObject* t_cms_run(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<9> sig{
        "_vica_testing",
        "cms_run",
        {"mol1", "mol2", "mol3", "potk12", "potk13", "potk23", "t_kelvin", "dev_tol", "order_max"}};
    Molecule mol1, mol2, mol3;
    Table t12, t13, t23;
    double t, dev_tol;
    std::uint64_t order_max;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), mol1, mol2, mol3, t12, t13, t23, t, dev_tol, order_max)) {
      return nullptr;
    }
    return floats(cms_run(make_cms(mol1, mol2, mol3, t12.value, t13.value, t23.value), t, dev_tol, order_max));
  });
}

PyObject* t_bms_run_keyed(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<8> sig{
        "_vica_testing",
        "bms_run_keyed",
        {"seed", "mol1", "mol2", "table", "t_kelvin", "u_min", "dev_tol", "order_max"}};
    std::uint64_t seed, order_max;
    Molecule mol1, mol2;
    Table table;
    double t, u_min, dev_tol;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), seed, mol1, mol2, table, t, u_min, dev_tol, order_max)) {
      return nullptr;
    }
    RandomSource rng = keyed_source(seed);
    return floats(bms_run(make_bms(mol1, mol2, table.value), t, u_min, dev_tol, order_max, rng));
  });
}

PyObject* t_cms_run_keyed(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<10> sig{
        "_vica_testing",
        "cms_run_keyed",
        {"seed", "mol1", "mol2", "mol3", "potk12", "potk13", "potk23", "t_kelvin", "dev_tol", "order_max"}};
    std::uint64_t seed, order_max;
    Molecule mol1, mol2, mol3;
    Table t12, t13, t23;
    double t, dev_tol;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), seed, mol1, mol2, mol3, t12, t13, t23, t, dev_tol,
                   order_max)) {
      return nullptr;
    }
    RandomSource rng = keyed_source(seed);
    return floats(
        cms_run(make_cms(mol1, mol2, mol3, t12.value, t13.value, t23.value), t, dev_tol, order_max, rng));
  });
}

PyObject* t_exact_acceptance(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<0> sig{"_vica_testing", "exact_acceptance", {}};
    if (!py::parse(sig, py::fastcall_args(args, n, kw))) return nullptr;
    return PyBool_FromLong(exact_acceptance_only() ? 1 : 0);
  });
}

PyObject* t_set_exact_acceptance(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<1> sig{"_vica_testing", "set_exact_acceptance", {"on"}};
    std::uint64_t on;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), on)) return nullptr;
    set_exact_acceptance_only(on != 0);
    Py_RETURN_NONE;
  });
}

PyObject* t_expm1_estimates(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<1> sig{"_vica_testing", "expm1_estimates", {"xs"}};
    std::vector<double> xs;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), xs)) return nullptr;
    for (double& x : xs) x = expm1_estimate(x);
    return floats(xs);
  });
}

PyObject* t_estimated_verdict(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<2> sig{"_vica_testing", "estimated_verdict", {"x", "y"}};
    double x, y;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), x, y)) return nullptr;
    return PyLong_FromLong(static_cast<long>(estimated_verdict(x, y)));
  });
}

PyObject* t_moderate(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<1> sig{"_vica_testing", "moderate", {"v"}};
    double v;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), v)) return nullptr;
    return PyBool_FromLong(moderate(v) ? 1 : 0);
  });
}

PyObject* t_u_r(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return wrap([&]() -> PyObject* {
    static constexpr py::Signature<8> sig{
        "_vica_testing", "u_r", {"moli", "molj", "table", "r", "dev_tol", "num_inner", "num_outer", "num_print"}};
    PairRecord pair;
    Table table;
    double r, dev_tol;
    std::uint64_t inner, outer, print;
    if (!py::parse(sig, py::fastcall_args(args, n, kw), pair.moli, pair.molj, table, r, dev_tol, inner, outer,
                   print)) {
      return nullptr;
    }
    pair.potk = std::move(table.value);
    const Uij u(std::move(pair));
    return PyFloat_FromDouble(u.u_r(r, dev_tol, inner, outer, print));
  });
}

int add(PyObject* module) {
  static PyMethodDef defs[] = {
      def<t_trig_paths>("trig_paths", "trig_paths()\n--\n\n"),
      def<t_trig_info>("trig_info", "trig_info()\n--\n\n"),
      def<t_active_trig_path>("active_trig_path", "active_trig_path()\n--\n\n"),
      def<t_set_trig_path>("set_trig_path", "set_trig_path(path)\n--\n\n"),
      def<t_trig_sin>("trig_sin", "trig_sin(path, xs)\n--\n\n"),
      def<t_trig_euler>("trig_euler", "trig_euler(path, xs)\n--\n\n"),
      def<t_trig_sincos5>("trig_sincos5", "trig_sincos5(path, xs)\n--\n\n"),
      def<t_trig_acos>("trig_acos", "trig_acos(path, xs)\n--\n\n"),
      def<t_trig_sincos10>("trig_sincos10", "trig_sincos10(path, xs)\n--\n\n"),
      def<t_trig_acos4>("trig_acos4", "trig_acos4(path, xs)\n--\n\n"),
      def<t_trig_rotation>("trig_rotation", "trig_rotation(path, phi, theta, psi)\n--\n\n"),
      def<t_trig_max_ulp>("trig_max_ulp", "trig_max_ulp(path, n, max_abs, walk)\n--\n\n"),
      def<t_trig_acos_max_ulp>("trig_acos_max_ulp", "trig_acos_max_ulp(path, n)\n--\n\n"),
      def<t_bms_run>("bms_run", "bms_run(mol1, mol2, table, t_kelvin, u_min, dev_tol, order_max)\n--\n\n"),
      def<t_cms_run>("cms_run",
                     "cms_run(mol1, mol2, mol3, potk12, potk13, potk23, t_kelvin, dev_tol, order_max)\n--\n\n"),
      def<t_u_r>("u_r", "u_r(moli, molj, table, r, dev_tol, num_inner, num_outer, num_print)\n--\n\n"),
      def<t_bms_run_keyed>("bms_run_keyed",
                           "bms_run_keyed(seed, mol1, mol2, table, t_kelvin, u_min, dev_tol, order_max)\n--\n\n"),
      def<t_cms_run_keyed>(
          "cms_run_keyed",
          "cms_run_keyed(seed, mol1, mol2, mol3, potk12, potk13, potk23, t_kelvin, dev_tol, order_max)\n--\n\n"),
      def<t_exact_acceptance>("exact_acceptance", "exact_acceptance()\n--\n\n"),
      def<t_set_exact_acceptance>("set_exact_acceptance", "set_exact_acceptance(on)\n--\n\n"),
      def<t_expm1_estimates>("expm1_estimates", "expm1_estimates(xs)\n--\n\n"),
      def<t_estimated_verdict>("estimated_verdict", "estimated_verdict(x, y)\n--\n\n"),
      def<t_moderate>("moderate", "moderate(v)\n--\n\n"),
  };
  return add_functions(module, defs);
}

Registration reg(add);

}  // namespace
}  // namespace vica::testing
