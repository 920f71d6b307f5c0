#include "virial/b2_cubature.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "runtime/failure.h"
#include "virial/b2_cubature_geometry.h"
#include "virial/b2_cubature_rules.h"

// Vector clones of the node loops, chosen at run time (x86-64 only; elsewhere
// the portable loop alone).
#if defined(__x86_64__) && defined(__GNUC__)
#define VICA_CLONES_AVX2 __attribute__((target_clones("avx2", "default")))
#define VICA_CLONES_AVX512 __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VICA_CLONES_AVX2
#define VICA_CLONES_AVX512
#endif

namespace vica {

using namespace cubature;

namespace {

constexpr int kLevels[] = {2, 3, 4, 6, 8, 11, 14, 18, 24, 32, 42, 56, 72, 96, 128, 160, 200};
constexpr int kLevelCount = sizeof(kLevels) / sizeof(kLevels[0]);
constexpr int kStartLevel = 2;
constexpr std::size_t kBlock = 128;  // configurations per block of the node loop
constexpr double kPowerRange = 8.0;   // |beta_max u| up to which power sums serve every temperature
// The ladder (see accumulate_block): an attraction goes to the coarsest level of
// beta sub-intervals whose half-width Delta has Delta |u| <= 2, a repulsion
// Delta u <= 4; at most kLadderLevels levels (2^l sub-intervals at level l).
constexpr double kLadderAttraction = 2.0;
constexpr double kLadderRepulsion = 8.0;
constexpr int kLadderLevels = 7;
// The nodes reach out to kFarFactor times the split radius; beyond, the
// leading far field is added in closed form.
constexpr double kFarFactor = 40.0;

struct Node {
  double r = 0.0, jac = 0.0;  // distance; r^2 dr / ds (ds the panel variable)
  int level = 0;
  std::vector<double> val, aerr;
  std::vector<double> diff;  // |val(level) - val(level - 1)|
};

// The angular error of a node's value at its level from the last two
// differences between levels, d (the newest) and d0: where they fall
// geometrically by rho = d / d0, the error left is d rho / (1 - rho) (rho kept
// at or below 0.95); at least d, and 2 d while only one difference is known.
double angular_error(double d, double d0, bool first) {
  if (first) return 2.0 * d;
  if (!(d0 > 0.0)) return d;
  const double rho = std::min(d / d0, 0.95);
  return rho <= 0.5 ? d : d * (rho / (1.0 - rho));
}

struct Panel {
  double a = 0.0, b = 0.0;
  bool tail = false;
  std::array<std::size_t, 15> node{};
  std::vector<double> k, err, mag;
};

class Integrator {
 public:
  Integrator(const Molecule& m1, const Molecule& m2, const SiteLawTable& laws, const B2CubatureOptions& opt)
      : opt_(opt) {
    check(m1, m2, laws);
    quantum_ = !opt.masses1.empty() || !opt.masses2.empty();
    // molecule 1 must turn unless both are one-centre: swap a one-centre first molecule
    Equivalence e1 = equivalence(laws, true, opt.masses1), e2 = equivalence(laws, false, opt.masses2);
    Body b1 = make_body(m1, opt.masses1, e1), b2 = make_body(m2, opt.masses2, e2);
    swapped_ = b1.kind == 0 && b2.kind != 0;
    if (swapped_) std::swap(b1, b2);
    b1_ = std::move(b1);
    b2_ = std::move(b2);
    n1_ = b1_.s.size();
    n2_ = b2_.s.size();
    law_.resize(n1_ * n2_);
    double size = 0.0;
    for (std::size_t a = 0; a < n1_; ++a) {
      for (std::size_t b = 0; b < n2_; ++b) {
        const SiteLaw& l = swapped_ ? laws[b][a] : laws[a][b];
        law_[a * n2_ + b] = prepare(l);
        size = std::max(size, law_size(l));
      }
    }
    if (!(size > 0.0)) size = 1.0;
    mirror_ = (b1_.kind == 1 || (b1_.kind == 2 && b1_.planar)) && (b2_.kind <= 1 || (b2_.kind == 2 && b2_.planar));
    double reach = 0.0;
    for (const Body* b : {&b1_, &b2_}) {
      double r = 0.0;
      for (const Vec3& p : b->s) r = std::max(r, norm(p));
      reach += r;
    }
    split_ = reach + 2.5 * size;
    far_ = kFarFactor * split_;
    reach_ = reach;
    nt_ = opt.temperatures.size();
    nk_ = static_cast<std::size_t>(opt.order_max) + 1;
    parts_ = quantum_ ? 3 : 1;
    nc_ = parts_ * nt_ * nk_;
    beta_.resize(nt_);
    beta_max_ = 0.0;
    beta_min_ = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < nt_; ++j) {
      beta_[j] = 1.0 / opt.temperatures[j];
      beta_max_ = std::max(beta_max_, beta_[j]);
      beta_min_ = std::min(beta_min_, beta_[j]);
    }
    t_.resize(nt_);
    e_.resize(nt_);
    p_.resize(nt_);
    rv_.resize(nt_);
    sv_.resize(nt_);
    gv_.resize(nt_);
    acc_.resize(nc_);
    inv_k_.resize(nk_ + 1);
    for (std::size_t k = 1; k <= nk_; ++k) inv_k_[k] = 1.0 / static_cast<double>(k);
    deep_limit_ = 40.0 + 4.0 * static_cast<double>(nk_);
    if (nt_ >= 3 && !quantum_) {
      np_ = 56 + 2 * nk_;  // kPowerRange^p / p! below 1e-25 beyond
      pow_.assign(np_ + 1, 0.0);
      inv_p_.assign(np_ + 1, 0.0);
      inv_fact_.assign(np_ + 1, 1.0);
      binom_.assign((np_ + 1) * nk_, 0.0);
      for (std::size_t p = 1; p <= np_; ++p) {
        inv_p_[p] = 1.0 / static_cast<double>(p);
        inv_fact_[p] = inv_fact_[p - 1] * inv_p_[p];
      }
      for (std::size_t p = 0; p <= np_; ++p) {
        double c = 1.0;
        for (std::size_t k = 0; k < nk_ && k <= p; ++k) {
          binom_[p * nk_ + k] = c;
          c = c * static_cast<double>(p - k) / static_cast<double>(k + 1);
        }
      }
    }
    if (np_ > 0) setup_ladder();
    geometry_ = describe(swapped_ ? b2_ : b1_) + " - " + describe(swapped_ ? b1_ : b2_) + (mirror_ ? ", mirror" : "");
    angular_ = b1_.kind != 0 || b2_.kind != 0;
    fa_.resize(n1_);
    fb_.resize(n2_);
  }

  B2CubatureResult run();

 private:
  void check(const Molecule& m1, const Molecule& m2, const SiteLawTable& laws) const;
  Equivalence equivalence(const SiteLawTable& laws, bool first, const std::vector<double>& mass) const;
  const OrientationSet& set(int level, bool first);
  std::uint64_t cost(int level) {
    return static_cast<std::uint64_t>(set(level, true).count) * set(level, false).count;
  }
  std::vector<double> average(double r, int level);
  void accumulate(double u, double w, double g_tr, double g_rot);
  void accumulate_block(const double* u, const double* w, std::size_t m);
  void power_moments();
  void ladder_moments();
  void setup_ladder();
  [[noreturn]] void overflow(double u) const;
  std::size_t new_node(double r, double jac, int level);
  void refine_node(std::size_t i);
  void make_panel(double a, double b, bool tail, int level);
  void sum_panel(Panel& p) const;
  void far_tail(std::vector<double>& total, std::vector<double>& err, std::vector<double>& far_err) const;

