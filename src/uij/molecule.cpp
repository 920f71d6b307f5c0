#include "uij/molecule.h"

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
