// Site-site laws of the engines that vicatools owns (the B2 integrator, the
// one-site B3 rule, the B_n walk): the four laws of PotK and three more.
//
//   kind 0..3   PotK's R0, R1, R6R12, R1R6R12, evaluated as site_energy does
//               (the same bits)
//   kind 4      Mie / two inverse powers with charges:
//                 u = c1 / r + ca / r^la + cr / r^lr        (la, lr > 0)
//               with la = 6 and lr = 12 evaluated as R1R6R12 (the same bits)
//   kind 5      Buckingham exp-6 with charges:
//                 u = c1 / r + A exp(-B r) + c6 / r^6       (A >= 0, B > 0)
//               its collapse at short range (c6 < 0 wins) is left to the
//               caller's floor or core, as for bare charges
//   kind 6      a table (r_i, u_i), i = 0..m-1, r_i increasing, m >= 4: a
//               natural cubic spline in between; u = +inf below r_0 (a hard
//               core: f = -1) and 0 beyond r_{m-1}
//
// Python passes an entry as a flat sequence of floats:
//   (0,) (1, c1) (2, c6, c12) (3, c1, c6, c12)       PotK's laws, as bn_run takes them
//   (4, c1, ca, la, cr, lr)
//   (5, c1, A, B, c6)
//   (6, index)                                        index into the list of tables
// Energies in K, lengths in the caller's unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pot/potk.h"

namespace vica {

struct LawTable {
  std::vector<double> r, u, m;  // m: the spline's second derivatives
  double energy(double r) const;
};

struct SiteLaw {
  std::uint8_t kind = 0;
  double c1 = 0.0, ca = 0.0, la = 6.0, cr = 0.0, lr = 12.0, a = 0.0, b = 0.0, c6 = 0.0;
  std::shared_ptr<const LawTable> table;  // kind 6
  PotK potk;                              // kinds 0..3, and kind 4 with la = 6, lr = 12

  double energy(double r) const;
  // True when nothing attracts without bound at r -> 0 (no net negative
  // 1/r, 1/r^6 or 1/r^la term winning over the repulsion).
  bool bounded_below() const;
  // An exp-6 law with c6 < 0 collapses at short range: the top of the barrier
  // inside which it does (the first maximum of u met going inwards once u is
  // positive), where the engines put a hard core; 0 for every other law.
  double collapse_barrier() const;
  // Whether this law is one of PotK's (so the engines' vector kernels apply).
  bool is_potk() const { return kind <= 3; }
};

using SiteLawTable = std::vector<std::vector<SiteLaw>>;

// Builds a law from its flat entry and the tables it may name; a malformed
// entry throws ValueError naming `where`.
SiteLaw site_law_from_entry(const std::vector<double>& entry, const std::vector<std::shared_ptr<const LawTable>>& tables,
                            const std::string& where);
// A table from its points: r increasing, finite, at least 4 points; else ValueError.
std::shared_ptr<const LawTable> make_law_table(std::vector<double> r, std::vector<double> u, const std::string& where);

double site_law_energy(const SiteLaw& law, double r);

}  // namespace vica
