// PairKernel::energy, four rows at a time with AVX2, and the small-molecule
// bodies (also taken on the AVX-512 path).
#include "uij/pair_kernel.h"

#if defined(__AVX2__)
#include "uij/pair_kernel_simd.h"
#endif

namespace vica::detail {

double pair_kernel_avx2(const PairKernel::View& k, const SiteArray& a, const SiteArray& b,
                        Site o) {
#if defined(__AVX2__)
  if (k.by_rows) {
    if (k.all_r1r6r12) return total_by_rows<true, true, true>(k, a, b, o);
    if (k.has_r1 && k.has_r612) return total_by_rows<true, true>(k, a, b, o);
    if (k.has_r612) return total_by_rows<false, true>(k, a, b, o);
    return total_by_rows<true, false>(k, a, b, o);
  }
  if (k.all_r1r6r12) return rows4_total<true, true, true>(k, a, b, o, 0, -0.0);
  if (k.has_r1 && k.has_r612) return rows4_total<true, true>(k, a, b, o, 0, -0.0);
  if (k.has_r612) return rows4_total<false, true>(k, a, b, o, 0, -0.0);
  return rows4_total<true, false>(k, a, b, o, 0, -0.0);
#else
  return pair_kernel_portable(k, a, b, o);
#endif
}

#if defined(__AVX2__)
namespace {

template <std::size_t N2>
PairKernel::Implementation small_for(const PairKernel::View& k) {
  if (k.all_r1r6r12) return small_energy<N2, true, true, true>;
  if (k.has_r1 && k.has_r612) return small_energy<N2, true, true, false>;
  if (k.has_r612) return small_energy<N2, false, true, false>;
  return small_energy<N2, true, false, false>;
}

template <std::size_t N2>
PairKernel::TurnedImplementation small_turned_for(const PairKernel::View& k) {
  if (k.all_r1r6r12) return small_turned_energy<N2, true, true, true>;
  if (k.has_r1 && k.has_r612) return small_turned_energy<N2, true, true, false>;
  if (k.has_r612) return small_turned_energy<N2, false, true, false>;
  return small_turned_energy<N2, true, false, false>;
}

}  // namespace
#endif

PairKernel::Implementation small_pair_kernel_avx2(const PairKernel::View& k) {
#if defined(__AVX2__)
  switch (k.n_second) {
    case 1:
      return small_for<1>(k);
    case 2:
      return small_for<2>(k);
    case 3:
      return small_for<3>(k);
    case 4:
      return small_for<4>(k);
    default:
      break;
  }
#endif
  (void)k;
  return nullptr;
}

PairKernel::TurnedImplementation small_turned_pair_kernel_avx2(const PairKernel::View& k) {
#if defined(__AVX2__)
  switch (k.n_second) {
    case 1:
      return small_turned_for<1>(k);
    case 2:
      return small_turned_for<2>(k);
    case 3:
      return small_turned_for<3>(k);
    case 4:
      return small_turned_for<4>(k);
    default:
      break;
  }
#endif
  (void)k;
  return nullptr;
}

}  // namespace vica::detail
