// Time per step of Bms runs (dev_tol = 1e300: exactly 10 production blocks,
// 11,000,000 steps after the start search) beside the cost of the work every
// step must do: six normals and one uniform, three sin/cos pairs (on the
// step's own path: the vector library where found), one expm1 and the pair
// energy.
//
//   cmake --build build/dev --target bench_bms && build/dev/bench_bms > /dev/null
// (progress lines go to stdout, the timings to stderr).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <vector>

#include "bms/bms.h"
#include "runtime/random_source.h"
#include "uij/pair_energy.h"
#include "uij/pair_kernel.h"
#include "uij/step_trig.h"

using namespace vica;

namespace {

constexpr double kSteps = 11000000.0;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double time_run(const BmsRecord& rec, double t, double u_min, std::uint64_t order_max, int reps) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<double> res = bms_run(rec, t, u_min, 1e300, order_max);
    const double s = seconds_since(t0);
    if (s < best) best = s;
    std::fprintf(stderr, "    run %d: %.3f s, B = %.6g\n", r, s, res[0]);
  }
  return best * 1e9 / kSteps;
}

// The unavoidable work of one step, in the same order as a real step.
// With `turned`, the second molecule's sites are turned by the step's rotation
// before its energy is taken, as in a real step: the pair energy then waits for
// the sines and cosines.  Without it every part is independent of the others
// and the processor overlaps them freely, which no step can do.
double time_floor(const BmsRecord& rec, double t, int reps, bool turned) {
  const SiteArray a(rec.mol1);
  const SiteArray b(rec.mol2);
  SiteArray b_turned(rec.mol2);
  const PairKernel kernel(rec.potk, rec.mol1.size(), rec.mol2.size());
  RandomSource& rng = *RandomSource::for_current_thread();
  const double bneg = -1.0 / t;
  const TrigRoutines& trig = step_trig();  // the run's sine/cosine path
  double best = 1e300;
  double sink = 0.0;
  for (int r = 0; r < reps; ++r) {
    double phi = 0.3, theta = 1.1, psi = -0.7, x = 1.0, y = 0.5, z = 0.2;
    const auto t0 = std::chrono::steady_clock::now();
    for (long s = 0; s < 11000000; ++s) {
      const double g1 = rng.standard_normal();
      const double g2 = rng.standard_normal();
      const double g3 = rng.standard_normal();
      const double g4 = rng.standard_normal();
      const double g5 = rng.standard_normal();
      const double g6 = rng.standard_normal();
      const double px = x + g1 * 0.3, py = y + g2 * 0.3, pz = z + g3 * 0.3;
      phi = g4 * 3.141592653589793 + phi;
      theta = g5 * 3.141592653589793 + theta;
      psi = g6 * 3.141592653589793 + psi;
      const EulerSinCos sc = trig.euler(phi, theta, psi);
      if (turned) b_turned.assign_rotated(rotation_from_sincos(sc), b);
      const double u = kernel.energy(a, turned ? b_turned : b, Site{px, py, pz});
      const double f = std::expm1(u * bneg);
      const double big_u = rng.uniform01();
      sink += f + big_u + sc.st + sc.cf + sc.sp;
      if (std::fabs(px) < 3.0 && std::fabs(py) < 3.0 && std::fabs(pz) < 3.0) {
        x = px;
        y = py;
        z = pz;
      }
    }
    const double secs = seconds_since(t0);
    if (secs < best) best = secs;
  }
  std::fprintf(stderr, "    (sink %g)\n", sink);
  return best * 1e9 / kSteps;
}

