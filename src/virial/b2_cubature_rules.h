// Quadrature rules and the Boltzmann-factor kernel of the B2 integrator.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vica {

// Nodes (ascending) and weights of the n-point Gauss-Legendre rule on [-1, 1]
// (Newton's method on P_n from the Chebyshev guesses).
inline void gauss_legendre(int n, std::vector<double>& x, std::vector<double>& w) {
  x.assign(static_cast<std::size_t>(n), 0.0);
  w.assign(static_cast<std::size_t>(n), 0.0);
  const double pi = 3.14159265358979323846;
  for (int i = 0; i < (n + 1) / 2; ++i) {
    double z = std::cos(pi * (i + 0.75) / (n + 0.5));
    double dp = 0.0;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1.0, p1 = 0.0;
      for (int k = 1; k <= n; ++k) {
        const double p2 = p1;
        p1 = p0;
        p0 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p2) / k;
      }
      dp = n * (z * p0 - p1) / (z * z - 1.0);
      const double dz = p0 / dp;
      z -= dz;
      if (std::fabs(dz) < 1e-16) {
        // one more evaluation of the slope at the converged node
        p0 = 1.0;
        p1 = 0.0;
        for (int k = 1; k <= n; ++k) {
          const double p2 = p1;
          p1 = p0;
          p0 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p2) / k;
        }
        dp = n * (z * p0 - p1) / (z * z - 1.0);
        break;
      }
    }
    const double wi = 2.0 / ((1.0 - z * z) * dp * dp);
    x[static_cast<std::size_t>(i)] = -z;
    x[static_cast<std::size_t>(n - 1 - i)] = z;
    w[static_cast<std::size_t>(i)] = wi;
    w[static_cast<std::size_t>(n - 1 - i)] = wi;
  }
  if (n % 2 == 1) x[static_cast<std::size_t>(n / 2)] = 0.0;
}

// The 15-point Kronrod rule and its 7-point Gauss rule (QUADPACK's qk15):
// abscissae xgk[0..7] (xgk[7] = 0), Kronrod weights wgk, Gauss weights wg for
// xgk[1], xgk[3], xgk[5], xgk[7].
inline constexpr double kXgk[8] = {0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
                                   0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
                                   0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
                                   0.207784955007898467600689403773245, 0.0};
inline constexpr double kWgk[8] = {0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
                                   0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
                                   0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
                                   0.204432940075298892414161999234649, 0.209482141084727828012999174891714};
inline constexpr double kWg[4] = {0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
                                  0.381830050505118944950369775488975, 0.417959183673469387755102040816327};

// e^x for x in [-745, 709], within a few ulp: x = n ln2 + r (Cody-Waite),
// e^r by its Taylor polynomial of degree 13 (|r| <= 0.35: truncation below
// 1e-17), times 2^n from the exponent bits; below -708 the result is 0.
// Written without branches or library calls so that the loop over
// temperatures runs in vector registers; every operation is a correctly
// rounded one in a fixed order, so any vector width gives the same bits.
inline double exp_kernel(double x) {
  constexpr double shifter = 6755399441055744.0;  // 1.5 * 2^52
  const double k = x * 1.4426950408889634 + shifter;
  const double n = k - shifter;
  const double r = (x - n * 6.93147180369123816490e-01) - n * 1.90821492927058770002e-10;
  double p = 1.0 / 6227020800.0;
  p = p * r + 1.0 / 479001600.0;
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  const std::int64_t ni = std::bit_cast<std::int64_t>(k) - std::bit_cast<std::int64_t>(shifter);
  const double scale = std::bit_cast<double>(static_cast<std::int64_t>(static_cast<std::uint64_t>(ni + 1023) << 52));
  const double v = p * scale;
  return x < -708.0 ? 0.0 : v;
}

// t_j = max(y beta_j, -745) and e_j = e^{t_j} for j < n.
inline void boltzmann_factors(double y, const double* beta, double* t, double* e, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    const double v = y * beta[j];
    const double tj = v > -745.0 ? v : -745.0;
    t[j] = tj;
    e[j] = exp_kernel(tj);
  }
}

}  // namespace vica
