// The pair-energy kernels: rotations, turning, site and pair energies, the
// packed kernel on each of its paths.  Table entries are given as sequences
// (tag, p0, p1, p2) (missing parameters are 0.0), since this module has no
// PotK class.
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "runtime/failure.h"
#include "testing/registry.h"
#include "uij/molecule.h"
#include "uij/pair_energy.h"
#include "uij/pair_kernel.h"
#include "uij/uij.h"

namespace vica::testing {

// A PotK given as (tag, p0, p1, p2).
struct EntryArg {
  PotK value;
};
// A table of such entries.
struct TableArg {
  SitePairTable value;
};
// Nine numbers, the rotation by rows.
struct RotationArg {
  Rotation value;
};

bool entry_from(PyObject* obj, PotK& out) {
  std::vector<double> v;
  if (!py::convert(obj, v)) return false;
  if (v.empty() || v.size() > 4 || !(v[0] == 0 || v[0] == 1 || v[0] == 2 || v[0] == 3)) {
    PyErr_SetString(PyExc_ValueError, "an entry is (tag 0..3, up to three parameters)");
    return false;
  }
  out = PotK{};
  out.tag = static_cast<PotKind>(static_cast<int>(v[0]));
  if (v.size() > 1) out._0 = v[1];
  if (v.size() > 2) out._1 = v[2];
  if (v.size() > 3) out._2 = v[3];
  return true;
}

bool convert(PyObject* obj, EntryArg& out) { return entry_from(obj, out.value); }

bool convert(PyObject* obj, TableArg& out) {
  return py::convert_sequence(obj, out.value, [](PyObject* row, std::vector<PotK>& entries) {
    return py::convert_sequence(row, entries, entry_from);
  });
}

bool convert(PyObject* obj, RotationArg& out) {
  std::vector<double> v;
  if (!py::convert(obj, v)) return false;
  if (v.size() != 9) {
    PyErr_SetString(PyExc_ValueError, "a rotation is nine numbers, by rows");
    return false;
  }
  for (int k = 0; k < 9; ++k) out.value.m[k] = v[k];
  return true;
}

namespace {

using py::fastcall_args;
using py::guarded;
using py::parse;
using py::PyRef;
using py::Signature;

PyObject* sites_result(const Molecule& mol) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(mol.size())));
  if (!out) throw py::PythonErrorSet{};
  for (std::size_t i = 0; i < mol.size(); ++i) {
    PyObject* site = Py_BuildValue("(ddd)", mol[i].x, mol[i].y, mol[i].z);
    if (site == nullptr) throw py::PythonErrorSet{};
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), site);
  }
  return out.release();
}

PyObject* rotation_result(const Rotation& r) {
  const double* m = r.m;
  return Py_BuildValue("(ddddddddd)", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
}

const char* path_name(KernelPath p) {
  switch (p) {
    case KernelPath::avx512:
      return "avx512";
    case KernelPath::avx2:
      return "avx2";
    case KernelPath::portable:
      break;
  }
  return "portable";
}

KernelPath path_from(const std::string& name) {
  if (name == "portable") return KernelPath::portable;
  if (name == "avx2") return KernelPath::avx2;
  if (name == "avx512") return KernelPath::avx512;
  if (name == "active") return active_kernel_path();
  throw ValueError("unknown kernel path: " + name);
}

PyObject* t_center_molecule(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_vica_testing", "center_molecule", {"mol"}};
    Molecule mol;
    if (!parse(sig, fastcall_args(args, n, kw), mol)) return nullptr;
    return sites_result(center_molecule(mol));
  });
}

PyObject* t_rotation(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> sig{"_vica_testing", "rotation", {"phi", "theta", "psi"}};
    double phi, theta, psi;
    if (!parse(sig, fastcall_args(args, n, kw), phi, theta, psi)) return nullptr;
    return rotation_result(rotation_from_angles(phi, theta, psi));
  });
}

PyObject* t_rotation2(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<2> sig{"_vica_testing", "rotation2", {"phi", "theta"}};
    double phi, theta;
    if (!parse(sig, fastcall_args(args, n, kw), phi, theta)) return nullptr;
    return rotation_result(rotation_from_angles(phi, theta));
  });
}

PyObject* t_rotation_from_sincos(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> sig{"_vica_testing", "rotation_from_sincos", {"phi", "theta", "psi"}};
    double phi, theta, psi;
    if (!parse(sig, fastcall_args(args, n, kw), phi, theta, psi)) return nullptr;
    return rotation_result(rotation_from_sincos(euler_sincos(phi, theta, psi)));
  });
}

PyObject* t_rotate_sites(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<2> sig{"_vica_testing", "rotate_sites", {"rot", "mol"}};
    RotationArg rot;
    Molecule mol;
    if (!parse(sig, fastcall_args(args, n, kw), rot, mol)) return nullptr;
    return sites_result(rotate_sites(rot.value, mol));
  });
}

