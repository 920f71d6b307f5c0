#include "virial/b3_quadrature.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "runtime/failure.h"
#include "virial/gauss_kronrod.h"

namespace vica {
namespace {

using namespace gk;

constexpr double kPi = 3.14159265358979323846;

// ---------------------------------------------------------------------------
// What the rules need to know about a law: its scale, its kinks and its far field.

struct LawInfo {
  const SiteLaw* law = nullptr;
  bool zero = false;        // u = 0 at every distance: f = 0
  double sigma = 1.0;       // where the repulsion reaches k_B T at the lowest temperature
  double p = kInf;          // slowest power of the far field (inf: finite range)
  double range = 0.0;       // tables: u = 0 from here on
  double min_r = 0.0;       // the envelope's power bound holds from here on (exp terms)
  double core = 0.0;        // u = +inf below (the barrier of a collapsing exp-6)
  std::vector<double> kinks;  // distances where f or its derivatives jump (table points)

  // E(r) >= |u(x)| for every x >= r (each term falls monotonically).
  double envelope(double r) const {
    const SiteLaw& l = *law;
    switch (l.kind) {
      case 0:
        return 0.0;
      case 1:
        return std::fabs(l.potk._0) / r;
      case 2:
        return std::fabs(l.potk._0) * std::pow(r, -6.0) + std::fabs(l.potk._1) * std::pow(r, -12.0);
      case 3:
        return std::fabs(l.potk._0) / r + std::fabs(l.potk._1) * std::pow(r, -6.0) +
               std::fabs(l.potk._2) * std::pow(r, -12.0);
      case 4:
        return std::fabs(l.c1) / r + std::fabs(l.ca) * std::pow(r, -l.la) + std::fabs(l.cr) * std::pow(r, -l.lr);
      case 5:
        return std::fabs(l.c1) / r + l.a * std::exp(-l.b * r) + std::fabs(l.c6) * std::pow(r, -6.0);
      default:
        return r >= range ? 0.0 : kInf;
    }
  }
};

double slowest_power(const SiteLaw& l) {
  double p = kInf;
  auto take = [&p](double c, double power) {
    if (c != 0.0) p = std::min(p, power);
  };
  switch (l.kind) {
    case 1:
      take(l.potk._0, 1.0);
      break;
    case 2:
      take(l.potk._0, 6.0);
      take(l.potk._1, 12.0);
      break;
    case 3:
      take(l.potk._0, 1.0);
      take(l.potk._1, 6.0);
      take(l.potk._2, 12.0);
      break;
    case 4:
      take(l.c1, 1.0);
      take(l.ca, l.la);
      take(l.cr, l.lr);
      break;
    case 5:
      take(l.c1, 1.0);
      take(l.c6, 6.0);
      take(l.a, 12.0);  // exp(-B r) falls faster than r^-12 from r = 12 / B on
      break;
    default:
      break;
  }
  return p;
}

LawInfo describe(const SiteLaw& law, double beta_max, double u_min, const std::string& name) {
  LawInfo info;
  info.law = &law;
  if (!law.bounded_below()) {
    // exp-6 is infinite inside its barrier (Errington and Panagiotopoulos's form): a
    // hard core there; other collapsing laws need a floor
    info.core = law.collapse_barrier();
    if (!(info.core > 0.0) && !(u_min > -kInf)) {
      throw ValueError(name + " attracts without bound at short range, so C diverges: give an energy floor "
                       "(u_min), a core or a table");
    }
  }
  if (info.core > 0.0) info.kinks.push_back(info.core);
  if (law.kind == 6) {
    info.kinks = law.table->r;
    info.range = law.table->r.back();
  } else {
    info.p = slowest_power(law);
    info.zero = !(info.p < kInf);
    if (!info.zero && !(info.p > 3.0)) {
      std::ostringstream p;
      p << info.p;
      throw ValueError(name + " falls off as r^-" + p.str() +
                       " at long range: C of one-site molecules needs a law falling faster than r^-3 "
                       "(bare charges give no finite C)");
    }
    if (law.kind == 5 && law.a > 0.0) info.min_r = info.p / law.b;
  }
  if (info.zero) return info;
  // The scale: the largest distance where the repulsion reaches k_B T (else
  // where |u| reaches k_B T / 100, else 1).
  double strong = 0.0, weak = 0.0;
  for (double r = 1e-3; r < 1e6; r *= 1.02) {
    const double u = r < info.core ? kInf : law.energy(r);
    const double bu = beta_max * u;
    if (std::isnan(bu) || bu >= 1.0) strong = r;
    if (std::isnan(bu) || std::fabs(bu) >= 1e-2) weak = r;
  }
  info.sigma = strong > 0.0 ? strong : weak > 0.0 ? weak : 1.0;
  if (law.kind == 6) info.sigma = std::max(info.sigma, info.kinks.front());
  if (!law.bounded_below() && !(info.core > 0.0)) {
    // where the collapse meets the floor (a kink of f): the largest r below the
    // repulsion's onset with u <= u_min, bisected
    double lo = 0.0;
    for (double r = 1e-3; r < info.sigma; r *= 1.02) {
      if (law.energy(r) <= u_min) lo = r;
    }
    if (lo > 0.0) {
      double hi = lo * 1.02;
      for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        (law.energy(mid) <= u_min ? lo : hi) = mid;
      }
      info.kinks.push_back(hi);
    }
  }
  return info;
}

bool same_law(const SiteLaw& x, const SiteLaw& y) {
  return x.kind == y.kind && x.c1 == y.c1 && x.ca == y.ca && x.la == y.la && x.cr == y.cr && x.lr == y.lr &&
         x.a == y.a && x.b == y.b && x.c6 == y.c6 && x.table == y.table && x.potk.tag == y.potk.tag &&
         x.potk._0 == y.potk._0 && x.potk._1 == y.potk._1 && x.potk._2 == y.potk._2;
}

// Seed breakpoints in (lo, hi): dense where the repulsion sets in and the
// well lies, then geometric; `fine` for the one-dimensional rules, coarse for
// the inner s rule (which refines where it must).
void add_seeds(const LawInfo& L, double lo, double hi, bool fine, std::vector<double>& out, bool all_kinks = true) {
  static constexpr double kFine[] = {0.3, 0.5, 0.65, 0.75, 0.8, 0.85, 0.9, 0.95, 1.0, 1.05, 1.1, 1.15, 1.2,
                                     1.3, 1.4, 1.5, 1.65, 1.8, 2.0, 2.25, 2.5, 2.8, 3.2, 3.6, 4.0};
  static constexpr double kCoarse[] = {0.8, 0.9, 1.0, 1.1, 1.25, 1.5, 2.0, 3.0, 4.0};
  auto put = [&](double x) {
    if (x > lo && x < hi) out.push_back(x);
  };
  if (L.zero) return;
  if (fine) {
    for (double m : kFine) put(m * L.sigma);
  } else {
    for (double m : kCoarse) put(m * L.sigma);
  }
  for (double x = 4.0 * L.sigma * (fine ? 1.25 : 1.6); x < hi; x *= fine ? 1.25 : 1.6) put(x);
  if (fine && all_kinks) {
    for (double k : L.kinks) put(k);
  } else if (!L.kinks.empty()) {
    put(L.kinks.front());
    put(L.kinks.back());
  }
}

void sort_breaks(std::vector<double>& b, double lo, double hi) {
  b.push_back(lo);
  b.push_back(hi);
  std::sort(b.begin(), b.end());
  const double gap = 1e-12 * std::max(std::fabs(hi), std::fabs(lo));
  std::size_t n = 0;
  for (double x : b) {
    if (x < lo || x > hi) continue;
    if (n > 0 && x - b[n - 1] <= gap) continue;
    b[n++] = x;
  }
  b.resize(n);
  if (b.back() < hi) b.back() = hi;
}

// ---------------------------------------------------------------------------
// The Mayer function and its scaled beta-derivatives at every temperature:
// d[j * n + c] = (beta_j^c / c!) d^c f / d beta^c, n = order_max + 1.

struct Mayer {
  const SiteLaw* law = nullptr;
  const std::vector<double>* beta = nullptr;
  std::size_t n = 1;
  double u_min = -kInf;  // the energy floor
  double core = 0.0;     // u = +inf below