  const B2CubatureOptions& opt_;
  bool quantum_ = false, swapped_ = false, mirror_ = false, angular_ = false;
  Body b1_, b2_;
  std::size_t n1_ = 0, n2_ = 0, nt_ = 0, nk_ = 0, parts_ = 1, nc_ = 0;
  std::vector<PairLaw> law_;
  double split_ = 1.0, far_ = 1.0, reach_ = 0.0, beta_max_ = 0.0, beta_min_ = 0.0;
  std::vector<double> beta_, t_, e_, p_, acc_, inv_k_, rv_, sv_, gv_;
  std::size_t np_ = 0;                    // terms of the power sums (0: not used)
  double deep_limit_ = 0.0;               // beta_min u above it: a deep overlap
  std::vector<double> pow_, inv_p_, inv_fact_, binom_;  // sums, 1/p, 1/p!, C(p, k) at p * nk + k
  std::size_t terms(double x) const;
  // the ladder: levels 0..ladder_levels_ - 1 (0: none), terms q = 0..nq_, the
  // half-width of each level's sub-intervals, their sums (level l, sub-interval
  // i at ((2^l - 1) + i) * (nq_ + 1)), which levels hold anything, and each
  // temperature's sub-interval at every level (l * nt + j)
  int ladder_levels_ = 0;
  std::size_t nq_ = 0;
  std::vector<double> half_, lsum_;
  std::vector<std::size_t> lused_;  // per level: 1 + the highest term summed (0: none)
  std::size_t pow_used_ = 0;        // the highest term of the power sums summed
  std::vector<std::size_t> tsub_;
  std::vector<Vec3> fa_, fb_;
  std::vector<OrientationSet> sets1_, sets2_;
  std::vector<Node> nodes_;
  std::vector<Panel> panels_;
  std::uint64_t evaluations_ = 0;
  int level_max_ = 0;
  std::string geometry_;
};

void Integrator::check(const Molecule& m1, const Molecule& m2, const SiteLawTable& laws) const {
  if (m1.empty() || m2.empty()) throw ValueError("b2_cubature(): a molecule without sites");
  for (const Molecule* m : {&m1, &m2}) {
    for (const Site& p : *m) {
      if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))) {
        throw ValueError("b2_cubature(): a site has a non-finite coordinate");
      }
    }
  }
  if (laws.size() != m1.size()) {
    throw ValueError("b2_cubature(): the table needs one row per site of molecule 1 (" + std::to_string(m1.size()) +
                     "), got " + std::to_string(laws.size()));
  }
  for (const auto& row : laws) {
    if (row.size() != m2.size()) {
      throw ValueError("b2_cubature(): each row of the table needs one law per site of molecule 2 (" +
                       std::to_string(m2.size()) + ")");
    }
  }
  if (opt_.temperatures.empty()) throw ValueError("b2_cubature(): no temperature given");
  for (double t : opt_.temperatures) {
    if (!(t > 0.0 && std::isfinite(t))) throw ValueError("b2_cubature(): temperatures must be finite and above 0 K");
  }
  if (std::isnan(opt_.u_min) || opt_.u_min == std::numeric_limits<double>::infinity()) {
    throw ValueError("b2_cubature(): u_min must be a number below +inf");
  }
  if (!(opt_.rtol >= 0.0 && opt_.atol >= 0.0 && std::isfinite(opt_.rtol) && std::isfinite(opt_.atol)) ||
      (opt_.rtol == 0.0 && opt_.atol == 0.0)) {
    throw ValueError("b2_cubature(): rtol and atol must be finite and at least 0, not both 0");
  }
  if (opt_.order_max > 30) throw ValueError("b2_cubature(): order_max above 30");
  const bool q1 = !opt_.masses1.empty(), q2 = !opt_.masses2.empty();
  if (q1 != q2) throw ValueError("b2_cubature(): masses are needed for both molecules or neither");
  if (q1) {
    if (opt_.masses1.size() != m1.size() || opt_.masses2.size() != m2.size()) {
      throw ValueError("b2_cubature(): one mass per site expected");
    }
    for (const auto* ms : {&opt_.masses1, &opt_.masses2}) {
      double total = 0.0;
      for (double m : *ms) {
        if (!(m >= 0.0 && std::isfinite(m))) throw ValueError("b2_cubature(): masses must be finite and at least 0 u");
        total += m;
      }
      if (!(total > 0.0)) throw ValueError("b2_cubature(): a molecule's masses must add up to more than 0 u");
    }
  }
  // divergence: the far field must fall faster than r^-3
  double net1 = 0.0, scale1 = 0.0;
  for (std::size_t a = 0; a < m1.size(); ++a) {
    for (std::size_t b = 0; b < m2.size(); ++b) {
      const SiteLaw& l = laws[a][b];
      double c1 = 0.0;
      if (l.kind == 1 || l.kind == 3) c1 = l.potk._0;
      if (l.kind == 4 || l.kind == 5) c1 = l.c1;
      net1 += c1;
      scale1 += std::fabs(c1);
      if (l.kind == 4 && l.ca != 0.0 && l.la <= 3.0) {
        throw ValueError("b2_cubature(): a site pair attracts as r^-" + std::to_string(l.la) +
                         " (la <= 3): B2 diverges");
      }
      if (l.kind == 4 && l.cr != 0.0 && l.lr <= 3.0) {
        throw ValueError("b2_cubature(): a site pair repels as r^-" + std::to_string(l.lr) + " (lr <= 3): B2 diverges");
      }
    }
  }
  // a molecule with a net charge (ion-dipole fields fall as r^-2): the row or
  // column sums of the 1/r coefficients are K q_a Q2 and K Q1 q_b
  for (int side = 0; side < 2; ++side) {
    const std::size_t n = side == 0 ? m1.size() : m2.size(), other = side == 0 ? m2.size() : m1.size();
    for (std::size_t i = 0; i < n; ++i) {
      double sum = 0.0, mag = 0.0;
      for (std::size_t o = 0; o < other; ++o) {
        const SiteLaw& l = side == 0 ? laws[i][o] : laws[o][i];
        const double c1 = (l.kind == 1 || l.kind == 3) ? l.potk._0 : (l.kind == 4 || l.kind == 5) ? l.c1 : 0.0;
        sum += c1;
        mag += std::fabs(c1);
      }
      if (std::fabs(sum) > 1e-9 * mag) {
        throw ValueError(std::string("b2_cubature(): molecule ") + (side == 0 ? "2" : "1") +
                         " carries a net charge: B2 of ions is not integrated here");
      }
    }
  }
  if (std::fabs(net1) > 1e-9 * scale1) {
    throw ValueError("b2_cubature(): both molecules carry a net charge (sum of the pairs' 1/r coefficients " +
                     std::to_string(net1) + "): B2 of ions diverges");
  }
}