// rotate_sites_into(rot, mol, out): `out` followed by the turned sites.
PyObject* t_rotate_sites_into(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> sig{"_vica_testing", "rotate_sites_into", {"rot", "mol", "out"}};
    RotationArg rot;
    Molecule mol, out;
    if (!parse(sig, fastcall_args(args, n, kw), rot, mol, out)) return nullptr;
    rotate_sites_into(rot.value, mol, out);
    return sites_result(out);
  });
}

// The sites of `mol` turned by SiteArray::assign_rotated (into an array that
// held `before` first, to exercise reuse).
PyObject* t_site_array_rotated(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> sig{"_vica_testing", "site_array_rotated", {"rot", "mol", "before"}};
    RotationArg rot;
    Molecule mol, before;
    if (!parse(sig, fastcall_args(args, n, kw), rot, mol, before)) return nullptr;
    const SiteArray src(mol);
    SiteArray dst(before);
    dst.assign_rotated(rot.value, src);
    Molecule out(dst.size());
    for (std::size_t i = 0; i < dst.size(); ++i) out[i] = Site{dst.x()[i], dst.y()[i], dst.z()[i]};
    return sites_result(out);
  });
}

PyObject* t_site_energy(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<2> sig{"_vica_testing", "site_energy", {"entry", "r"}};
    EntryArg entry;
    double r;
    if (!parse(sig, fastcall_args(args, n, kw), entry, r)) return nullptr;
    return PyFloat_FromDouble(site_energy(entry.value, r));
  });
}

PyObject* t_pair_energy(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<4> sig{"_vica_testing", "pair_energy", {"table", "a", "b", "offset"}};
    TableArg table;
    Molecule a, b;
    Site offset;
    if (!parse(sig, fastcall_args(args, n, kw), table, a, b, offset)) return nullptr;
    return PyFloat_FromDouble(pair_energy(table.value, a, b, offset));
  });
}

// PairKernel(table, len(a), len(b)).energy_on(path, a, b, offset).
PyObject* t_kernel_energy(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<5> sig{"_vica_testing", "kernel_energy", {"table", "a", "b", "offset", "path"}};
    TableArg table;
    Molecule a, b;
    Site offset;
    std::string path;
    if (!parse(sig, fastcall_args(args, n, kw), table, a, b, offset, path)) return nullptr;
    const KernelPath p = path_from(path);
    if (!kernel_path_supported(p)) throw ValueError("this CPU cannot run the kernel path " + path);
    const PairKernel kernel(table.value, a.size(), b.size());
    return PyFloat_FromDouble(kernel.energy_on(p, SiteArray(a), SiteArray(b), offset));
  });
}

// kernel_turned_energy(table, a, b, rot, offset, path): (energy, turned b)
// through the kernel's turn-and-sum body on that path, or through
// assign_rotated and energy_on where the path has none for the shape.
PyObject* t_kernel_turned_energy(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<6> sig{"_vica_testing", "kernel_turned_energy", {"table", "a", "b", "rot", "offset", "path"}};
    TableArg table;
    Molecule a, b;
    RotationArg rot;
    Site offset;
    std::string path;
    if (!parse(sig, fastcall_args(args, n, kw), table, a, b, rot, offset, path)) return nullptr;
    const KernelPath p = path_from(path);
    if (!kernel_path_supported(p)) throw ValueError("this CPU cannot run the kernel path " + path);
    const PairKernel kernel(table.value, a.size(), b.size());
    const SiteArray first(a), src(b);
    SiteArray out(b);
    double e;
    if (const PairKernel::TurnedImplementation body = kernel.turned_implementation_for(p)) {
      e = body(kernel.view(), rot.value, src, out, first, offset);
    } else {
      out.assign_rotated(rot.value, src);
      e = kernel.energy_on(p, first, out, offset);
    }
    Molecule turned(b.size());
    for (std::size_t i = 0; i < b.size(); ++i) turned[i] = Site{out.x()[i], out.y()[i], out.z()[i]};
    PyRef sites(sites_result(turned));
    return Py_BuildValue("(dO)", e, sites.get());
  });
}

// within_radius(radius, points): [WithinRadius(radius)(x, y, z)] for each (x, y, z).
PyObject* t_within_radius(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<2> sig{"_vica_testing", "within_radius", {"radius", "points"}};
    double radius;
    Molecule points;
    if (!parse(sig, fastcall_args(args, n, kw), radius, points)) return nullptr;
    const WithinRadius inside(radius);
    PyRef out(PyList_New(static_cast<Py_ssize_t>(points.size())));
    if (!out) throw py::PythonErrorSet{};
    for (std::size_t i = 0; i < points.size(); ++i) {
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i),
                     PyBool_FromLong(inside(points[i].x, points[i].y, points[i].z) ? 1 : 0));
    }
    return out.release();
  });
}

