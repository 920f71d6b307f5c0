// The AVX-512 path of the step's sines and cosines: glibc's eight-lane libmvec
// routines where a call needs more than four lanes (the five angles of a u_r
// sample), the four-lane ones for up to four angles (an eight-lane call would
// only do twice the work).
#include <cmath>

#include "uij/step_trig.h"

#if defined(VICA_HAVE_LIBMVEC) && defined(__AVX512F__)
#include <immintrin.h>

extern "C" {
__m512d _ZGVeN8v_sin(__m512d x);
__m512d _ZGVeN8v_cos(__m512d x);
}

namespace vica::detail {
namespace {

SinCos5 sincos5_avx512(double a, double b, double c, double d, double e) {
  const __m512d x = _mm512_setr_pd(a, b, c, d, e, 0.0, 0.0, 0.0);
  alignas(64) double s[8];
  alignas(64) double co[8];
  _mm512_store_pd(s, _ZGVeN8v_sin(x));
  _mm512_store_pd(co, _ZGVeN8v_cos(x));
  SinCos5 r;
  for (int i = 0; i < 5; ++i) {
    r.s[i] = s[i];
    r.c[i] = co[i];
  }
  return r;
}

// Ten angles in two eight-lane calls each for the sines and the cosines.
SinCos10 sincos10_avx512(const double* x) {
  const __m512d x0 = _mm512_setr_pd(x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]);
  const __m512d x1 = _mm512_setr_pd(x[8], x[9], 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
  alignas(64) double s[16];
  alignas(64) double c[16];
  _mm512_store_pd(s, _ZGVeN8v_sin(x0));
  _mm512_store_pd(s + 8, _ZGVeN8v_sin(x1));
  _mm512_store_pd(c, _ZGVeN8v_cos(x0));
  _mm512_store_pd(c + 8, _ZGVeN8v_cos(x1));
  SinCos10 r;
  for (int i = 0; i < 10; ++i) {
    r.s[i] = s[i];
    r.c[i] = c[i];
  }
  return r;
}

}  // namespace

// Up to four angles or arguments: the four-lane routines of the AVX2 path.
const TrigRoutines kTrigAvx512 = {euler_avx2,      sin_avx2,   sincos5_avx512, acos2_avx2,
                                   sincos10_avx512, acos4_avx2, rotation_avx2};

}  // namespace vica::detail

#else

namespace vica::detail {
const TrigRoutines kTrigAvx512 = kTrigScalar;
}  // namespace vica::detail

#endif
