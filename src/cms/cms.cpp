#include "cms/cms.h"

#include <cmath>
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

CmsRecord make_cms(Molecule mol1, Molecule mol2, Molecule mol3, SitePairTable potk12,
                   SitePairTable potk13, SitePairTable potk23) {
  CmsRecord rec;
  rec.mol1 = center_molecule(mol1);
  rec.mol2 = center_molecule(mol2);
  rec.mol3 = center_molecule(mol3);
  rec.pair12 = CmsPair{rec.mol1, rec.mol2, std::move(potk12)};
  rec.pair13 = CmsPair{rec.mol1, rec.mol3, std::move(potk13)};
  rec.pair23 = CmsPair{rec.mol2, rec.mol3, std::move(potk23)};
  return rec;
}

namespace {

constexpr double kInvSqrt2 = 0.7071067811865476;

// The walk of molecules 2 and 3 around molecule 1 (fixed at the origin in its
// stored orientation); each trial moves one of them.  Target density
// |f12 f13 f23| |sin theta2| |sin theta3|, the Euler-angle measure included.
//
// Only the moving molecule changes in a trial: the turned sites of the other
// one, its pair energy with molecule 1 and that pair's Mayer value are kept
// from the current configuration, and the derivative rows are rebuilt only
// for the pairs whose energy changed.
class CmsWalk {
 public:
  CmsWalk(const CmsRecord& rec, double t_kelvin, std::size_t n_terms, MultinomialLists lists)
      : b_(negative_inverse_temperature("Cms", t_kelvin)),
        a1_(rec.mol1),
        src_{SiteArray(rec.mol2), SiteArray(rec.mol3)},
        cur_{SiteArray(rec.mol2), SiteArray(rec.mol3)},
        trial_{SiteArray(rec.mol2), SiteArray(rec.mol3)},
        k12_(rec.pair12.potk, rec.mol1.size(), rec.mol2.size()),
        k13_(rec.pair13.potk, rec.mol1.size(), rec.mol3.size()),
        k23_(rec.pair23.potk, rec.mol2.size(), rec.mol3.size()),
        lists_(std::move(lists)),
        point_{all_sites_at_origin(rec.mol2), all_sites_at_origin(rec.mol3)},
        trig_(step_trig()),
        exact_only_(exact_acceptance_only()),
        d12_(n_terms, 0.0),
        d13_(n_terms, 0.0),
        d23_(n_terms, 0.0),
        w_(n_terms, 0.0) {
    const char* dead = k12_.never_interacts()   ? "1 and 2"
                       : k13_.never_interacts() ? "1 and 3"
                       : k23_.never_interacts() ? "2 and 3"
                                                : nullptr;
    if (dead != nullptr) {
      const std::string which = std::string(dead);
      const std::string table = which == "1 and 2" ? "potk12" : which == "1 and 3" ? "potk13" : "potk23";
      throw ValueError("Cms.run(): molecules " + which + " cannot interact (a molecule without sites, or every entry of " +
                       table + " that the run reads is R0), so the Mayer product is 0 everywhere and no start "
                       "configuration exists");
    }
    const double r1 = max_site_radius(rec.mol1);
    const double r2 = max_site_radius(rec.mol2);
    const double r3 = max_site_radius(rec.mol3);
    sigma_ = (((r1 + r1) / 3.0 + 1.0) + (r2 + r2) / 3.0) + (r3 + r3) / 3.0;
    const double s2 = sigma_ * sigma_;
    virial_hs_ = ((s2 * s2) * s2) * 2.741556778080377;
    inside_ = WithinRadius(sigma_);
  }

  double sigma_hs() const { return sigma_; }
  double virial_hs() const { return virial_hs_; }
  const double* terms() const { return w_.data(); }
  double reference_term() const { return g_; }
  double mayer_value() const { return p_; }