  void operator()(double r, double* d, Budget& budget) const {
    double u = r < core ? kInf : law->energy(r);
    ++budget.used;
    if (std::isnan(u)) u = kInf;  // inf - inf of the powers very near r = 0: inside the core
    if (u < u_min) u = u_min;
    const std::size_t nt = beta->size();
    for (std::size_t j = 0; j < nt; ++j) {
      double* dj = d + j * n;
      const double x = u == kInf ? -kInf : -(*beta)[j] * u;
      if (x < -745.0) {
        dj[0] = -1.0;
        for (std::size_t c = 1; c < n; ++c) dj[c] = 0.0;
        continue;
      }
      double e, f;
      if (std::fabs(x) < 0.25) {
        f = std::expm1(x);
        e = f + 1.0;
      } else {
        e = std::exp(x);
        f = e - 1.0;
      }
      if (!std::isfinite(e)) {
        throw ValueError("the Mayer function overflows: -u/T = " + std::to_string(x) + " at r = " + std::to_string(r) +
                         " (the well is too deep for this temperature)");
      }
      dj[0] = f;
      double v = e;
      for (std::size_t c = 1; c < n; ++c) {
        v = v * x / static_cast<double>(c);
        dj[c] = v;
      }
    }
  }
};

// ---------------------------------------------------------------------------
// H(x) = int_0^x t d_c(t) dt of law 23 on panels over [0, X]: cumulative sums
// at the panel starts and, inside a panel, the integral of the polynomial
// through the panel's 15 node values.  Evaluating G = H(b) - H(a) then costs
// no site energy and no exponential: the temperatures' work is done once, on
// the panels.  The panels are refined until the plain |K15 - G7| difference
// (not QUADPACK's sharper estimate) is within the target, since the part of a
// panel is only as good as the interpolating polynomial.

class HTable {
 public:
  Mayer mayer;
  std::size_t m = 0;  // temperatures x orders
  std::vector<double> start;  // panel starts, then X
  std::vector<double> half;   // panel half-widths
  std::vector<double> cum;    // (panels + 1) x m: H at the panel starts
  std::vector<double> values; // panels x 15 x m: t d_c(t) at the nodes
  std::vector<double> bound;  // m: bound on the error of any G = H(b) - H(a)
  bool converged = false;

