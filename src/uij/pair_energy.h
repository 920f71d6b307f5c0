// Turning molecules and summing site-site energies.
//
// Reference kernels (exact arithmetic order; every other path must give the
// same bits):
//   rotation_from_angles(phi, theta, psi) = Rz(psi) Ry(theta) Rz(phi)
//   rotation_from_angles(phi, theta)      = Ry(theta) Rz(phi)
//   rotate_sites / rotate_sites_into      : x' = (R00 x + R01 y) + R02 z, ...
//   site_energy(k, r)                     : the energy of one table entry
//   pair_energy(table, A, B, o)           : sum over rows i (from -0.0) of the
//       row sums over j (from -0.0) of site_energy(table[i][j], |A_i - (B_j + o)|),
//       the distance clamped to MIN_SITE_DISTANCE; an empty A or B gives -0.0
//       without reading the table; a missing row or entry fails with
//       "index out of bounds: the len is {} but the index is {}".
#pragma once

#include <cstddef>
#include <vector>

#include "uij/molecule.h"

namespace vica {

inline constexpr double MIN_SITE_DISTANCE = 1e-30;

// 3x3 matrix stored by rows, acting on column vectors.
struct Rotation {
  double m[9];
};

Rotation rotation_from_angles(double phi, double theta, double psi);
Rotation rotation_from_angles(double phi, double theta);

// The sines and cosines of phi, theta and psi, as the rotation uses them.
struct EulerSinCos {
  double cf, sf, ct, st, cp, sp;
};
EulerSinCos euler_sincos(double phi, double theta, double psi);

// The three-angle rotation from sines and cosines already computed:
// rotation_from_angles(phi, theta, psi) == rotation_from_sincos(euler_sincos(phi, theta, psi)).
inline Rotation rotation_from_sincos(const EulerSinCos& a) {
  const double cf = a.cf, sf = a.sf, ct = a.ct, st = a.st, cp = a.cp, sp = a.sp;
  Rotation r;
  r.m[0] = (ct * cp) * cf - sf * sp;
  r.m[1] = (-sp) * cf - sf * (ct * cp);
  r.m[2] = st * cp;
  r.m[3] = cf * (ct * sp) + sf * cp;
  r.m[4] = cp * cf - (ct * sp) * sf;
  r.m[5] = sp * st;
  r.m[6] = (-st) * cf;
  r.m[7] = sf * st;
  r.m[8] = ct;
  return r;
}

// The two-angle rotation from the cosines and sines of phi and theta:
// rotation_from_angles(phi, theta) == rotation2_from_sincos(cos phi, sin phi, cos theta, sin theta).
inline Rotation rotation2_from_sincos(double cf, double sf, double ct, double st) {
  Rotation r;
  r.m[0] = cf * ct;
  r.m[1] = (-sf) * ct;
  r.m[2] = st;
  r.m[3] = sf;
  r.m[4] = cf;
  r.m[5] = 0.0;
  r.m[6] = (-cf) * st;
  r.m[7] = sf * st;
  r.m[8] = ct;
  return r;
}

Molecule rotate_sites(const Rotation& rot, const Molecule& mol);
void rotate_sites_into(const Rotation& rot, const Molecule& mol, Molecule& out);

// 1 / r^6 and 1 / r^12 with r2 = r r, r4 = r2 r2, r6 = r2 r4, r12 = (r4 r4) r4.
struct InversePowers {
  double i6, i12;
};
inline InversePowers inverse_powers(double r) {
  const double r2 = r * r;
  const double r4 = r2 * r2;
  const double r6 = r2 * r4;
  const double r12 = (r4 * r4) * r4;
  return InversePowers{1.0 / r6, 1.0 / r12};
}

double site_energy(const PotK& k, double r);
double pair_energy(const SitePairTable& table, const Molecule& a, const Molecule& b, Site offset);

}  // namespace vica
