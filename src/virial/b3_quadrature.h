// The third virial coefficient C of spherical (one-site) molecules by
// deterministic quadrature, with its inverse-temperature derivatives, at many
// temperatures in one pass.
//
// Molecule 1 sits at the origin, molecule 2 at distance r, molecule 3 at
// distance s, t = |r2 - r3|.  Integrating out the two free angles,
//
//   C = -(1/3) int int f12(r2) f13(r3) f23(r23) d^3r2 d^3r3
//     = -(8 pi^2 / 3) int_0^inf dr r f12(r) int_0^inf ds s f13(s) G(r, s),
//   G(r, s) = int_{|r-s|}^{r+s} t f23(t) dt = H(r+s) - H(|r-s|),
//   H(x) = int_0^x t f23(t) dt,
//
// f_ij = exp(-u_ij / T) - 1.  The derivatives follow from Leibniz's rule on
// the product: with d_n = (beta^n / n!) d^n f / d beta^n (d_0 = f,
// d_n = (-beta u)^n / n! e^{-beta u}), the entry of order k is
//
//   C_k = -(8 pi^2 / 3) / 2^(k/2) * sum_{a+b+c=k} int int r s d_a^12(r) d_b^13(s) G_c(r, s),
//
// the convention of vica.Cms: entry k = (beta^k / (k! 2^(k/2))) d^k C / d beta^k.
//
// The rules: H is tabulated once on adaptive 15-point Gauss-Kronrod panels
// over [0, 2R] (cumulative sums at the panel starts; inside a panel the
// integral of the polynomial through its 15 node values), so that G costs
// no site energy and no exponential; the s integral is adaptive Gauss-Kronrod
// for each node r of the adaptive Gauss-Kronrod r integral, with breakpoints
// where the integrand has kinks (the laws' own breakpoints b, and r +- b,
// b - r where G has them).  Every node evaluates its site law once and then
// the Mayer function and its derivatives at every temperature.  All
// components (every temperature, every order) are refined together.
//
// Error contract.  Each entry's error estimate is the sum of: the r rule's
// Gauss-Kronrod estimate, the s rules' estimates carried through the r
// integral, the bound on H's error carried through both integrals, and a
// bound on what lies beyond the cutoff R (r > R or s > R; the envelope
// |u(r)| <= E(R) (R/r)^p of the law's slowest power p > 3).  The target per
// entry is max(atol, rtol |C_k|, 1e-4 rtol M_k), M_k a magnitude of the
// integrand (so an entry that cancels to nearly 0 does not ask for unbounded
// work); a first pass at 1e-3 fixes |C_k| for the target.  An entry whose
// estimate exceeds its target when the evaluation budget runs out is reported
// with converged = false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "virial/site_law.h"

namespace vica {

struct B3QuadratureOptions {
  std::vector<double> temperatures;       // K, each finite and > 0
  double u_min = -std::numeric_limits<double>::infinity();  // energy floor in K: u -> max(u, u_min)
  std::size_t order_max = 2;              // entries 0..order_max
  double rtol = 1e-8;                     // relative target per entry
  double atol = 0.0;                      // absolute target per entry (length^6)
  std::uint64_t max_evaluations = 200000000;  // site energies and H look-ups, both passes
};

struct B3QuadratureResult {
  std::size_t order_max = 0;
  // entry k at temperature j: index j * (order_max + 1) + k
  std::vector<double> entries;
  std::vector<double> errors;
  std::vector<double> tail_bounds;   // the part of `errors` from beyond the cutoff
  std::vector<double> targets;       // the error each entry was asked to meet
  std::vector<std::uint8_t> converged;  // per temperature: every entry met its target
  std::uint64_t evaluations = 0;     // site energies evaluated and H looked up
  double cutoff = 0.0;               // R, in the laws' length unit
};

// C of molecules 1, 2, 3 with site laws l12, l13, l23 (one site each), every
// energy raised to the floor u_min (as the B2 integrator and the B_n walk do).
// Refuses (ValueError) a law that attracts without bound at short range when
// there is no floor, a
// law decaying as r^-p with p <= 3 (C diverges), and bad options.
B3QuadratureResult b3_quadrature(const SiteLaw& l12, const SiteLaw& l13, const SiteLaw& l23,
                                 const B3QuadratureOptions& options);

}  // namespace vica
