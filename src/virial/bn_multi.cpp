#include "virial/bn_multi.h"

#include <algorithm>
#include <array>
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
#include "virial/bn_parts.h"
#include "virial/graph_sum.h"
#include "virial/hard_sphere_virial.h"
#include "virial/law_pair_energy.h"

namespace vica {

namespace {

// The walk of bn_multi.h.
class BnMultiWalk {
 public:
  BnMultiWalk(const BnRecord& rec, const std::vector<double>& temperatures, const BnOptions& opt, int order)
      : n_(static_cast<int>(rec.molecules.size())),
        order_(order),
        temps_(static_cast<int>(temperatures.size())),
        graph_(n_, order),
        trig_(step_trig()),
        trees_(n_ >= 4),
        hs_target_(opt.hard_sphere_diameter > 0.0),
        target_hs_(opt.hard_sphere_diameter > 0.0 ? opt.hard_sphere_diameter : 1.0),
        tune_weight_(opt.reference_weight < 0.0),
        share_(-opt.reference_weight),
        w_(opt.reference_weight < 0.0 ? -opt.reference_weight : opt.reference_weight) {
    pairs_ = graph_.pairs();
    for (double t : temperatures) {
      const double b = negative_inverse_temperature("Bn", t);
      b_.push_back(b);
      t_lim_.push_back(opt.u_min * b);
    }
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
    pose_.assign(n_, Pose{0.0, 0.0, 0.0, 0.0, 0.0, 0.0});
    st_.assign(n_, 1.0);
    const std::size_t all = static_cast<std::size_t>(temps_) * static_cast<std::size_t>(pairs_);
    f_.assign(all, 0.0);
    u_.assign(pairs_, 0.0);
    hs_.assign(pairs_, 0.0);
    tf_ = f_;
    tu_ = u_;
    ths_ = hs_;
    moved_.assign(n_ > 1 ? n_ - 1 : 0, 0);
    wt_.assign(temps_, 1.0);
    big_f_.assign(temps_, 0.0);
    tbig_f_ = big_f_;
    sum_f_.assign(temps_, 0.0);
    series_.assign(static_cast<std::size_t>(order) + 1, 0.0);
    terms_.assign(static_cast<std::size_t>(temps_) * (static_cast<std::size_t>(order) + 1), 0.0);
  }

  int bodies() const { return n_; }
  int temperatures() const { return temps_; }
  double sigma_hs() const { return sigma_; }
  double reference_value() const { return reference_value_; }
  double weight() const { return w_; }
  double least_temperature_weight() const { return *std::min_element(wt_.begin(), wt_.end()); }
  // order + 1 terms of temperature k
  const double* terms(int k) const { return terms_.data() + static_cast<std::size_t>(k) * (order_ + 1); }
  double reference_term() const { return g_; }
  // The graph sum of the current configuration at the temperature where it is largest in size
  // (non-finite when any is).
  double graph_value() const {
    double v = big_f_[0];
    for (int k = 1; k < temps_; ++k) {
      if (!std::isfinite(big_f_[k]) || std::fabs(big_f_[k]) > std::fabs(v)) v = big_f_[k];
      if (!std::isfinite(v)) break;
    }
    return v;
  }

  void find_start(RandomSource& rng) {
    double largest = 0.0;
    const double top = 10.0 * static_cast<double>(temps_);
    for (std::uint64_t draws = 0;; ++draws) {
      if (draws == kStartDrawLimit) {
        throw RuntimeError("Bn.run(): no start configuration found in " + std::to_string(kStartDrawLimit) +
                           " draws: no configuration had 0.1 <= sum_k |F(T_k)| + w |F_ref| <= " + fmt_debug(top) +
                           " (largest met: " + fmt_debug(largest) +
                           "); the interaction is too weak at these temperatures or the tables' energies are not in "
                           "kelvin");
      }
      for (int m = 1; m < n_; ++m) {
        pose_[m] = draw_pose(rng, sigma_);
        st_[m] = turn(m, pose_[m], cur_[m]);
      }
      for (int i = 0; i < n_; ++i) {
        for (int j = i + 1; j < n_; ++j) evaluate_pair(i, j, cur_[i], pose_[i], cur_[j], pose_[j], u_, hs_);
      }
      for (int k = 0; k < temps_; ++k) {
        double* f = f_.data() + static_cast<std::size_t>(k) * pairs_;
        for (int p = 0; p < pairs_; ++p) f[p] = mayer_f(k, u_[p]);
        big_f_[k] = graph_value_of(f);
      }
      big_h_ = reference_sum(hs_);
      pi_ = density(big_f_, big_h_);
      if (std::fabs(pi_) > largest) largest = std::fabs(pi_);
      if (pi_ >= 0.1 && pi_ <= top) return;
    }
  }

