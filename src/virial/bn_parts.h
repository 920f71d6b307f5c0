// Pieces that the single-temperature B_n walk (bn.cpp) and the walk over many
// temperatures (bn_multi.cpp) share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "virial/bn.h"
#include "virial/graph_sum.h"
#include "virial/law_pair_energy.h"

namespace vica::bn_parts {

// The number of spanning trees of the graph on n points whose edges are the
// pairs (in `graph`'s order) with hs = -1: the determinant of its Laplacian
// less one row and column (Kirchhoff), by fraction-free elimination in exact
// integers (Bareiss).
long long spanning_trees(int n, const std::vector<double>& hs, const BiconnectedSum& graph);

// F_ref of the pair values hs (-1 or 0): for two or three molecules their
// hard-sphere graph sum, the product over all pairs (the bond, the
// triangle); from four on (`trees`) the sum over the trees.
double reference_sum(int n, bool trees, const std::vector<double>& hs, const BiconnectedSum& graph);

// The refusals of Bn.run() (bn.h) for the record and every option but the temperature.
void check_record_and_options(const BnRecord& rec, const BnOptions& opt);

// One pair-energy kernel per pair of molecules, in `graph`'s pair order; the
// refusals of Bn.run() for a table smaller than its molecules and for molecules
// that cannot interact.
std::vector<std::unique_ptr<LawPairEnergy>> pair_kernels(const BnRecord& rec, const BiconnectedSum& graph, int n);

[[noreturn]] void stop_non_finite(const char* phase, std::uint64_t number, double big_f, const double* sums,
                                  std::size_t n, double q);

}  // namespace vica::bn_parts
