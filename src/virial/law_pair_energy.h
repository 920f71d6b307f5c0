// The pair energy of two molecules whose site pairs follow site laws
// (virial/site_law.h), as the B_n walks evaluate it.
//
// A pair whose every entry is one of PotK's laws (a Mie law of exponents 6
// and 12 without a charge term counts as PotK's R6R12, one with a charge
// term as R1R6R12) goes through the Monte Carlo kernels of the walks
// (WalkPairEnergy: the vector paths, bit for bit pair_energy).  Any other pair
// is summed by the scalar path below, in pair_energy's order: the row sums
// over j (from -0.0) of law(i, j).energy(|A_i - (B_j + o)|), the distance
// clamped to MIN_SITE_DISTANCE, added to the total (from -0.0) row by row.
// An exp-6 law that collapses (c6 < 0) is infinite inside its barrier's top
// (Errington and Panagiotopoulos's form, as the one-site B3 quadrature takes
// it): a hard core there, so it needs no floor.
#pragma once

#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "mayer/mayer_sampling.h"
#include "uij/pair_kernel.h"
#include "virial/site_law.h"

namespace vica {

// The PotK form of a law, when it has one: true and `out` set for kinds 0..3
// and for kind 4 with la = 6, lr = 12 (R6R12 when c1 = 0, else R1R6R12).
bool potk_form(const SiteLaw& law, PotK& out);

class LawPairEnergy {
 public:
  // PotK tables: the walk kernel, as before.
  LawPairEnergy(const SitePairTable& table, std::size_t n_first, std::size_t n_second);
  // Site-law tables (rows and entries already checked to cover the sites).
  LawPairEnergy(const SiteLawTable& laws, std::size_t n_first, std::size_t n_second);
  LawPairEnergy(const LawPairEnergy&) = delete;
  LawPairEnergy& operator=(const LawPairEnergy&) = delete;

  bool never_interacts() const { return never_interacts_; }
  // True when the pair goes through the scalar path.
  bool scalar() const { return kernel_ == nullptr; }

  [[gnu::always_inline]] inline double energy(const SiteArray& first, const SiteArray& second, Site o) const {
    if (kernel_ != nullptr) [[likely]] return kernel_->energy(first, second, o);
    return scalar_energy(first, second, o);
  }

 private:
  double scalar_energy(const SiteArray& first, const SiteArray& second, Site o) const;

  std::unique_ptr<WalkPairEnergy> kernel_;
  std::vector<SiteLaw> laws_;   // scalar path: n_first x n_second, by rows
  std::vector<double> cores_;   // per entry: u = +inf below this distance (a collapsing exp-6)
  std::size_t n_first_ = 0, n_second_ = 0;
  bool never_interacts_ = true;
};

}  // namespace vica
