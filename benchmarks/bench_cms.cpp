// Time per step of Cms runs (dev_tol = 1e300: exactly 10 production blocks,
// 11,000,000 steps after the start search) beside the cost of the work every
// step must do: a coin, six normals and one uniform, three sin/cos pairs,
// two expm1 and the two pair energies of the moving molecule.
//
//   cmake --build build/dev --target bench_cms && build/dev/bench_cms > /dev/null
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cms/cms.h"
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

double time_run(const CmsRecord& rec, double t, std::uint64_t order_max, int reps) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<double> res = cms_run(rec, t, 1e300, order_max);
    const double s = seconds_since(t0);
    if (s < best) best = s;
    std::fprintf(stderr, "    run %d: %.3f s, C = %.6g\n", r, s, res[0]);
  }
  return best * 1e9 / kSteps;
}

// With `turned`, the second molecule's sites are turned by the step's rotation
// before its energy is taken, as in a real step: the pair energy then waits for
// the sines and cosines.  Without it every part is independent of the others
// and the processor overlaps them freely, which no step can do.
double time_floor(const CmsRecord& rec, double t, int reps, bool turned) {
  const SiteArray a(rec.mol1);
  const SiteArray b(rec.mol2);
  SiteArray b_turned(rec.mol2);
  const SiteArray c(rec.mol3);
  const PairKernel k12(rec.pair12.potk, rec.mol1.size(), rec.mol2.size());
  const PairKernel k23(rec.pair23.potk, rec.mol2.size(), rec.mol3.size());
  RandomSource& rng = *RandomSource::for_current_thread();
  const double bneg = -1.0 / t;
  const TrigRoutines& trig = step_trig();  // the run's sine/cosine path
  double best = 1e300;
  double sink = 0.0;
  for (int r = 0; r < reps; ++r) {
    double phi = 0.3, theta = 1.1, psi = -0.7, x = 1.0, y = 0.5, z = 0.2;
    const auto t0 = std::chrono::steady_clock::now();
    for (long s = 0; s < 11000000; ++s) {
      const bool coin = rng.coin();
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
      const SiteArray& bb = turned ? b_turned : b;
      const double u12 = k12.energy(a, bb, Site{px, py, pz});
      const double u23 = k23.energy(bb, c, Site{px - 0.5, py, pz});
      const double f = std::expm1(u12 * bneg) * std::expm1(u23 * bneg);
      const double big_u = rng.uniform01();
      sink += f + big_u + sc.st + sc.cf + sc.sp + (coin ? 1.0 : 0.0);
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

void report(double run, double independent, double turned) {
  std::fprintf(stderr,
               "  run %.1f ns/step; unavoidable work %.1f ns/step with its parts independent (ratio %.3f), "
               "%.1f ns/step with the energy taken at the turned sites (ratio %.3f)\n",
               run, independent, run / independent, turned, run / turned);
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
  const Molecule one = {{0.0, 0.0, 0.0}};
  const SitePairTable lj = {{PotK::r6r12(-400.0, 400.0)}};
  const CmsRecord lj3 = make_cms(one, one, one, lj, lj, lj);
  const Molecule tri = {{0.0, 0.0, 0.0}, {0.8, 0.3, 0.0}, {-0.7, 0.4, 0.1}};
  const double q[3] = {0.6, -0.3, -0.3};
  SitePairTable t3(3, std::vector<PotK>(3));
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t3[i][j] = PotK::r1r6r12(2000.0 * q[i] * q[j], -120.0, 120.0);
  const CmsRecord tri3 = make_cms(tri, tri, tri, t3, t3, t3);

  std::fprintf(stderr, "three one-site LJ, T = 150 K, order_max = 2\n");
  const double a = time_run(lj3, 150.0, 2, reps);
  report(a, time_floor(lj3, 150.0, reps, false), time_floor(lj3, 150.0, reps, true));
  std::fprintf(stderr, "three three-site R1R6R12, T = 300 K, order_max = 2\n");
  const double b = time_run(tri3, 300.0, 2, reps);
  report(b, time_floor(tri3, 300.0, reps, false), time_floor(tri3, 300.0, reps, true));
  return 0;
}