  void find_start(RandomSource& rng) {
    double p = 0.0;
    std::uint64_t draws = 0;
    double p_largest = 0.0;
    while (std::fabs(p) < 0.1 || std::fabs(p) > 10.0) {
      if (draws == kStartDrawLimit) {
        throw RuntimeError("Cms.run(): no start configuration found in " + std::to_string(kStartDrawLimit) +
                           " draws: no configuration had 0.1 <= |f12 f13 f23| <= 10 (largest |f12 f13 f23| met: " +
                           fmt_debug(p_largest) +
                           "); the interaction is too weak at this temperature or the tables' energies are not in "
                           "kelvin");
      }
      ++draws;
      pose_[0] = draw_pose(rng, sigma_);
      pose_[1] = draw_pose(rng, sigma_);
      for (int m = 0; m < 2; ++m) st_[m] = turn(m, pose_[m], cur_[m]);
      const Pose& q2 = pose_[0];
      const Pose& q3 = pose_[1];
      t12_ = k12_.energy(a1_, cur_[0], Site{q2.x, q2.y, q2.z}) * b_;
      t13_ = k13_.energy(a1_, cur_[1], Site{q3.x, q3.y, q3.z}) * b_;
      t23_ = k23_.energy(cur_[0], cur_[1], Site{q3.x - q2.x, q3.y - q2.y, q3.z - q2.z}) * b_;
      f12_ = std::expm1(t12_);
      f13_ = std::expm1(t13_);
      f23_ = std::expm1(t23_);
      p = (f12_ * f13_) * f23_;
      if (std::fabs(p) > p_largest) p_largest = std::fabs(p);
    }
    p_ = p;
    dirty12_ = dirty13_ = dirty23_ = true;
  }

  // The estimate's verdict on a trial whose two new Mayer values are
  // expm1(t_a) and expm1(t_b), the third (`kept`) being the current one, for
  // the rule |p' / p| |st' / st| > U (mayer/acceptance.h).
  Verdict verdict_of(double t_a, double kept, double t_b, double st, double st_current, double big_u) const {
    if (exact_only_) return Verdict::undecided;
    const double e_a = expm1_estimate(t_a);
    const double e_b = expm1_estimate(t_b);
    if (!(moderate(e_a) && moderate(kept) && moderate(e_b) && moderate(st) && moderate(st_current))) {
      return Verdict::undecided;
    }
    return estimated_verdict(std::fabs((e_a * kept) * e_b) * std::fabs(st),
                             (big_u * std::fabs(p_)) * std::fabs(st_current));
  }

  // One Metropolis step: one coin, six normals (taken at the end of the step
  // before when that one was told to draw them), the trial, one uniform; with
  // draw_next the coin and normals of the next step follow at once, before
  // the decision, so that they never wait for it.  The stream is used in the
  // same order either way.  The rule |p' / p| |st' / st| > U is settled from
  // estimates of the two new Mayer values where they cannot change it; the
  // values themselves are computed for an accepted or undecided trial only.
  bool step(RandomSource& rng, double scale, bool draw_next) {
    if (!ready_) {
      next_move2_ = rng.coin();
      draw_move_normals(rng, next_normals_);
    }
    const bool move2 = next_move2_;
    const int m = move2 ? 0 : 1;
    const MoveNormals normals = next_normals_;
    const Pose q = trial_pose(normals, pose_[m], sigma_, scale);
    SiteArray& turned = trial_[m];
    double st;
    const double t1m = turn_with_first(m, q, turned, st) * b_;
    const Pose& o = pose_[1 - m];
    const double t23 = (move2 ? k23_.energy(turned, cur_[1], Site{o.x - q.x, o.y - q.y, o.z - q.z})
                              : k23_.energy(cur_[0], turned, Site{q.x - o.x, q.y - o.y, q.z - o.z})) *
                       b_;
    const double big_u = rng.uniform01();
    ready_ = draw_next;
    if (draw_next) {
      next_move2_ = rng.coin();
      draw_move_normals(rng, next_normals_);
    }
    if (move2) {
      const double t12 = t1m;
      const Verdict verdict = verdict_of(t12, f13_, t23, st, st_[0], big_u);
      if (verdict == Verdict::reject) return false;
      const double f12 = std::expm1(t12);
      const double f23 = std::expm1(t23);
      const double p = (f12 * f13_) * f23;
      if (verdict == Verdict::accept || std::fabs(p / p_) * std::fabs(st / st_[0]) > big_u) {
        swap(cur_[0], trial_[0]);
        pose_[0] = q;
        st_[0] = st;
        t12_ = t12;
        t23_ = t23;
        f12_ = f12;
        f23_ = f23;
        p_ = p;
        dirty12_ = dirty23_ = true;
        return true;
      }
    } else {
      const double t13 = t1m;
      const Verdict verdict = verdict_of(t13, f12_, t23, st, st_[1], big_u);
      if (verdict == Verdict::reject) return false;
      const double f13 = std::expm1(t13);
      const double f23 = std::expm1(t23);
      const double p = (f12_ * f13) * f23;
      if (verdict == Verdict::accept || std::fabs(p / p_) * std::fabs(st / st_[1]) > big_u) {
        swap(cur_[1], trial_[1]);
        pose_[1] = q;
        st_[1] = st;
        t13_ = t13;
        t23_ = t23;
        f13_ = f13;
        f23_ = f23;
        p_ = p;
        dirty13_ = dirty23_ = true;
        return true;
      }
    }
    return false;
  }

