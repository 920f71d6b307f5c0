#include "virial/bn.h"
#include "virial/bn_parts.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "mayer/mayer_sampling.h"
#include "runtime/failure.h"
#include "runtime/number_forms.h"
#include "runtime/progress_log.h"
#include "uij/pair_energy.h"
#include "uij/pair_kernel.h"
#include "uij/step_trig.h"
#include "virial/graph_sum.h"
#include "virial/hard_sphere_virial.h"
#include "virial/law_pair_energy.h"

namespace vica {

BnRecord make_bn(std::vector<Molecule> molecules, std::vector<SitePairTable> tables) {
  BnRecord rec;
  rec.molecules.reserve(molecules.size());
  for (const Molecule& m : molecules) rec.molecules.push_back(center_molecule(m));
  rec.tables = std::move(tables);
  return rec;
}

BnRecord make_bn(std::vector<Molecule> molecules, std::vector<SiteLawTable> laws) {
  BnRecord rec;
  rec.molecules.reserve(molecules.size());
  for (const Molecule& m : molecules) rec.molecules.push_back(center_molecule(m));
  rec.laws = std::move(laws);
  return rec;
}

namespace bn_parts {

constexpr int kMaxOrder = 30;

long long spanning_trees(int n, const std::vector<double>& hs, const BiconnectedSum& graph) {
  const int m = n - 1;
  long long a[kMaxBodies][kMaxBodies] = {};
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (hs[graph.pair_index(i, j)] == 0.0) continue;
      if (i < m) ++a[i][i];
      if (j < m) ++a[j][j];
      if (j < m) {
        --a[i][j];
        --a[j][i];
      }
    }
  }
  long long sign = 1, previous = 1;
  for (int k = 0; k < m - 1; ++k) {
    if (a[k][k] == 0) {
      int r = k + 1;
      while (r < m && a[r][k] == 0) ++r;
      if (r == m) return 0;
      for (int c = 0; c < m; ++c) std::swap(a[k][c], a[r][c]);
      sign = -sign;
    }
    for (int i = k + 1; i < m; ++i) {
      for (int j = k + 1; j < m; ++j) a[i][j] = (a[i][j] * a[k][k] - a[i][k] * a[k][j]) / previous;
    }
    previous = a[k][k];
  }
  return sign * a[m - 1][m - 1];
}

double reference_sum(int n, bool trees, const std::vector<double>& hs, const BiconnectedSum& graph) {
  if (trees) {
    const long long count = spanning_trees(n, hs, graph);
    return static_cast<double>((n - 1) % 2 == 0 ? count : -count);
  }
  double v = 1.0;
  for (double h : hs) v = v * h;
  return v;
}

void check_record_and_options(const BnRecord& rec, const BnOptions& opt) {
  const std::size_t n = rec.molecules.size();
  if (n < 2 || n > static_cast<std::size_t>(kMaxBodies)) {
    throw ValueError("Bn.run(): the number of molecules must be between 2 and " + std::to_string(kMaxBodies) +
                     ", got " + std::to_string(n));
  }
  const std::size_t given = rec.laws.empty() ? rec.tables.size() : rec.laws.size();
  if (given != n * (n - 1) / 2) {
    throw ValueError("Bn.run(): " + std::to_string(n) + " molecules need " + std::to_string(n * (n - 1) / 2) +
                     " pair tables, got " + std::to_string(given));
  }
  if (opt.order_max > static_cast<std::uint64_t>(kMaxOrder)) {
    throw ValueError("Bn.run(): order_max must be at most " + std::to_string(kMaxOrder) + ", got " +
                     std::to_string(opt.order_max));
  }
  if (std::isnan(opt.u_min)) throw ValueError("Bn.run(): u_min must not be NaN");
  if (std::isnan(opt.dev_tol)) throw ValueError("Bn.run(): dev_tol must not be NaN");
  if (!(opt.absolute_below >= 0.0) || std::isinf(opt.absolute_below)) {
    throw ValueError("Bn.run(): absolute_below must be a finite number >= 0, got " + fmt_debug(opt.absolute_below));
  }
  if (opt.block_steps < 1000 || opt.block_steps > 10000000000ULL) {
    throw ValueError("Bn.run(): block_steps must be between 1000 and 1e10, got " + std::to_string(opt.block_steps));
  }
  if (opt.max_blocks < 1 || opt.max_blocks > 1000000) {
    throw ValueError("Bn.run(): max_blocks must be between 1 and 1000000, got " + std::to_string(opt.max_blocks));
  }
  if (std::isnan(opt.reference_weight) || std::isinf(opt.reference_weight)) {
    throw ValueError("Bn.run(): reference_weight must be finite (negative: tuned), got " +
                     fmt_debug(opt.reference_weight));
  }
  if (!(opt.reference_padding > 0.0) || std::isinf(opt.reference_padding)) {
    throw ValueError("Bn.run(): reference_padding must be a finite number > 0, got " +
                     fmt_debug(opt.reference_padding));
  }
  if (!(opt.hard_sphere_diameter >= 0.0) || std::isinf(opt.hard_sphere_diameter)) {
    throw ValueError("Bn.run(): hard_sphere_diameter must be a finite number >= 0, got " +
                     fmt_debug(opt.hard_sphere_diameter));
  }
}

