// Virial coefficients of hard spheres, B_n / b^(n-1) with b = B_2 = 2 pi sigma^3 / 3.
//
//   n = 2, 3   exact: 1 and 5/8.
//   n = 4      exact (van Laar; Boltzmann):
//              (2707 pi + 438 sqrt(2) - 4131 arccos(1/3)) / (4480 pi) = 0.2869495...
//   n = 5..8   N. Clisby and B. M. McCoy, "Ninth and tenth order virial
//              coefficients for hard spheres in D dimensions", J. Stat. Phys.
//              122, 15-57 (2006), table 1 (D = 3):
//              B5/b^4 = 0.110252(1), B6/b^5 = 0.03888198(91),
//              B7/b^6 = 0.01302354(91), B8/b^7 = 0.0041832(11).
// The uncertainties of n >= 5 (relative 1e-5 to 3e-4) are far below the
// statistical error of any run of this engine at those orders.
#pragma once

#include <cmath>

namespace vica {

inline constexpr int kMaxBodies = 8;

// B_n / b^(n-1) for n = 2..kMaxBodies (NaN outside).
inline double hard_sphere_virial_ratio(int n) {
  switch (n) {
    case 2:
      return 1.0;
    case 3:
      return 0.625;
    case 4: {
      const double pi = 3.141592653589793;
      return ((2707.0 * pi + 438.0 * std::sqrt(2.0)) - 4131.0 * std::acos(1.0 / 3.0)) / (4480.0 * pi);
    }
    case 5:
      return 0.110252;
    case 6:
      return 0.03888198;
    case 7:
      return 0.01302354;
    case 8:
      return 0.0041832;
    default:
      return std::nan("");
  }
}

// The B_n-convention value of the trees of hard spheres: -(n-1)/n! times the
// integral over points 2..n of the sum over the n^(n-2) labelled trees on the n
// points of the product of their n - 1 bonds f.  A tree's bonds integrate one by
// one, each to -2b (the excluded volume 4 pi sigma^3 / 3), so the value is exact:
// -(n-1)/n! n^(n-2) (-2b)^(n-1).
inline double hard_sphere_tree_value(int n, double b) {
  double v = -static_cast<double>(n - 1);
  for (int k = 2; k <= n; ++k) v = v / static_cast<double>(k);
  for (int k = 2; k < n; ++k) v = v * static_cast<double>(n);
  for (int k = 1; k < n; ++k) v = v * (-2.0 * b);
  return v;
}

}  // namespace vica