  // One Metropolis step, with the draws of bn_run's step.
  bool step(RandomSource& rng, double scale) {
    int m = 1 + static_cast<int>(rng.uniform01() * static_cast<double>(n_ - 1));
    if (m > n_ - 1) m = n_ - 1;
    MoveNormals normals;
    draw_move_normals(rng, normals);
    const Pose q = trial_pose(normals, pose_[m], sigma_, scale);
    const double st = turn(m, q, trial_[m]);
    tu_ = u_;
    ths_ = hs_;
    int changed = 0;
    for (int o = 0; o < n_; ++o) {
      if (o == m) continue;
      if (o < m) {
        evaluate_pair(o, m, cur_[o], pose_[o], trial_[m], q, tu_, ths_);
        moved_[changed++] = graph_.pair_index(o, m);
      } else {
        evaluate_pair(m, o, trial_[m], q, cur_[o], pose_[o], tu_, ths_);
        moved_[changed++] = graph_.pair_index(m, o);
      }
    }
    // f at every temperature: the unmoved pairs as they are, the moved ones from their new energies
    tf_ = f_;
    for (int k = 0; k < temps_; ++k) {
      double* f = tf_.data() + static_cast<std::size_t>(k) * pairs_;
      for (int c = 0; c < changed; ++c) f[moved_[c]] = mayer_f(k, tu_[moved_[c]]);
      tbig_f_[k] = graph_value_of(f);
    }
    const double big_h = reference_sum(ths_);
    const double pi = density(tbig_f_, big_h);
    const double big_u = rng.uniform01();
    if (!((pi / pi_) * std::fabs(st / st_[m]) > big_u)) return false;
    swap(cur_[m], trial_[m]);
    pose_[m] = q;
    st_[m] = st;
    u_.swap(tu_);
    f_.swap(tf_);
    hs_.swap(ths_);
    big_f_.swap(tbig_f_);
    big_h_ = big_h;
    pi_ = pi;
    return true;
  }

  void add_tuning_sample() {
    for (int k = 0; k < temps_; ++k) sum_f_[k] += std::fabs(big_f_[k]) / pi_;
    sum_h_ += std::fabs(big_h_) / pi_;
  }

  // Equal shares for the temperatures, then the reference's share (bn_multi.h).
  void end_tuning_cycle() {
    bool usable = true;
    double least = std::numeric_limits<double>::infinity();
    for (int k = 0; k < temps_; ++k) {
      usable = usable && sum_f_[k] > 0.0 && std::isfinite(sum_f_[k]);
      least = std::min(least, sum_f_[k]);
    }
    if (usable) {
      for (int k = 0; k < temps_; ++k) wt_[k] = least / sum_f_[k];
    }
    if (tune_weight_) {
      double total = 0.0;
      for (int k = 0; k < temps_; ++k) total = total + wt_[k] * sum_f_[k];
      if (sum_h_ > 0.0 && total > 0.0 && std::isfinite(total / sum_h_)) {
        w_ = share_ * (total / sum_h_);
      } else if (!(sum_h_ > 0.0) && w_ < 1e12) {
        w_ = w_ * 64.0;
      }
    }
    pi_ = density(big_f_, big_h_);
    for (int k = 0; k < temps_; ++k) sum_f_[k] = 0.0;
    sum_h_ = 0.0;
  }

