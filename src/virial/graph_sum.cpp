#include "virial/graph_sum.h"

#include <bit>
#include <string>

#include "runtime/failure.h"
#include "virial/hard_sphere_virial.h"

namespace vica {

namespace {

// acc += sign * (a b), truncated after kk coefficients.
template <int Fixed>
inline void add_product(double* acc, const double* a, const double* b, int kk_dynamic, double sign) {
  const int kk = Fixed > 0 ? Fixed : kk_dynamic;
  for (int k = 0; k < kk; ++k) {
    double s = 0.0;
    for (int i = 0; i <= k; ++i) s = s + a[i] * b[k - i];
    acc[k] = acc[k] + sign * s;
  }
}

template <int Fixed>
inline void product(double* out, const double* a, const double* b, int kk_dynamic) {
  const int kk = Fixed > 0 ? Fixed : kk_dynamic;
  for (int k = 0; k < kk; ++k) {
    double s = 0.0;
    for (int i = 0; i <= k; ++i) s = s + a[i] * b[k - i];
    out[k] = s;
  }
}

// The recursion of graph_sum.h.  p holds 1 + f per pair (stride kk), e and c
// one series per subset, a one series per (subset, j), j = 0..n.
template <int Fixed>
void biconnected_recursion(int n, int kk_dynamic, const double* p, const int* pair_of, double* e, double* c,
                           double* a, double* out) {
  const int kk = Fixed > 0 ? Fixed : kk_dynamic;
  const std::uint32_t full = (std::uint32_t{1} << n) - 1;
  const std::size_t rows = static_cast<std::size_t>(n) + 1;
  auto E = [&](std::uint32_t s) { return e + static_cast<std::size_t>(s) * kk; };
  auto C = [&](std::uint32_t s) { return c + static_cast<std::size_t>(s) * kk; };
  auto A = [&](std::uint32_t s, int j) { return a + (static_cast<std::size_t>(s) * rows + j) * kk; };
  double tmp[32];
  for (std::uint32_t s = 1; s <= full; ++s) {
    const int size = std::popcount(s);
    if (size == 1) {
      for (int k = 0; k < kk; ++k) E(s)[k] = C(s)[k] = A(s, 0)[k] = A(s, 1)[k] = k == 0 ? 1.0 : 0.0;
      continue;
    }
    // E(S) = E(S without its highest point h) times (1 + f_jh) over j in S.
    const int h = 31 - std::countl_zero(s);
    const std::uint32_t r = s ^ (std::uint32_t{1} << h);
    double* es = E(s);
    for (int k = 0; k < kk; ++k) es[k] = E(r)[k];
    for (std::uint32_t rest = r; rest != 0; rest &= rest - 1) {
      const int j = std::countr_zero(rest);
      product<Fixed>(tmp, es, p + static_cast<std::size_t>(pair_of[j * n + h]) * kk, kk);
      for (int k = 0; k < kk; ++k) es[k] = tmp[k];
    }
    // C(S): all graphs less the disconnected ones, by the component of min S.
    double* cs = C(s);
    for (int k = 0; k < kk; ++k) cs[k] = es[k];
    const std::uint32_t low = s & (~s + 1);
    const std::uint32_t others = s ^ low;
    for (std::uint32_t sub = (others - 1) & others;; sub = (sub - 1) & others) {
      const std::uint32_t part = low | sub;
      add_product<Fixed>(cs, C(part), E(s ^ part), kk, -1.0);
      if (sub == 0) break;
    }
    // A(S, j), j = 1..|S|.
    for (int k = 0; k < kk; ++k) A(s, 0)[k] = cs[k];
    std::uint32_t below = s;  // points of S not yet taken as v
    for (int j = 1; j <= size; ++j) {
      const std::uint32_t vbit = below & (~below + 1);
      below ^= vbit;
      double* as = A(s, j);
      for (int k = 0; k < kk; ++k) as[k] = A(s, j - 1)[k];
      const std::uint32_t rest = s ^ vbit;
      const std::uint32_t m = rest & (~rest + 1);
      const std::uint32_t rest2 = rest ^ m;
      if (rest2 == 0) continue;  // |S| = 2: no articulation point
      const std::uint32_t upto_v = vbit | (vbit - 1);
      const std::uint32_t under_v = vbit - 1;
      for (std::uint32_t sub = (rest2 - 1) & rest2;; sub = (sub - 1) & rest2) {
        const std::uint32_t k_set = m | sub;
        const std::uint32_t s1 = k_set | vbit;
        const std::uint32_t s2 = s ^ k_set;
        add_product<Fixed>(as, A(s1, std::popcount(s1 & upto_v)), A(s2, std::popcount(s2 & under_v)), kk, -1.0);
        if (sub == 0) break;
      }
    }
  }
  for (int k = 0; k < kk; ++k) out[k] = A(full, n)[k];
}

}  // namespace

BiconnectedSum::BiconnectedSum(int n, int order_capacity) : n_(n) {
  if (n < 2 || n > kMaxBodies) {
    throw ValueError("the number of molecules must be between 2 and " + std::to_string(kMaxBodies) + ", got " +
                     std::to_string(n));
  }
  if (order_capacity < 0 || order_capacity > 30) {
    throw ValueError("order_max must be between 0 and 30, got " + std::to_string(order_capacity));
  }
  k1_ = static_cast<std::size_t>(order_capacity) + 1;
  pair_of_.assign(static_cast<std::size_t>(n) * n, -1);
  int p = 0;
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      pair_of_[i * n + j] = p;
      pair_of_[j * n + i] = p;
      ++p;
    }
  }
  const std::size_t subsets = std::size_t{1} << n;
  f_.assign(static_cast<std::size_t>(p) * k1_, 0.0);
  e_.assign(subsets * k1_, 0.0);
  c_.assign(subsets * k1_, 0.0);
  a_.assign(subsets * (static_cast<std::size_t>(n) + 1) * k1_, 0.0);
  fv_.assign(static_cast<std::size_t>(p), 0.0);
  e0_.assign(subsets, 0.0);
  c0_.assign(subsets, 0.0);
  a0_.assign(subsets * (static_cast<std::size_t>(n) + 1), 0.0);
}