[[noreturn]] void stop_non_finite(const char* phase, std::uint64_t number, double big_f, const double* sums,
                                  std::size_t n, double q) {
  std::string what = "graph sum F = " + fmt_debug(big_f) + ", reference sum = " + fmt_debug(q);
  for (std::size_t k = 0; k < n; ++k) {
    if (!std::isfinite(sums[k])) {
      what += ", term sum " + std::to_string(k) + " = " + fmt_debug(sums[k]);
      break;
    }
  }
  throw FloatingPointError(
      "Bn.run(): non-finite values at the end of " + std::string(phase) + " " + std::to_string(number) + " (" +
      what +
      "): the estimate cannot become finite again. Likely cause: energies too large for t_kelvin, so that "
      "exp(-u/T) overflows (a t_kelvin far below the depth of the potential's well, energies not in kelvin, or "
      "bare charges without an energy floor u_min)");
}

namespace {
std::string pair_name(int i, int j) { return std::to_string(i + 1) + " and " + std::to_string(j + 1); }
}  // namespace

std::vector<std::unique_ptr<LawPairEnergy>> pair_kernels(const BnRecord& rec, const BiconnectedSum& graph, int n) {
  std::vector<std::unique_ptr<LawPairEnergy>> kernels;
  const bool laws = !rec.laws.empty();
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      const int p = graph.pair_index(i, j);
      const std::size_t ni = rec.molecules[i].size(), nj = rec.molecules[j].size();
      bool fits = (laws ? rec.laws[p].size() : rec.tables[p].size()) >= ni;
      for (std::size_t a = 0; fits && a < ni; ++a) fits = (laws ? rec.laws[p][a].size() : rec.tables[p][a].size()) >= nj;
      if (!fits) {
        throw ValueError("Bn.run(): the table of molecules " + pair_name(i, j) + " is smaller than " +
                         std::to_string(ni) + " rows of " + std::to_string(nj) + " entries");
      }
      if (laws) {
        kernels.push_back(std::make_unique<LawPairEnergy>(rec.laws[p], ni, nj));
      } else {
        kernels.push_back(std::make_unique<LawPairEnergy>(rec.tables[p], ni, nj));
      }
      if (kernels.back()->never_interacts()) {
        throw ValueError("Bn.run(): molecules " + pair_name(i, j) +
                         " cannot interact (a molecule without sites, or every entry of their table is R0), "
                         "so the graph sum is 0 everywhere and no start configuration exists");
      }
    }
  }
  return kernels;
}

}  // namespace bn_parts

