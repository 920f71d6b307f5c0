#include "uij/step_trig.h"

#include <atomic>
#include <cmath>

#include "runtime/failure.h"

namespace vica {
namespace detail {
namespace {

EulerSinCos euler_scalar(double phi, double theta, double psi) { return euler_sincos(phi, theta, psi); }

double sin_scalar(double x) { return std::sin(x); }

SinCos5 sincos5_scalar(double a, double b, double c, double d, double e) {
  const double x[5] = {a, b, c, d, e};
  SinCos5 r;
  for (int i = 0; i < 5; ++i) {
    r.s[i] = std::sin(x[i]);
    r.c[i] = std::cos(x[i]);
  }
  return r;
}

Acos2 acos2_scalar(double x0, double x1) { return Acos2{std::acos(x0), std::acos(x1)}; }

SinCos10 sincos10_scalar(const double* x) {
  SinCos10 r;
  for (int i = 0; i < 10; ++i) {
    r.s[i] = std::sin(x[i]);
    r.c[i] = std::cos(x[i]);
  }
  return r;
}

Acos4 acos4_scalar(double x0, double x1, double x2, double x3) {
  return Acos4{{std::acos(x0), std::acos(x1), std::acos(x2), std::acos(x3)}};
}

double rotation_scalar(double phi, double theta, double psi, Rotation* out) {
  const EulerSinCos sc = euler_sincos(phi, theta, psi);
  *out = rotation_from_sincos(sc);
  return sc.st;
}

}  // namespace

const TrigRoutines kTrigScalar = {euler_scalar,    sin_scalar,   sincos5_scalar, acos2_scalar,
                                   sincos10_scalar, acos4_scalar, rotation_scalar};

}  // namespace detail

namespace {

#if defined(VICA_HAVE_LIBMVEC) && (defined(__x86_64__) || defined(__i386__))
// AMD family 19h (Zen 3, Zen 4) executes a 512-bit operation as two 256-bit
// halves: there an eight-lane call costs as much as two four-lane ones, and
// the AVX2 path measures faster even where AVX-512 is offered.
bool splits_512_bit_operations() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __asm__("cpuid" : "=a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx) : "a"(0u), "c"(0u));
  const bool amd = ebx == 0x68747541u && edx == 0x69746e65u && ecx == 0x444d4163u;  // "AuthenticAMD"
  if (!amd) return false;
  __asm__("cpuid" : "=a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx) : "a"(1u), "c"(0u));
  const unsigned family = ((eax >> 8) & 0xfu) + ((eax >> 20) & 0xffu);
  return family == 0x19u;
}
#endif

// The widest path that this build and this CPU can run.
TrigPath widest_path() {
#if defined(VICA_HAVE_LIBMVEC) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return TrigPath::scalar;
  // The AVX-512 file is compiled for AVX-512 F, VL and DQ (its 256-bit code
  // may take the VL encodings).
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
    return TrigPath::avx512;
  }
  return TrigPath::avx2;
#else
  return TrigPath::scalar;
#endif
}

TrigPath detect_path() {
  const TrigPath widest = widest_path();
#if defined(VICA_HAVE_LIBMVEC) && (defined(__x86_64__) || defined(__i386__))
  if (widest == TrigPath::avx512 && splits_512_bit_operations()) return TrigPath::avx2;
#endif
  return widest;
}

TrigPath supported_widest() {
  static const TrigPath widest = widest_path();
  return widest;
}

std::atomic<int>& active_slot() {
  static std::atomic<int> slot{static_cast<int>(best_trig_path())};
  return slot;
}

}  // namespace

bool trig_vector_library_found() {
#if defined(VICA_HAVE_LIBMVEC)
  return true;
#else
  return false;
#endif
}

bool trig_vector_acos_found() {
#if defined(VICA_HAVE_LIBMVEC_ACOS)
  return true;
#else
  return false;
#endif
}

bool trig_path_supported(TrigPath path) {
  switch (path) {
    case TrigPath::scalar:
      return true;
    case TrigPath::avx2:
      return supported_widest() != TrigPath::scalar;
    case TrigPath::avx512:
      return supported_widest() == TrigPath::avx512;
  }
  return false;
}

TrigPath best_trig_path() {
  static const TrigPath best = detect_path();
  return best;
}

TrigPath active_trig_path() { return static_cast<TrigPath>(active_slot().load(std::memory_order_relaxed)); }

void set_active_trig_path(TrigPath path) {
  if (!trig_path_supported(path)) throw ValueError("this build or CPU cannot run the requested sine/cosine path");
  active_slot().store(static_cast<int>(path), std::memory_order_relaxed);
}

const TrigRoutines& trig_routines(TrigPath path) {
  switch (path) {
    case TrigPath::avx2:
      return detail::kTrigAvx2;
    case TrigPath::avx512:
      return detail::kTrigAvx512;
    case TrigPath::scalar:
      break;
  }
  return detail::kTrigScalar;
}

}  // namespace vica
