// Rigid molecules and the tables that say how their sites interact.
#pragma once

#include <cmath>
#include <vector>

#include "pot/potk.h"

namespace vica {

struct Site {
  double x;
  double y;
  double z;
};

// An ordered list of sites; empty molecules are valid.
using Molecule = std::vector<Site>;

// For an ordered pair of molecules (first, second): row i belongs to site i of
// the first, entry j of a row to site j of the second.  Rows may be ragged;
// the shape is matched only when an energy is evaluated.
using SitePairTable = std::vector<std::vector<PotK>>;

// A copy of the molecule moved so that the unweighted centroid of its sites
// is at the origin.  Each coordinate sum runs over the sites in order,
// starting from -0.0, and is divided by the site count.
Molecule center_molecule(const Molecule& mol);

// Distance of a point from the origin, summed as (x*x + y*y) + z*z.
inline double centre_distance(double x, double y, double z) { return std::sqrt((x * x + y * y) + z * z); }

// centre_distance(x, y, z) < radius, decided without the square root.  The
// square root is correctly rounded, hence monotone, so for the sum of
// squares s (or a NaN) sqrt(s) < radius holds exactly when s < limit, limit
// being the smallest double whose square root rounds to radius or above.  A
// radius that is not a positive number below 1e150 keeps the square root.
class WithinRadius {
 public:
  explicit WithinRadius(double radius);
  bool operator()(double x, double y, double z) const {
    const double s = (x * x + y * y) + z * z;
    return by_limit_ ? s < limit_ : std::sqrt(s) < radius_;
  }

 private:
  double radius_;
  double limit_ = 0.0;
  bool by_limit_ = false;
};

// True when every site lies exactly at the origin (a one-site molecule once
// centred).  Turning such a molecule only changes the signs of its zero
// coordinates, which no distance sees, so its walk needs the sine of theta
// (for the orientation measure) and no rotation: std::sin gives the same bits
// as the sine that euler_sincos computes.
bool all_sites_at_origin(const Molecule& mol);

// Largest site norm of a molecule (0.0 without sites; NaN norms skipped).
double max_site_radius(const Molecule& mol);

}  // namespace vica
