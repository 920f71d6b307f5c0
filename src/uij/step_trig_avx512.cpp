// The AVX-512 path of the step's sines and cosines: glibc's eight-lane libmvec
// routines where a call needs more than four lanes (the five angles of a u_r
// sample), the four-lane ones for up to four angles (an eight-lane call would
// only do twice the work).
#include <cmath>

#include "uij/step_trig.h"

#if defined(VICA_HAVE_LIBMVEC) && defined(__AVX512F__)
#include <immintrin.h>

extern "C" {
__m256d _ZGVdN4v_sin(__m256d x);
__m256d _ZGVdN4v_cos(__m256d x);
#if defined(VICA_HAVE_LIBMVEC_ACOS)
__m256d _ZGVdN4v_acos(__m256d x);
#endif
__m512d _ZGVeN8v_sin(__m512d x);
__m512d _ZGVeN8v_cos(__m512d x);
}

namespace vica::detail {
namespace {

EulerSinCos euler_avx512(double phi, double theta, double psi) {
  const __m256d x = _mm256_setr_pd(phi, theta, psi, 0.0);
  alignas(32) double s[4];
  alignas(32) double c[4];
  _mm256_store_pd(s, _ZGVdN4v_sin(x));
  _mm256_store_pd(c, _ZGVdN4v_cos(x));
  return EulerSinCos{c[0], s[0], c[1], s[1], c[2], s[2]};
}

double sin_avx512(double x) { return _mm256_cvtsd_f64(_ZGVdN4v_sin(_mm256_set1_pd(x))); }

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

Acos4 acos4_avx512(double x0, double x1, double x2, double x3) {
#if defined(VICA_HAVE_LIBMVEC_ACOS)
  Acos4 r;
  _mm256_storeu_pd(r.a, _ZGVdN4v_acos(_mm256_setr_pd(x0, x1, x2, x3)));
  return r;
#else
  return Acos4{{std::acos(x0), std::acos(x1), std::acos(x2), std::acos(x3)}};
#endif
}

Acos2 acos2_avx512(double x0, double x1) {
#if defined(VICA_HAVE_LIBMVEC_ACOS)
  alignas(32) double a[4];
  _mm256_store_pd(a, _ZGVdN4v_acos(_mm256_setr_pd(x0, x1, 0.0, 0.0)));
  return Acos2{a[0], a[1]};
#else
  return Acos2{std::acos(x0), std::acos(x1)};
#endif
}

}  // namespace

const TrigRoutines kTrigAvx512 = {euler_avx512,    sin_avx512,   sincos5_avx512, acos2_avx512,
                                   sincos10_avx512, acos4_avx512, rotation_avx2};

}  // namespace vica::detail

#else

namespace vica::detail {
const TrigRoutines kTrigAvx512 = kTrigScalar;
}  // namespace vica::detail

#endif
