#include "uij/uij.h"

#include <utility>

#include "runtime/failure.h"

namespace vica {

Uij::Uij(PairRecord pair)
    : pair_(std::move(pair)), sites_i_(pair_.moli), sites_j_(pair_.molj) {
  try {
    kernel_ = PairKernel(pair_.potk, pair_.moli.size(), pair_.molj.size());
  } catch (const InternalFailure&) {
    // Find the shortfall again, to report it at every evaluation.
    table_fits_ = false;
    const SitePairTable& t = pair_.potk;
    for (std::size_t i = 0; i < pair_.moli.size(); ++i) {
      if (i >= t.size()) {
        short_len_ = short_index_ = t.size();
        break;
      }
      if (t[i].size() < pair_.molj.size()) {
        short_len_ = short_index_ = t[i].size();
        break;
      }
    }
  }
}

void Uij::check_table() const {
  if (!table_fits_) fail_index_out_of_bounds(short_len_, short_index_);
}

double Uij::energy_at(double r, const Rotation& rot_i, const Rotation& rot_j,
                      SiteArray& turned_i, SiteArray& turned_j) const {
  check_table();
  turned_i.assign_rotated(rot_i, sites_i_);
  turned_j.assign_rotated(rot_j, sites_j_);
  return kernel_.energy(turned_i, turned_j, Site{0.0, 0.0, r});
}

double Uij::uij(double r, double phi1, double theta1, double phi2, double theta2,
                double psi2) const {
  const Rotation rot_i = rotation_from_angles(phi1 * TWO_PI, theta1 * TWO_PI);
  const Rotation rot_j = rotation_from_angles(phi2 * TWO_PI, theta2 * TWO_PI, psi2 * TWO_PI);
  SiteArray turned_i;
  SiteArray turned_j;
  return energy_at(r, rot_i, rot_j, turned_i, turned_j);
}

}  // namespace vica