namespace {

// The walk of molecules 2..n around molecule 1 (see bn.h).  A trial moves one
// molecule, chosen uniformly; only its n - 1 pairs are evaluated again.
class BnWalk {
 public:
  BnWalk(const BnRecord& rec, const BnOptions& opt, int order)
      : n_(static_cast<int>(rec.molecules.size())),
        order_(order),
        b_(negative_inverse_temperature("Bn", opt.t_kelvin)),
        graph_(n_, order),
        trig_(step_trig()),
        trees_(n_ >= 4),
        hs_target_(opt.hard_sphere_diameter > 0.0),
        target_hs_(opt.hard_sphere_diameter > 0.0 ? opt.hard_sphere_diameter : 1.0),
        tune_weight_(opt.reference_weight < 0.0),
        share_(-opt.reference_weight),
        w_(opt.reference_weight < 0.0 ? -opt.reference_weight : opt.reference_weight) {
    const int pairs = graph_.pairs();
    if (!hs_target_) kernels_ = bn_parts::pair_kernels(rec, graph_, n_);
    double radii = 0.0;
    for (int m = 0; m < n_; ++m) {
      src_.emplace_back(rec.molecules[m]);
      cur_.emplace_back(rec.molecules[m]);
      trial_.emplace_back(rec.molecules[m]);
      point_.push_back(all_sites_at_origin(rec.molecules[m]));
      radii = radii + max_site_radius(rec.molecules[m]);
    }
    sigma_ = (radii + radii) / static_cast<double>(n_) + opt.reference_padding;
    const double bhs = ((sigma_ * sigma_) * sigma_) * 2.0943951023931953;
    reference_value_ = trees_ ? hard_sphere_tree_value(n_, bhs) : hard_sphere_virial_ratio(n_) * std::pow(bhs, n_ - 1);
    inside_ = WithinRadius(sigma_);
    inside_target_ = WithinRadius(target_hs_);
    t_lim_ = opt.u_min * b_;
    pose_.assign(n_, Pose{0.0, 0.0, 0.0, 0.0, 0.0, 0.0});
    st_.assign(n_, 1.0);
    t_.assign(pairs, 0.0);
    f_.assign(pairs, 0.0);
    hs_.assign(pairs, 0.0);
    adm_.assign(pairs, 0);
    tt_ = t_;
    tf_ = f_;
    ths_ = hs_;
    tadm_ = adm_;
    series_.assign(static_cast<std::size_t>(order) + 1, 0.0);
    terms_.assign(static_cast<std::size_t>(order) + 1, 0.0);
  }

  int bodies() const { return n_; }
  double sigma_hs() const { return sigma_; }
  double reference_value() const { return reference_value_; }
  double weight() const { return w_; }
  const double* terms() const { return terms_.data(); }
  double reference_term() const { return g_; }
  double graph_value() const { return big_f_; }

  void find_start(RandomSource& rng) {
    double largest = 0.0;
    for (std::uint64_t draws = 0;; ++draws) {
      if (draws == kStartDrawLimit) {
        throw RuntimeError("Bn.run(): no start configuration found in " + std::to_string(kStartDrawLimit) +
                           " draws: no configuration had 0.1 <= |F| + w |F_ref| <= 10 (largest met: " +
                           fmt_debug(largest) +
                           "); the interaction is too weak at this temperature or the tables' energies are not in "
                           "kelvin");
      }
      for (int m = 1; m < n_; ++m) {
        pose_[m] = draw_pose(rng, sigma_);
        st_[m] = turn(m, pose_[m], cur_[m]);
      }
      for (int i = 0; i < n_; ++i) {
        for (int j = i + 1; j < n_; ++j) evaluate_pair(i, j, cur_[i], pose_[i], cur_[j], pose_[j], t_, f_, hs_, adm_);
      }
      big_f_ = graph_.value(f_.data());
      big_h_ = reference_sum(hs_);
      pi_ = std::fabs(big_f_) + w_ * std::fabs(big_h_);
      if (std::fabs(pi_) > largest) largest = std::fabs(pi_);
      if (pi_ >= 0.1 && pi_ <= 10.0) return;
    }
  }

