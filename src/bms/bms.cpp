#include "bms/bms.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "mayer/acceptance.h"
#include "mayer/mayer_sampling.h"
#include "runtime/failure.h"
#include "runtime/number_forms.h"
#include "uij/pair_energy.h"
#include "uij/pair_kernel.h"
#include "uij/step_trig.h"

namespace vica {

BmsRecord make_bms(Molecule mol1, Molecule mol2, SitePairTable potk) {
  BmsRecord rec;
  rec.mol1 = center_molecule(mol1);
  rec.mol2 = center_molecule(mol2);
  rec.potk = std::move(potk);
  return rec;
}

namespace {

// The walk of molecule 2 around molecule 1 (fixed at the origin in its
// stored orientation).  Its target density is |f| |sin theta|: the Mayer
// value times the measure of the Euler angles, so orientations are sampled
// uniformly on the rotation group.
class BmsWalk {
 public:
  BmsWalk(const BmsRecord& rec, double t_kelvin, double u_min, std::size_t n_terms)
      : b_(negative_inverse_temperature("Bms", t_kelvin)),
        u_min_(u_min),
        mol1_(rec.mol1),
        mol2_(rec.mol2),
        trial_(rec.mol2),
        kernel_(rec.potk, rec.mol1.size(), rec.mol2.size()),
        v_(n_terms, 0.0),
        point_(all_sites_at_origin(rec.mol2)),
        trig_(step_trig()),
        exact_only_(exact_acceptance_only()) {
    if (kernel_.never_interacts()) {
      throw ValueError(
          "Bms.run(): the molecules cannot interact (a molecule without sites, or every entry of potk "
          "that the run reads is R0), so the Mayer function is 0 everywhere and no start configuration exists");
    }
    sigma_ = (max_site_radius(rec.mol1) + 1.0) + max_site_radius(rec.mol2);
    virial_hs_ = ((sigma_ * sigma_) * sigma_) * 2.0943951023931953;
    inside_ = WithinRadius(sigma_);
    t_lim_ = u_min * b_;
  }

  double sigma_hs() const { return sigma_; }
  double virial_hs() const { return virial_hs_; }
  const double* terms() const { return v_.data(); }
  double reference_term() const { return g_; }
  double mayer_value() const { return f_; }

  void find_start(RandomSource& rng) {
    double f = 0.0;
    std::uint64_t draws = 0;
    std::uint64_t overlaps = 0;
    double u_highest = -std::numeric_limits<double>::infinity();
    double f_largest = 0.0;
    while (std::fabs(f) > 10.0 || std::fabs(f) < 0.1) {
      if (draws == kStartDrawLimit) start_not_found(overlaps, u_highest, f_largest);
      ++draws;
      const Pose p = draw_pose(rng, sigma_);
      double st;
      const double u = energy_of(p, st);
      const double t = u * b_;
      if (u > u_highest) u_highest = u;
      if (t_lim_ > t) {
        f = std::expm1(t);
        if (std::fabs(f) > f_largest) f_largest = std::fabs(f);
        pose_ = p;
        st_ = st;
        t_ = t;
        f_ = f;
        admissible_ = true;
      } else {
        ++overlaps;
      }
    }
  }

  // One Metropolis step: six normals (taken at the end of the step before
  // when that one was told to draw them), the trial, then one uniform; with
  // draw_next the six normals of the next step follow at once, before the
  // decision, so that they never wait for it.  The stream is used in the same
  // order either way.  The decision is the rule |f' / f| |st' / st| > U,
  // settled from an estimate of f' where the estimate cannot change it
  // (mayer/acceptance.h); f' = expm1(t') is computed for an accepted or
  // undecided trial only.
  bool step(RandomSource& rng, double scale, bool draw_next) {
    if (!normals_ready_) draw_move_normals(rng, normals_);
    const Pose p = trial_pose(normals_, pose_, sigma_, scale);
    double st;
    const double u = energy_of(p, st);
    const double t = u * b_;
    const bool admissible = t_lim_ > t;
    const double big_u = rng.uniform01();
    normals_ready_ = draw_next;
    if (draw_next) draw_move_normals(rng, normals_);
    Verdict verdict = Verdict::undecided;
    if (!exact_only_) {
      const double f_est = admissible ? expm1_estimate(t) : -1.0;
      if (moderate(f_est) && moderate(st) && moderate(st_)) {
        verdict = estimated_verdict(std::fabs(f_est) * std::fabs(st), (big_u * std::fabs(f_)) * std::fabs(st_));
      }
    }
    if (verdict == Verdict::reject) return false;
    const double f = admissible ? std::expm1(t) : -1.0;
    if (verdict == Verdict::undecided && !(std::fabs(f / f_) * std::fabs(st / st_) > big_u)) return false;
    pose_ = p;
    st_ = st;
    t_ = t;
    f_ = f;
    admissible_ = admissible;
    return true;
  }

