// The AVX2 path of the step's sines and cosines: glibc's four-lane libmvec
// routines.
#include <cmath>

#include "uij/step_trig.h"

#if defined(VICA_HAVE_LIBMVEC) && defined(__AVX2__)
#include <immintrin.h>

extern "C" {
__m256d _ZGVdN4v_sin(__m256d x);
__m256d _ZGVdN4v_cos(__m256d x);
#if defined(VICA_HAVE_LIBMVEC_ACOS)
__m256d _ZGVdN4v_acos(__m256d x);
#endif
}

namespace vica::detail {

EulerSinCos euler_avx2(double phi, double theta, double psi) {
  const __m256d x = _mm256_setr_pd(phi, theta, psi, 0.0);
  alignas(32) double s[4];
  alignas(32) double c[4];
  _mm256_store_pd(s, _ZGVdN4v_sin(x));
  _mm256_store_pd(c, _ZGVdN4v_cos(x));
  return EulerSinCos{c[0], s[0], c[1], s[1], c[2], s[2]};
}

double sin_avx2(double x) { return _mm256_cvtsd_f64(_ZGVdN4v_sin(_mm256_set1_pd(x))); }

namespace {

SinCos5 sincos5_avx2(double a, double b, double c, double d, double e) {
  const __m256d x0 = _mm256_setr_pd(a, b, c, d);
  const __m256d x1 = _mm256_setr_pd(e, 0.0, 0.0, 0.0);
  SinCos5 r;
  _mm256_storeu_pd(r.s, _ZGVdN4v_sin(x0));
  _mm256_storeu_pd(r.c, _ZGVdN4v_cos(x0));
  r.s[4] = _mm256_cvtsd_f64(_ZGVdN4v_sin(x1));
  r.c[4] = _mm256_cvtsd_f64(_ZGVdN4v_cos(x1));
  return r;
}

// Ten angles in three vector calls each for the sines and the cosines.
SinCos10 sincos10_avx2(const double* x) {
  const __m256d x0 = _mm256_setr_pd(x[0], x[1], x[2], x[3]);
  const __m256d x1 = _mm256_setr_pd(x[4], x[5], x[6], x[7]);
  const __m256d x2 = _mm256_setr_pd(x[8], x[9], 0.0, 0.0);
  alignas(32) double s[12];
  alignas(32) double c[12];
  _mm256_store_pd(s, _ZGVdN4v_sin(x0));
  _mm256_store_pd(s + 4, _ZGVdN4v_sin(x1));
  _mm256_store_pd(s + 8, _ZGVdN4v_sin(x2));
  _mm256_store_pd(c, _ZGVdN4v_cos(x0));
  _mm256_store_pd(c + 4, _ZGVdN4v_cos(x1));
  _mm256_store_pd(c + 8, _ZGVdN4v_cos(x2));
  SinCos10 r;
  for (int i = 0; i < 10; ++i) {
    r.s[i] = s[i];
    r.c[i] = c[i];
  }
  return r;
}

}  // namespace

Acos4 acos4_avx2(double x0, double x1, double x2, double x3) {
#if defined(VICA_HAVE_LIBMVEC_ACOS)
  Acos4 r;
  _mm256_storeu_pd(r.a, _ZGVdN4v_acos(_mm256_setr_pd(x0, x1, x2, x3)));
  return r;
#else
  return Acos4{{std::acos(x0), std::acos(x1), std::acos(x2), std::acos(x3)}};
#endif
}

Acos2 acos2_avx2(double x0, double x1) {
#if defined(VICA_HAVE_LIBMVEC_ACOS)
  alignas(32) double a[4];
  _mm256_store_pd(a, _ZGVdN4v_acos(_mm256_setr_pd(x0, x1, 0.0, 0.0)));
  return Acos2{a[0], a[1]};
#else
  return Acos2{std::acos(x0), std::acos(x1)};
#endif
}

// The sines and cosines taken from their lanes straight into the rotation's
// arithmetic (no trip through memory).
double rotation_avx2(double phi, double theta, double psi, Rotation* out) {
  const __m256d x = _mm256_setr_pd(phi, theta, psi, 0.0);
  const __m256d s = _ZGVdN4v_sin(x);
  const __m256d c = _ZGVdN4v_cos(x);
  const __m128d s01 = _mm256_castpd256_pd128(s);
  const __m128d s2 = _mm256_extractf128_pd(s, 1);
  const __m128d c01 = _mm256_castpd256_pd128(c);
  const __m128d c2 = _mm256_extractf128_pd(c, 1);
  const EulerSinCos sc{_mm_cvtsd_f64(c01), _mm_cvtsd_f64(s01), _mm_cvtsd_f64(_mm_unpackhi_pd(c01, c01)),
                       _mm_cvtsd_f64(_mm_unpackhi_pd(s01, s01)), _mm_cvtsd_f64(c2), _mm_cvtsd_f64(s2)};
  *out = rotation_from_sincos(sc);
  return sc.st;
}

const TrigRoutines kTrigAvx2 = {euler_avx2, sin_avx2,      sincos5_avx2, acos2_avx2,
                                 sincos10_avx2, acos4_avx2, rotation_avx2};

}  // namespace vica::detail

#else

namespace vica::detail {
const TrigRoutines kTrigAvx2 = kTrigScalar;
}  // namespace vica::detail

#endif
