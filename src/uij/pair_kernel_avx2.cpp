// PairKernel::energy, four rows at a time with AVX2.
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

}  // namespace vica::detail
