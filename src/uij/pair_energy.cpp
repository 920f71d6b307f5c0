#include "uij/pair_energy.h"

#include <cmath>

#include "runtime/failure.h"

namespace vica {

EulerSinCos euler_sincos(double phi, double theta, double psi) {
  EulerSinCos a;
  a.cf = std::cos(phi);
  a.sf = std::sin(phi);
  a.ct = std::cos(theta);
  a.st = std::sin(theta);
  a.cp = std::cos(psi);
  a.sp = std::sin(psi);
  return a;
}

Rotation rotation_from_angles(double phi, double theta, double psi) {
  return rotation_from_sincos(euler_sincos(phi, theta, psi));
}

Rotation rotation_from_angles(double phi, double theta) {
  return rotation2_from_sincos(std::cos(phi), std::sin(phi), std::cos(theta), std::sin(theta));
}

namespace {
inline Site turn(const Rotation& rot, const Site& s) {
  const double* m = rot.m;
  return Site{(m[0] * s.x + m[1] * s.y) + m[2] * s.z,
              (m[3] * s.x + m[4] * s.y) + m[5] * s.z,
              (m[6] * s.x + m[7] * s.y) + m[8] * s.z};
}
}  // namespace

Molecule rotate_sites(const Rotation& rot, const Molecule& mol) {
  Molecule out;
  out.reserve(mol.size());
  rotate_sites_into(rot, mol, out);
  return out;
}

void rotate_sites_into(const Rotation& rot, const Molecule& mol, Molecule& out) {
  for (const Site& s : mol) out.push_back(turn(rot, s));
}

double site_energy(const PotK& k, double r) {
  switch (k.tag) {
    case PotKind::R0:
      return 0.0;
    case PotKind::R1:
      return k._0 / r;
    case PotKind::R6R12: {
      const auto [i6, i12] = inverse_powers(r);
      return k._0 * i6 + k._1 * i12;
    }
    case PotKind::R1R6R12: {
      const auto [i6, i12] = inverse_powers(r);
      return (k._0 / r + k._1 * i6) + k._2 * i12;
    }
  }
  fail("internal error: entered unreachable code: unknown PotK tag");
}

double pair_energy(const SitePairTable& table, const Molecule& a, const Molecule& b, Site offset) {
  const std::size_t na = a.size();
  const std::size_t nb = b.size();
  if (na == 0 || nb == 0) return -0.0;
  double total = -0.0;
  for (std::size_t i = 0; i < na; ++i) {
    if (i >= table.size()) fail_index_out_of_bounds(table.size(), i);
    const std::vector<PotK>& row_entries = table[i];
    const Site& s = a[i];
    double row = -0.0;
    for (std::size_t j = 0; j < nb; ++j) {
      if (j >= row_entries.size()) fail_index_out_of_bounds(row_entries.size(), j);
      const double bx = b[j].x + offset.x;
      const double by = b[j].y + offset.y;
      const double bz = b[j].z + offset.z;
      const double dx = s.x - bx;
      const double dy = s.y - by;
      const double dz = s.z - bz;
      double r = std::sqrt((dx * dx + dy * dy) + dz * dz);
      if (!(r > MIN_SITE_DISTANCE)) r = MIN_SITE_DISTANCE;
      row = row + site_energy(row_entries[j], r);
    }
    total = total + row;
  }
  return total;
}

}  // namespace vica
