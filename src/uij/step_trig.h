// The sines, cosines and arc cosines that a Monte Carlo step needs, computed
// together in one call of the platform's vector math library where it can.
//
// The scalar path calls the platform mathematics library (std::sin, std::cos,
// std::acos) once per angle; it is the definition, and a run on it follows a
// given random stream bit for bit as the plain formulas do.  The vector paths
// call glibc's libmvec (the AVX2 routines _ZGVdN4v_*, four lanes, and the
// AVX-512 routines _ZGVeN8v_*, eight lanes) with all angles of a step in the
// lanes of one vector.  Their results agree with the scalar ones to a few ulp
// (the library's bound is 4 ulp) but not bit for bit, so a run on a vector
// path takes a slightly different walk from the same random stream.  Special
// arguments keep their class: sin(+-0) = +-0, cos(+-0) = 1, NaN and +-inf give
// NaN, huge finite arguments give finite values in [-1, 1].
//
// The path is chosen once per process from the CPU and from what the build
// found (libmvec is looked for when configuring); where the library or the
// instructions are missing only the scalar path exists.
#pragma once

#include "uij/pair_energy.h"

namespace vica {

enum class TrigPath : int { scalar = 0, avx2 = 1, avx512 = 2 };

// Sines and cosines of five angles a..e.
struct SinCos5 {
  double s[5];
  double c[5];
};

// Arc cosines of two arguments.
struct Acos2 {
  double a0, a1;
};

// Sines and cosines of ten angles, arc cosines of four arguments (two u_r
// samples at once).
struct SinCos10 {
  double s[10];
  double c[10];
};
struct Acos4 {
  double a[4];
};

// One path's routines.
struct TrigRoutines {
  // cos and sin of phi, theta, psi, as rotation_from_sincos takes them.
  EulerSinCos (*euler)(double phi, double theta, double psi);
  double (*sin)(double x);
  SinCos5 (*sincos5)(double a, double b, double c, double d, double e);
  Acos2 (*acos2)(double x0, double x1);
  SinCos10 (*sincos10)(const double* x);  // x[0..9]
  Acos4 (*acos4)(double x0, double x1, double x2, double x3);
  // rotation_from_sincos of euler(phi, theta, psi) into *out, returning
  // sin(theta): the sines and cosines go straight into the rotation.
  double (*rotation)(double phi, double theta, double psi, Rotation* out);
};

// Whether this build and this CPU can run the path (scalar always can).
bool trig_path_supported(TrigPath path);
// The fastest supported path, decided once per process.
TrigPath best_trig_path();
// The path step_trig() hands out: best_trig_path() unless set otherwise.
TrigPath active_trig_path();
// Choose the path for the whole process (for tests and benchmarks); throws
// vica::ValueError when the path cannot run here.  Runs already started keep
// the routines they took.
void set_active_trig_path(TrigPath path);

// The routines of a path (which must be supported) and of the active path.
// A run takes them once, at its start.
const TrigRoutines& trig_routines(TrigPath path);
inline const TrigRoutines& step_trig() { return trig_routines(active_trig_path()); }

// Whether the build linked the vector math library (and its arc cosine).
bool trig_vector_library_found();
bool trig_vector_acos_found();

namespace detail {
// The four-lane routines, which the AVX-512 path shares (defined only when
// the build found libmvec).
EulerSinCos euler_avx2(double phi, double theta, double psi);
double sin_avx2(double x);
Acos2 acos2_avx2(double x0, double x1);
Acos4 acos4_avx2(double x0, double x1, double x2, double x3);
double rotation_avx2(double phi, double theta, double psi, Rotation* out);
extern const TrigRoutines kTrigScalar;
extern const TrigRoutines kTrigAvx2;    // only meaningful when the build found libmvec
extern const TrigRoutines kTrigAvx512;  // likewise
}  // namespace detail

}  // namespace vica
