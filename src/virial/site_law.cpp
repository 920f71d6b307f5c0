#include "virial/site_law.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "runtime/failure.h"
#include "uij/pair_energy.h"

namespace vica {

double LawTable::energy(double x) const {
  const std::size_t n = r.size();
  if (x < r[0]) return std::numeric_limits<double>::infinity();
  if (x >= r[n - 1]) return 0.0;
  const std::size_t hi = static_cast<std::size_t>(std::upper_bound(r.begin(), r.end(), x) - r.begin());
  const std::size_t lo = hi - 1;
  const double h = r[hi] - r[lo];
  const double t = (x - r[lo]) / h;
  const double s = 1.0 - t;
  return (s * u[lo] + t * u[hi]) + ((s * s * s - s) * m[lo] + (t * t * t - t) * m[hi]) * (h * h) / 6.0;
}

std::shared_ptr<const LawTable> make_law_table(std::vector<double> r, std::vector<double> u, const std::string& where) {
  const std::size_t n = r.size();
  if (n < 4 || u.size() != n) throw ValueError(where + ": a table needs at least 4 points (r, u) of equal count");
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(r[i]) || !std::isfinite(u[i])) throw ValueError(where + ": a table holds a non-finite number");
    if (r[i] <= 0.0 || (i > 0 && !(r[i] > r[i - 1]))) {
      throw ValueError(where + ": a table's distances must be above 0 and increasing");
    }
  }
  // natural cubic spline: second derivatives by the tridiagonal solve
  std::vector<double> m(n, 0.0), c(n, 0.0), d(n, 0.0);
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const double h0 = r[i] - r[i - 1], h1 = r[i + 1] - r[i];
    const double a = h0 / 6.0, b = (h0 + h1) / 3.0, cc = h1 / 6.0;
    const double rhs = (u[i + 1] - u[i]) / h1 - (u[i] - u[i - 1]) / h0;
    const double denom = b - a * c[i - 1];
    c[i] = cc / denom;
    d[i] = (rhs - a * d[i - 1]) / denom;
  }
  for (std::size_t i = n - 2; i >= 1; --i) {
    m[i] = d[i] - c[i] * m[i + 1];
  }
  auto t = std::make_shared<LawTable>();
  t->r = std::move(r);
  t->u = std::move(u);
  t->m = std::move(m);
  return t;
}

double SiteLaw::energy(double r) const {
  switch (kind) {
    case 0:
    case 1:
    case 2:
    case 3:
      return site_energy(potk, r);
    case 4:
      if (la == 6.0 && lr == 12.0) return site_energy(potk, r);
      return (c1 / r + ca * std::pow(r, -la)) + cr * std::pow(r, -lr);
    case 5: {
      const auto [i6, i12] = inverse_powers(r);
      (void)i12;
      return (c1 / r + a * std::exp(-b * r)) + c6 * i6;
    }
    case 6:
      return table->energy(r);
  }
  fail("internal error: entered unreachable code: unknown site law");
}

double site_law_energy(const SiteLaw& law, double r) { return law.energy(r); }

bool SiteLaw::bounded_below() const {
  switch (kind) {
    case 0:
      return true;
    case 1:
      return potk._0 >= 0.0;
    case 2:
      return potk._1 > 0.0 || (potk._1 == 0.0 && potk._0 >= 0.0);
    case 3:
      return potk._2 > 0.0 || (potk._2 == 0.0 && potk._1 > 0.0) || (potk._2 == 0.0 && potk._1 == 0.0 && potk._0 >= 0.0);
    case 4: {
      // the highest power present decides
      double p = 0.0, c = 0.0;
      const double ps[3] = {1.0, la, lr};
      const double cs[3] = {c1, ca, cr};
      for (int i = 0; i < 3; ++i) {
        if (cs[i] != 0.0 && ps[i] >= p) {
          if (ps[i] == p) {
            c += cs[i];
          } else {
            p = ps[i];
            c = cs[i];
          }
        }
      }
      return c >= 0.0;
    }
    case 5:
      return c6 > 0.0 || (c6 == 0.0 && c1 >= 0.0);
    case 6:
      return true;
  }
  return false;
}

double SiteLaw::collapse_barrier() const {
  if (kind != 5 || bounded_below()) return 0.0;
  double prev_r = 1e6, prev_u = energy(prev_r);
  for (double r = 1e6 / 1.01; r > 1e-4; r /= 1.01) {
    const double u = energy(r);
    if (prev_u > 0.0 && u < prev_u) {
      // the maximum lies in (r, prev_r * 1.01): golden-section search
      double a = r, b = prev_r * 1.01;
      for (int i = 0; i < 100; ++i) {
        const double m1 = a + (b - a) * 0.381966011250105, m2 = a + (b - a) * 0.618033988749895;
        if (energy(m1) < energy(m2)) {
          a = m1;
        } else {
          b = m2;
        }
      }
      return 0.5 * (a + b);
    }
    prev_r = r;
    prev_u = u;
  }
  return 0.0;
}

SiteLaw site_law_from_entry(const std::vector<double>& e, const std::vector<std::shared_ptr<const LawTable>>& tables,
                            const std::string& where) {
  if (e.empty()) throw ValueError(where + " is empty (a kind and its parameters expected)");
  for (double p : e) {
    if (!std::isfinite(p)) throw ValueError(where + " has a non-finite number");
  }
  const double tag = e[0];
  static constexpr std::size_t counts[7] = {1, 2, 3, 4, 6, 5, 2};
  if (!(tag >= 0.0 && tag <= 6.0 && tag == std::floor(tag))) {
    throw ValueError(where + " has kind " + std::to_string(tag) + " (0 to 6 expected)");
  }
  const auto kind = static_cast<std::uint8_t>(tag);
  // PotK's laws may come with trailing zeros, as bn_run takes them (tag, p0, p1, p2)
  if (e.size() != counts[kind] && !(kind <= 3 && e.size() == 4)) {
    throw ValueError(where + " of kind " + std::to_string(kind) + " needs " + std::to_string(counts[kind] - 1) +
                     " parameters");
  }
  SiteLaw law;
  law.kind = kind;
  switch (kind) {
    case 0:
      law.potk = PotK::r0();
      break;
    case 1:
      law.potk = PotK::r1(e[1]);
      law.c1 = e[1];
      break;
    case 2:
      law.potk = PotK::r6r12(e[1], e[2]);
      law.ca = e[1];
      law.cr = e[2];
      break;
    case 3:
      law.potk = PotK::r1r6r12(e[1], e[2], e[3]);
      law.c1 = e[1];
      law.ca = e[2];
      law.cr = e[3];
      break;
    case 4:
      law.c1 = e[1];
      law.ca = e[2];
      law.la = e[3];
      law.cr = e[4];
      law.lr = e[5];
      if (!(law.la > 0.0 && law.lr > 0.0)) throw ValueError(where + ": Mie exponents must be above 0");
      law.potk = PotK::r1r6r12(law.c1, law.ca, law.cr);
      break;
    case 5:
      law.c1 = e[1];
      law.a = e[2];
      law.b = e[3];
      law.c6 = e[4];
      if (!(law.a >= 0.0 && law.b > 0.0)) throw ValueError(where + ": exp-6 needs A >= 0 and B > 0");
      break;
    case 6: {
      const double idx = e[1];
      if (!(idx >= 0.0 && idx == std::floor(idx) && idx < static_cast<double>(tables.size()))) {
        throw ValueError(where + " names table " + std::to_string(idx) + ", which is not given");
      }
      law.table = tables[static_cast<std::size_t>(idx)];
      break;
    }
  }
  return law;
}

}  // namespace vica
