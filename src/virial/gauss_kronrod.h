// Adaptive Gauss-Kronrod integration of vectors, shared by the engines of
// vicatools._engine: the 15-point rule with its embedded 7-point Gauss rule
// (QUADPACK's qk15 and its error estimate), a global adaptive driver over
// panels for many components at once, and the integral of the polynomial
// through a panel's 15 node values over part of the panel.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace vica::gk {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kTiny = std::numeric_limits<double>::min();

// 15-point Gauss-Kronrod rule with its embedded 7-point Gauss rule (QUADPACK qk15).
constexpr double XGK[8] = {0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
                           0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
                           0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
                           0.207784955007898467600689403773245, 0.000000000000000000000000000000000};
constexpr double WGK[8] = {0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
                           0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
                           0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
                           0.204432940075298892414161999234649, 0.209482141084727828012999174891714};
constexpr double WG[4] = {0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
                          0.381830050505118944950369775488975, 0.417959183673469387755102040816327};

// Node i of the rule on [c - h, c + h] (0..6 left of the centre c, 7 the centre, 8..14 right) and its
// Kronrod weight.
inline double node(double c, double h, int i) {
  return i < 7 ? c - h * XGK[i] : i == 7 ? c : c + h * XGK[14 - i];
}
inline double kweight(int i) { return WGK[i < 7 ? i : i == 7 ? 7 : 14 - i]; }

// Evaluations made (counted by the integrands) and the most allowed.
struct Budget {
  std::uint64_t used = 0;
  std::uint64_t limit = 0;
  bool out() const { return used >= limit; }
};

// ---------------------------------------------------------------------------
// Global adaptive Gauss-Kronrod for a vector of m components (plus maux
// non-negative components integrated alongside, without error estimate).
// Stops when every component's summed error is within its tolerance, or when
// the budget or the panel limit is reached.

class Adaptive {
 public:
  Adaptive(std::size_t m, std::size_t maux) : m_(m), maux_(maux), f_(15 * m), g_(15 * maux) {}

  std::vector<double> val, err, aux;  // the sums after run()
  bool converged = false;
  bool plain = false;  // error of a panel: |K15 - G7| as it is

  template <class F>
  void run(F& fn, const std::vector<double>& breaks, const double* tol, Budget& budget, std::size_t max_panels) {
    panels_.clear();
    vals_.clear();
    errs_.clear();
    auxs_.clear();
    val.assign(m_, 0.0);
    err.assign(m_, 0.0);
    aux.assign(maux_, 0.0);
    tol_ = tol;
    for (std::size_t i = 0; i + 1 < breaks.size(); ++i) {
      if (breaks[i + 1] > breaks[i]) add(fn, breaks[i], breaks[i + 1], budget);
    }
    for (;;) {
      converged = true;
      for (std::size_t c = 0; c < m_; ++c) {
        if (err[c] > tol[c]) {
          converged = false;
          break;
        }
      }
      if (converged || budget.out() || panels_.size() >= max_panels) break;
      std::size_t worst = panels_.size();
      double w = 0.0;
      for (std::size_t p = 0; p < panels_.size(); ++p) {
        if (panels_[p].worst > w) {
          w = panels_[p].worst;
          worst = p;
        }
      }
      if (worst == panels_.size()) break;
      Panel& pw = panels_[worst];
      const double a = pw.a, b = pw.b, mid = 0.5 * (a + b);
      if (!(mid > a && mid < b) || (b - a) < 1e-13 * std::max(std::fabs(a), std::fabs(b))) {
        pw.worst = 0.0;  // cannot be split further
        continue;
      }
      remove(worst);
      add(fn, a, mid, budget);
      add(fn, mid, b, budget);
    }
    // exact sums of what is left
    std::fill(val.begin(), val.end(), 0.0);
    std::fill(err.begin(), err.end(), 0.0);
    std::fill(aux.begin(), aux.end(), 0.0);
    for (const Panel& p : panels_) {
      for (std::size_t c = 0; c < m_; ++c) {
        val[c] += vals_[p.slot * m_ + c];
        err[c] += errs_[p.slot * m_ + c];
      }
      for (std::size_t c = 0; c < maux_; ++c) aux[c] += auxs_[p.slot * maux_ + c];
    }
  }

  // Panels in increasing order with their values (for the cumulative table of H).
  template <class G>
  void each_panel(G&& g) {
    std::vector<std::size_t> order(panels_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [this](std::size_t x, std::size_t y) { return panels_[x].a < panels_[y].a; });
    for (std::size_t i : order) g(panels_[i].a, panels_[i].b, &vals_[panels_[i].slot * m_]);
  }