  void refresh_terms() {
    const std::size_t k1 = static_cast<std::size_t>(order_) + 1;
    for (int k = 0; k < temps_; ++k) {
      const std::size_t base = static_cast<std::size_t>(k) * pairs_;
      for (int p = 0; p < pairs_; ++p) {
        double* c = graph_.pair_series(p);
        c[0] = f_[base + p];
        if (order_ == 0) continue;
        const double t = u_[p] * b_[k];
        if (admitted(k, t)) {
          c[1] = exp_of(t) * t;
          for (int j = 2; j <= order_; ++j) c[j] = (c[j - 1] * t) / static_cast<double>(j);
        } else {
          for (int j = 1; j <= order_; ++j) c[j] = 0.0;
        }
      }
      graph_series();
      for (int j = 0; j <= order_; ++j) terms_[k * k1 + j] = series_[j] / pi_;
    }
    g_ = big_h_ / pi_;
  }

 private:
  double density(const std::vector<double>& big_f, double big_h) const {
    double s = 0.0;
    for (int k = 0; k < temps_; ++k) s = s + wt_[k] * std::fabs(big_f[k]);
    return s + w_ * std::fabs(big_h);
  }

  // F of the pair values f: for two molecules f itself, for three the triangle
  // f12 f13 f23 (their only graph), for four the rings, the rings with a chord
  // and K4 in closed form (below), from five on the recursion over subsets.
  // Exact products where the recursion subtracts forms of 1 + f: faster (the
  // step's cost is mostly this, once per temperature), and no rounding of 1 + f.
  //
  // Four molecules, pairs p = (0,1), (0,2), (0,3), (1,2), (1,3), (2,3): with the
  // products of opposite pairs A = f01 f23, B = f02 f13, C = f03 f12, the three
  // rings are AB, AC, BC, the six rings with a chord AB (f03 + f12),
  // AC (f02 + f13), BC (f01 + f23), and K4 is ABC.
  double graph_value_of(const double* f) {
    if (n_ == 2) return f[0];
    if (n_ == 3) return (f[0] * f[1]) * f[2];
    if (n_ == 4) {
      const double a = f[0] * f[5], b = f[1] * f[4], c = f[2] * f[3];
      const double ab = a * b, ac = a * c, bc = b * c;
      return ((ab + ac) + bc) + ((ab * (f[2] + f[3]) + ac * (f[1] + f[4])) + bc * (f[0] + f[5])) + ab * c;
    }
    return graph_.value(f);
  }

  // The series of F from the pair series in graph_ into series_ (the same forms).
  void graph_series() {
    const int kk = order_ + 1;
    if (n_ > 4) {
      graph_.compute(order_, series_.data());
      return;
    }
    if (n_ == 2) {
      const double* a = graph_.pair_series(0);
      for (int j = 0; j < kk; ++j) series_[j] = a[j];
      return;
    }
    if (n_ == 3) {
      double ab[kSeries];
      product(graph_.pair_series(0), graph_.pair_series(1), ab, kk);
      product(ab, graph_.pair_series(2), series_.data(), kk);
      return;
    }
    const double* f[6];
    for (int p = 0; p < 6; ++p) f[p] = graph_.pair_series(p);
    double a[kSeries], b[kSeries], c[kSeries], ab[kSeries], ac[kSeries], bc[kSeries], s[kSeries], t[kSeries];
    product(f[0], f[5], a, kk);
    product(f[1], f[4], b, kk);
    product(f[2], f[3], c, kk);
    product(a, b, ab, kk);
    product(a, c, ac, kk);
    product(b, c, bc, kk);
    double* out = series_.data();
    for (int j = 0; j < kk; ++j) out[j] = (ab[j] + ac[j]) + bc[j];
    double chords[kSeries];
    for (int j = 0; j < kk; ++j) s[j] = f[2][j] + f[3][j];
    product(ab, s, chords, kk);
    for (int j = 0; j < kk; ++j) s[j] = f[1][j] + f[4][j];
    product(ac, s, t, kk);
    for (int j = 0; j < kk; ++j) chords[j] = chords[j] + t[j];
    for (int j = 0; j < kk; ++j) s[j] = f[0][j] + f[5][j];
    product(bc, s, t, kk);
    for (int j = 0; j < kk; ++j) chords[j] = chords[j] + t[j];
    product(ab, c, t, kk);
    for (int j = 0; j < kk; ++j) out[j] = (out[j] + chords[j]) + t[j];
  }

