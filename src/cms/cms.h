// Third virial coefficient of a triple of rigid molecules by Mayer sampling.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/random_source.h"

#include "uij/molecule.h"

namespace vica {

// Two molecules and the table between them: row i for site i of `moli`,
// entry j of a row for site j of `molj`.
struct CmsPair {
  Molecule moli;
  Molecule molj;
  SitePairTable potk;
};

// What a Cms object holds: the three molecules centred, and the pairs
// (1, 2), (1, 3), (2, 3) with copies of the centred molecules.  A run reads
// the geometry from mol1..mol3 and only the tables from the pairs.
struct CmsRecord {
  Molecule mol1;
  Molecule mol2;
  Molecule mol3;
  CmsPair pair12;
  CmsPair pair13;
  CmsPair pair23;
};

CmsRecord make_cms(Molecule mol1, Molecule mol2, Molecule mol3, SitePairTable potk12,
                   SitePairTable potk13, SitePairTable potk23);

// One complete run: C and (beta^k / (k! 2^(k/2))) d^k C / d beta^k for
// k = 1..order_max, in the length unit to the sixth power, per molecule.
//
// Refusals before anything is printed: a t_kelvin that is not a finite number
// above 0 (ValueError); an order_max whose lists or sums cannot be held
// (MemoryError); a table too small for its molecules
// (the index-out-of-bounds internal failure, pairs taken in the order 12, 13,
// 23); a pair that cannot interact (ValueError naming the pair).  A start
// search that fails for 10,000,000 draws throws RuntimeError.
std::vector<double> cms_run(const CmsRecord& rec, double t_kelvin, double dev_tol, std::uint64_t order_max);
// The same run drawing from `rng` instead of the calling thread's generator.
std::vector<double> cms_run(const CmsRecord& rec, double t_kelvin, double dev_tol, std::uint64_t order_max,
                            RandomSource& rng);

}  // namespace vica