Equivalence Integrator::equivalence(const SiteLawTable& laws, bool first, const std::vector<double>& mass) const {
  const std::size_t n = first ? laws.size() : laws[0].size();
  const std::size_t other = first ? laws[0].size() : laws.size();
  Equivalence eq(n, std::vector<char>(n, 0));
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) {
      bool same = mass.empty() || mass[a] == mass[b];
      for (std::size_t o = 0; o < other && same; ++o) {
        same = first ? same_law(laws[a][o], laws[b][o]) : same_law(laws[o][a], laws[o][b]);
      }
      eq[a][b] = same ? 1 : 0;
    }
  }
  return eq;
}

const OrientationSet& Integrator::set(int level, bool first) {
  std::vector<OrientationSet>& sets = first ? sets1_ : sets2_;
  while (static_cast<int>(sets.size()) <= level) {
    const int l = static_cast<int>(sets.size());
    sets.push_back(orientations(first ? b1_ : b2_, kLevels[l], first, mirror_));
  }
  return sets[static_cast<std::size_t>(level)];
}

// The Boltzmann factors of one configuration for every temperature, added
// with weight w to the moments acc: per part (classical, translational,
// rotational) and temperature, sum_k of e^t t^k / k! (k = 0: e^t - 1 for the
// classical part), the quantum parts times G.
void Integrator::accumulate(double u, double w, double g_tr, double g_rot) {
  const std::size_t nt = nt_, nk = nk_;
  double* acc = acc_.data();
  if (!(u > opt_.u_min) || std::isnan(u)) {  // an overlap: f = -1, nothing else
    for (std::size_t j = 0; j < nt; ++j) acc[j * nk] -= w;
    return;
  }
  const double y = -u;
  if (y * beta_max_ > 700.0) overflow(u);
  double* t = t_.data();
  double* e = e_.data();
  double* p = p_.data();
  const double* beta = beta_.data();
  boltzmann_factors(y, beta, t, e, nt);
  for (std::size_t j = 0; j < nt; ++j) acc[j * nk] += w * (e[j] - 1.0);
  for (std::size_t k = 1; k < nk; ++k) {
    if (k == 1) {
      for (std::size_t j = 0; j < nt; ++j) p[j] = (w * e[j]) * t[j];
    } else {
      const double ik = inv_k_[k];
      for (std::size_t j = 0; j < nt; ++j) p[j] = (p[j] * t[j]) * ik;
    }
    for (std::size_t j = 0; j < nt; ++j) acc[j * nk + k] += p[j];
  }
  if (!quantum_) return;
  const double gs[2] = {g_tr, g_rot};
  for (int part = 0; part < 2; ++part) {
    double* q = acc + (static_cast<std::size_t>(part) + 1) * nt * nk;
    const double g = gs[part] * w;
    for (std::size_t j = 0; j < nt; ++j) p[j] = g * e[j];
    for (std::size_t j = 0; j < nt; ++j) q[j * nk] += p[j];
    for (std::size_t k = 1; k < nk; ++k) {
      const double ik = inv_k_[k];
      for (std::size_t j = 0; j < nt; ++j) p[j] = (p[j] * t[j]) * ik;
      for (std::size_t j = 0; j < nt; ++j) q[j * nk + k] += p[j];
    }
  }
}

}  // namespace

// u[j] += the law (c1, c6, c12) between the site at (ax, ay, az) and the sites
// at (x[j], y[j], z[j]), j < m: one loop the compiler runs in vector
// registers; each u[j] gets the same correctly rounded operations in the same
// order at any vector width, so the AVX2 clone gives the bits of the portable one.
VICA_CLONES_AVX2 void add_site_energies(double* __restrict u, const double* x, const double* y,
                                                                        const double* z, std::size_t m, double ax,
                                                                        double ay, double az, double c1, double c6,
                                                                        double c12, bool charged) {
  if (charged) {
    for (std::size_t j = 0; j < m; ++j) {
      const double dx = x[j] - ax, dy = y[j] - ay, dz = z[j] - az;
      const double s = (dx * dx + dy * dy) + dz * dz;
      const double d2 = s > 1e-60 ? s : 1e-60;
      const double i2 = 1.0 / d2;
      const double i6 = (i2 * i2) * i2;
      u[j] += (c6 * i6 + c12 * (i6 * i6)) + c1 / std::sqrt(d2);
    }
  } else {
    for (std::size_t j = 0; j < m; ++j) {
      const double dx = x[j] - ax, dy = y[j] - ay, dz = z[j] - az;
      const double s = (dx * dx + dy * dy) + dz * dz;
      const double d2 = s > 1e-60 ? s : 1e-60;
      const double i2 = 1.0 / d2;
      const double i6 = (i2 * i2) * i2;
      u[j] += c6 * i6 + c12 * (i6 * i6);
    }
  }
}

// For one temperature (beta) and a block of m8 (a multiple of 8) pair
// energies u[j] with weights w[j], ok[j] 1 (above the floor) or 0 (an
// overlap): with t = -beta u (kept in [-745, 709]) and e = ok e^t, adds to
// acc[0] the sum of w (e - 1) and to acc[k] the sum of w e t^k / k!.  The sums
// run in 8 fixed lanes (j mod 8) added pairwise at the end, so every clone
// (AVX-512, AVX2, portable) gives the same bits.
VICA_CLONES_AVX512 void block_moments(
    const double* __restrict u, const double* __restrict ok, const double* __restrict w, double beta,
    std::size_t m8, std::size_t nk, const double* __restrict inv_k, double* __restrict acc) {
  alignas(64) double t[kBlock], e[kBlock], p[kBlock];
  for (std::size_t j = 0; j < m8; ++j) {
    const double v = -u[j] * beta;
    const double lo = v > -745.0 ? v : -745.0;
    const double tj = lo < 709.0 ? lo : 709.0;
    t[j] = tj;
    e[j] = exp_kernel(tj) * ok[j];
  }
  double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::size_t j = 0; j < m8; j += 8)
    for (std::size_t l = 0; l < 8; ++l) s[l] += w[j + l] * (e[j + l] - 1.0);
  acc[0] += ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  for (std::size_t k = 1; k < nk; ++k) {
    for (double& x : s) x = 0.0;
    if (k == 1) {
      for (std::size_t j = 0; j < m8; ++j) p[j] = (w[j] * e[j]) * t[j];
    } else {
      const double ik = inv_k[k];
      for (std::size_t j = 0; j < m8; ++j) p[j] = (p[j] * t[j]) * ik;
    }
    for (std::size_t j = 0; j < m8; j += 8)
      for (std::size_t l = 0; l < 8; ++l) s[l] += p[j + l];
    acc[k] += ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  }
}

// sums[p] += sum_j w[j] x[j]^p / p! for p = p0..n (p0 0 or 1) over a block
// of m8 (a multiple of 8) configurations: the powers w x^p summed in eight
// fixed lanes as block_moments, then times 1/p! (inv_fact).
VICA_CLONES_AVX512 void block_series(
    const double* __restrict x, const double* __restrict w, std::size_t m8, std::size_t p0, std::size_t n,
    const double* __restrict inv_fact, double* __restrict sums) {
  alignas(64) double q[kBlock];
  double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::size_t j = 0; j < m8; ++j) q[j] = w[j];
  if (p0 == 0) {
    for (std::size_t j = 0; j < m8; j += 8)
      for (std::size_t l = 0; l < 8; ++l) s[l] += q[j + l];
    sums[0] += ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  }
  for (std::size_t p = 1; p <= n; ++p) {
    for (double& y : s) y = 0.0;
    for (std::size_t j = 0; j < m8; ++j) q[j] = q[j] * x[j];
    for (std::size_t j = 0; j < m8; j += 8)
      for (std::size_t l = 0; l < 8; ++l) s[l] += q[j + l];
    sums[p] += (((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]))) * inv_fact[p];
  }
}

