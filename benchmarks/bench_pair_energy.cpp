// ns per site pair of the pair energy, R1R6R12 entries, for molecules of
// 1x1, 3x3, 5x5 and 12x12 sites (and 1x12, 12x1): a plain scalar loop over the molecules and
// the table, the reference pair_energy, and PairKernel on each path the CPU
// runs.  Every result is compared bit for bit with the plain loop.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "uij/pair_energy.h"
#include "uij/pair_kernel.h"

using namespace vica;

namespace {

// The plain scalar loop: the sum as written, over the molecules and the table.
__attribute__((noinline)) double plain_loop(const SitePairTable& t, const Molecule& a,
                                            const Molecule& b, Site o) {
  double total = -0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    double row = -0.0;
    for (std::size_t j = 0; j < b.size(); ++j) {
      const double dx = a[i].x - (b[j].x + o.x);
      const double dy = a[i].y - (b[j].y + o.y);
      const double dz = a[i].z - (b[j].z + o.z);
      double r = std::sqrt((dx * dx + dy * dy) + dz * dz);
      if (!(r > MIN_SITE_DISTANCE)) r = MIN_SITE_DISTANCE;
      const PotK& k = t[i][j];
      const double r2 = r * r;
      const double r4 = r2 * r2;
      const double r6 = r2 * r4;
      const double r12 = (r4 * r4) * r4;
      row = row + ((k._0 / r + k._1 * (1.0 / r6)) + k._2 * (1.0 / r12));
    }
    total = total + row;
  }
  return total;
}

std::uint64_t bits(double x) {
  std::uint64_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

template <class F>
double time_ns(F&& f, std::size_t calls, std::size_t repeats) {
  double best = 1e300;
  for (std::size_t rep = 0; rep < repeats; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / double(calls);
    if (ns < best) best = ns;
  }
  return best;
}

}  // namespace

int main() {
  std::mt19937_64 gen(12345);
  std::uniform_real_distribution<double> coord(-1.5, 1.5);
  std::uniform_real_distribution<double> coef(-2.0, 2.0);
  std::uniform_real_distribution<double> angle(0.0, 6.283185307179586);
  bool all_equal = true;
  constexpr std::size_t kConfigs = 256;
  std::printf("%-6s %12s %12s", "sites", "plain ns", "reference ns");
  const KernelPath paths[] = {KernelPath::portable, KernelPath::avx2, KernelPath::avx512};
  const char* names[] = {"portable", "avx2", "avx512"};
  for (int p = 0; p < 3; ++p) {
    if (kernel_path_supported(paths[p])) std::printf(" %10s ns", names[p]);
  }
  std::printf("   best/plain  (per site pair; best of repeats)\n");

  const std::size_t shapes[][2] = {{1, 1}, {3, 3}, {5, 5}, {12, 12}, {1, 12}, {12, 1}};
  for (const auto& shape : shapes) {
    const std::size_t n = shape[0], m = shape[1];
    Molecule a(n), b(m);
    for (Site& s : a) s = Site{coord(gen), coord(gen), coord(gen)};
    for (Site& s : b) s = Site{coord(gen), coord(gen), coord(gen)};
    SitePairTable table(n, std::vector<PotK>(m));
    for (auto& row : table)
      for (PotK& k : row) k = PotK::r1r6r12(coef(gen), coef(gen), std::fabs(coef(gen)));
    // Turned copies of both molecules and offsets along z, as in a sampling run.
    std::vector<Molecule> as, bs;
    std::vector<SiteArray> aa, ba;
    std::vector<Site> offs;
    for (std::size_t c = 0; c < kConfigs; ++c) {
      const Rotation ra = rotation_from_angles(angle(gen), angle(gen));
      const Rotation rb = rotation_from_angles(angle(gen), angle(gen), angle(gen));
      as.push_back(rotate_sites(ra, a));
      bs.push_back(rotate_sites(rb, b));
      aa.emplace_back(as.back());
      ba.emplace_back(bs.back());
      offs.push_back(Site{0.0, 0.0, 3.0 + 0.01 * double(c)});
    }
    const PairKernel kernel(table, n, m);

    // Bit-for-bit check over all configurations.
    for (std::size_t c = 0; c < kConfigs; ++c) {
      const std::uint64_t want = bits(plain_loop(table, as[c], bs[c], offs[c]));
      bool ok = bits(pair_energy(table, as[c], bs[c], offs[c])) == want;
      for (KernelPath p : paths) {
        if (kernel_path_supported(p)) ok = ok && bits(kernel.energy_on(p, aa[c], ba[c], offs[c])) == want;
      }
      if (!ok) {
        all_equal = false;
        std::printf("MISMATCH %zux%zu config=%zu\n", n, m, c);
      }
    }

    const std::size_t rounds = 12'000'000 / (n * m * kConfigs) + 1;
    const std::size_t calls = rounds * kConfigs;
    const double pairs = double(n * m);
    volatile double sink = 0.0;
    const double plain = time_ns(
        [&] {
          double s = 0.0;
          for (std::size_t r = 0; r < rounds; ++r)
            for (std::size_t c = 0; c < kConfigs; ++c) s += plain_loop(table, as[c], bs[c], offs[c]);
          sink = s;
        },
        calls, 5) / pairs;
    const double ref = time_ns(
        [&] {
          double s = 0.0;
          for (std::size_t r = 0; r < rounds; ++r)
            for (std::size_t c = 0; c < kConfigs; ++c) s += pair_energy(table, as[c], bs[c], offs[c]);
          sink = s;
        },
        calls, 5) / pairs;
    std::printf("%2zux%-3zu %12.3f %12.3f", n, m, plain, ref);
    double best = 1e300;
    for (KernelPath p : paths) {
      if (!kernel_path_supported(p)) continue;
      const double t = time_ns(
          [&] {
            double s = 0.0;
            for (std::size_t r = 0; r < rounds; ++r)
              for (std::size_t c = 0; c < kConfigs; ++c) s += kernel.energy_on(p, aa[c], ba[c], offs[c]);
            sink = s;
          },
          calls, 5) / pairs;
      if (t < best) best = t;
      std::printf(" %13.3f", t);
    }
    std::printf("   %6.2fx\n", plain / best);
    (void)sink;
  }
  std::printf("results identical bit for bit: %s\n", all_equal ? "yes" : "NO");
  return all_equal ? 0 : 1;
}