  void build(const LawInfo& info, double X, const double* tol, Budget& budget) {
    std::vector<double> breaks;
    add_seeds(info, 0.0, X, true, breaks);
    sort_breaks(breaks, 0.0, X);
    Adaptive q(m, 0);
    q.plain = true;
    std::vector<double> d(m);
    auto fn = [&](double t, double* out, double*, Budget& b) {
      mayer(t, d.data(), b);
      for (std::size_t c = 0; c < m; ++c) out[c] = t * d[c];
    };
    q.run(fn, breaks, tol, budget, 50000);
    start.clear();
    half.clear();
    values.clear();
    cum.assign(m, 0.0);
    std::vector<double> run(m, 0.0);
    q.each_panel([&](double a, double b, const double* v) {
      start.push_back(a);
      half.push_back(0.5 * (b - a));
      const double c0 = 0.5 * (a + b), h = 0.5 * (b - a);
      for (int i = 0; i < 15; ++i) {
        const double t = node(c0, h, i);
        mayer(t, d.data(), budget);
        for (std::size_t c = 0; c < m; ++c) values.push_back(t * d[c]);
      }
      for (std::size_t c = 0; c < m; ++c) run[c] += v[c];
      cum.insert(cum.end(), run.begin(), run.end());
    });
    start.push_back(X);
    // G is a difference of cumulative sums and two parts of panels, each part
    // within its panel's |K15 - G7|: bounded by twice their sum
    bound.resize(m);
    for (std::size_t c = 0; c < m; ++c) bound[c] = 2.0 * q.err[c];
    converged = q.converged;
  }

