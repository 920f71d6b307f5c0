#include "virial/graph_sum.h"

#include <bit>
#include <string>

#include "runtime/failure.h"
#include "virial/hard_sphere_virial.h"

namespace vica {

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
  const std::size_t rows = static_cast<std::size_t>(n) + 1;
  f_.assign(static_cast<std::size_t>(p) * k1_, 0.0);
  scratch_.assign(static_cast<std::size_t>(p) * k1_, 0.0);
  e_.assign(subsets * k1_, 0.0);
  c_.assign(subsets * k1_, 0.0);
  a_.assign(subsets * rows * k1_, 0.0);
  fv_.assign(static_cast<std::size_t>(p), 0.0);
  e0_.assign(subsets, 0.0);
  c0_.assign(subsets, 0.0);
  a0_.assign(subsets * rows, 0.0);
  // A single point: one graph without edges (E = C = 1), and no articulation point.
  for (int i = 0; i < n; ++i) {
    const std::size_t s = std::size_t{1} << i;
    e0_[s] = c0_[s] = a0_[s * rows] = a0_[s * rows + 1] = 1.0;
    e_[s * k1_] = c_[s * k1_] = a_[(s * rows) * k1_] = a_[(s * rows + 1) * k1_] = 1.0;
  }
  build_plan();
}

void BiconnectedSum::build_plan() {
  const std::uint32_t full = (std::uint32_t{1} << n_) - 1;
  const std::uint32_t rows = static_cast<std::uint32_t>(n_) + 1;
  for (std::uint32_t s = 1; s <= full; ++s) {
    const int size = std::popcount(s);
    if (size < 2) continue;
    SubsetPlan sp{};
    sp.s = s;
    sp.size = size;
    // E(S) = E(S without its highest point h) times (1 + f_jh) over j in S.
    const int h = 31 - std::countl_zero(s);
    sp.r = s ^ (std::uint32_t{1} << h);
    sp.pair_begin = static_cast<int>(plan_pairs_.size());
    for (std::uint32_t rest = sp.r; rest != 0; rest &= rest - 1) {
      plan_pairs_.push_back(pair_of_[std::countr_zero(rest) * n_ + h]);
    }
    sp.pair_end = static_cast<int>(plan_pairs_.size());
    // C(S): all graphs less the disconnected ones, by the component K of min S.
    sp.c_begin = static_cast<int>(plan_c_.size() / 2);
    const std::uint32_t low = s & (~s + 1);
    const std::uint32_t others = s ^ low;
    for (std::uint32_t sub = (others - 1) & others;; sub = (sub - 1) & others) {
      plan_c_.push_back(low | sub);
      plan_c_.push_back(s ^ (low | sub));
      if (sub == 0) break;
    }
    sp.c_end = static_cast<int>(plan_c_.size() / 2);
    // A(S, j), j = 1..|S|, v the j-th lowest point of S.
    sp.a_begin = static_cast<int>(plan_a_.size() / 2);
    std::uint32_t below = s;
    for (int j = 1; j <= size; ++j) {
      const std::uint32_t vbit = below & (~below + 1);
      below ^= vbit;
      const std::uint32_t rest = s ^ vbit;
      const std::uint32_t m = rest & (~rest + 1);
      const std::uint32_t rest2 = rest ^ m;
      if (rest2 != 0) {  // |S| = 2: no articulation point
        const std::uint32_t upto_v = vbit | (vbit - 1);
        const std::uint32_t under_v = vbit - 1;
        for (std::uint32_t sub = (rest2 - 1) & rest2;; sub = (sub - 1) & rest2) {
          const std::uint32_t k_set = m | sub;
          const std::uint32_t s1 = k_set | vbit;
          const std::uint32_t s2 = s ^ k_set;
          plan_a_.push_back(s1 * rows + static_cast<std::uint32_t>(std::popcount(s1 & upto_v)));
          plan_a_.push_back(s2 * rows + static_cast<std::uint32_t>(std::popcount(s2 & under_v)));
          if (sub == 0) break;
        }
      }
      sp.a_end[j] = static_cast<int>(plan_a_.size() / 2);
    }
    plan_.push_back(sp);
  }
}