 private:
  struct Panel {
    double a, b, worst;
    std::size_t slot;
  };
  std::size_t m_, maux_;
  std::vector<double> f_, g_;
  std::vector<Panel> panels_;
  std::vector<double> vals_, errs_, auxs_;
  std::vector<std::size_t> free_;
  const double* tol_ = nullptr;

  void remove(std::size_t p) {
    const std::size_t s = panels_[p].slot;
    for (std::size_t c = 0; c < m_; ++c) {
      val[c] -= vals_[s * m_ + c];
      err[c] -= errs_[s * m_ + c];
      if (err[c] < 0.0) err[c] = 0.0;
    }
    for (std::size_t c = 0; c < maux_; ++c) aux[c] -= auxs_[s * maux_ + c];
    free_.push_back(s);
    panels_[p] = panels_.back();
    panels_.pop_back();
  }

  template <class F>
  void add(F& fn, double a, double b, Budget& budget) {
    std::size_t s;
    if (!free_.empty()) {
      s = free_.back();
      free_.pop_back();
    } else {
      s = vals_.size() / m_;
      vals_.resize((s + 1) * m_);
      errs_.resize((s + 1) * m_);
      auxs_.resize((s + 1) * maux_);
    }
    const double c0 = 0.5 * (a + b), h = 0.5 * (b - a);
    for (int i = 0; i < 15; ++i) fn(node(c0, h, i), f_.data() + static_cast<std::size_t>(i) * m_, g_.data() + static_cast<std::size_t>(i) * maux_, budget);
    double worst = 0.0;
    for (std::size_t c = 0; c < m_; ++c) {
      auto at = [&](int i) { return f_[static_cast<std::size_t>(i) * m_ + c]; };
      const double fc = at(7);
      double resk = WGK[7] * fc, resg = WG[3] * fc, resabs = std::fabs(resk);
      for (int j = 0; j < 7; ++j) {
        const double f1 = at(j), f2 = at(14 - j);
        resk += WGK[j] * (f1 + f2);
        resabs += WGK[j] * (std::fabs(f1) + std::fabs(f2));
        if (j % 2 == 1) resg += WG[j / 2] * (f1 + f2);
      }
      const double mean = 0.5 * resk;
      double resasc = WGK[7] * std::fabs(fc - mean);
      for (int j = 0; j < 7; ++j) resasc += WGK[j] * (std::fabs(at(j) - mean) + std::fabs(at(14 - j) - mean));
      const double ah = std::fabs(h);
      double e = std::fabs((resk - resg) * h);
      resasc *= ah;
      resabs *= ah;
      if (!plain && resasc != 0.0 && e != 0.0) e = resasc * std::min(1.0, std::pow(200.0 * e / resasc, 1.5));
      if (resabs > kTiny / (50.0 * kEps)) e = std::max(50.0 * kEps * resabs, e);
      vals_[s * m_ + c] = resk * h;
      errs_[s * m_ + c] = e;
      val[c] += resk * h;
      err[c] += e;
      const double t = tol_[c];
      const double ratio = t > 0.0 ? e / t : (e > 0.0 ? kInf : 0.0);
      if (ratio > worst) worst = ratio;
    }
    for (std::size_t c = 0; c < maux_; ++c) {
      double r = 0.0;
      for (int i = 0; i < 15; ++i) r += kweight(i) * g_[static_cast<std::size_t>(i) * maux_ + c];
      auxs_[s * maux_ + c] = r * h;
      aux[c] += r * h;
    }
    panels_.push_back(Panel{a, b, worst, s});
  }
};


// ---------------------------------------------------------------------------
// The part of a 15-point panel: int_{-1}^{y} p(x) dx of the polynomial p of
// degree 14 through values f_i at the Kronrod nodes is sum_i f_i W_i(y), with
// W_i(y) = int_{-1}^{y} l_i (l_i the Lagrange basis), from the Legendre
// expansion l_i = sum_j L[j][i] P_j and int_{-1}^{y} P_j = (P_{j+1} - P_{j-1}) / (2j + 1).
// W_i(1) are the Kronrod weights: the whole panel is the Kronrod rule.

struct PartialWeights {
  double L[15][15];  // L[j][i]: inverse of V[i][j] = P_j(x_i)

  PartialWeights();
  // W[0..15) at y in [-1, 1]
  void at(double y, double* W) const;
};

// The one table, built on first use.
const PartialWeights& partial_weights();

}  // namespace vica::gk
