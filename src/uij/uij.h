// The pair of molecules behind the Python class Uij: the energy at one
// geometry (uij) and its plain average over random orientations (u_r).
#pragma once

#include <cstddef>
#include <cstdint>

#include "uij/molecule.h"
#include "uij/pair_kernel.h"

namespace vica {

// Two molecules and the table of their site pairs: row i for site i of
// moli, entry j of a row for site j of molj.
struct PairRecord {
  Molecule moli;
  Molecule molj;
  SitePairTable potk;
};

inline constexpr double TWO_PI = 6.283185307179586;
inline constexpr std::size_t MEAN_WINDOW = 10;
inline constexpr double DEVIATION_FLOOR = 2.220446049250313e-8;  // 1e8 * 2^-52

class Uij {
 public:
  // Keeps the molecules as given (not centred).  The table is matched
  // against the molecules here once, but a table that is too small fails
  // only when an energy is asked for, and again at every such call.
  explicit Uij(PairRecord pair);

  const PairRecord& pair() const { return pair_; }

  // The energy with moli turned by Ry(theta1) Rz(phi1) about its origin and
  // molj turned by Rz(psi2) Ry(theta2) Rz(phi2) about its origin and moved
  // to (0, 0, r).  Angles in turns.
  double uij(double r, double phi1, double theta1, double phi2, double theta2, double psi2) const;

  // The mean energy over random orientations at distance r: ten warm-up
  // blocks of num_inner samples, then up to num_outer blocks, each followed
  // by the window test and, every num_print blocks, a "[Uij::u_r]" line.
  double u_r(double r, double dev_tol, std::uint64_t num_inner, std::uint64_t num_outer,
             std::uint64_t num_print) const;

 private:
  // The failure pair_energy would raise for this table and these molecules.
  void check_table() const;
  // uij with the angles already in radians, into the given scratch arrays.
  double energy_at(double r, const Rotation& rot_i, const Rotation& rot_j, SiteArray& turned_i,
                   SiteArray& turned_j) const;

  PairRecord pair_;
  SiteArray sites_i_;
  SiteArray sites_j_;
  PairKernel kernel_;
  bool table_fits_ = true;
  std::size_t short_len_ = 0;    // for a table that does not fit: its short length
  std::size_t short_index_ = 0;  // ... and the index that is missing
};

}  // namespace vica
