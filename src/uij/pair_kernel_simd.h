// Vector bodies of PairKernel::energy, included only by the files compiled
// for an instruction set (pair_kernel_avx2.cpp, pair_kernel_avx512.cpp).
// Everything here has internal linkage, so each of those files keeps its own
// copy, built for its own instruction set.
//
// One group is four (ymm) or eight (zmm) consecutive rows of the table.  Lane
// l holds row i0 + l: the site of the first molecule is fixed per lane, the
// columns j are taken in order, and the lane's row sum is updated once per
// column, exactly as the reference loop does it.  Per term the kind selects:
//   R0 -> +0.0, R1 -> c1 / r, R6R12 -> c6 * i6 + c12 * i12,
//   R1R6R12 -> (c1 / r + c6 * i6) + c12 * i12,
// so an unused r^-12 term (infinite at the clamped distance) never enters.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "uij/pair_kernel.h"

namespace vica {
namespace {

constexpr std::size_t kPackLanes = 8;

inline __m256i load_kinds4(const std::uint8_t* p) {
  std::int32_t bits;
  std::memcpy(&bits, p, sizeof bits);
  return _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(bits));
}

// The four terms at entries at .. at + 3 for the clamped distances r.
template <bool HasR1, bool HasR612, bool AllR1R6R12 = false>
inline __m256d terms4(const PairKernel::View& k, std::size_t at, __m256d r) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256i kind1 = _mm256_set1_epi64x(1);
  const __m256i kind2 = _mm256_set1_epi64x(2);
  const __m256i kind0 = _mm256_setzero_si256();
  if constexpr (AllR1R6R12) {
    // Every entry that is summed is R1R6R12 (lanes of padding are computed
    // but never added): (c1 / r + c6 * i6) + c12 * i12, no selection.
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    const __m256d r6 = _mm256_mul_pd(r2, r4);
    const __m256d r12 = _mm256_mul_pd(_mm256_mul_pd(r4, r4), r4);
    const __m256d t1 = _mm256_div_pd(_mm256_loadu_pd(k.c1 + at), r);
    const __m256d i6 = _mm256_div_pd(one, r6);
    const __m256d i12 = _mm256_div_pd(one, r12);
    const __m256d t6 = _mm256_mul_pd(_mm256_loadu_pd(k.c6 + at), i6);
    const __m256d t12 = _mm256_mul_pd(_mm256_loadu_pd(k.c12 + at), i12);
    return _mm256_add_pd(_mm256_add_pd(t1, t6), t12);
  }
  const __m256i kind = load_kinds4(k.kind + at);
  __m256d e;
  __m256d t1;
  if constexpr (HasR1) t1 = _mm256_div_pd(_mm256_loadu_pd(k.c1 + at), r);
  if constexpr (HasR612) {
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    const __m256d r6 = _mm256_mul_pd(r2, r4);
    const __m256d r12 = _mm256_mul_pd(_mm256_mul_pd(r4, r4), r4);
    const __m256d i6 = _mm256_div_pd(one, r6);
    const __m256d i12 = _mm256_div_pd(one, r12);
    const __m256d t6 = _mm256_mul_pd(_mm256_loadu_pd(k.c6 + at), i6);
    const __m256d t12 = _mm256_mul_pd(_mm256_loadu_pd(k.c12 + at), i12);
    __m256d head = t6;
    if constexpr (HasR1) {
      const __m256d is2 = _mm256_castsi256_pd(_mm256_cmpeq_epi64(kind, kind2));
      head = _mm256_blendv_pd(_mm256_add_pd(t1, t6), t6, is2);
    }
    e = _mm256_add_pd(head, t12);
    if constexpr (HasR1) {
      const __m256d is1 = _mm256_castsi256_pd(_mm256_cmpeq_epi64(kind, kind1));
      e = _mm256_blendv_pd(e, t1, is1);
    }
  } else {
    e = t1;
  }
  const __m256d is0 = _mm256_castsi256_pd(_mm256_cmpeq_epi64(kind, kind0));
  e = _mm256_andnot_pd(is0, e);
  return e;
}