  // One Metropolis step: a uniform choosing the molecule, six normals, the
  // trial, one uniform for the rule pi' / pi |st' / st| > U.
  bool step(RandomSource& rng, double scale) {
    int m = 1 + static_cast<int>(rng.uniform01() * static_cast<double>(n_ - 1));
    if (m > n_ - 1) m = n_ - 1;
    MoveNormals normals;
    draw_move_normals(rng, normals);
    const Pose q = trial_pose(normals, pose_[m], sigma_, scale);
    const double st = turn(m, q, trial_[m]);
    tt_ = t_;
    tf_ = f_;
    ths_ = hs_;
    tadm_ = adm_;
    for (int o = 0; o < n_; ++o) {
      if (o == m) continue;
      if (o < m) {
        evaluate_pair(o, m, cur_[o], pose_[o], trial_[m], q, tt_, tf_, ths_, tadm_);
      } else {
        evaluate_pair(m, o, trial_[m], q, cur_[o], pose_[o], tt_, tf_, ths_, tadm_);
      }
    }
    const double big_f = graph_.value(tf_.data());
    const double big_h = reference_sum(ths_);
    const double pi = std::fabs(big_f) + w_ * std::fabs(big_h);
    const double big_u = rng.uniform01();
    if (!((pi / pi_) * std::fabs(st / st_[m]) > big_u)) return false;
    swap(cur_[m], trial_[m]);
    pose_[m] = q;
    st_[m] = st;
    t_.swap(tt_);
    f_.swap(tf_);
    hs_.swap(ths_);
    adm_.swap(tadm_);
    big_f_ = big_f;
    big_h_ = big_h;
    pi_ = pi;
    return true;
  }

  // Tuning: the walk's means of |F| / pi and |F_ref| / pi.
  void add_tuning_sample() {
    sum_f_ += std::fabs(big_f_) / pi_;
    sum_h_ += std::fabs(big_h_) / pi_;
  }
  // At the end of a tuning cycle a tuned weight becomes mean |F| / mean |F_ref|
  // (over the walk's density both halves of pi then weigh alike).
  void end_tuning_cycle() {
    if (tune_weight_) {
      if (sum_h_ > 0.0 && sum_f_ > 0.0 && std::isfinite(sum_f_ / sum_h_)) {
        w_ = share_ * (sum_f_ / sum_h_);
      } else if (!(sum_h_ > 0.0) && w_ < 1e12) {
        // The cycle never met the reference (a reference far smaller than the
        // target's range): weigh it more until the walk finds it.
        w_ = w_ * 64.0;
      }
      pi_ = std::fabs(big_f_) + w_ * std::fabs(big_h_);
    }
    sum_f_ = sum_h_ = 0.0;
  }

  void refresh_terms() {
    const int pairs = graph_.pairs();
    for (int p = 0; p < pairs; ++p) {
      double* c = graph_.pair_series(p);
      c[0] = f_[p];
      if (order_ == 0) continue;
      if (adm_[p]) {
        const double t = t_[p];
        c[1] = exp_of(t) * t;
        for (int k = 2; k <= order_; ++k) c[k] = (c[k - 1] * t) / static_cast<double>(k);
      } else {
        for (int k = 1; k <= order_; ++k) c[k] = 0.0;
      }
    }
    graph_.compute(order_, series_.data());
    for (int k = 0; k <= order_; ++k) terms_[k] = series_[k] / pi_;
    g_ = big_h_ / pi_;
  }

 private:
  double reference_sum(const std::vector<double>& hs) const { return bn_parts::reference_sum(n_, trees_, hs, graph_); }

  // Turns molecule m into `out` for pose q and returns sin(theta).
  double turn(int m, const Pose& q, SiteArray& out) const {
    if (hs_target_ || point_[m]) return trig_.sin(q.theta);
    Rotation rot;
    const double st = trig_.rotation(q.phi, q.theta, q.psi, &rot);
    out.assign_rotated(rot, src_[m]);
    return st;
  }

