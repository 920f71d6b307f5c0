#include "virial/law_pair_energy.h"

#include <cmath>
#include <limits>

namespace vica {

bool potk_form(const SiteLaw& law, PotK& out) {
  if (law.is_potk()) {
    out = law.potk;
    return true;
  }
  if (law.kind == 4 && law.la == 6.0 && law.lr == 12.0) {
    out = law.c1 == 0.0 ? PotK::r6r12(law.ca, law.cr) : PotK::r1r6r12(law.c1, law.ca, law.cr);
    return true;
  }
  return false;
}

LawPairEnergy::LawPairEnergy(const SitePairTable& table, std::size_t n_first, std::size_t n_second)
    : kernel_(std::make_unique<WalkPairEnergy>(table, n_first, n_second)), n_first_(n_first), n_second_(n_second) {
  never_interacts_ = kernel_->never_interacts();
}

LawPairEnergy::LawPairEnergy(const SiteLawTable& laws, std::size_t n_first, std::size_t n_second)
    : n_first_(n_first), n_second_(n_second) {
  SitePairTable table(n_first);
  bool all_potk = true;
  for (std::size_t i = 0; i < n_first && all_potk; ++i) {
    table[i].resize(n_second);
    for (std::size_t j = 0; j < n_second && all_potk; ++j) all_potk = potk_form(laws[i][j], table[i][j]);
  }
  if (all_potk) {
    kernel_ = std::make_unique<WalkPairEnergy>(table, n_first, n_second);
    never_interacts_ = kernel_->never_interacts();
    return;
  }
  laws_.reserve(n_first * n_second);
  cores_.reserve(n_first * n_second);
  for (std::size_t i = 0; i < n_first; ++i) {
    for (std::size_t j = 0; j < n_second; ++j) {
      laws_.push_back(laws[i][j]);
      cores_.push_back(laws[i][j].collapse_barrier());
      if (laws[i][j].kind != 0) never_interacts_ = false;
    }
  }
}

double LawPairEnergy::scalar_energy(const SiteArray& first, const SiteArray& second, Site o) const {
  double total = -0.0;
  const double* ax = first.x();
  const double* ay = first.y();
  const double* az = first.z();
  const double* bx = second.x();
  const double* by = second.y();
  const double* bz = second.z();
  const SiteLaw* law = laws_.data();
  const double* core = cores_.data();
  for (std::size_t i = 0; i < n_first_; ++i) {
    double row = -0.0;
    for (std::size_t j = 0; j < n_second_; ++j, ++law, ++core) {
      const double dx = ax[i] - (bx[j] + o.x);
      const double dy = ay[i] - (by[j] + o.y);
      const double dz = az[i] - (bz[j] + o.z);
      double r = std::sqrt((dx * dx + dy * dy) + dz * dz);
      if (!(r > MIN_SITE_DISTANCE)) r = MIN_SITE_DISTANCE;
      row = row + (r < *core ? std::numeric_limits<double>::infinity() : law->energy(r));
    }
    total = total + row;
  }
  return total;
}

}  // namespace vica
