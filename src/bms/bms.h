// Second virial coefficient of a pair of rigid molecules by Mayer sampling.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/random_source.h"

#include "uij/molecule.h"

namespace vica {

// What a Bms object holds: both molecules centred on their centroids and the
// site-pair table as given (row i for site i of molecule 1, entry j for
// site j of molecule 2).
struct BmsRecord {
  Molecule mol1;
  Molecule mol2;
  SitePairTable potk;
};

BmsRecord make_bms(Molecule mol1, Molecule mol2, SitePairTable potk);

// One complete run: B and (beta^k / k!) d^k B / d beta^k for k = 1..order_max,
// in the length unit of the coordinates cubed, per molecule.
//
// Refusals before anything is printed: a t_kelvin that is not a finite number
// above 0 (ValueError); an order_max whose buffers cannot be held
// (MemoryError); a table too small for the molecules
// (the index-out-of-bounds internal failure); molecules that cannot interact
// (ValueError).  A start search that fails for 10,000,000 draws throws
// RuntimeError.
std::vector<double> bms_run(const BmsRecord& rec, double t_kelvin, double u_min, double dev_tol,
                            std::uint64_t order_max);
// The same run drawing from `rng` instead of the calling thread's generator.
std::vector<double> bms_run(const BmsRecord& rec, double t_kelvin, double u_min, double dev_tol,
                            std::uint64_t order_max, RandomSource& rng);

}  // namespace vica