  // The values of pair (i, j), i < j, for turned sites si, sj at poses pi, pj.
  void evaluate_pair(int i, int j, const SiteArray& si, const Pose& pi, const SiteArray& sj, const Pose& pj,
                     std::vector<double>& t, std::vector<double>& f, std::vector<double>& hs,
                     std::vector<char>& adm) const {
    const int p = graph_.pair_index(i, j);
    const double dx = pj.x - pi.x, dy = pj.y - pi.y, dz = pj.z - pi.z;
    hs[p] = inside_(dx, dy, dz) ? -1.0 : 0.0;
    if (hs_target_) {
      t[p] = 0.0;
      f[p] = inside_target_(dx, dy, dz) ? -1.0 : 0.0;
      adm[p] = 0;
      return;
    }
    const double tv = kernels_[p]->energy(si, sj, Site{dx, dy, dz}) * b_;
    t[p] = tv;
    // an infinite energy (a table's hard core) is an overlap: f = -1, no series
    adm[p] = t_lim_ > tv && tv >= -std::numeric_limits<double>::max();
    f[p] = adm[p] ? std::expm1(tv) : -1.0;
  }

  int n_;
  int order_;
  double b_;
  BiconnectedSum graph_;
  const TrigRoutines& trig_;
  // From four molecules on, the reference is the sum over the trees of hard
  // spheres, not their whole graph sum: that sum changes sign at n >= 4 and
  // cancels, so a run's average of it can come near 0 and the ratio explode.
  // Every tree has n - 1 bonds, so the tree sum has one sign, (-1)^(n-1) times
  // the number of spanning trees of the overlap graph (nonzero exactly when that
  // graph is connected), and an exact integral.
  bool trees_;
  bool hs_target_;
  double target_hs_;
  bool tune_weight_;
  double share_;  // a tuned weight: this share of mean |F| / mean |F_ref|
  double w_;
  double sigma_ = 0.0;
  double reference_value_ = 0.0;
  double t_lim_ = 0.0;
  WithinRadius inside_{1.0};
  WithinRadius inside_target_{1.0};
  std::vector<std::unique_ptr<LawPairEnergy>> kernels_;  // one per pair, pair order
  std::vector<SiteArray> src_, cur_, trial_;
  std::vector<char> point_;
  std::vector<Pose> pose_;
  std::vector<double> st_;
  // Per pair: -u/T, f, hard-sphere f, whether the energy is above the floor;
  // the t-prefixed copies hold a trial.
  std::vector<double> t_, f_, hs_, tt_, tf_, ths_;
  std::vector<char> adm_, tadm_;
  std::vector<double> series_, terms_;
  double big_f_ = 0.0, big_h_ = 0.0, pi_ = 0.0, g_ = 0.0;
  double sum_f_ = 0.0, sum_h_ = 0.0;
};

std::vector<double> run_bn(const BnRecord& rec, const BnOptions& opt, RandomSource* given, BnStop* stop) {
  negative_inverse_temperature("Bn", opt.t_kelvin);
  bn_parts::check_record_and_options(rec, opt);
  // the absolute rule reads entry 1 (T dX/dT) of the running sums
  const bool absolute_rule = opt.absolute_below > 0.0;
  const int order = absolute_rule && opt.order_max == 0 ? 1 : static_cast<int>(opt.order_max);
  const std::size_t n_terms = static_cast<std::size_t>(order) + 1;
  bool met = false, held = false;
  std::uint64_t made = 0;
  BnWalk walk(rec, opt, order);
  std::shared_ptr<RandomSource> own;
  if (given == nullptr) own = RandomSource::for_current_thread();
  RandomSource& rng = given != nullptr ? *given : *own;
  const RunClock clock = RunClock::start();
  const std::string tag = "[Bn::run::";

  walk.find_start(rng);
  ProgressLog::print(tag + "ini] n=" + std::to_string(walk.bodies()) + ",sigma_hs=" + fmt_fixed(walk.sigma_hs(), 6) +
                     ",reference=" + fmt_fixed(walk.reference_value(), 6) + "," + hms_text(clock) + "\n");

  // Ten tuning cycles of a tenth of a block each: the step scale towards half
  // of the trials accepted, and the reference weight when it is tuned.
  const std::uint64_t cycle = opt.block_steps / 10;
  const double cycle_d = static_cast<double>(cycle);
  double scale = 1.0;
  for (int c = 1; c <= 10; ++c) {
    std::uint64_t count = 0;
    for (std::uint64_t s = 0; s < cycle; ++s) {
      if (walk.step(rng, scale)) ++count;
      walk.add_tuning_sample();
    }
    walk.end_tuning_cycle();
    const double rate = static_cast<double>(count) / cycle_d;
    ProgressLog::print(tag + "opt] scale=" + fmt_fixed(scale, 6) + ",acceptance=" + fmt_fixed(rate, 4) +
                       ",weight=" + fmt_fixed(walk.weight(), 6) + "," + hms_text(clock) + "\n");
    if (!std::isfinite(walk.graph_value())) bn_parts::stop_non_finite("tuning cycle", c, walk.graph_value(), nullptr, 0, 0.0);
    double excess = rate - 0.5;
    if (excess < -0.2) excess = -0.2;
    if (excess > 0.2) excess = 0.2;
    scale = (excess + 1.0) * scale;
  }

  walk.refresh_terms();
  std::vector<double> sums(n_terms, 0.0);
  double q = 0.0;
  double ring_ref[10] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double ring_val[10] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::uint64_t block = 1; block <= opt.max_blocks; ++block) {
    made = block;
    for (std::uint64_t s = 0; s < opt.block_steps; ++s) {
      if (walk.step(rng, scale)) walk.refresh_terms();
      q += walk.reference_term();
      const double* v = walk.terms();
      for (std::size_t k = 0; k < n_terms; ++k) sums[k] += v[k];
    }
    bool finite = std::isfinite(q) && std::isfinite(walk.graph_value());
    for (std::size_t k = 0; k < n_terms; ++k) finite = finite && std::isfinite(sums[k]);
    if (!finite) bn_parts::stop_non_finite("production block", block, walk.graph_value(), sums.data(), n_terms, q);
    const double steps = static_cast<double>(block) * static_cast<double>(opt.block_steps);
    ring_ref[block % 10] = q / steps;
    ring_val[block % 10] = sums[0] / steps;
    if (block <= 9) {
      ProgressLog::print(tag + "run] i=" + std::to_string(block) + "x" + std::to_string(opt.block_steps) + ", " +
                         hms_text(clock) + "\n");
      continue;
    }
    const RingSpread spread = ring_spread(ring_val, ring_ref);
    ProgressLog::print(tag + "run] i=" + std::to_string(block) + "x" + std::to_string(opt.block_steps) +
                       ", fraction=" + fmt_fixed(spread.mean, 4) + ", deviation=" + fmt_fixed(spread.deviation, 4) +
                       ", " + hms_text(clock) + "\n");
    // near a zero crossing: the spread against dev_tol |T dX/dT| (in the ring's units, entry 1 / reference)
    const double slope = absolute_rule ? std::fabs(sums[1] / q) : 0.0;
    held = absolute_rule && std::fabs(spread.mean) < opt.absolute_below * slope;
    met = held ? (spread.deviation < 2.220446049250313e-12 || opt.dev_tol * slope > spread.deviation)
               : ring_converged(spread, opt.dev_tol);
    if (met) break;
  }
  if (stop != nullptr) {
    stop->blocks = made;
    stop->met = met;
    stop->absolute.assign(1, held ? 1 : 0);
  }
  if (!(q != 0.0)) {
    throw FloatingPointError(
        "Bn.run(): the walk never met a configuration of the hard-sphere reference, so the ratio is undefined; "
        "make the run longer or give the reference a weight (reference_weight)");
  }
  std::vector<double> out(static_cast<std::size_t>(opt.order_max) + 1, 0.0);
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = (sums[k] / q) * walk.reference_value();
  return out;
}

}  // namespace

std::vector<double> bn_run(const BnRecord& rec, const BnOptions& opt) { return run_bn(rec, opt, nullptr, nullptr); }

std::vector<double> bn_run(const BnRecord& rec, const BnOptions& opt, RandomSource& rng) {
  return run_bn(rec, opt, &rng, nullptr);
}

std::vector<double> bn_run(const BnRecord& rec, const BnOptions& opt, RandomSource* rng, BnStop& stop) {
  return run_bn(rec, opt, rng, &stop);
}

}  // namespace vica