  // out[c] = int_lo^hi t d_c(t) dt, 0 <= lo <= hi <= X (two look-ups, counted
  // in the budget as two evaluations).
  void integral(double lo, double hi, double* out, Budget& budget) const {
    budget.used += 2;
    for (std::size_t c = 0; c < m; ++c) out[c] = 0.0;
    if (!(hi > lo)) return;
    add_h(hi, 1.0, out);
    add_h(lo, -1.0, out);
  }

 private:
  std::size_t panel_of(double x) const {
    const std::size_t np = start.size() - 1;
    std::size_t i = static_cast<std::size_t>(std::upper_bound(start.begin(), start.end(), x) - start.begin());
    i = i == 0 ? 0 : i - 1;
    return std::min(i, np - 1);
  }

  // out += sign * H(x)
  void add_h(double x, double sign, double* out) const {
    const std::size_t p = panel_of(x);
    const double h = half[p];
    double y = (x - (start[p] + h)) / h;
    y = std::min(1.0, std::max(-1.0, y));
    double W[15];
    partial_weights().at(y, W);
    const double* base = &cum[p * m];
    for (std::size_t c = 0; c < m; ++c) out[c] += sign * base[c];
    const double* v = &values[p * 15 * m];
    for (int i = 0; i < 15; ++i) {
      const double w = sign * h * W[i];
      const double* vi = v + static_cast<std::size_t>(i) * m;
      for (std::size_t c = 0; c < m; ++c) out[c] += w * vi[c];
    }
  }
};

// Plain 15-point rule over the seed panels of [0, X] of t|d_c| and t^2 |d_c|,
// and the largest |d_c| met: the scales for tolerances and the tail bound.
struct Norms {
  std::vector<double> a;    // int_0^inf t |d_c| dt      (m)
  std::vector<double> n;    // 4 pi int_0^inf t^2 |d_c| dt (m)
  std::vector<double> top;  // max |d_c| met             (m)
};

double far_g(const LawInfo& L, double beta, double r) {
  const double be = beta * L.envelope(r);
  return be * std::exp(be);
}

Norms norms(const LawInfo& L, const Mayer& mayer, const std::vector<double>& beta, double X, Budget& budget) {
  const std::size_t nt = beta.size(), n = mayer.n, m = nt * n;
  Norms out;
  out.a.assign(m, 0.0);
  out.n.assign(m, 0.0);
  out.top.assign(m, 0.0);
  if (L.zero) return out;
  std::vector<double> breaks;
  add_seeds(L, 0.0, X, true, breaks);
  sort_breaks(breaks, 0.0, X);
  std::vector<double> d(m);
  for (std::size_t i = 0; i + 1 < breaks.size(); ++i) {
    const double c0 = 0.5 * (breaks[i] + breaks[i + 1]), h = 0.5 * (breaks[i + 1] - breaks[i]);
    for (int q = 0; q < 15; ++q) {
      const double t = node(c0, h, q);
      mayer(t, d.data(), budget);
      for (std::size_t c = 0; c < m; ++c) {
        const double v = std::fabs(d[c]);
        out.a[c] += kweight(q) * h * t * v;
        out.n[c] += kweight(q) * h * t * t * v;
        out.top[c] = std::max(out.top[c], v);
      }
    }
  }
  // what lies beyond X (g bounds every |d_c| there; a 5 % margin on the rule)
  for (std::size_t j = 0; j < nt; ++j) {
    const double g = L.p < kInf ? far_g(L, beta[j], X) : 0.0;
    for (std::size_t c = 0; c < n; ++c) {
      const std::size_t i = j * n + c;
      out.a[i] = 1.05 * out.a[i] + (g > 0.0 ? g * X * X / (L.p - 2.0) : 0.0);
      out.n[i] = 4.0 * kPi * (1.05 * out.n[i] + (g > 0.0 ? g * X * X * X / (L.p - 3.0) : 0.0));
    }
  }
  return out;
}

// ---------------------------------------------------------------------------

struct Problem {
  LawInfo L12, L13, L23;
  Mayer M12, M13, M23;
  Norms N12, N13, N23;
  std::vector<double> beta;
  std::size_t nt = 0, n = 1, P = 1;  // temperatures, orders, (b, c) pairs
  bool symmetric = false;
  double sigma_max = 1.0, r_min = 0.0;
  std::vector<std::size_t> pair_b, pair_c;  // the (b, c) of each pair index
  std::vector<std::size_t> pair_index;      // b * n + c -> pair index
};

double prefactor(const Problem& pb, std::size_t k) {
  return (8.0 * kPi * kPi / 3.0) * (pb.symmetric ? 2.0 : 1.0) / std::pow(2.0, 0.5 * static_cast<double>(k));
}

// Bound (in C's unit) on the entries from r > R or s > R, per (j, k).
std::vector<double> tail_bound(const Problem& pb, double R) {
  const std::size_t n = pb.n;
  std::vector<double> out(pb.nt * n, 0.0);
  for (std::size_t j = 0; j < pb.nt; ++j) {
    const double b = pb.beta[j];
    auto g = [&](const LawInfo& L, double r) { return (L.zero || !(L.p < kInf)) ? 0.0 : far_g(L, b, r); };
    auto pw = [&](const LawInfo& x, const LawInfo& y) {
      return R * R * R / std::max(x.p + y.p - 3.0, 1.0);
    };
    const double g12 = g(pb.L12, R), g13 = g(pb.L13, R);
    const double h12 = g(pb.L12, 0.5 * R), h13 = g(pb.L13, 0.5 * R), h23 = g(pb.L23, 0.5 * R);
    for (std::size_t k = 0; k < n; ++k) {
      double sum = 0.0;
      for (std::size_t a = 0; a <= k; ++a) {
        for (std::size_t bb = 0; a + bb <= k; ++bb) {
          const std::size_t c = k - a - bb;
          const double n12 = pb.N12.n[j * n + a], n13 = pb.N13.n[j * n + bb], n23 = pb.N23.n[j * n + c];
          double t = 0.0;
          if (g12 > 0.0) t += g12 * (h23 * n13 * pw(pb.L12, pb.L23) + h13 * n23 * pw(pb.L12, pb.L13));
          if (g13 > 0.0) t += g13 * (h23 * n12 * pw(pb.L13, pb.L23) + h12 * n23 * pw(pb.L13, pb.L12));
          sum += 4.0 * kPi * t;
        }
      }
      out[j * n + k] = (sum / 3.0) / std::pow(2.0, 0.5 * static_cast<double>(k));
    }
  }
  return out;
}

// The cutoff: from r_min on, up in 10 % steps until the tail bound is within
// a quarter of every target (or at 64 r_min, where the bound is reported).
double choose_cutoff(const Problem& pb, const std::vector<double>& tol) {
  double R = pb.r_min;
  for (int i = 0; i < 44; ++i) {
    const std::vector<double> t = tail_bound(pb, R);
    bool ok = true;
    for (std::size_t c = 0; c < t.size(); ++c) ok = ok && t[c] <= 0.25 * tol[c];
    if (ok) break;
    R *= 1.1;
  }
  return R;
}

struct Pass {
  std::vector<double> value, error, tail;
  std::vector<std::uint8_t> met;  // per (j, k)
  double R = 0.0;
};

// One pass at the targets `tol` (C's unit, per (j, k)).
Pass integrate(const Problem& pb, const std::vector<double>& tol, Budget& budget) {
  const std::size_t nt = pb.nt, n = pb.n, P = pb.P, m_out = nt * n, m_in = nt * P;
  Pass out;
  out.R = choose_cutoff(pb, tol);
  const double R = out.R;
  out.tail = tail_bound(pb, R);

  // targets of the integral I_k (C_k = -pref_k I_k)
  std::vector<double> tolI(m_out), tol_outer(m_out);
  for (std::size_t j = 0; j < nt; ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      tolI[j * n + k] = std::max(tol[j * n + k] / prefactor(pb, k), kTiny);
      tol_outer[j * n + k] = 0.25 * tolI[j * n + k];
    }
  }
  auto nk = [](std::size_t k) { return 0.5 * static_cast<double>((k + 1) * (k + 2)); };