namespace {

// acc -= a b, truncated after kk coefficients.
inline void subtract_product(double* acc, const double* a, const double* b, int kk) {
  for (int k = 0; k < kk; ++k) {
    double s = 0.0;
    for (int i = 0; i <= k; ++i) s = s + a[i] * b[k - i];
    acc[k] = acc[k] - s;
  }
}

}  // namespace

void BiconnectedSum::compute(int order, double* out) {
  const int kk = order + 1;
  const std::size_t k1 = k1_;
  const std::size_t rows = static_cast<std::size_t>(n_) + 1;
  const int pairs_n = pairs();
  // 1 + f per pair.
  for (int q = 0; q < pairs_n; ++q) {
    const double* f = pair_series(q);
    double* d = scratch_.data() + static_cast<std::size_t>(q) * k1;
    for (int k = 0; k < kk; ++k) d[k] = f[k];
    d[0] = 1.0 + f[0];
  }
  double tmp[32];
  const std::uint32_t* c_ops = plan_c_.data();
  const std::uint32_t* a_ops = plan_a_.data();
  for (const SubsetPlan& sp : plan_) {
    double* es = e_.data() + sp.s * k1;
    const double* er = e_.data() + sp.r * k1;
    for (int k = 0; k < kk; ++k) es[k] = er[k];
    for (int t = sp.pair_begin; t < sp.pair_end; ++t) {
      const double* pq = scratch_.data() + static_cast<std::size_t>(plan_pairs_[t]) * k1;
      for (int k = 0; k < kk; ++k) {
        double s = 0.0;
        for (int i = 0; i <= k; ++i) s = s + es[i] * pq[k - i];
        tmp[k] = s;
      }
      for (int k = 0; k < kk; ++k) es[k] = tmp[k];
    }
    double* cs = c_.data() + sp.s * k1;
    for (int k = 0; k < kk; ++k) cs[k] = es[k];
    for (int t = sp.c_begin; t < sp.c_end; ++t) {
      subtract_product(cs, c_.data() + c_ops[2 * t] * k1, e_.data() + c_ops[2 * t + 1] * k1, kk);
    }
    double* a0 = a_.data() + (sp.s * rows) * k1;
    for (int k = 0; k < kk; ++k) a0[k] = cs[k];
    int t = sp.a_begin;
    for (int j = 1; j <= sp.size; ++j) {
      double* aj = a0 + static_cast<std::size_t>(j) * k1;
      const double* prev = aj - k1;
      for (int k = 0; k < kk; ++k) aj[k] = prev[k];
      for (; t < sp.a_end[j]; ++t) {
        subtract_product(aj, a_.data() + a_ops[2 * t] * k1, a_.data() + a_ops[2 * t + 1] * k1, kk);
      }
    }
  }
  const std::size_t full = (std::size_t{1} << n_) - 1;
  const double* result = a_.data() + (full * rows + static_cast<std::size_t>(n_)) * k1;
  for (int k = 0; k < kk; ++k) out[k] = result[k];
}

double BiconnectedSum::value(const double* f) {
  const int pairs_n = pairs();
  double* p = fv_.data();
  for (int q = 0; q < pairs_n; ++q) p[q] = 1.0 + f[q];
  double* e = e0_.data();
  double* c = c0_.data();
  double* a = a0_.data();
  const std::uint32_t rows = static_cast<std::uint32_t>(n_) + 1;
  const int* pair_ops = plan_pairs_.data();
  const std::uint32_t* c_ops = plan_c_.data();
  const std::uint32_t* a_ops = plan_a_.data();
  for (const SubsetPlan& sp : plan_) {
    double es = e[sp.r];
    for (int t = sp.pair_begin; t < sp.pair_end; ++t) es = es * p[pair_ops[t]];
    e[sp.s] = es;
    double cs = es;
    for (int t = sp.c_begin; t < sp.c_end; ++t) cs = cs - c[c_ops[2 * t]] * e[c_ops[2 * t + 1]];
    c[sp.s] = cs;
    double* as = a + sp.s * rows;
    as[0] = cs;
    double acc = cs;
    int t = sp.a_begin;
    for (int j = 1; j <= sp.size; ++j) {
      for (; t < sp.a_end[j]; ++t) acc = acc - a[a_ops[2 * t]] * a[a_ops[2 * t + 1]];
      as[j] = acc;
    }
  }
  return a[((std::uint32_t{1} << n_) - 1) * rows + static_cast<std::uint32_t>(n_)];
}

}  // namespace vica