  void refresh_terms() {
    double* v = v_.data();
    const std::size_t n = v_.size();
    const double af = std::fabs(f_);
    v[0] = sign_term(f_);
    if (n > 1) {
      if (admissible_) {
        v[1] = (exp_of(t_) / af) * t_;
        for (std::size_t k = 2; k < n; ++k) v[k] = v[k - 1] * t_;
      } else {
        for (std::size_t k = 1; k < n; ++k) v[k] = 0.0;
      }
    }
    g_ = inside_(pose_.x, pose_.y, pose_.z) ? -1.0 / af : 0.0 / af;
  }

 private:
  // Energy of molecule 2 at pose p; st receives sin(theta).  The sines and
  // cosines of a pose come from one call of the run's trigonometric routines.
  double energy_of(const Pose& p, double& st) {
    const Site offset{p.x, p.y, p.z};
    if (point_) {
      st = trig_.sin(p.theta);
      return kernel_.energy(mol1_, mol2_, offset);
    }
    Rotation rot;
    st = trig_.rotation(p.phi, p.theta, p.psi, &rot);
    return kernel_.energy_turned(rot, mol2_, trial_, mol1_, offset);
  }

  [[noreturn]] void start_not_found(std::uint64_t overlaps, double u_highest, double f_largest) const {
    std::string why;
    if (overlaps == kStartDrawLimit) {
      why = "every configuration drawn had an energy at or below u_min = " + fmt_debug(u_min_) +
            " (highest energy met: " + fmt_debug(u_highest) +
            "), so each counted as an overlap; u_min lies above every energy met";
    } else {
      why = "no configuration had 0.1 <= |f| <= 10 (largest |f| met: " + fmt_debug(f_largest) + "; " +
            std::to_string(overlaps) + " draws were overlaps at or below u_min = " + fmt_debug(u_min_) +
            "); the interaction is too weak at this temperature or the table's energies are not in kelvin";
    }
    throw RuntimeError("Bms.run(): no start configuration found in " + std::to_string(kStartDrawLimit) +
                       " draws: " + why);
  }

  double b_;
  double u_min_;
  double t_lim_ = 0.0;
  double sigma_ = 0.0;
  double virial_hs_ = 0.0;
  WithinRadius inside_{0.0};  // centre distance below sigma_
  SiteArray mol1_;
  SiteArray mol2_;
  SiteArray trial_;
  WalkPairEnergy kernel_;
  std::vector<double> v_;
  bool point_;  // molecule 2 has all its sites at the origin
  const TrigRoutines& trig_;  // the sines and cosines of the run's steps
  bool exact_only_;           // decide every trial with the rule as written
  double g_ = 0.0;
  MoveNormals normals_{};      // the normals of the next step, once drawn
  bool normals_ready_ = false;
  // Current configuration.
  Pose pose_{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double st_ = 0.0;
  double t_ = 0.0;
  double f_ = 0.0;
  bool admissible_ = true;
};

}  // namespace

namespace {

// A run drawing from `given`, or from the calling thread's generator when null.
std::vector<double> run_bms(const BmsRecord& rec, double t_kelvin, double u_min, double dev_tol,
                            std::uint64_t order_max, RandomSource* given) {
  negative_inverse_temperature("Bms", t_kelvin);
  const std::size_t n = term_count("Bms", order_max);
  require_run_memory("Bms", order_max, static_cast<double>(n) * (3.0 * sizeof(double)));
  BmsWalk walk(rec, t_kelvin, u_min, n);
  MayerRunSums acc(n);
  std::shared_ptr<RandomSource> own;
  if (given == nullptr) own = RandomSource::for_current_thread();
  RandomSource& rng = given != nullptr ? *given : *own;
  const RunClock clock = RunClock::start();
  return run_mayer_sampling(walk, "Bms", rng, clock, dev_tol, acc);
}

}  // namespace

std::vector<double> bms_run(const BmsRecord& rec, double t_kelvin, double u_min, double dev_tol,
                            std::uint64_t order_max) {
  return run_bms(rec, t_kelvin, u_min, dev_tol, order_max, nullptr);
}

std::vector<double> bms_run(const BmsRecord& rec, double t_kelvin, double u_min, double dev_tol,
                            std::uint64_t order_max, RandomSource& rng) {
  return run_bms(rec, t_kelvin, u_min, dev_tol, order_max, &rng);
}

}  // namespace vica