  // H of law 23 over [0, 2R]
  HTable H;
  H.mayer = pb.M23;
  H.m = nt * n;
  {
    std::vector<double> tolH(nt * n, kInf);
    for (std::size_t j = 0; j < nt; ++j) {
      for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t k = c; k < n; ++k) {
          double amax = 0.0;
          for (std::size_t a = 0; a + c <= k; ++a) {
            amax = std::max(amax, pb.N12.a[j * n + a] * pb.N13.a[j * n + (k - c - a)]);
          }
          const double t = tolI[j * n + k] / (4.0 * nk(k) * 2.0 * std::max(amax, kTiny));
          tolH[j * n + c] = std::min(tolH[j * n + c], 0.5 * t);
        }
      }
    }
    H.build(pb.L23, 2.0 * R, tolH.data(), budget);
  }
  std::vector<double> herr(m_out, 0.0);  // bound on the integral's error from H
  for (std::size_t j = 0; j < nt; ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      double s = 0.0;
      for (std::size_t a = 0; a <= k; ++a) {
        for (std::size_t b = 0; a + b <= k; ++b) {
          s += pb.N12.a[j * n + a] * pb.N13.a[j * n + b] * H.bound[j * n + (k - a - b)];
        }
      }
      herr[j * n + k] = s;
    }
  }

  // seeds of the r rule and the kink distances that move the s breakpoints
  std::vector<double> rbreaks;
  add_seeds(pb.L12, 0.0, R, false, rbreaks);
  if (!pb.L13.kinks.empty() || !pb.L23.kinks.empty()) {
    std::vector<double> k13, k23;
    if (!pb.L13.kinks.empty()) k13 = {pb.L13.kinks.front(), pb.L13.kinks.back()};
    if (!pb.L23.kinks.empty()) k23 = {pb.L23.kinks.front(), pb.L23.kinks.back()};
    for (double x : k13) {
      rbreaks.push_back(x);
      for (double y : k23) {
        rbreaks.push_back(x + y);
        rbreaks.push_back(std::fabs(x - y));
      }
    }
    for (double y : k23) rbreaks.push_back(y);
  }
  sort_breaks(rbreaks, 0.0, R);
  std::vector<double> s_seeds;
  add_seeds(pb.L13, 0.0, R, false, s_seeds);
  std::vector<double> shifts;  // s = r +- x and x - r
  if (!pb.L23.zero) {
    for (double x : {0.9, 1.0, 1.2, 1.6, 2.4}) shifts.push_back(x * pb.L23.sigma);
    if (!pb.L23.kinks.empty()) {
      shifts.push_back(pb.L23.kinks.front());
      shifts.push_back(pb.L23.kinks.back());
    }
  }

  // the s rule, one per node r
  Adaptive inner(m_in, 0);
  std::vector<double> sbreaks, tol_in(m_in), d12(m_out), d13(m_out), G(m_out);
  double r_now = 0.0;
  auto s_fn = [&](double s, double* v, double*, Budget& b) {
    pb.M13(s, d13.data(), b);
    H.integral(std::fabs(r_now - s), r_now + s, G.data(), b);
    for (std::size_t j = 0; j < nt; ++j) {
      for (std::size_t p = 0; p < P; ++p) {
        v[j * P + p] = s * d13[j * n + pb.pair_b[p]] * G[j * n + pb.pair_c[p]];
      }
    }
  };
  auto r_fn = [&](double r, double* v, double* e, Budget& b) {
    pb.M12(r, d12.data(), b);
    r_now = r;
    const double S = pb.symmetric ? r : R;
    // tolerances of the s rule at this r: half spread evenly over the r
    // interval, half in proportion to the weight r |d_a(r)|
    for (std::size_t j = 0; j < nt; ++j) {
      for (std::size_t p = 0; p < P; ++p) {
        const std::size_t bc = pb.pair_b[p] + pb.pair_c[p];
        double t = kInf;
        for (std::size_t k = bc; k < n; ++k) {
          const std::size_t a = k - bc;
          const double w = r * std::fabs(d12[j * n + a]);
          const double share = 0.5 * (1.0 / std::max(pb.N12.a[j * n + a], kTiny) + 1.0 / std::max(w * R, kTiny));
          t = std::min(t, tolI[j * n + k] / (4.0 * nk(k)) * share);
        }
        tol_in[j * P + p] = std::min(t, 1e300);
      }
    }
    sbreaks.clear();
    for (double x : s_seeds) sbreaks.push_back(x);
    for (double x : shifts) {
      sbreaks.push_back(r - x);
      sbreaks.push_back(r + x);
      sbreaks.push_back(x - r);
    }
    sort_breaks(sbreaks, 0.0, S);
    if (S > 0.0) {
      inner.run(s_fn, sbreaks, tol_in.data(), b, 400);
    } else {
      std::fill(inner.val.begin(), inner.val.end(), 0.0);
      std::fill(inner.err.begin(), inner.err.end(), 0.0);
      inner.val.resize(m_in, 0.0);
      inner.err.resize(m_in, 0.0);
    }
    for (std::size_t j = 0; j < nt; ++j) {
      for (std::size_t k = 0; k < n; ++k) {
        double sv = 0.0, se = 0.0;
        for (std::size_t a = 0; a <= k; ++a) {
          for (std::size_t bb = 0; a + bb <= k; ++bb) {
            const std::size_t p = pb.pair_index[bb * n + (k - a - bb)];
            sv += d12[j * n + a] * inner.val[j * P + p];
            se += std::fabs(d12[j * n + a]) * inner.err[j * P + p];
          }
        }
        v[j * n + k] = r * sv;
        e[j * n + k] = r * se;
      }
    }
  };
  Adaptive outer(m_out, m_out);
  outer.run(r_fn, rbreaks, tol_outer.data(), budget, 4000);

  out.value.resize(m_out);
  out.error.resize(m_out);
  out.met.resize(m_out);
  for (std::size_t j = 0; j < nt; ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = j * n + k;
      const double pref = prefactor(pb, k);
      out.value[i] = -pref * outer.val[i];
      out.error[i] = pref * (outer.err[i] + outer.aux[i] + herr[i]) + out.tail[i];
      out.met[i] = out.error[i] <= tol[i] ? 1 : 0;
    }
  }
  return out;
}

}  // namespace

