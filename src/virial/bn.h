// The n-th virial coefficient B_n of n rigid molecules by Mayer sampling,
// n = 2..8 a run parameter.
//
//   B_n = -(n-1)/n! (1/V) integral of <F>, F = the sum over biconnected graphs on
//   the n labelled molecules of the product of the Mayer functions f_ij on
//   their edges, <> the average over the molecules' orientations.
//
// Molecule 1 stays at the origin in its stored orientation; molecules 2..n
// move.  The walk's density is
//   pi = (|F| + w |F_ref|) |sin theta_2| ... |sin theta_n|,
// F_ref a reference graph sum for hard spheres of diameter sigma_hs around the
// molecules' centroids (f = -1 within sigma_hs, else 0) and w >= 0 the
// reference weight.  For n = 2, 3 F_ref is their biconnected sum (one bond, or
// the triangle), whose integral is B_n of hard spheres.  From n = 4 on that sum
// changes sign and cancels, so a run's average of it can come near 0 and the
// ratio below explode; F_ref is then the sum over the n^(n-2) labelled trees,
// (-1)^(n-1) times the number of spanning trees of the overlap graph: one sign,
// nonzero wherever the overlaps connect the molecules, and an exact integral,
// n^(n-2) (-2 b_hs)^(n-1).  With w = 0 this is direct sampling, as Bms and Cms
// walk; with w > 0 the walk also covers the configurations where F vanishes
// or changes sign while F_ref does not (at n >= 4 F changes sign, and for
// hard-core targets it is exactly 0 in parts of the reference region).
// Every step adds F_k / pi (the x^k coefficient of F in beta = beta0 (1 + x))
// and F_ref / pi; the result is
//   entry k = R(sigma_hs) * sum(F_k / pi) / sum(F_ref / pi)
//           = (beta^k / k!) d^k B_n / d beta^k,
// R = -(n-1)/n! times the integral of F_ref, the same convention as Bms (Cms's
// entries carry another 1 / 2^(k/2)).
//
// sigma_hs = 2 * (mean of the molecules' largest site radii) + padding; Bms
// and Cms pad by one length unit, the default here.  A padding near the sites'
// own diameter puts the reference where the molecules overlap, which the walk
// must visit (with a padding of 1 for sites of diameter 3.4 the reference
// region is too small to be met).
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/random_source.h"
#include "uij/molecule.h"
#include "virial/site_law.h"

namespace vica {

// n molecules (centred on their centroids) and the tables of the pairs
// (0,1), (0,2), ..., (0,n-1), (1,2), ..., (n-2,n-1): row a for site a of the
// lower-numbered molecule of the pair.  A record made from site laws holds
// `laws` (same layout) instead of `tables`: pairs of PotK's laws run on the
// same kernels as `tables` (the same bits), others on a scalar path
// (virial/law_pair_energy.h).
struct BnRecord {
  std::vector<Molecule> molecules;
  std::vector<SitePairTable> tables;
  std::vector<SiteLawTable> laws;
};

struct BnOptions {
  double t_kelvin = 0.0;
  // Pair energies at or below u_min (K) count as overlaps: f = -1 with no
  // temperature derivative (a floor for bare charges); -inf: none.
  double u_min = -1.0 / 0.0;
  double dev_tol = 1e-3;
  std::uint64_t order_max = 0;
  std::uint64_t block_steps = 1000000;  // production block; a tuning cycle is a tenth of it
  std::uint64_t max_blocks = 1000;
  // Reference weight w: >= 0 fixed (0: direct sampling); < 0 tuned in the
  // tuning phase to -reference_weight times mean |F| / mean |F_ref| (-1: both
  // halves of the walk's weight alike).  -0.1 halved the error per CPU second
  // of Lennard-Jones B4 at T* = 1 against both 0 and -1 (docs/bn.md).
  double reference_weight = -0.1;
  // > 0: the target is hard spheres of this diameter around the centroids
  // (the tables are not read); a check of the sampler with an exact answer.
  double hard_sphere_diameter = 0.0;
  double reference_padding = 1.0;  // > 0
  // Zero crossings.  > 0: at every check of the stop rule, a temperature whose
  // running value X is under absolute_below times |T dX/dT| (the scale on which
  // X changes with temperature; entry 1 of the run) is held to an absolute
  // tolerance instead, the spread under dev_tol |T dX/dT|: where X changes sign
  // the relative rule cannot be met and a run would go on to max_blocks.  0:
  // the relative rule alone.  The walk then tracks at least entry 1; the entries
  // returned are still order_max + 1.
  double absolute_below = 0.0;
};

// How a run ended: the production blocks it made, whether the stop rule was met
// (else it stopped at max_blocks), and per temperature whether the last check
// held it to the absolute tolerance (BnOptions::absolute_below).
struct BnStop {
  std::uint64_t blocks = 0;
  bool met = false;
  std::vector<char> absolute;
};

// Refuses (ValueError) records of fewer than 2 or more than 8 molecules, a
// table count other than n(n-1)/2, a pair that cannot interact, and options
// out of range; a start search that fails for 10,000,000 draws throws
// RuntimeError, a run whose sums become non-finite FloatingPointError.
BnRecord make_bn(std::vector<Molecule> molecules, std::vector<SitePairTable> tables);
BnRecord make_bn(std::vector<Molecule> molecules, std::vector<SiteLawTable> laws);
std::vector<double> bn_run(const BnRecord& rec, const BnOptions& opt);
std::vector<double> bn_run(const BnRecord& rec, const BnOptions& opt, RandomSource& rng);
// The same, saying in `stop` how the run ended (`rng` null: the thread's generator).
std::vector<double> bn_run(const BnRecord& rec, const BnOptions& opt, RandomSource* rng, BnStop& stop);

}  // namespace vica
