// Cost of the generator's draws: nanoseconds per next_u64 and per
// standard_normal, amortised over many draws (refills and rekeys included),
// for each ChaCha path this processor can run.
//
//   bench_random [draws]      (default 100,000,000 per measurement)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/random_source.h"

namespace {

using vica::RandomSource;
using vica::detail::ChachaPath;

const char* path_name(ChachaPath p) {
  switch (p) {
    case ChachaPath::portable: return "portable";
    case ChachaPath::avx2: return "avx2";
    case ChachaPath::avx512: return "avx512";
  }
  return "?";
}

template <class F>
double best_ns_per_draw(long draws, int repeats, F&& body) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    body(draws);
    const auto t1 = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / draws;
    if (ns < best) best = ns;
  }
  return best;
}

volatile std::uint64_t g_sink_u64;
volatile double g_sink_f64;

}  // namespace

int main(int argc, char** argv) {
  const long draws = argc > 1 ? std::atol(argv[1]) : 100000000L;
  const int repeats = 3;
  std::array<std::uint8_t, 32> key{};
  for (int k = 0; k < 32; ++k) key[k] = static_cast<std::uint8_t>(k * 7 + 1);

  std::printf("dispatched path: %s\n", path_name(vica::detail::best_chacha_path()));
  std::printf("%-10s %16s %22s\n", "path", "ns/next_u64", "ns/standard_normal");
  for (ChachaPath p : {ChachaPath::portable, ChachaPath::avx2, ChachaPath::avx512}) {
    if (!vica::detail::chacha_path_available(p)) continue;
    vica::detail::set_active_chacha_path(p);
    RandomSource rng(key);
    const double u64_ns = best_ns_per_draw(draws, repeats, [&](long n) {
      std::uint64_t acc = 0;
      for (long k = 0; k < n; ++k) acc ^= rng.next_u64();
      g_sink_u64 = acc;
    });
    const double normal_ns = best_ns_per_draw(draws, repeats, [&](long n) {
      double acc = 0.0;
      for (long k = 0; k < n; ++k) acc += rng.standard_normal();
      g_sink_f64 = acc;
    });
    std::printf("%-10s %16.3f %22.3f\n", path_name(p), u64_ns, normal_ns);
  }
  return 0;
}