  void refresh_terms() {
    if (dirty12_) fill_row(d12_, t12_, f12_);
    if (dirty13_) fill_row(d13_, t13_, f13_);
    if (dirty23_) fill_row(d23_, t23_, f23_);
    dirty12_ = dirty13_ = dirty23_ = false;
    const double ap = std::fabs(p_);
    w_[0] = sign_term(p_);
    const std::size_t n = w_.size();
    const MultinomialTerm* terms = lists_.terms.data();
    const double* d12 = d12_.data();
    const double* d13 = d13_.data();
    const double* d23 = d23_.data();
    for (std::size_t big_i = 1; big_i < n; ++big_i) {
      double sum = -0.0;
      const std::size_t end = lists_.start[big_i + 1];
      for (std::size_t e = lists_.start[big_i]; e < end; ++e) {
        const MultinomialTerm& c = terms[e];
        const std::size_t k = big_i - c.i - c.j;
        sum = sum + ((c.c * d12[c.i]) * d13[c.j]) * d23[k];
      }
      w_[big_i] = sum / ap;
    }
    const Pose& q2 = pose_[0];
    const Pose& q3 = pose_[1];
    const bool inside = inside_(q2.x, q2.y, q2.z) && inside_(q3.x, q3.y, q3.z) &&
                        inside_(q3.x - q2.x, q3.y - q2.y, q3.z - q2.z);
    g_ = inside ? -1.0 / ap : 0.0 / ap;
  }

 private:
  // Turns mobile molecule m (0: molecule 2, 1: molecule 3) into `out` for
  // pose q and returns sin(theta).  A molecule with all its sites at the
  // origin keeps them (out already holds them: turning changes nothing a
  // distance sees).
  double turn(int m, const Pose& q, SiteArray& out) const {
    if (point_[m]) return trig_.sin(q.theta);
    Rotation rot;
    const double st = trig_.rotation(q.phi, q.theta, q.psi, &rot);
    out.assign_rotated(rot, src_[m]);
    return st;
  }

  // turn(m, q, out) into st, and the pair energy of molecule 1 with the
  // turned molecule at q (small molecules take both in one pass).
  double turn_with_first(int m, const Pose& q, SiteArray& out, double& st) const {
    const WalkPairEnergy& k = m == 0 ? k12_ : k13_;
    const Site at{q.x, q.y, q.z};
    if (point_[m]) {
      st = trig_.sin(q.theta);
      return k.energy(a1_, out, at);
    }
    Rotation rot;
    st = trig_.rotation(q.phi, q.theta, q.psi, &rot);
    return k.energy_turned(rot, src_[m], out, a1_, at);
  }