  // out = a b truncated after kk coefficients (out apart from a and b).
  static void product(const double* a, const double* b, double* out, int kk) {
    for (int j = 0; j < kk; ++j) {
      double s = 0.0;
      for (int i = 0; i <= j; ++i) s = s + a[i] * b[j - i];
      out[j] = s;
    }
  }
  static constexpr int kSeries = 31;  // order_max <= 30

  double reference_sum(const std::vector<double>& hs) const { return bn_parts::reference_sum(n_, trees_, hs, graph_); }

  double turn(int m, const Pose& q, SiteArray& out) const {
    if (hs_target_ || point_[m]) return trig_.sin(q.theta);
    Rotation rot;
    const double st = trig_.rotation(q.phi, q.theta, q.psi, &rot);
    out.assign_rotated(rot, src_[m]);
    return st;
  }

  // Pair (i, j), i < j: its energy u (for a hard-sphere target +inf inside the
  // target's diameter, else 0) and its hard-sphere reference value.
  void evaluate_pair(int i, int j, const SiteArray& si, const Pose& pi, const SiteArray& sj, const Pose& pj,
                     std::vector<double>& u, std::vector<double>& hs) const {
    const int p = graph_.pair_index(i, j);
    const double dx = pj.x - pi.x, dy = pj.y - pi.y, dz = pj.z - pi.z;
    hs[p] = inside_(dx, dy, dz) ? -1.0 : 0.0;
    if (hs_target_) {
      u[p] = inside_target_(dx, dy, dz) ? std::numeric_limits<double>::infinity() : 0.0;
      return;
    }
    u[p] = kernels_[p]->energy(si, sj, Site{dx, dy, dz});
  }

  // Whether t = -u / T_k is above the floor and finite below (an infinite
  // energy is an overlap: f = -1 without series).
  bool admitted(int k, double t) const {
    return !hs_target_ && t_lim_[k] > t && t >= -std::numeric_limits<double>::max();
  }
  // f of energy u at temperature k, with bn_run's arithmetic.
  double mayer_f(int k, double u) const {
    if (hs_target_) return u == 0.0 ? 0.0 : -1.0;
    const double t = u * b_[k];
    return admitted(k, t) ? std::expm1(t) : -1.0;
  }

