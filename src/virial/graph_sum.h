// The sum over biconnected graphs on n labelled points of the product of the
// pair functions f_ij on their edges, each f_ij a truncated power series.
//
// Computed by a recursion over subsets after R. J. Wheatley, "Calculation of
// high-order virial coefficients with applications to hard and soft spheres",
// Phys. Rev. Lett. 110, 200601 (2013), in O(n 3^n) series products instead of
// one term per graph:
//   E(S) = prod over pairs of S of (1 + f_ij)                 (all graphs on S)
//   C(S) = E(S) - sum over K, min S in K, K != S, of C(K) E(S \ K)
//                                                            (connected graphs)
//   A(S, 0) = C(S); A(S, j) = the connected graphs on S in which none of the j
//   lowest points of S is an articulation point.  With v the j-th lowest
//   point of S, a connected graph in which v is an articulation point (and the
//   j-1 lower points are not) splits uniquely at v into the part on K + {v},
//   K the component of the graph without v that holds the lowest point m of
//   S \ {v} (v is no articulation point there), and the rest on S \ K:
//   A(S, j) = A(S, j-1) - sum over K, m in K, K != S \ {v}, of
//             A(K + {v}, #points of K + {v} up to v) A(S \ K, #points of S \ K below v)
//   B(S) = A(S, |S|).
// Series are in a variable x and truncated after x^order; products are the
// truncated Cauchy products.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vica {

class BiconnectedSum {
 public:
  // n points (2..8), series up to x^order_capacity.  Throws ValueError for n
  // outside 2..8.
  BiconnectedSum(int n, int order_capacity);

  int points() const { return n_; }
  int pairs() const { return n_ * (n_ - 1) / 2; }
  // Index of the pair (i, j), i < j, in the order (0,1), (0,2), ..., (1,2), ...
  int pair_index(int i, int j) const { return pair_of_[i * n_ + j]; }

  // The series of f for pair p: order_capacity + 1 coefficients to fill.
  double* pair_series(int p) { return f_.data() + static_cast<std::size_t>(p) * k1_; }

  // The biconnected sum on all n points up to x^order (order <= capacity)
  // into out[0..order]; reads f series coefficients 0..order only.
  void compute(int order, double* out);

  // Order 0 only: the sum for the pair values f[0..pairs) (no series).
  double value(const double* f);

 private:
  // The recursion laid out once for n: for each subset of two or more points,
  // in increasing order (every term reads smaller subsets only), its highest
  // point's pairs, the terms of C and of each A(S, j) as operand indices.
  struct SubsetPlan {
    std::uint32_t s, r;  // the subset and the subset without its highest point
    int size;
    int pair_begin, pair_end;  // into plan_pairs_
    int c_begin, c_end;        // into plan_c_: (K, S \ K)
    int a_end[9];              // a_end[j]: end of A(S, j)'s terms in plan_a_ (begin: a_end[j-1])
    int a_begin;
  };
  void build_plan();

  int n_;
  std::vector<SubsetPlan> plan_;
  std::vector<int> plan_pairs_;
  std::vector<std::uint32_t> plan_c_;  // pairs of subset indices
  std::vector<std::uint32_t> plan_a_;  // pairs of flat A indices (subset * (n + 1) + j)
  std::size_t k1_;  // order_capacity + 1
  std::vector<int> pair_of_;
  std::vector<double> f_;  // pairs x k1
  std::vector<double> e_, c_, a_;
  std::vector<double> fv_;  // order 0 scratch: 1 + f per pair
  std::vector<double> e0_, c0_, a0_;
  std::vector<double> scratch_;  // 1 + f per pair, as series
};

}  // namespace vica