B3QuadratureResult b3_quadrature(const SiteLaw& l12, const SiteLaw& l13, const SiteLaw& l23,
                                 const B3QuadratureOptions& opt) {
  if (opt.temperatures.empty()) throw ValueError("b3_quadrature(): no temperatures given");
  for (double t : opt.temperatures) {
    if (!(t > 0.0 && std::isfinite(t))) {
      std::ostringstream v;
      v << t;
      throw ValueError("b3_quadrature(): temperature must be a finite number above 0 K, got " + v.str());
    }
  }
  if (!(opt.rtol > 0.0 && opt.rtol < 1.0)) throw ValueError("b3_quadrature(): rtol must lie between 0 and 1");
  if (!(opt.rtol >= 1e-14)) throw ValueError("b3_quadrature(): rtol below 1e-14 cannot be met in double precision");
  if (!(opt.atol >= 0.0 && std::isfinite(opt.atol))) throw ValueError("b3_quadrature(): atol must be finite and >= 0");
  if (std::isnan(opt.u_min) || opt.u_min == kInf) {
    throw ValueError("b3_quadrature(): u_min must be a number or -inf (no floor)");
  }
  if (opt.order_max > 169) throw ValueError("b3_quadrature(): order_max above 169 is not supported (k! overflows)");
  if (opt.max_evaluations == 0) throw ValueError("b3_quadrature(): max_evaluations must be above 0");

  Problem pb;
  pb.nt = opt.temperatures.size();
  pb.n = opt.order_max + 1;
  pb.beta.resize(pb.nt);
  double beta_max = 0.0;
  for (std::size_t j = 0; j < pb.nt; ++j) {
    pb.beta[j] = 1.0 / opt.temperatures[j];
    beta_max = std::max(beta_max, pb.beta[j]);
  }
  pb.L12 = describe(l12, beta_max, opt.u_min, "law 12");
  pb.L13 = describe(l13, beta_max, opt.u_min, "law 13");
  pb.L23 = describe(l23, beta_max, opt.u_min, "law 23");
  pb.symmetric = same_law(l12, l13);
  for (std::size_t b = 0; b < pb.n; ++b) {
    for (std::size_t c = 0; b + c < pb.n; ++c) {
      pb.pair_b.push_back(b);
      pb.pair_c.push_back(c);
    }
  }
  pb.P = pb.pair_b.size();
  pb.pair_index.assign(pb.n * pb.n, 0);
  for (std::size_t p = 0; p < pb.P; ++p) pb.pair_index[pb.pair_b[p] * pb.n + pb.pair_c[p]] = p;

  B3QuadratureResult res;
  res.order_max = opt.order_max;
  const std::size_t m = pb.nt * pb.n;
  res.entries.assign(m, 0.0);
  res.errors.assign(m, 0.0);
  res.tail_bounds.assign(m, 0.0);
  res.targets.assign(m, opt.atol);
  res.converged.assign(pb.nt, 1);
  if (pb.L12.zero || pb.L13.zero || pb.L23.zero) return res;  // a factor f = 0: C = 0 exactly

  const LawInfo* laws[3] = {&pb.L12, &pb.L13, &pb.L23};
  Mayer* mayers[3] = {&pb.M12, &pb.M13, &pb.M23};
  for (int i = 0; i < 3; ++i) {
    mayers[i]->law = laws[i]->law;
    mayers[i]->beta = &pb.beta;
    mayers[i]->n = pb.n;
    mayers[i]->u_min = opt.u_min;
    mayers[i]->core = laws[i]->core;
  }
  pb.sigma_max = std::max({pb.L12.sigma, pb.L13.sigma, pb.L23.sigma});
  // smallest cutoff: 4 sigma, past every table, and where beta E(R/2) <= 1/2
  double R = 4.0 * pb.sigma_max;
  for (const LawInfo* L : laws) {
    if (!(L->p < kInf)) {
      R = std::max(R, 2.0 * L->range);
      continue;
    }
    R = std::max(R, 2.0 * L->min_r);
    for (int i = 0; i < 400 && beta_max * L->envelope(0.5 * R) > 0.5; ++i) R *= 1.1;
  }
  pb.r_min = R;

  Budget budget;
  budget.limit = opt.max_evaluations;
  pb.N12 = norms(pb.L12, pb.M12, pb.beta, R, budget);
  pb.N13 = pb.symmetric ? pb.N12 : norms(pb.L13, pb.M13, pb.beta, R, budget);
  pb.N23 = norms(pb.L23, pb.M23, pb.beta, R, budget);

  // magnitudes M_k: (1/3) sum N12_a N13_b max|d23_c| / 2^(k/2)
  const std::size_t n = pb.n;
  std::vector<double> mag(m, 0.0), tol0(m), tol(m);
  for (std::size_t j = 0; j < pb.nt; ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      double s = 0.0;
      for (std::size_t a = 0; a <= k; ++a) {
        for (std::size_t b = 0; a + b <= k; ++b) {
          s += pb.N12.n[j * n + a] * pb.N13.n[j * n + b] * pb.N23.top[j * n + (k - a - b)];
        }
      }
      mag[j * n + k] = s / 3.0 / std::pow(2.0, 0.5 * static_cast<double>(k));
      tol0[j * n + k] = std::max(1e-3 * mag[j * n + k], opt.atol);
    }
  }
  // first pass: the size of each entry; second pass: the targets from it
  const Pass first = integrate(pb, tol0, budget);
  for (std::size_t i = 0; i < m; ++i) {
    const double size = std::max(std::fabs(first.value[i]) - first.error[i], 0.0);
    tol[i] = std::max({opt.atol, opt.rtol * size, 1e-4 * opt.rtol * mag[i], kTiny});
  }
  const Pass second = integrate(pb, tol, budget);
  res.entries = second.value;
  res.errors = second.error;
  res.tail_bounds = second.tail;
  res.targets = tol;
  for (std::size_t j = 0; j < pb.nt; ++j) {
    for (std::size_t k = 0; k < n; ++k) res.converged[j] = res.converged[j] && second.met[j * n + k];
  }
  res.evaluations = budget.used;
  res.cutoff = second.R;
  return res;
}

}  // namespace vica
