// ns per sample of Uij::u_r for a pair of three-site molecules (a rigid
// water-like model: charges on every site pair, r^-6 and r^-12 between the
// first sites), with the parts of one sample timed separately.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "runtime/random_source.h"
#include "uij/pair_energy.h"
#include "uij/pair_kernel.h"
#include "uij/uij.h"

using namespace vica;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  const Molecule water = {{0.0, 0.0, 0.0}, {0.0, 0.757, 0.586}, {0.0, -0.757, 0.586}};
  const double qo = -0.834, qh = 0.417, k = 332.06 * 503.2;  // kelvin-like scale
  const double q[3] = {qo, qh, qh};
  SitePairTable table(3, std::vector<PotK>(3));
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) table[i][j] = PotK::r1(k * q[i] * q[j]);
  }
  table[0][0] = PotK::r1r6r12(k * qo * qo, -300000.0, 3.0e8);
  const Uij pair(PairRecord{water, water, table});

  const std::uint64_t num_inner = 200000, num_outer = 10;
  const double samples = double((10 + num_outer) * num_inner);
  double best = 1e300, result = 0.0;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    result = pair.u_r(3.5, 0.0, num_inner, num_outer, 1000000);
    const double ns = seconds_since(t0) * 1e9 / samples;
    if (ns < best) best = ns;
  }
  std::printf("u_r, 3x3 sites: %.1f ns per sample (best of 3; mean energy %.4f)\n", best, result);

  // The parts of one sample: five draws and two rotations; the energy.
  const std::shared_ptr<RandomSource> rng = RandomSource::for_current_thread();
  const std::size_t n = 2000000;
  double sink = 0.0;
  auto t0 = std::chrono::steady_clock::now();
  for (std::size_t s = 0; s < n; ++s) {
    const double a = rng->uniform01(), b = std::acos(1.0 - 2.0 * rng->uniform01()) / TWO_PI;
    const double c = rng->uniform01(), d = std::acos(1.0 - 2.0 * rng->uniform01()) / TWO_PI;
    const double e = rng->uniform01();
    const Rotation ri = rotation_from_angles(a * TWO_PI, b * TWO_PI);
    const Rotation rj = rotation_from_angles(c * TWO_PI, d * TWO_PI, e * TWO_PI);
    sink += ri.m[0] + rj.m[4];
  }
  const double draws_ns = seconds_since(t0) * 1e9 / double(n);
  const SiteArray w(water);
  SiteArray wi, wj;
  const PairKernel kernel(table, 3, 3);
  const Rotation ri = rotation_from_angles(0.3, 1.1);
  const Rotation rj = rotation_from_angles(0.7, 2.1, -0.4);
  t0 = std::chrono::steady_clock::now();
  for (std::size_t s = 0; s < n; ++s) {
    wi.assign_rotated(ri, w);
    wj.assign_rotated(rj, w);
    sink += kernel.energy(wi, wj, Site{0.0, 0.0, 3.5 + 1e-7 * double(s & 1023)});
  }
  const double energy_ns = seconds_since(t0) * 1e9 / double(n);
  std::printf("  draws + angles + two rotations: %.1f ns; turning + energy: %.1f ns (%g)\n", draws_ns,
              energy_ns, sink == 1.0 ? 1.0 : 0.0);
  return 0;
}