// kernel_small(table, n_first, n_second): whether the shape has the
// small-molecule bodies.
PyObject* t_kernel_small(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> sig{"_vica_testing", "kernel_small", {"table", "n_first", "n_second"}};
    TableArg table;
    std::uint64_t n1, n2;
    if (!parse(sig, fastcall_args(args, n, kw), table, n1, n2)) return nullptr;
    return PyBool_FromLong(PairKernel(table.value, n1, n2).small());
  });
}

PyObject* t_kernel_never_interacts(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> sig{"_vica_testing", "kernel_never_interacts", {"table", "n_first", "n_second"}};
    TableArg table;
    std::uint64_t n1, n2;
    if (!parse(sig, fastcall_args(args, n, kw), table, n1, n2)) return nullptr;
    return PyBool_FromLong(PairKernel(table.value, n1, n2).never_interacts());
  });
}

PyObject* t_kernel_paths(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<0> sig{"_vica_testing", "kernel_paths", {}};
    if (!parse(sig, fastcall_args(args, n, kw))) return nullptr;
    PyRef out(PyList_New(0));
    if (!out) throw py::PythonErrorSet{};
    for (KernelPath p : {KernelPath::portable, KernelPath::avx2, KernelPath::avx512}) {
      if (!kernel_path_supported(p)) continue;
      PyRef name(PyUnicode_FromString(path_name(p)));
      if (!name || PyList_Append(out.get(), name.get()) < 0) throw py::PythonErrorSet{};
    }
    return out.release();
  });
}

PyObject* t_active_kernel_path(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<0> sig{"_vica_testing", "active_kernel_path", {}};
    if (!parse(sig, fastcall_args(args, n, kw))) return nullptr;
    return PyUnicode_FromString(path_name(active_kernel_path()));
  });
}

// Sets the path of every PairKernel::energy in this module's copy of the
// core (the vica module links its own copy and keeps its best path).
PyObject* t_set_kernel_path(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_vica_testing", "set_kernel_path", {"path"}};
    std::string path;
    if (!parse(sig, fastcall_args(args, n, kw), path)) return nullptr;
    set_active_kernel_path(path_from(path));
    Py_RETURN_NONE;
  });
}

// vica::Uij(moli, molj, table).uij(...) of this module's core, on the
// active path.
PyObject* t_uij(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<9> sig{"_vica_testing", "uij", {"moli", "molj", "table", "r", "phi1", "theta1", "phi2", "theta2", "psi2"}};
    PairRecord pair;
    TableArg table;
    double r, phi1, theta1, phi2, theta2, psi2;
    if (!parse(sig, fastcall_args(args, n, kw), pair.moli, pair.molj, table, r, phi1, theta1, phi2,
               theta2, psi2)) {
      return nullptr;
    }
    pair.potk = std::move(table.value);
    const Uij u(std::move(pair));
    return PyFloat_FromDouble(u.uij(r, phi1, theta1, phi2, theta2, psi2));
  });
}

int add(PyObject* module) {
  static PyMethodDef defs[] = {
      def<t_center_molecule>("center_molecule", "center_molecule(mol)\n--\n\n"),
      def<t_rotation>("rotation", "rotation(phi, theta, psi)\n--\n\n"),
      def<t_rotation2>("rotation2", "rotation2(phi, theta)\n--\n\n"),
      def<t_rotation_from_sincos>("rotation_from_sincos", "rotation_from_sincos(phi, theta, psi)\n--\n\n"),
      def<t_rotate_sites>("rotate_sites", "rotate_sites(rot, mol)\n--\n\n"),
      def<t_rotate_sites_into>("rotate_sites_into", "rotate_sites_into(rot, mol, out)\n--\n\n"),
      def<t_site_array_rotated>("site_array_rotated", "site_array_rotated(rot, mol, before)\n--\n\n"),
      def<t_site_energy>("site_energy", "site_energy(entry, r)\n--\n\n"),
      def<t_pair_energy>("pair_energy", "pair_energy(table, a, b, offset)\n--\n\n"),
      def<t_kernel_energy>("kernel_energy", "kernel_energy(table, a, b, offset, path)\n--\n\n"),
      def<t_kernel_turned_energy>("kernel_turned_energy",
                                  "kernel_turned_energy(table, a, b, rot, offset, path)\n--\n\n"),
      def<t_kernel_small>("kernel_small", "kernel_small(table, n_first, n_second)\n--\n\n"),
      def<t_within_radius>("within_radius", "within_radius(radius, points)\n--\n\n"),
      def<t_kernel_never_interacts>("kernel_never_interacts", "kernel_never_interacts(table, n_first, n_second)\n--\n\n"),
      def<t_kernel_paths>("kernel_paths", "kernel_paths()\n--\n\n"),
      def<t_active_kernel_path>("active_kernel_path", "active_kernel_path()\n--\n\n"),
      def<t_set_kernel_path>("set_kernel_path", "set_kernel_path(path)\n--\n\n"),
      def<t_uij>("uij", "uij(moli, molj, table, r, phi1, theta1, phi2, theta2, psi2)\n--\n\n"),
  };
  return add_functions(module, defs);
}

Registration reg(add);

}  // namespace
}  // namespace vica::testing