  int n_;
  int order_;
  int temps_;
  int pairs_ = 0;
  std::vector<double> b_, t_lim_;  // -1 / T_k and u_min * b_k
  BiconnectedSum graph_;
  const TrigRoutines& trig_;
  bool trees_;
  bool hs_target_;
  double target_hs_;
  bool tune_weight_;
  double share_;
  double w_;                 // the reference's weight
  std::vector<double> wt_;   // the temperatures' weights
  double sigma_ = 0.0;
  double reference_value_ = 0.0;
  WithinRadius inside_{1.0};
  WithinRadius inside_target_{1.0};
  std::vector<std::unique_ptr<LawPairEnergy>> kernels_;
  std::vector<SiteArray> src_, cur_, trial_;
  std::vector<char> point_;
  std::vector<Pose> pose_;
  std::vector<double> st_;
  // Per pair: the energy u and the hard-sphere value; per temperature and pair
  // (K blocks of `pairs`): f.  The t-prefixed copies hold a trial.
  std::vector<double> u_, tu_, hs_, ths_, f_, tf_;
  std::vector<int> moved_;  // the pairs of the moved molecule
  std::vector<double> big_f_, tbig_f_;
  std::vector<double> series_, terms_;
  double big_h_ = 0.0, pi_ = 0.0, g_ = 0.0;
  std::vector<double> sum_f_;
  double sum_h_ = 0.0;
};

std::vector<std::vector<double>> run_multi(const BnRecord& rec, const std::vector<double>& temperatures,
                                           const BnOptions& opt, RandomSource* given, BnStop* stop) {
  if (temperatures.empty()) throw ValueError("Bn.run(): no temperatures given");
  if (temperatures.size() > kMaxTemperatures) {
    throw ValueError("Bn.run(): at most " + std::to_string(kMaxTemperatures) + " temperatures in one walk, got " +
                     std::to_string(temperatures.size()));
  }
  for (double t : temperatures) negative_inverse_temperature("Bn", t);
  bn_parts::check_record_and_options(rec, opt);
  // the absolute rule reads entry 1 (T dX/dT) of the running sums
  const bool absolute_rule = opt.absolute_below > 0.0;
  const int order = absolute_rule && opt.order_max == 0 ? 1 : static_cast<int>(opt.order_max);
  const std::size_t n_terms = static_cast<std::size_t>(order) + 1;
  BnMultiWalk walk(rec, temperatures, opt, order);
  const int temps = walk.temperatures();
  bool met = false;
  std::uint64_t made = 0;
  std::vector<char> held(static_cast<std::size_t>(temps), 0);
  std::shared_ptr<RandomSource> own;
  if (given == nullptr) own = RandomSource::for_current_thread();
  RandomSource& rng = given != nullptr ? *given : *own;
  const RunClock clock = RunClock::start();
  const std::string tag = "[BnMulti::run::";

  walk.find_start(rng);
  ProgressLog::print(tag + "ini] n=" + std::to_string(walk.bodies()) + ",temperatures=" + std::to_string(temps) +
                     ",sigma_hs=" + fmt_fixed(walk.sigma_hs(), 6) + ",reference=" + fmt_fixed(walk.reference_value(), 6) +
                     "," + hms_text(clock) + "\n");

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
                       ",weight=" + fmt_fixed(walk.weight(), 6) +
                       ",least_temperature_weight=" + fmt_fixed(walk.least_temperature_weight(), 6) + "," +
                       hms_text(clock) + "\n");
    if (!std::isfinite(walk.graph_value())) {
      bn_parts::stop_non_finite("tuning cycle", c, walk.graph_value(), nullptr, 0, 0.0);
    }
    double excess = rate - 0.5;
    if (excess < -0.2) excess = -0.2;
    if (excess > 0.2) excess = 0.2;
    scale = (excess + 1.0) * scale;
  }

