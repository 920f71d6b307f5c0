// B_n at many temperatures from one walk.
//
// The walk of bn.h (molecule 1 fixed, molecules 2..n moved one at a time,
// the same moves, start search, tuning and block structure) with the density
//   pi = (sum_k w_k |F(T_k)| + w_ref |F_ref|) |sin theta_2| ... |sin theta_n|
// over the K temperatures T_k of a scan.  A step computes the site-site
// energies of the moved molecule's pairs once; f_ij(T_k) = exp(-u_ij / T_k) - 1
// and the graph sums F(T_k) follow for every k from the same energies.  Every
// step adds F_j(T_k) / pi (the x^j coefficient of F(T_k) in beta = beta_k (1 + x),
// exact as in bn.h) for every k and F_ref / pi once, and
//   entry j at T_k = R(sigma_hs) * sum(F_j(T_k) / pi) / sum(F_ref / pi).
//
// Weights.  The walk starts with w_k = 1.  At the end of each tuning cycle
// w_k becomes min_l S_l / S_k, S_k the cycle's sum of |F(T_k)| / pi: then
// w_k times the integral of |F(T_k)| is the same for every k, so each
// temperature holds an equal share of the walk.  A tuned reference weight
// (reference_weight < 0) becomes -reference_weight * (sum_k w_k S_k) / S_ref:
// the reference holds that share of the walk's weight beside all
// temperatures together (as in bn.h, whose arithmetic this reproduces for
// K = 1, so that one temperature gives bn_run's numbers bit for bit).
//
// Stop rule: the rule of bn.h at every temperature, the spread taken relative
// to the temperature's own value or to the largest value of the walk, whichever
// is larger (B_n crossing zero at one temperature would otherwise hold the
// whole walk to max_blocks); the run stops when all temperatures have met it
// (or after max_blocks).  With one temperature this is bn.h's rule.  With
// BnOptions::absolute_below > 0 a temperature near a zero crossing (|X| under
// absolute_below |T dX/dT| at the check) is held to dev_tol |T dX/dT| instead,
// as in bn.h.
//
// The estimates at the K temperatures share their samples, so they are
// correlated; the runs stay independent of each other, so the standard error
// over runs is honest at each temperature, and the correlation between
// temperatures is that of the runs' values.
#pragma once

#include <vector>

#include "runtime/random_source.h"
#include "virial/bn.h"

namespace vica {

// Refuses what bn_run refuses (opt.t_kelvin is not read), an empty
// temperature list, more than kMaxTemperatures temperatures, and
// temperatures that are not finite numbers > 0.  Returns one list of
// order_max + 1 entries per temperature, in the order given.
inline constexpr std::size_t kMaxTemperatures = 256;
std::vector<std::vector<double>> bn_multi_run(const BnRecord& rec, const std::vector<double>& temperatures,
                                              const BnOptions& opt);
std::vector<std::vector<double>> bn_multi_run(const BnRecord& rec, const std::vector<double>& temperatures,
                                              const BnOptions& opt, RandomSource& rng);
// The same, saying in `stop` how the run ended (`rng` null: the thread's generator).
std::vector<std::vector<double>> bn_multi_run(const BnRecord& rec, const std::vector<double>& temperatures,
                                              const BnOptions& opt, RandomSource* rng, BnStop& stop);

}  // namespace vica