// Distances from four sites (ax, ay, az) to one point, clamped at the floor
// (a NaN distance included).
inline __m256d clamped4(__m256d ax, __m256d ay, __m256d az, __m256d bx, __m256d by, __m256d bz) {
  const __m256d clamp = _mm256_set1_pd(MIN_SITE_DISTANCE);
  const __m256d dx = _mm256_sub_pd(ax, bx);
  const __m256d dy = _mm256_sub_pd(ay, by);
  const __m256d dz = _mm256_sub_pd(az, bz);
  const __m256d s2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)),
                                 _mm256_mul_pd(dz, dz));
  const __m256d r = _mm256_sqrt_pd(s2);
  // max(r, clamp) is r where r > clamp and clamp otherwise, a NaN r included
  // (the instruction returns its second operand unless the first is greater).
  return _mm256_max_pd(r, clamp);
}

// Row sums of rows i0 .. i0 + 3 into `rows`; `pack` points at the first
// entry of the group in column 0 (consecutive columns are kPackLanes apart).
template <bool HasR1, bool HasR612, bool AllR1R6R12 = false>
inline void rows4(const PairKernel::View& k, std::size_t pack, const double* ax,
                  const double* ay, const double* az, const SiteArray& b, Site o, double* rows) {
  const __m256d vax = _mm256_loadu_pd(ax);
  const __m256d vay = _mm256_loadu_pd(ay);
  const __m256d vaz = _mm256_loadu_pd(az);
  __m256d row = _mm256_set1_pd(-0.0);
  const double* bxs = b.x();
  const double* bys = b.y();
  const double* bzs = b.z();
  const std::size_t n2 = k.n_second;
  for (std::size_t j = 0; j < n2; ++j) {
    const std::size_t at = pack + j * kPackLanes;
    const __m256d bx = _mm256_set1_pd(bxs[j] + o.x);
    const __m256d by = _mm256_set1_pd(bys[j] + o.y);
    const __m256d bz = _mm256_set1_pd(bzs[j] + o.z);
    const __m256d r = clamped4(vax, vay, vaz, bx, by, bz);
    const __m256d e = terms4<HasR1, HasR612, AllR1R6R12>(k, at, r);
    row = _mm256_add_pd(row, e);
  }
  _mm256_storeu_pd(rows, row);
}

template <bool HasR1, bool HasR612, bool AllR1R6R12 = false>
inline double rows4_total(const PairKernel::View& k, const SiteArray& a, const SiteArray& b,
                          Site o, std::size_t i_begin, double total) {
  alignas(32) double rows[4];
  for (std::size_t i0 = i_begin; i0 < k.n_first; i0 += 4) {
    const std::size_t pack = (i0 / kPackLanes) * k.n_second * kPackLanes + i0 % kPackLanes;
    rows4<HasR1, HasR612, AllR1R6R12>(k, pack, a.x() + i0, a.y() + i0, a.z() + i0, b, o, rows);
    const std::size_t live = k.n_first - i0 < 4 ? k.n_first - i0 : 4;
    for (std::size_t l = 0; l < live; ++l) total = total + rows[l];
  }
  return total;
}

// The by-rows layout: the terms of four entries of one row at a time, added
// to the row sum one after the other; the row sums added to the total in
// row order.
template <bool HasR1, bool HasR612, bool AllR1R6R12 = false>
inline double total_by_rows(const PairKernel::View& k, const SiteArray& a, const SiteArray& b,
                            Site o) {
  alignas(32) double e[4];
  const __m256d ox = _mm256_set1_pd(o.x);
  const __m256d oy = _mm256_set1_pd(o.y);
  const __m256d oz = _mm256_set1_pd(o.z);
  const std::size_t n2 = k.n_second;
  double total = -0.0;
  for (std::size_t i = 0; i < k.n_first; ++i) {
    const __m256d ax = _mm256_set1_pd(a.x()[i]);
    const __m256d ay = _mm256_set1_pd(a.y()[i]);
    const __m256d az = _mm256_set1_pd(a.z()[i]);
    double row = -0.0;
    for (std::size_t j0 = 0; j0 < n2; j0 += 4) {
      const __m256d bx = _mm256_add_pd(_mm256_loadu_pd(b.x() + j0), ox);
      const __m256d by = _mm256_add_pd(_mm256_loadu_pd(b.y() + j0), oy);
      const __m256d bz = _mm256_add_pd(_mm256_loadu_pd(b.z() + j0), oz);
      const __m256d r = clamped4(ax, ay, az, bx, by, bz);
      _mm256_store_pd(e, terms4<HasR1, HasR612, AllR1R6R12>(k, k.at(i, j0), r));
      const std::size_t live = n2 - j0 < 4 ? n2 - j0 : 4;
      for (std::size_t l = 0; l < live; ++l) row = row + e[l];
    }
    total = total + row;
  }
  return total;
}


