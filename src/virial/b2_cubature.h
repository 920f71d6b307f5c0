// The second virial coefficient of two rigid site models by deterministic
// integration: B2 (or the cross coefficient B12), its beta derivatives and,
// given site masses, the first-order Wigner-Kirkwood quantum correction.
//
//   B2 = -(1/2) int d^3r <f>,  f = exp(-beta U) - 1,  <> over both orientations
//      = -2 pi int_0^inf r^2 <f>(r) dr
//
// with the intermolecular axis along z.  Entries, as Bms reports them:
//   entry k = (beta^k / k!) d^k B / d beta^k
//           = -2 pi int r^2 <e^t t^k / k!> dr   (k >= 1, t = -beta U)
// A pair energy at or below u_min counts as an overlap: f = -1 and no
// derivative terms (Bms's floor), so both methods compute the same integral.
//
// Orientations (Euler z-y-z, R = Rz(alpha) Ry(beta) Rz(gamma)): molecule 1
// takes alpha = 0 (a turn of the pair about the axis changes nothing), so
//   point-point 0 angles, linear-point 1, linear-linear 3, nonlinear 5 ...
// Gauss-Legendre in cos(beta), the trapezoid rule in the periodic angles.
// Symmetry used: a linear molecule that is its own image under inversion
// (CO2, N2) takes cos(beta) >= 0 only; a nonlinear one with a k-fold axis
// (water: 2) takes gamma over 2 pi / k; when both molecules are linear or
// planar the mirror through the plane (z, x) halves alpha.
//
// r: adaptive Gauss-Kronrod (7/15) panels on [0, R] and, from R to
// r_far = 40 R, the map r = R / x (<f> ~ r^-6 becomes x^2); beyond r_far the
// leading far field in closed form (dispersion and the dipoles' beta^2 term,
// far_tail in the source).  Further out the site-site energies cancel to
// their rounding error, which the factor r^2 would magnify.  Each radial node
// averages over orientations at two levels of the angular rule; their
// difference is that node's angular error.  Refinement (panel bisection or a
// finer angular level at a node) goes where the error is largest relative to
// the tolerance, until for every temperature and entry
//   radial error + angular error <= max(atol, rtol |value|, 1e-2 rtol S)
// (S the integral of |integrand|, which keeps a value crossing 0, as B at the
// Boyle temperature, from asking for the impossible), or the evaluation budget
// is spent: then converged = false and the message says why.
//
// Every temperature comes from the same nodes: each pair energy is computed
// once and its Boltzmann factors for all temperatures accumulated.
//
// Quantum correction (masses given; lengths in angstrom, energies in K,
// masses in u): with F the force between the molecules and tau_i the torque
// on molecule i about its centre of mass,
//   B_qu = (hbar^2 beta^3 / 48) int d^3r <e^{-beta U} G>,
//   G = F^2 (1/m1 + 1/m2) + tau_1 I_1^-1 tau_1 + tau_2 I_2^-1 tau_2,
// reported as its translational and rotational parts with the same entries
// (beta^k/k!) d^k/d beta^k.  Molecules are then centred on their centres of
// mass (B2 itself does not depend on the centre).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "uij/molecule.h"
#include "virial/site_law.h"

namespace vica {

struct B2CubatureOptions {
  std::vector<double> temperatures;  // K, each > 0
  double u_min = -std::numeric_limits<double>::infinity();
  std::uint64_t order_max = 2;
  double rtol = 1e-6;
  double atol = 0.0;  // caller's length unit cubed
  std::uint64_t max_evaluations = 1000000000;  // pair energies
  // Site masses in u, one per site of each molecule; both empty: no quantum term.
  std::vector<double> masses1, masses2;
};

struct B2CubatureTemperature {
  std::vector<double> entries, errors;  // order_max + 1 each
  // quantum parts (empty without masses) and the error of their sum
  std::vector<double> translational, rotational, quantum_errors;
  bool converged = false;
};

struct B2CubatureResult {
  std::vector<B2CubatureTemperature> temperatures;
  std::uint64_t evaluations = 0;  // pair energies computed
  std::uint64_t radial_nodes = 0;
  int angular_level_max = 0;
  std::uint64_t orientations_max = 0;  // orientation pairs per radial node at the finest level used
  double split_radius = 0.0;           // R: beyond it r = R / x
  double far_radius = 0.0;             // beyond it the far field in closed form
  bool converged = false;
  std::string geometry;  // "linear (inversion) - nonlinear (2-fold) mirror", ...
  std::string message;   // empty when converged
};

// laws: n1 rows of n2 site laws (row i for site i of molecule 1).  Refuses
// (ValueError) empty molecules, non-finite coordinates, a table of the wrong
// shape, no temperature or one not above 0, tolerances below 0 or both 0,
// masses of the wrong count or not above 0 in total, a molecule whose rotation
// has no inertia, and pairs whose B2 diverges (net charges on both molecules,
// a Mie attraction r^-la with la <= 3).  A Boltzmann factor that overflows
// (bare charges collapsing, no floor) throws FloatingPointError.
B2CubatureResult b2_cubature(const Molecule& mol1, const Molecule& mol2, const SiteLawTable& laws,
                             const B2CubatureOptions& opt);

// hbar^2 / (k_B u angstrom^2) in K (CODATA 2018).
inline constexpr double kHbar2OverKbUA2 = 48.508734121489965;

}  // namespace vica