void BiconnectedSum::compute(int order, double* out) {
  const int kk = order + 1;
  const int pairs_n = pairs();
  // 1 + f per pair, in the scratch of e_'s size? A separate copy keeps f_ intact.
  std::vector<double>& p = scratch_;
  p.assign(static_cast<std::size_t>(pairs_n) * kk, 0.0);
  for (int q = 0; q < pairs_n; ++q) {
    const double* f = pair_series(q);
    double* d = p.data() + static_cast<std::size_t>(q) * kk;
    for (int k = 0; k < kk; ++k) d[k] = f[k];
    d[0] = 1.0 + f[0];
  }
  if (kk == 1) {
    biconnected_recursion<1>(n_, 1, p.data(), pair_of_.data(), e_.data(), c_.data(), a_.data(), out);
  } else if (kk == 2) {
    biconnected_recursion<2>(n_, 2, p.data(), pair_of_.data(), e_.data(), c_.data(), a_.data(), out);
  } else if (kk == 3) {
    biconnected_recursion<3>(n_, 3, p.data(), pair_of_.data(), e_.data(), c_.data(), a_.data(), out);
  } else {
    biconnected_recursion<0>(n_, kk, p.data(), pair_of_.data(), e_.data(), c_.data(), a_.data(), out);
  }
}

double BiconnectedSum::value(const double* f) {
  const int pairs_n = pairs();
  for (int q = 0; q < pairs_n; ++q) fv_[q] = 1.0 + f[q];
  double out = 0.0;
  biconnected_recursion<1>(n_, 1, fv_.data(), pair_of_.data(), e0_.data(), c0_.data(), a0_.data(), &out);
  return out;
}

}  // namespace vica
