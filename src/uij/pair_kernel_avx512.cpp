// PairKernel::energy, eight rows at a time with AVX-512 (a last group of at
// most four rows with the AVX2 body).
#include "uij/pair_kernel.h"

// GCC 12 warns about the placeholder operands inside its own AVX-512 headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX2__)
#define VICA_HAVE_AVX512_BODY 1
#include "uij/pair_kernel_simd.h"
#endif

namespace vica::detail {

#if defined(VICA_HAVE_AVX512_BODY)
namespace {

template <bool HasR1, bool HasR612, bool AllR1R6R12 = false>
inline void rows8(const PairKernel::View& k, std::size_t pack, const double* ax, const double* ay,
                  const double* az, const SiteArray& b, Site o, double* rows) {
  const __m512d vax = _mm512_loadu_pd(ax);
  const __m512d vay = _mm512_loadu_pd(ay);
  const __m512d vaz = _mm512_loadu_pd(az);
  const __m512d clamp = _mm512_set1_pd(MIN_SITE_DISTANCE);
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512i kind1 = _mm512_set1_epi64(1);
  const __m512i kind2 = _mm512_set1_epi64(2);
  const __m512i kind0 = _mm512_setzero_si512();
  __m512d row = _mm512_set1_pd(-0.0);
  const double* bxs = b.x();
  const double* bys = b.y();
  const double* bzs = b.z();
  const std::size_t n2 = k.n_second;
  for (std::size_t j = 0; j < n2; ++j) {
    const std::size_t at = pack + j * kPackLanes;
    const __m512d bx = _mm512_set1_pd(bxs[j] + o.x);
    const __m512d by = _mm512_set1_pd(bys[j] + o.y);
    const __m512d bz = _mm512_set1_pd(bzs[j] + o.z);
    const __m512d dx = _mm512_sub_pd(vax, bx);
    const __m512d dy = _mm512_sub_pd(vay, by);
    const __m512d dz = _mm512_sub_pd(vaz, bz);
    const __m512d s2 = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)),
                                     _mm512_mul_pd(dz, dz));
    // Not greater than the floor (NaN included): the floor (the instruction
    // returns its second operand unless the first is greater).
    const __m512d r = _mm512_max_pd(_mm512_sqrt_pd(s2), clamp);
    if constexpr (AllR1R6R12) {
      // Every entry that is summed is R1R6R12: no selection by kind.
      const __m512d r2 = _mm512_mul_pd(r, r);
      const __m512d r4 = _mm512_mul_pd(r2, r2);
      const __m512d r6 = _mm512_mul_pd(r2, r4);
      const __m512d r12 = _mm512_mul_pd(_mm512_mul_pd(r4, r4), r4);
      const __m512d t1 = _mm512_div_pd(_mm512_loadu_pd(k.c1 + at), r);
      const __m512d i6 = _mm512_div_pd(one, r6);
      const __m512d i12 = _mm512_div_pd(one, r12);
      const __m512d t6 = _mm512_mul_pd(_mm512_loadu_pd(k.c6 + at), i6);
      const __m512d t12 = _mm512_mul_pd(_mm512_loadu_pd(k.c12 + at), i12);
      row = _mm512_add_pd(row, _mm512_add_pd(_mm512_add_pd(t1, t6), t12));
      continue;
    }
    const __m512i kind = _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(k.kind + at)));
    __m512d e;
    __m512d t1;
    if constexpr (HasR1) t1 = _mm512_div_pd(_mm512_loadu_pd(k.c1 + at), r);
    if constexpr (HasR612) {
      const __m512d r2 = _mm512_mul_pd(r, r);
      const __m512d r4 = _mm512_mul_pd(r2, r2);
      const __m512d r6 = _mm512_mul_pd(r2, r4);
      const __m512d r12 = _mm512_mul_pd(_mm512_mul_pd(r4, r4), r4);
      const __m512d i6 = _mm512_div_pd(one, r6);
      const __m512d i12 = _mm512_div_pd(one, r12);
      const __m512d t6 = _mm512_mul_pd(_mm512_loadu_pd(k.c6 + at), i6);
      const __m512d t12 = _mm512_mul_pd(_mm512_loadu_pd(k.c12 + at), i12);
      __m512d head = t6;
      if constexpr (HasR1) {
        head = _mm512_mask_blend_pd(_mm512_cmpeq_epi64_mask(kind, kind2), _mm512_add_pd(t1, t6), t6);
      }
      e = _mm512_add_pd(head, t12);
      if constexpr (HasR1) e = _mm512_mask_blend_pd(_mm512_cmpeq_epi64_mask(kind, kind1), e, t1);
    } else {
      e = t1;
    }
    // R0 lanes: +0.0.
    e = _mm512_maskz_mov_pd(_mm512_cmpneq_epi64_mask(kind, kind0), e);
    row = _mm512_add_pd(row, e);
  }
  _mm512_storeu_pd(rows, row);
}

template <bool HasR1, bool HasR612, bool AllR1R6R12 = false>
double total8(const PairKernel::View& k, const SiteArray& a, const SiteArray& b, Site o) {
  alignas(64) double rows[8];
  double total = -0.0;
  std::size_t i0 = 0;
  // Full groups of eight, and a last group of five to seven rows.
  for (; i0 + 4 < k.n_first; i0 += 8) {
    const std::size_t pack = (i0 / kPackLanes) * k.n_second * kPackLanes;
    rows8<HasR1, HasR612, AllR1R6R12>(k, pack, a.x() + i0, a.y() + i0, a.z() + i0, b, o, rows);
    const std::size_t live = k.n_first - i0 < 8 ? k.n_first - i0 : 8;
    for (std::size_t l = 0; l < live; ++l) total = total + rows[l];
  }
  // At most four rows left: half a group.
  if (i0 < k.n_first) total = rows4_total<HasR1, HasR612, AllR1R6R12>(k, a, b, o, i0, total);
  return total;
}

}  // namespace
#endif

double pair_kernel_avx512(const PairKernel::View& k, const SiteArray& a, const SiteArray& b,
                          Site o) {
#if defined(VICA_HAVE_AVX512_BODY)
  // A first molecule of one or two sites: the AVX2 body along the rows.
  if (k.by_rows) return pair_kernel_avx2(k, a, b, o);
  if (k.all_r1r6r12) return total8<true, true, true>(k, a, b, o);
  if (k.has_r1 && k.has_r612) return total8<true, true>(k, a, b, o);
  if (k.has_r612) return total8<false, true>(k, a, b, o);
  return total8<true, false>(k, a, b, o);
#else
  return pair_kernel_avx2(k, a, b, o);
#endif
}

}  // namespace vica::detail