// v[j] = w[j] e^{-c u[j]} (the exponent kept at or above -745), x[j] = -h u[j].
VICA_CLONES_AVX512 void block_ladder_terms(
    const double* __restrict u, const double* __restrict w, double c, double h, std::size_t m8,
    double* __restrict v, double* __restrict x) {
  for (std::size_t j = 0; j < m8; ++j) {
    const double t = -u[j] * c;
    v[j] = w[j] * exp_kernel(t > -745.0 ? t : -745.0);
    x[j] = -u[j] * h;
  }
}

namespace {

// The ladder.  Between the power sums (|beta_max u| <= 8) and the deep overlaps
// lie the energies that would need an exponential per temperature.  Split
// [beta_min, beta_max] into 2^l sub-intervals of half-width Delta_l and
// centres c; for beta in one of them, with y = -Delta_l u and
// r = (beta - c) / Delta_l in [-1, 1],
//   e^{-beta u} (-beta u)^k / k! = (beta / Delta_l)^k sum_{q>=k} C(q, k) r^{q-k} S_q,
//   S_q = e^{-c u} y^q / q!,
// so the sums S_q of a block serve every temperature of the sub-interval
// (ladder_moments), at the cost of 2^l exponentials per configuration instead
// of one per temperature.  A configuration takes the coarsest level with
// Delta_l |u| <= 2 (attraction) or Delta_l u <= 8 (repulsion), if its 2^l
// exponentials and series cost less than the temperatures' exponentials; the
// "- 1" of f counts apart (as for an overlap).  With |y| <= 2 the series loses
// at most e^4 1e-16 (relative) to cancellation; with a repulsion the terms are
// below e^{-beta_lo u} <= 1 (beta_lo the sub-interval's low end), so it loses
// about 1e-16 of a unit weight.  Each block's sums stop at the terms its
// largest |y| needs (terms()).
//
// Terms of a series in powers of x, |x| <= xmax, for the remainder to stay below
// 1e-20 of the weight (the precision of the deep-overlap rule): the first n with
// xmax^n / n! < 1e-20, plus 2 order_max (the binomial factors of the derivative
// entries), at most np.
std::size_t Integrator::terms(double xmax) const {
  double t = 1.0;
  std::size_t n = 0;
  while (t >= 1e-20 && n < np_) {
    ++n;
    t = t * xmax * inv_p_[n];
  }
  return std::min(np_, n + 2 * (nk_ - 1));
}

void Integrator::setup_ladder() {
  if (!(beta_max_ > beta_min_)) return;
  nq_ = np_;  // enough for |y| <= 8, as the power sums
  // 2^l (nq + 25) flops per configuration against nt (25 + 2 nk)
  const double per_t = static_cast<double>(nt_) * (25.0 + 2.0 * static_cast<double>(nk_));
  int levels = 0;
  while (levels < kLadderLevels && std::ldexp(static_cast<double>(nq_) + 25.0, levels) < per_t) ++levels;
  ladder_levels_ = levels;
  if (levels == 0) return;
  half_.resize(static_cast<std::size_t>(levels));
  tsub_.resize(static_cast<std::size_t>(levels) * nt_);
  for (int l = 0; l < levels; ++l) {
    const std::size_t n = std::size_t{1} << l;
    const double width = (beta_max_ - beta_min_) / static_cast<double>(n);
    half_[static_cast<std::size_t>(l)] = 0.5 * width;
    for (std::size_t j = 0; j < nt_; ++j) {
      const double pos = (beta_[j] - beta_min_) / width;
      std::size_t i = pos > 0.0 ? static_cast<std::size_t>(pos) : 0;
      tsub_[static_cast<std::size_t>(l) * nt_ + j] = std::min(i, n - 1);
    }
  }
  lsum_.assign(((std::size_t{1} << levels) - 1) * (nq_ + 1), 0.0);
  lused_.assign(static_cast<std::size_t>(levels), 0);
}

double ladder_centre(double beta_min, double half, std::size_t i) {
  return beta_min + static_cast<double>(2 * i + 1) * half;
}

// The moments of a block of configurations: u[j] their energies, w[j] their
// weights.  A configuration with beta_min u > 40 + 4 order_max adds less than
// 1e-20 of its weight to any entry beyond f = -1: it counts as an overlap.  With
// many temperatures, those with |beta_max u| <= 8 go into power sums of
// x = -beta_max u: for every temperature e^t t^k / k! (t = r x, r = beta /
// beta_max <= 1) is a series in those sums (remainder below 1e-20), so they cost
// no exponential per temperature (power_moments below); the series loses at
// most 8^8 / 8! e-16 = 4e-14 of a unit weight to cancellation.  Most of the
// rest goes up the ladder (setup_ladder); what is left takes an exponential
// per temperature.
void Integrator::accumulate_block(const double* u_in, const double* w_in, std::size_t m_in) {
  // three kinds of configuration: deep overlaps (e^t |t|^k / k! below 1e-20 at
  // every temperature: f = -1, no derivative terms), small energies (power sums,
  // with many temperatures) and the rest (a Boltzmann factor per temperature)
  // the power sums in three bands of |x| (1e-2, 1, 8), each summed to the terms its
  // largest |x| needs (far configurations need few, and their powers would
  // otherwise fall into subnormal numbers); the ladder by sign and level
  alignas(64) double ue[kBlock], we[kBlock], xm[3][kBlock], wm[3][kBlock];
  alignas(64) double ul[2][kLadderLevels][kBlock], wl[2][kLadderLevels][kBlock];
  std::size_t ml[2][kLadderLevels] = {}, mm[3] = {};
  double xmax[3] = {0.0, 0.0, 0.0}, ymax[2][kLadderLevels] = {};
  std::size_t me = 0;
  double deep = 0.0;
  const int levels = ladder_levels_;
  for (std::size_t j = 0; j < m_in; ++j) {
    const double v = u_in[j];
    const bool admissible = v > opt_.u_min;
    if (!admissible || v * beta_min_ > deep_limit_) {
      deep += w_in[j];
    } else if (np_ > 0 && std::fabs(v) * beta_max_ <= kPowerRange) {
      const double x = -v * beta_max_, ax = std::fabs(x);
      const int band = ax <= 1e-2 ? 0 : (ax <= 1.0 ? 1 : 2);
      xm[band][mm[band]] = x;
      wm[band][mm[band]] = w_in[j];
      ++mm[band];
      xmax[band] = std::max(xmax[band], ax);
    } else {
      if (-v * beta_max_ > 700.0) overflow(v);
      const int sign = v < 0.0 ? 0 : 1;
      const double reach = sign == 0 ? -v / kLadderAttraction : v / kLadderRepulsion;
      int l = 0;
      while (l < levels && half_[static_cast<std::size_t>(l)] * reach > 1.0) ++l;
      if (l < levels) {
        ul[sign][l][ml[sign][l]] = v;
        wl[sign][l][ml[sign][l]] = w_in[j];
        ++ml[sign][l];
        ymax[sign][l] = std::max(ymax[sign][l], std::fabs(v) * half_[static_cast<std::size_t>(l)]);
        deep += w_in[j];  // the - 1 of f
        continue;
      }
      ue[me] = v;
      we[me] = w_in[j];
      ++me;
    }
  }
  if (deep != 0.0) {
    for (std::size_t it = 0; it < nt_; ++it) acc_[it * nk_] -= deep;
  }
  for (int band = 0; band < 3; ++band) {
    const std::size_t m = mm[band];
    if (m == 0) continue;
    const std::size_t m8 = (m + 7) / 8 * 8;
    for (std::size_t j = m; j < m8; ++j) xm[band][j] = wm[band][j] = 0.0;
    const std::size_t n = terms(xmax[band]);
    pow_used_ = std::max(pow_used_, n);
    block_series(xm[band], wm[band], m8, 1, n, inv_fact_.data(), pow_.data());
  }
  for (int sign = 0; sign < 2; ++sign) {
    for (int l = 0; l < levels; ++l) {
      const std::size_t m = ml[sign][l];
      if (m == 0) continue;
      double* uu = ul[sign][l];
      double* ww = wl[sign][l];
      const std::size_t m8 = (m + 7) / 8 * 8;
      for (std::size_t j = m; j < m8; ++j) uu[j] = ww[j] = 0.0;
      const std::size_t n = std::size_t{1} << l;
      const double h = half_[static_cast<std::size_t>(l)];
      const std::size_t nq = terms(ymax[sign][l]);
      lused_[static_cast<std::size_t>(l)] = std::max(lused_[static_cast<std::size_t>(l)], nq + 1);
      alignas(64) double v[kBlock], x[kBlock];
      for (std::size_t i = 0; i < n; ++i) {
        block_ladder_terms(uu, ww, ladder_centre(beta_min_, h, i), h, m8, v, x);
        block_series(x, v, m8, 0, nq, inv_fact_.data(), &lsum_[((n - 1) + i) * (nq_ + 1)]);
      }
    }
  }
  if (me == 0) return;
  const double* u = ue;
  const double* w = we;
  const std::size_t m = me;
  alignas(64) double uu[kBlock], ww[kBlock], ok[kBlock];
  for (std::size_t j = 0; j < m; ++j) {
    ok[j] = 1.0;
    uu[j] = u[j];
    ww[j] = w[j];
  }
  const std::size_t m8 = (m + 7) / 8 * 8;  // padding: weight 0, an overlap
  for (std::size_t j = m; j < m8; ++j) {
    uu[j] = 0.0;
    ww[j] = 0.0;
    ok[j] = 0.0;
  }
  for (std::size_t it = 0; it < nt_; ++it) {
    block_moments(uu, ok, ww, beta_[it], m8, nk_, inv_k_.data(), &acc_[it * nk_]);
  }
}

// The power sums X_p = sum w x^p / p! into every temperature's moments: with
// r = beta / beta_max, e^{rx} - 1 = sum_{p>=1} r^p X_p and
// e^{rx} (rx)^k / k! = sum_{p>=k} C(p, k) r^p X_p.
void Integrator::power_moments() {
  // sum_{p>=k} C(p, k) r^p X_p = r^k sum_{p>=k} C(p, k) r^{p-k} X_p, by Horner's rule in r,
  // every temperature at once (the loop over temperatures runs in vector registers)
  double* r = rv_.data();
  double* s = sv_.data();
  double* g = gv_.data();
  for (std::size_t j = 0; j < nt_; ++j) {
    r[j] = beta_[j] / beta_max_;
    g[j] = 1.0;
  }
  for (std::size_t k = 0; k < nk_; ++k) {
    for (std::size_t j = 0; j < nt_; ++j) s[j] = 0.0;
    for (std::size_t p = pow_used_ + 1; p-- > std::max<std::size_t>(k, 1);) {
      const double c = binom_[p * nk_ + k] * pow_[p];
      for (std::size_t j = 0; j < nt_; ++j) s[j] = s[j] * r[j] + c;
    }
    if (k == 0) {
      for (std::size_t j = 0; j < nt_; ++j) s[j] = s[j] * r[j];  // the series starts at p = 1
    }
    for (std::size_t j = 0; j < nt_; ++j) {
      acc_[j * nk_ + k] += g[j] * s[j];
      g[j] = g[j] * r[j];
    }
  }
}

// The ladder's sums into every temperature's moments (see setup_ladder), by
// Horner's rule in r, every temperature at once.
void Integrator::ladder_moments() {
  double* r = rv_.data();
  double* s = sv_.data();
  double* g = gv_.data();
  for (int l = 0; l < ladder_levels_; ++l) {
    const std::size_t used = lused_[static_cast<std::size_t>(l)];
    if (used == 0) continue;
    const std::size_t n = std::size_t{1} << l;
    const double h = half_[static_cast<std::size_t>(l)];
    const std::size_t* sub = &tsub_[static_cast<std::size_t>(l) * nt_];
    const double* sums = &lsum_[(n - 1) * (nq_ + 1)];
    for (std::size_t j = 0; j < nt_; ++j) {
      r[j] = (beta_[j] - ladder_centre(beta_min_, h, sub[j])) / h;
      g[j] = 1.0;
    }
    for (std::size_t k = 0; k < nk_; ++k) {
      for (std::size_t j = 0; j < nt_; ++j) s[j] = 0.0;
      for (std::size_t q = used; q-- > k;) {
        const double c = binom_[q * nk_ + k];
        for (std::size_t j = 0; j < nt_; ++j) s[j] = s[j] * r[j] + c * sums[sub[j] * (nq_ + 1) + q];
      }
      for (std::size_t j = 0; j < nt_; ++j) {
        acc_[j * nk_ + k] += g[j] * s[j];
        g[j] = g[j] * (beta_[j] / h);
      }
    }
  }
}

void Integrator::overflow(double u) const {
  throw FloatingPointError("b2_cubature(): a pair energy of " + std::to_string(u) +
                           " K makes the Boltzmann factor overflow (bare charges falling onto each other): give "
                           "an energy floor u_min or a core");
}

std::vector<double> Integrator::average(double r, int level) {
  const OrientationSet& s1 = set(level, true);
  const OrientationSet& s2 = set(level, false);
  std::fill(acc_.begin(), acc_.end(), 0.0);
  std::fill(pow_.begin(), pow_.end(), 0.0);
  std::fill(lsum_.begin(), lsum_.end(), 0.0);
  std::fill(lused_.begin(), lused_.end(), 0);
  pow_used_ = 0;
  const std::size_t n1 = n1_, n2 = n2_;
  const PairLaw* law = law_.data();
  if (!quantum_) {
    double u[kBlock], w[kBlock];
    const std::size_t c2 = s2.count;
    for (std::size_t i = 0; i < s1.count; ++i) {
      const double* p1 = &s1.pos[i * n1 * 3];
      for (std::size_t j0 = 0; j0 < c2; j0 += kBlock) {
        const std::size_t m = std::min(kBlock, c2 - j0);
        std::fill(u, u + m, 0.0);
        for (std::size_t a = 0; a < n1; ++a) {
          const double ax = p1[3 * a], ay = p1[3 * a + 1], az = p1[3 * a + 2] - r;
          for (std::size_t b = 0; b < n2; ++b) {
            const PairLaw& l = law[a * n2 + b];
            if (l.form == 0) continue;
            const double* x = &s2.soa[(b * 3) * c2 + j0];
            const double* y = x + c2;
            const double* z = y + c2;
            if (l.form == 3) {
              for (std::size_t j = 0; j < m; ++j) {
                const double dx = x[j] - ax, dy = y[j] - ay, dz = z[j] - az;
                u[j] += l.law->energy(std::sqrt(std::max((dx * dx + dy * dy) + dz * dz, 1e-60)));
              }
            } else {
              add_site_energies(u, x, y, z, m, ax, ay, az, l.c1, l.c6, l.c12, l.form == 2);
            }
          }
        }
        for (std::size_t j = 0; j < m; ++j) w[j] = s1.w[i] * s2.w[j0 + j];
        accumulate_block(u, w, m);
      }
    }
  }
  for (std::size_t i = 0; i < s1.count && quantum_; ++i) {
    const double* p1 = &s1.pos[i * n1 * 3];
    for (std::size_t j = 0; j < s2.count; ++j) {
      const double* p2 = &s2.pos[j * n2 * 3];
      const double w = s1.w[i] * s2.w[j];
      double u = 0.0;
      if (!quantum_) {
        for (std::size_t a = 0; a < n1; ++a) {
          const double ax = p1[3 * a], ay = p1[3 * a + 1], az = p1[3 * a + 2] - r;
          const PairLaw* row = law + a * n2;
          for (std::size_t b = 0; b < n2; ++b) {
            const PairLaw& l = row[b];
            if (l.form == 0) continue;
            const double dx = p2[3 * b] - ax, dy = p2[3 * b + 1] - ay, dz = p2[3 * b + 2] - az;
            const double d2 = std::max((dx * dx + dy * dy) + dz * dz, 1e-60);
            if (l.form == 3) {
              u += l.law->energy(std::sqrt(d2));
              continue;
            }
            const double i2 = 1.0 / d2;
            const double i6 = (i2 * i2) * i2;
            double v = l.c6 * i6 + l.c12 * (i6 * i6);
            if (l.form == 2) v += l.c1 / std::sqrt(d2);
            u += v;
          }
        }
        accumulate(u, w, 0.0, 0.0);
        continue;
      }
      // with forces and torques
      for (auto& f : fa_) f = {0.0, 0.0, 0.0};
      for (auto& f : fb_) f = {0.0, 0.0, 0.0};
      for (std::size_t a = 0; a < n1; ++a) {
        const double ax = p1[3 * a], ay = p1[3 * a + 1], az = p1[3 * a + 2] - r;
        const PairLaw* row = law + a * n2;
        for (std::size_t b = 0; b < n2; ++b) {
          const PairLaw& l = row[b];
          if (l.form == 0) continue;
          const double dx = p2[3 * b] - ax, dy = p2[3 * b + 1] - ay, dz = p2[3 * b + 2] - az;
          const double d2 = std::max((dx * dx + dy * dy) + dz * dz, 1e-60);
          const double d = std::sqrt(d2);
          double v, slope;
          if (l.form == 3) {
            v = l.law->energy(d);
            slope = std::isfinite(v) ? law_slope(*l.law, d) : 0.0;
          } else {
            const double i2 = 1.0 / d2;
            const double i6 = (i2 * i2) * i2;
            const double i12 = i6 * i6;
            v = l.c6 * i6 + l.c12 * i12;
            slope = -(6.0 * l.c6 * i6 + 12.0 * l.c12 * i12) / d;
            if (l.form == 2) {
              v += l.c1 / d;
              slope -= l.c1 * i2;
            }
          }
          u += v;
          // force on site b of molecule 2: -slope along the unit vector from a to b
          const double g = -slope / d;
          const Vec3 f{g * dx, g * dy, g * dz};
          for (int c = 0; c < 3; ++c) {
            fb_[b][c] += f[c];
            fa_[a][c] -= f[c];
          }
        }
      }
      double g_tr = 0.0, g_rot = 0.0;
      if (std::isfinite(u) && u > opt_.u_min) {
        Vec3 force{0.0, 0.0, 0.0}, tau1{0.0, 0.0, 0.0}, tau2{0.0, 0.0, 0.0};
        for (std::size_t b = 0; b < n2; ++b) {
          const Vec3 s{p2[3 * b], p2[3 * b + 1], p2[3 * b + 2]};
          const Vec3 c = cross(s, fb_[b]);
          for (int k = 0; k < 3; ++k) {
            force[k] += fb_[b][k];
            tau2[k] += c[k];
          }
        }
        for (std::size_t a = 0; a < n1; ++a) {
          const Vec3 s{p1[3 * a], p1[3 * a + 1], p1[3 * a + 2]};
          const Vec3 c = cross(s, fa_[a]);
          for (int k = 0; k < 3; ++k) tau1[k] += c[k];
        }
        g_tr = dot(force, force) * (b1_.inv_mass + b2_.inv_mass);
        g_rot = rotational(b1_, s1.rot[i], tau1) + rotational(b2_, s2.rot[j], tau2);
      }
      accumulate(u, w, g_tr, g_rot);
    }
  }
  evaluations_ += static_cast<std::uint64_t>(s1.count) * s2.count;
  if (pow_used_ > 0) power_moments();
  if (ladder_levels_ > 0) ladder_moments();
  // moments -> integrand entries, with the factors of the final result
  std::vector<double> out(nc_);
  const double nk = static_cast<double>(nk_);
  (void)nk;
  for (std::size_t j = 0; j < nt_; ++j) {
    for (std::size_t k = 0; k < nk_; ++k) out[j * nk_ + k] = -2.0 * kPi * acc_[j * nk_ + k];
  }
  if (quantum_) {
    static constexpr double binom3[4] = {1.0, 3.0, 3.0, 1.0};
    const double factor = kHbar2OverKbUA2 * kPi / 12.0;
    for (std::size_t part = 1; part < 3; ++part) {
      for (std::size_t j = 0; j < nt_; ++j) {
        const double b3 = (beta_[j] * beta_[j]) * beta_[j];
        const double* q = &acc_[(part * nt_ + j) * nk_];
        for (std::size_t k = 0; k < nk_; ++k) {
          double s = 0.0;
          for (std::size_t i = 0; i <= std::min<std::size_t>(3, k); ++i) s += binom3[i] * q[k - i];
          out[(part * nt_ + j) * nk_ + k] = factor * (b3 * s);
        }
      }
    }
  }
  return out;
}

std::size_t Integrator::new_node(double r, double jac, int level) {
  Node n;
  n.r = r;
  n.jac = jac;
  if (!angular_) {
    n.level = level;
    n.val = average(r, level);
    n.aerr.assign(nc_, 0.0);
  } else {
    const std::vector<double> coarse = average(r, level);
    n.val = average(r, level + 1);
    n.level = level + 1;
    n.aerr.resize(nc_);
    n.diff.resize(nc_);
    for (std::size_t c = 0; c < nc_; ++c) {
      n.diff[c] = std::fabs(n.val[c] - coarse[c]);
      n.aerr[c] = angular_error(n.diff[c], 0.0, true);
    }
  }
  level_max_ = std::max(level_max_, n.level);
  nodes_.push_back(std::move(n));
  return nodes_.size() - 1;
}

void Integrator::refine_node(std::size_t i) {
  Node& n = nodes_[i];
  std::vector<double> fine = average(n.r, n.level + 1);
  for (std::size_t c = 0; c < nc_; ++c) {
    const double d = std::fabs(fine[c] - n.val[c]);
    n.aerr[c] = angular_error(d, n.diff[c], false);
    n.diff[c] = d;
  }
  n.val = std::move(fine);
  ++n.level;
  level_max_ = std::max(level_max_, n.level);
}

void Integrator::make_panel(double a, double b, bool tail, int level) {
  Panel p;
  p.a = a;
  p.b = b;
  p.tail = tail;
  const double c = 0.5 * (a + b), h = 0.5 * (b - a);
  for (int i = 0; i < 15; ++i) {
    const double x = i < 7 ? -kXgk[i] : (i == 7 ? 0.0 : kXgk[14 - i]);
    const double s = c + h * x;
    double r, jac;
    if (tail) {
      r = split_ / s;  // s in [split / far, 1]
      jac = ((r * r) * (split_ / (s * s))) * h;
    } else {
      r = s;
      jac = (r * r) * h;
    }
    p.node[static_cast<std::size_t>(i)] = new_node(r, jac, level);
  }
  sum_panel(p);
  panels_.push_back(std::move(p));
}

void Integrator::sum_panel(Panel& p) const {
  p.k.assign(nc_, 0.0);
  p.err.assign(nc_, 0.0);
  p.mag.assign(nc_, 0.0);
  std::vector<double> g(nc_, 0.0);
  for (int i = 0; i < 15; ++i) {
    const int m = i < 7 ? i : 14 - i;  // abscissa index
    const Node& n = nodes_[p.node[static_cast<std::size_t>(i)]];
    const double wk = kWgk[m] * n.jac;
    const double wg = (m % 2 == 1) ? kWg[m / 2] * n.jac : 0.0;
    for (std::size_t c = 0; c < nc_; ++c) {
      p.k[c] += wk * n.val[c];
      p.mag[c] += std::fabs(wk * n.val[c]);
      g[c] += wg * n.val[c];
    }
  }
  for (std::size_t c = 0; c < nc_; ++c) p.err[c] = std::fabs(p.k[c] - g[c]);
}

// Beyond r_far the orientation average of f is, to leading order in 1/r,
//   <f> = -beta <u> + beta^2 <u^2> / 2 = (-beta C6 + beta^2 D / 3) / r^6,
// C6 the sum of the pairs' r^-6 coefficients (the shell theorem: the
// orientation average of a site-site law at r far beyond the sites is the law
// at r, up to (a / r)^2), D = mu1^2 mu2^2 (K units) from the 1/r coefficients:
// <u_dd^2> = (2/3) mu1^2 mu2^2 / r^6 for two dipoles.  The charges' own <u>
// vanishes (neutral molecules).  So B_tail = -2 pi (-beta C6 + beta^2 D / 3) /
// (3 r_far^3), and for the rotational quantum term, with
// <tau_1 A tau_1> = (2/3) mu2^2 (mu1^2 tr A - mu1 A mu1) / r^6,
// its tail is the same integral of that.  Next terms fall as r^-8 (a
// quadrupole, the sites' spread): the error is taken as
// 10 (reach / r_far)^2 of the tail.
void Integrator::far_tail(std::vector<double>& total, std::vector<double>& err, std::vector<double>& far_err) const {
  double c6 = 0.0;
  for (const PairLaw& l : law_) {
    if (l.form == 1 || l.form == 2) c6 += l.c6;
    if (l.form == 3) {
      const SiteLaw& w = *l.law;
      if (w.kind == 4 && w.la == 6.0) c6 += w.ca;
      if (w.kind == 4 && w.lr == 6.0) c6 += w.cr;
      if (w.kind == 5) c6 += w.c6;
    }
  }
  auto c1 = [&](std::size_t a, std::size_t b) {
    const PairLaw& l = law_[a * n2_ + b];
    if (l.form == 2) return l.c1;
    if (l.form == 3 && (l.law->kind == 4 || l.law->kind == 5)) return l.law->c1;
    return 0.0;
  };
  // M1 = K^2 mu2^2 mu1 mu1^T (frame of body 1), M2 likewise, D = tr M1
  Mat3 m1{}, m2{};
  for (std::size_t a = 0; a < n1_; ++a) {
    for (std::size_t a2 = 0; a2 < n1_; ++a2) {
      for (std::size_t b = 0; b < n2_; ++b) {
        for (std::size_t b2 = 0; b2 < n2_; ++b2) {
          const double cc = c1(a, b) * c1(a2, b2);
          if (cc == 0.0) continue;
          const double s1 = dot(b1_.s[a], b1_.s[a2]), s2 = dot(b2_.s[b], b2_.s[b2]);
          for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
              m1[3 * i + j] += (cc * s2) * (b1_.s[a][i] * b1_.s[a2][j]);
              m2[3 * i + j] += (cc * s1) * (b2_.s[b][i] * b2_.s[b2][j]);
            }
          }
        }
      }
    }
  }
  const double d = m1[0] + m1[4] + m1[8];
  const double r3 = (far_ * far_) * far_;
  const double rel = 10.0 * (reach_ / far_) * (reach_ / far_);
  auto rot_coefficient = [&](const Body& b, const Mat3& m) {
    if (b.kind == 0) return 0.0;
    if (b.kind == 1) {  // A = (1/I) on the two axes normal to z
      const double tr_m = m[0] + m[4] + m[8];
      return (2.0 / 3.0) * ((tr_m * 2.0 - (tr_m - m[8])) * b.inv_inertia[0]);
    }
    double tr_a = b.inv_inertia[0] + b.inv_inertia[4] + b.inv_inertia[8], tr_m = m[0] + m[4] + m[8], am = 0.0;
    for (int i = 0; i < 9; ++i) am += b.inv_inertia[i] * m[i];
    return (2.0 / 3.0) * (tr_m * tr_a - am);
  };
  const double g_rot = quantum_ ? rot_coefficient(b1_, m1) + rot_coefficient(b2_, m2) : 0.0;
  static constexpr double binom3[4] = {1.0, 3.0, 3.0, 1.0};
  for (std::size_t j = 0; j < nt_; ++j) {
    const double b = beta_[j];
    // entries (beta^k/k!) d^k/dbeta^k of -beta C6 + beta^2 D / 3
    const double e[3] = {-b * c6 + (b * b) * d / 3.0, -b * c6 + 2.0 * (b * b) * d / 3.0, (b * b) * d / 3.0};
    for (std::size_t k = 0; k < nk_ && k < 3; ++k) {
      const double v = -2.0 * kPi * e[k] / (3.0 * r3);
      total[j * nk_ + k] += v;
      err[j * nk_ + k] += rel * std::fabs(v);
      far_err[j * nk_ + k] = rel * std::fabs(v);
    }
    if (quantum_) {
      const double factor = kHbar2OverKbUA2 * kPi / 12.0;
      for (std::size_t k = 0; k < nk_ && k < 4; ++k) {
        const double v = factor * (((b * b) * b) * binom3[k]) * g_rot / (3.0 * r3);
        const std::size_t c = (2 * nt_ + j) * nk_ + k;
        total[c] += v;
        err[c] += rel * std::fabs(v);
        far_err[c] = rel * std::fabs(v);
      }
    }
  }
}