  // d[0] = f, d[1] = (e^t t) / sqrt 2, d[n] = (d[n-1] t) / sqrt 2.
  static void fill_row(std::vector<double>& d, double t, double f) {
    const std::size_t n = d.size();
    d[0] = f;
    if (n > 1) {
      d[1] = (exp_of(t) * t) * kInvSqrt2;
      for (std::size_t k = 2; k < n; ++k) d[k] = (d[k - 1] * t) * kInvSqrt2;
    }
  }

  double b_;
  double sigma_ = 0.0;
  double virial_hs_ = 0.0;
  WithinRadius inside_{0.0};  // centre distance below sigma_
  SiteArray a1_;
  SiteArray src_[2];    // molecules 2 and 3 as stored
  SiteArray cur_[2];    // turned, current configuration
  SiteArray trial_[2];  // turned, trial
  WalkPairEnergy k12_;
  WalkPairEnergy k13_;
  WalkPairEnergy k23_;
  MultinomialLists lists_;
  bool point_[2];  // molecule 2 / 3 has all its sites at the origin: no rotation needed
  const TrigRoutines& trig_;  // the sines and cosines of the run's steps
  bool exact_only_;           // decide every trial with the rule as written
  bool ready_ = false;         // the coin and normals of the next step are drawn
  bool next_move2_ = false;
  MoveNormals next_normals_{};
  std::vector<double> d12_, d13_, d23_, w_;
  double g_ = 0.0;
  // Current configuration.
  Pose pose_[2] = {{0.0, 0.0, 0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}};
  double st_[2] = {0.0, 0.0};
  double t12_ = 0.0, t13_ = 0.0, t23_ = 0.0;
  double f12_ = 0.0, f13_ = 0.0, f23_ = 0.0;
  double p_ = 0.0;
  bool dirty12_ = true, dirty13_ = true, dirty23_ = true;
};

}  // namespace

namespace {

// A run drawing from `given`, or from the calling thread's generator when null.
std::vector<double> run_cms(const CmsRecord& rec, double t_kelvin, double dev_tol, std::uint64_t order_max,
                            RandomSource* given) {
  negative_inverse_temperature("Cms", t_kelvin);
  const std::size_t n = term_count("Cms", order_max);
  if (order_max >= (std::uint64_t{1} << 40)) {
    throw MemoryError("Cms.run(): order_max = " + std::to_string(order_max) +
                      " is too large: its multinomial lists cannot be held");
  }
  const double m = static_cast<double>(order_max);
  const double list_terms = (m + 1.0) * (m + 2.0) * (m + 3.0) / 6.0;
  require_run_memory("Cms", order_max,
                     list_terms * sizeof(MultinomialTerm) + static_cast<double>(n) * (6.0 * sizeof(double)) +
                         (m + 1.0) * (m + 2.0) / 2.0 * 40.0);
  MultinomialLists lists = multinomial_lists(order_max);
  CmsWalk walk(rec, t_kelvin, n, std::move(lists));
  MayerRunSums acc(n);
  std::shared_ptr<RandomSource> own;
  if (given == nullptr) own = RandomSource::for_current_thread();
  RandomSource& rng = given != nullptr ? *given : *own;
  const RunClock clock = RunClock::start();
  return run_mayer_sampling(walk, "Cms", rng, clock, dev_tol, acc);
}

}  // namespace

std::vector<double> cms_run(const CmsRecord& rec, double t_kelvin, double dev_tol, std::uint64_t order_max) {
  return run_cms(rec, t_kelvin, dev_tol, order_max, nullptr);
}

std::vector<double> cms_run(const CmsRecord& rec, double t_kelvin, double dev_tol, std::uint64_t order_max,
                            RandomSource& rng) {
  return run_cms(rec, t_kelvin, dev_tol, order_max, &rng);
}

}  // namespace vica
