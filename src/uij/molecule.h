// Rigid molecules and the tables that say how their sites interact.
#pragma once

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

}  // namespace vica