B2CubatureResult Integrator::run() {
  const int inner = 8;
  for (int i = 0; i < inner; ++i) make_panel(split_ * i / inner, split_ * (i + 1) / inner, false, kStartLevel);
  make_panel(1.0 / kFarFactor, 0.5, true, kStartLevel);
  make_panel(0.5, 1.0, true, kStartLevel);
  std::vector<double> total(nc_), err(nc_), mag(nc_), tol(nc_);
  std::vector<char> panel_alive(panels_.size(), 1);
  std::vector<char> node_stuck;
  std::string message;
  bool converged = false;
  for (;;) {
    panel_alive.resize(panels_.size(), 1);
    std::fill(total.begin(), total.end(), 0.0);
    std::fill(err.begin(), err.end(), 0.0);
    std::fill(mag.begin(), mag.end(), 0.0);
    std::vector<double> node_weight(nodes_.size(), 0.0);
    for (std::size_t q = 0; q < panels_.size(); ++q) {
      if (!panel_alive[q]) continue;
      const Panel& p = panels_[q];
      for (std::size_t c = 0; c < nc_; ++c) {
        total[c] += p.k[c];
        err[c] += p.err[c];
        mag[c] += p.mag[c];
      }
      for (int i = 0; i < 15; ++i) {
        const int m = i < 7 ? i : 14 - i;
        node_weight[p.node[static_cast<std::size_t>(i)]] = kWgk[m] * nodes_[p.node[static_cast<std::size_t>(i)]].jac;
      }
    }
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      if (node_weight[i] == 0.0) continue;
      for (std::size_t c = 0; c < nc_; ++c) err[c] += node_weight[i] * nodes_[i].aerr[c];
    }
    std::vector<double> far_err(nc_, 0.0);
    far_tail(total, err, far_err);
    for (std::size_t part = 0; part < parts_; ++part) {
      for (std::size_t j = 0; j < nt_; ++j) {
        for (std::size_t k = 0; k < nk_; ++k) {
          const std::size_t c = (part * nt_ + j) * nk_ + k;
          double scale = std::fabs(total[c]);
          if (part > 0) scale = std::max(scale, std::fabs(total[j * nk_ + k]));
          tol[c] = std::max(opt_.atol, opt_.rtol * std::max(scale, 1e-2 * mag[c]));
        }
      }
    }
    bool all = true;
    for (std::size_t c = 0; c < nc_; ++c) all = all && err[c] <= tol[c];
    if (all) {
      converged = true;
      break;
    }
    bool far_limits = false;
    for (std::size_t c = 0; c < nc_; ++c) far_limits = far_limits || far_err[c] > 0.5 * tol[c];
    if (far_limits) {
      message = "not converged: the far field beyond r_far = " + std::to_string(far_) +
                " (in closed form to leading order) is not known to the precision asked";
      break;
    }
    for (double v : total) {
      if (!std::isfinite(v)) {
        throw FloatingPointError("b2_cubature(): the integral is not finite (a pair energy without lower bound?)");
      }
    }
    // scores: error over tolerance, the worst component
    struct Item {
      double score;
      bool panel;
      std::size_t index;
    };
    std::vector<Item> items;
    double best = 0.0;
    for (std::size_t q = 0; q < panels_.size(); ++q) {
      if (!panel_alive[q]) continue;
      double s = 0.0;
      for (std::size_t c = 0; c < nc_; ++c) s = std::max(s, panels_[q].err[c] / tol[c]);
      items.push_back({s, true, q});
      best = std::max(best, s);
    }
    node_stuck.resize(nodes_.size(), 0);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      if (node_weight[i] == 0.0 || !angular_) continue;
      double s = 0.0;
      for (std::size_t c = 0; c < nc_; ++c) s = std::max(s, node_weight[i] * nodes_[i].aerr[c] / tol[c]);
      items.push_back({s, false, i});
      best = std::max(best, s);
    }
    std::uint64_t planned = 0;
    std::vector<Item> chosen;
    bool stuck_only = true;
    for (const Item& it : items) {
      if (!(it.score >= 0.25 * best) || it.score == 0.0) continue;
      if (it.panel) {
        const Panel& p = panels_[it.index];
        if (!(p.b - p.a > 1e-9 * (p.tail ? 1.0 : split_))) continue;
        int lv = 0;
        for (std::size_t i : p.node) lv = std::max(lv, nodes_[i].level);
        const int start = std::max(kStartLevel, lv - 1);
        planned += angular_ ? 30 * (cost(start) + cost(std::min(start + 1, kLevelCount - 1))) : 30;
      } else {
        if (nodes_[it.index].level + 1 >= kLevelCount) continue;
        planned += cost(nodes_[it.index].level + 1);
      }
      stuck_only = false;
      chosen.push_back(it);
    }
    if (stuck_only) {
      message = "not converged: the rules cannot be refined further where the error is (a jump in the integrand: a "
                "floor u_min above the lowest energies, or a table's edge?)";
      break;
    }
    if (evaluations_ + planned > opt_.max_evaluations) {
      message = "not converged: the next refinement would exceed max_evaluations = " +
                std::to_string(opt_.max_evaluations) + " pair energies";
      break;
    }
    for (const Item& it : chosen) {
      if (it.panel) {
        const Panel p = panels_[it.index];
        panel_alive[it.index] = 0;
        int lv = 0;
        for (std::size_t i : p.node) lv = std::max(lv, nodes_[i].level);
        const int start = angular_ ? std::min(std::max(kStartLevel, lv - 1), kLevelCount - 2) : kStartLevel;
        const double mid = 0.5 * (p.a + p.b);
        make_panel(p.a, mid, p.tail, start);
        make_panel(mid, p.b, p.tail, start);
      } else {
        refine_node(it.index);
      }
    }
    // panels whose nodes changed level: sum again
    for (std::size_t q = 0; q < panels_.size(); ++q) {
      if (q < panel_alive.size() && !panel_alive[q]) continue;
      sum_panel(panels_[q]);
    }
  }
  B2CubatureResult res;
  res.converged = converged;
  res.message = message;
  res.evaluations = evaluations_;
  res.angular_level_max = level_max_;
  res.orientations_max = angular_ ? cost(level_max_) : 1;
  res.split_radius = split_;
  res.far_radius = far_;
  res.geometry = geometry_;
  std::uint64_t live = 0;
  for (std::size_t q = 0; q < panels_.size(); ++q) live += (q >= panel_alive.size() || panel_alive[q]) ? 15 : 0;
  res.radial_nodes = live;
  res.temperatures.resize(nt_);
  for (std::size_t j = 0; j < nt_; ++j) {
    B2CubatureTemperature& out = res.temperatures[j];
    out.converged = true;
    for (std::size_t k = 0; k < nk_; ++k) {
      const std::size_t c = j * nk_ + k;
      out.entries.push_back(total[c]);
      out.errors.push_back(err[c]);
      out.converged = out.converged && err[c] <= tol[c];
      if (quantum_) {
        const std::size_t c1 = (nt_ + j) * nk_ + k, c2 = (2 * nt_ + j) * nk_ + k;
        out.translational.push_back(total[c1]);
        out.rotational.push_back(total[c2]);
        out.quantum_errors.push_back(err[c1] + err[c2]);
        out.converged = out.converged && err[c1] <= tol[c1] && err[c2] <= tol[c2];
      }
    }
  }
  return res;
}

}  // namespace

B2CubatureResult b2_cubature(const Molecule& mol1, const Molecule& mol2, const SiteLawTable& laws,
                             const B2CubatureOptions& opt) {
  Integrator integrator(mol1, mol2, laws, opt);
  return integrator.run();
}

}  // namespace vica
