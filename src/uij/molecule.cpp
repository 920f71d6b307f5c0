#include "uij/molecule.h"

#include <cmath>
#include <limits>

namespace vica {

Molecule center_molecule(const Molecule& mol) {
  Molecule out;
  if (mol.empty()) return out;
  double sx = -0.0;
  for (const Site& s : mol) sx = sx + s.x;
  double sy = -0.0;
  for (const Site& s : mol) sy = sy + s.y;
  double sz = -0.0;
  for (const Site& s : mol) sz = sz + s.z;
  const double n = static_cast<double>(mol.size());
  const double cx = sx / n;
  const double cy = sy / n;
  const double cz = sz / n;
  out.reserve(mol.size());
  for (const Site& s : mol) out.push_back(Site{s.x - cx, s.y - cy, s.z - cz});
  return out;
}


WithinRadius::WithinRadius(double radius) : radius_(radius) {
  if (!(radius > 0.0 && radius < 1e150)) return;
  // Start at radius^2 (within an ulp or two of the limit) and settle on the
  // smallest s with sqrt(s) >= radius.
  double s = radius * radius;
  while (std::sqrt(s) >= radius) s = std::nextafter(s, 0.0);
  while (std::sqrt(s) < radius) s = std::nextafter(s, std::numeric_limits<double>::infinity());
  limit_ = s;
  by_limit_ = true;
}

bool all_sites_at_origin(const Molecule& mol) {
  for (const Site& s : mol) {
    if (!(s.x == 0.0 && s.y == 0.0 && s.z == 0.0)) return false;
  }
  return true;
}

double max_site_radius(const Molecule& mol) {
  double rmax = 0.0;
  for (const Site& s : mol) {
    const double r = centre_distance(s.x, s.y, s.z);
    if (r > rmax) rmax = r;
  }
  return rmax;
}

}  // namespace vica