  walk.refresh_terms();
  const std::size_t all = static_cast<std::size_t>(temps) * n_terms;
  std::vector<double> sums(all, 0.0);
  double q = 0.0;
  double ring_ref[10] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::vector<std::array<double, 10>> ring_val(temps);
  for (auto& r : ring_val) r.fill(0.0);
  for (std::uint64_t block = 1; block <= opt.max_blocks; ++block) {
    made = block;
    for (std::uint64_t s = 0; s < opt.block_steps; ++s) {
      if (walk.step(rng, scale)) walk.refresh_terms();
      q += walk.reference_term();
      for (int k = 0; k < temps; ++k) {
        const double* v = walk.terms(k);
        double* acc = sums.data() + static_cast<std::size_t>(k) * n_terms;
        for (std::size_t j = 0; j < n_terms; ++j) acc[j] += v[j];
      }
    }
    bool finite = std::isfinite(q) && std::isfinite(walk.graph_value());
    for (std::size_t j = 0; j < all; ++j) finite = finite && std::isfinite(sums[j]);
    if (!finite) bn_parts::stop_non_finite("production block", block, walk.graph_value(), sums.data(), all, q);
    const double steps = static_cast<double>(block) * static_cast<double>(opt.block_steps);
    ring_ref[block % 10] = q / steps;
    for (int k = 0; k < temps; ++k) ring_val[k][block % 10] = sums[static_cast<std::size_t>(k) * n_terms] / steps;
    if (block <= 9) {
      ProgressLog::print(tag + "run] i=" + std::to_string(block) + "x" + std::to_string(opt.block_steps) + ", " +
                         hms_text(clock) + "\n");
      continue;
    }
    // Every temperature must meet the rule, relative to its own value or to the
    // largest value of the walk (a temperature where B_n crosses zero is held to
    // the curve's scale, not to its own vanishing value).  The temperature
    // farthest from it speaks for the run.
    std::vector<RingSpread> spreads(temps);
    double scale = 0.0;
    for (int k = 0; k < temps; ++k) {
      double vals[10];
      for (int s = 0; s < 10; ++s) vals[s] = ring_val[k][s];
      spreads[k] = ring_spread(vals, ring_ref);
      scale = std::max(scale, std::fabs(spreads[k].mean));
    }
    bool all_converged = true;
    RingSpread worst{0.0, 0.0};
    double worst_rel = -1.0;
    for (int k = 0; k < temps; ++k) {
      const RingSpread& spread = spreads[k];
      // near a zero crossing: the spread against dev_tol |T dX/dT| (entry 1 / reference, the ring's units)
      const double slope = absolute_rule ? std::fabs(sums[static_cast<std::size_t>(k) * n_terms + 1] / q) : 0.0;
      const bool near = absolute_rule && std::fabs(spread.mean) < opt.absolute_below * slope;
      held[static_cast<std::size_t>(k)] = near ? 1 : 0;
      const bool ok = near ? (spread.deviation < 2.220446049250313e-12 || opt.dev_tol * slope > spread.deviation)
                           : (ring_converged(spread, opt.dev_tol) || opt.dev_tol * scale > spread.deviation);
      all_converged = all_converged && ok;
      const double rel = spread.deviation / std::fabs(spread.mean);
      if (!(rel <= worst_rel)) {
        worst = spread;
        worst_rel = rel;
      }
    }
    ProgressLog::print(tag + "run] i=" + std::to_string(block) + "x" + std::to_string(opt.block_steps) +
                       ", fraction=" + fmt_fixed(worst.mean, 4) + ", deviation=" + fmt_fixed(worst.deviation, 4) +
                       ", " + hms_text(clock) + "\n");
    met = all_converged;
    if (all_converged) break;
  }
  if (stop != nullptr) {
    stop->blocks = made;
    stop->met = met;
    stop->absolute = held;
  }
  if (!(q != 0.0)) {
    throw FloatingPointError(
        "Bn.run(): the walk never met a configuration of the hard-sphere reference, so the ratio is undefined; "
        "make the run longer or give the reference a weight (reference_weight)");
  }
  std::vector<std::vector<double>> out(temps, std::vector<double>(static_cast<std::size_t>(opt.order_max) + 1, 0.0));
  for (int k = 0; k < temps; ++k) {
    for (std::size_t j = 0; j < out[static_cast<std::size_t>(k)].size(); ++j) {
      out[k][j] = (sums[static_cast<std::size_t>(k) * n_terms + j] / q) * walk.reference_value();
    }
  }
  return out;
}

}  // namespace

std::vector<std::vector<double>> bn_multi_run(const BnRecord& rec, const std::vector<double>& temperatures,
                                              const BnOptions& opt) {
  return run_multi(rec, temperatures, opt, nullptr, nullptr);
}

std::vector<std::vector<double>> bn_multi_run(const BnRecord& rec, const std::vector<double>& temperatures,
                                              const BnOptions& opt, RandomSource& rng) {
  return run_multi(rec, temperatures, opt, &rng, nullptr);
}

std::vector<std::vector<double>> bn_multi_run(const BnRecord& rec, const std::vector<double>& temperatures,
                                              const BnOptions& opt, RandomSource* rng, BnStop& stop) {
  return run_multi(rec, temperatures, opt, rng, &stop);
}

}  // namespace vica
