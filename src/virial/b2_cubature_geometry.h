// Geometry of the B2 integrator (b2_cubature.cpp): the molecules in frames
// chosen for their symmetry, their site laws prepared for the node loop, and
// the orientation rules.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "uij/molecule.h"
#include "virial/site_law.h"

namespace vica::cubature {

constexpr double kPi = 3.14159265358979323846;

using Mat3 = std::array<double, 9>;
using Vec3 = std::array<double, 3>;

inline Vec3 mat_apply(const Mat3& m, const Vec3& v) {
  return {(m[0] * v[0] + m[1] * v[1]) + m[2] * v[2], (m[3] * v[0] + m[4] * v[1]) + m[5] * v[2],
          (m[6] * v[0] + m[7] * v[1]) + m[8] * v[2]};
}
inline double dot(const Vec3& a, const Vec3& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }

// equiv[a][b]: sites a and b interact alike with every site of the other
// molecule (and weigh alike when masses are given).
using Equivalence = std::vector<std::vector<char>>;

// One molecule as the integrator holds it: its sites in a body frame chosen
// for its symmetry, centred on the centroid (or the centre of mass).
struct Body {
  int kind = 0;  // 0 point, 1 linear (on body z), 2 nonlinear
  std::vector<Vec3> s;
  bool inversion = false;  // linear: z -> -z maps the molecule onto itself
  int fold = 1;            // nonlinear: a fold-fold axis along body z
  bool planar = false;     // nonlinear: every site in the body plane y = 0
  Mat3 inv_inertia{};      // body frame, 1/(u A^2); linear: [0] = 1 / I
  double inv_mass = 0.0;
};

// The molecule centred (masses: on its centre of mass), classified (one
// centre, linear, nonlinear), in a body frame with its symmetry axis on z
// (a planar molecule in the plane y = 0); with masses, its inverse inertia.
Body make_body(const Molecule& mol, const std::vector<double>& mass, const Equivalence& eq);
std::string describe(const Body& b);
bool same_law(const SiteLaw& a, const SiteLaw& b);

// A site-site law prepared for the node loop: c1/r + c6/r^6 + c12/r^12 where
// it has that form, else the law itself.
struct PairLaw {
  int form = 0;  // 0 nothing, 1 c6/c12, 2 c1/c6/c12, 3 general
  double c1 = 0.0, c6 = 0.0, c12 = 0.0;
  const SiteLaw* law = nullptr;
};

PairLaw prepare(const SiteLaw& law);
// du/dr of a general law (kinds 4, 5, 6 and PotK's)
double law_slope(const SiteLaw& law, double r);
// A length scale of a law: where repulsion meets attraction (sigma for LJ); 0 if none.
double law_size(const SiteLaw& law);
// tau I^-1 tau of a molecule turned by rot (tau in the lab frame).
double rotational(const Body& b, const Mat3& rot, const Vec3& tau);

// The orientations of one molecule at one angular level: site positions (by
// orientation, and by site and coordinate with the orientation innermost),
// weights summing to 1, rotations.
struct OrientationSet {
  std::size_t count = 0, sites = 0;
  std::vector<double> pos;  // count x sites x 3
  std::vector<double> soa;  // (site, coordinate) x count: the same numbers, orientation innermost
  std::vector<double> w;
  std::vector<Mat3> rot;
};

// Molecule 1 (alpha = 0) or molecule 2 (alpha over its period, halved by the
// mirror) at an angular level of n Gauss points in cos beta.
OrientationSet orientations(const Body& b, int n, bool first, bool mirror);

}  // namespace vica::cubature