// Small molecules: a first molecule of at most four sites (one group of
// rows, lanes beyond n_first padding) and a second of N2 <= 4 sites, the
// columns unrolled.  `bx`, `by`, `bz` hold the second molecule's sites
// already moved by the offset (lane j: site j), each taken to all lanes for
// its column; everything else is rows4 above, term for term.
template <std::size_t N2, bool HasR1, bool HasR612, bool AllR1R6R12>
inline double small_total(const PairKernel::View& k, const double* ax, const double* ay,
                          const double* az, __m256d bx, __m256d by, __m256d bz) {
  const __m256d vax = _mm256_loadu_pd(ax);
  const __m256d vay = _mm256_loadu_pd(ay);
  const __m256d vaz = _mm256_loadu_pd(az);
  __m256d row = _mm256_set1_pd(-0.0);
  auto column = [&]<int J>() {
    const __m256d r = clamped4(vax, vay, vaz, _mm256_permute4x64_pd(bx, J * 0x55),
                               _mm256_permute4x64_pd(by, J * 0x55), _mm256_permute4x64_pd(bz, J * 0x55));
    row = _mm256_add_pd(row, terms4<HasR1, HasR612, AllR1R6R12>(k, J * kPackLanes, r));
  };
  column.template operator()<0>();
  if constexpr (N2 > 1) column.template operator()<1>();
  if constexpr (N2 > 2) column.template operator()<2>();
  if constexpr (N2 > 3) column.template operator()<3>();
  alignas(32) double rows[4];
  _mm256_store_pd(rows, row);
  double total = -0.0;
  for (std::size_t l = 0; l < k.n_first; ++l) total = total + rows[l];
  return total;
}

// PairKernel::energy for small molecules.
template <std::size_t N2, bool HasR1, bool HasR612, bool AllR1R6R12>
double small_energy(const PairKernel::View& k, const SiteArray& a, const SiteArray& b, Site o) {
  const __m256d bx = _mm256_add_pd(_mm256_loadu_pd(b.x()), _mm256_set1_pd(o.x));
  const __m256d by = _mm256_add_pd(_mm256_loadu_pd(b.y()), _mm256_set1_pd(o.y));
  const __m256d bz = _mm256_add_pd(_mm256_loadu_pd(b.z()), _mm256_set1_pd(o.z));
  return small_total<N2, HasR1, HasR612, AllR1R6R12>(k, a.x(), a.y(), a.z(), bx, by, bz);
}

// The second molecule turned by `rot` into `out` (x' = (R00 x + R01 y) +
// R02 z, ..., as SiteArray::assign_rotated), then PairKernel::energy of
// `a` with it, for small molecules.
template <std::size_t N2, bool HasR1, bool HasR612, bool AllR1R6R12>
double small_turned_energy(const PairKernel::View& k, const Rotation& rot, const SiteArray& src,
                           SiteArray& out, const SiteArray& a, Site o) {
  const double* m = rot.m;
  const __m256d sx = _mm256_loadu_pd(src.x());
  const __m256d sy = _mm256_loadu_pd(src.y());
  const __m256d sz = _mm256_loadu_pd(src.z());
  auto turned = [&](int r) {
    return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(m[r]), sx),
                                       _mm256_mul_pd(_mm256_set1_pd(m[r + 1]), sy)),
                         _mm256_mul_pd(_mm256_set1_pd(m[r + 2]), sz));
  };
  const __m256d tx = turned(0);
  const __m256d ty = turned(3);
  const __m256d tz = turned(6);
  _mm256_storeu_pd(out.x_data(), tx);
  _mm256_storeu_pd(out.y_data(), ty);
  _mm256_storeu_pd(out.z_data(), tz);
  return small_total<N2, HasR1, HasR612, AllR1R6R12>(
      k, a.x(), a.y(), a.z(), _mm256_add_pd(tx, _mm256_set1_pd(o.x)), _mm256_add_pd(ty, _mm256_set1_pd(o.y)),
      _mm256_add_pd(tz, _mm256_set1_pd(o.z)));
}

}  // namespace
}  // namespace vica