// The parts of a step one by one, each in a loop of its own with arguments
// that wander like the walk's.
void time_parts() {
  RandomSource& rng = *RandomSource::for_current_thread();
  auto best_of = [](auto body) {
    double best = 1e300;
    for (int r = 0; r < 3; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      volatile double sink = body();
      (void)sink;
      best = std::min(best, seconds_since(t0) * 1e9 / 1e7);
    }
    return best;
  };
  const double normal = best_of([&] {
    double s = 0.0;
    for (int i = 0; i < 10000000; ++i) s += rng.standard_normal();
    return s;
  });
  const double draws = best_of([&] {
    double s = 0.0;
    for (int i = 0; i < 10000000; ++i) {
      s += rng.standard_normal();
      s += rng.standard_normal();
      s += rng.standard_normal();
      s += rng.standard_normal();
      s += rng.standard_normal();
      s += rng.standard_normal();
      s += rng.uniform01();
    }
    return s;
  });
  const double sin_walk = best_of([&] {
    double s = 0.0, th = 0.0;
    for (int i = 0; i < 10000000; ++i) {
      th = rng.standard_normal() * 3.141592653589793 + th;
      s += std::sin(th);
    }
    return s;
  });
  const double sincos3 = best_of([&] {
    double s = 0.0, a = 0.0, b = 0.0, c = 0.0;
    for (int i = 0; i < 10000000; ++i) {
      a = rng.standard_normal() * 3.141592653589793 + a;
      b = rng.standard_normal() * 3.141592653589793 + b;
      c = rng.standard_normal() * 3.141592653589793 + c;
      const EulerSinCos e = euler_sincos(a, b, c);
      s += e.st + e.cf + e.sp;
    }
    return s;
  });
  const TrigRoutines& trig = step_trig();
  const double sincos3_vector = best_of([&] {
    double s = 0.0, a = 0.0, b = 0.0, c = 0.0;
    for (int i = 0; i < 10000000; ++i) {
      a = rng.standard_normal() * 3.141592653589793 + a;
      b = rng.standard_normal() * 3.141592653589793 + b;
      c = rng.standard_normal() * 3.141592653589793 + c;
      const EulerSinCos e = trig.euler(a, b, c);
      s += e.st + e.cf + e.sp;
    }
    return s;
  });
  const double expm1_t = best_of([&] {
    double s = 0.0;
    for (int i = 0; i < 10000000; ++i) s += std::expm1(rng.standard_normal());
    return s;
  });
  std::fprintf(stderr, "parts: six normals + one uniform %.1f ns; sin of a wandering angle %.1f ns; "
               "three sin/cos pairs %.1f ns; expm1 %.1f ns (the last three include one normal, %.1f ns)\n",
               draws, sin_walk, sincos3, expm1_t, normal);
  std::fprintf(stderr, "  (three normals for the sin/cos pairs: subtract %.1f ns)\n", 3.0 * normal);
  std::fprintf(stderr, "  three sin/cos pairs in one call of the step's path (%d: 0 scalar, 1 AVX2, 2 AVX-512) "
               "%.1f ns\n", static_cast<int>(active_trig_path()), sincos3_vector);
}

void report(double run, double independent, double turned) {
  std::fprintf(stderr,
               "  run %.1f ns/step; unavoidable work %.1f ns/step with its parts independent (ratio %.3f), "
               "%.1f ns/step with the energy taken at the turned sites (ratio %.3f)\n",
               run, independent, run / independent, turned, run / turned);
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
  // One-site Lennard-Jones, sigma = 1, epsilon/k = 100 K: 4 eps (s^12/r^12 - s^6/r^6).
  const BmsRecord lj = make_bms({{0.0, 0.0, 0.0}}, {{0.0, 0.0, 0.0}}, {{PotK::r6r12(-400.0, 400.0)}});
  // A bent, neutral three-site molecule: partial charges (+0.6, -0.3, -0.3)
  // and Lennard-Jones terms on every site pair (all entries R1R6R12).
  const Molecule tri = {{0.0, 0.0, 0.0}, {0.8, 0.3, 0.0}, {-0.7, 0.4, 0.1}};
  const double q[3] = {0.6, -0.3, -0.3};
  SitePairTable t3(3, std::vector<PotK>(3));
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t3[i][j] = PotK::r1r6r12(2000.0 * q[i] * q[j], -120.0, 120.0);
  const BmsRecord three = make_bms(tri, tri, t3);

  time_parts();
  std::fprintf(stderr, "one-site LJ, T = 150 K, order_max = 2 (molecule 2 has its site at the origin: "
               "no rotation, only sin(theta))\n");
  const double lj_run = time_run(lj, 150.0, -1e4, 2, reps);
  report(lj_run, time_floor(lj, 150.0, reps, false), time_floor(lj, 150.0, reps, true));
  std::fprintf(stderr, "one-site LJ, T = 150 K, order_max = 0 (no exponential on acceptance)\n");
  std::fprintf(stderr, "  run %.1f ns/step\n", time_run(lj, 150.0, -1e4, 0, reps));
  std::fprintf(stderr, "three-site R1R6R12, T = 300 K, order_max = 2\n");
  const double tr_run = time_run(three, 300.0, -1e4, 2, reps);
  report(tr_run, time_floor(three, 300.0, reps, false), time_floor(three, 300.0, reps, true));
  return 0;
}
