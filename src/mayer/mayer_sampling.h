// The run skeleton shared by the second (Bms) and third (Cms) virial runs.
//
// A run of either class goes through the same phases:
//   ini  the walk finds a starting configuration (its own rule), then one
//        "[X::run::ini] sigma_hs=..,virial_hs=..,HhMmSs" line;
//   opt  ten tuning cycles of 100,000 Metropolis steps; after each one line
//        "[X::run::opt] scale=..,acceptance=1E-5*count,HhMmSs" and
//        scale *= 1 + clamp(count - 50000, -20000, 20000) / 100000;
//   run  production blocks of 1,000,000 steps.  Each step adds the reference
//        term g of the current configuration to Q and its term vector to V;
//        after block N the running means Q / (N 1e6) and V[0] / (N 1e6) go
//        to slot N mod 10 of two rings, and from block 10 on the ten ratios
//        give a mean m and a deviation d (root of the plain sum of squares);
//        the run stops when d < 1e4 * 2^-52 or dev_tol > d / |m|, or after
//        block 1000;
//   result  entry k = ((V[k] / Q) * virial_hs) / k!.
//
// A Walk supplies, for its own kind of configuration:
//   double sigma_hs() const, virial_hs() const;
//   void find_start(RandomSource&);          // ini; may throw RuntimeError
//   bool step(RandomSource&, double scale, bool draw_next);
//                                            // one trial move, true if accepted; with
//                                            // draw_next the draws that open the next
//                                            // step are taken at the end of this one
//                                            // (the stream order is unchanged)
//   void refresh_terms();                    // term vector and g of the current configuration
//   const double* terms() const;             // n_terms values
//   double reference_term() const;           // g
//   double mayer_value() const;              // f (Bms) or f12 f13 f23 (Cms) of the current configuration
// The walk holds every buffer it needs, allocated before the run starts; the
// skeleton allocates its sums and divisors before the clock starts, so a size
// that cannot be held fails before anything is printed.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "mayer/exact_integer.h"
#include "uij/molecule.h"
#include "uij/pair_energy.h"
#include "uij/pair_kernel.h"
#include "runtime/number_forms.h"
#include "runtime/progress_log.h"
#include "runtime/random_source.h"

namespace vica {

inline constexpr double kPi = 3.141592653589793;

// Draws of the ini search after which a run gives up.
inline constexpr std::uint64_t kStartDrawLimit = 10000000;

// Position and Euler angles (radians, unbounded) of a moving molecule, with
// the sine of theta that its rotation used.
struct Pose {
  double x, y, z;
  double phi, theta, psi;
};

// A fresh pose from six standard normals g1..g6, drawn in this order:
// position g1..g3 times sigma, angles g4..g6 times pi.
inline Pose draw_pose(RandomSource& rng, double sigma) {
  const double g1 = rng.standard_normal();
  const double g2 = rng.standard_normal();
  const double g3 = rng.standard_normal();
  const double g4 = rng.standard_normal();
  const double g5 = rng.standard_normal();
  const double g6 = rng.standard_normal();
  return Pose{g1 * sigma, g2 * sigma, g3 * sigma, g4 * kPi, g5 * kPi, g6 * kPi};
}

// The six standard normals g1..g6 of a trial move, drawn in this order.
struct MoveNormals {
  double g[6];
};
inline void draw_move_normals(RandomSource& rng, MoveNormals& m) {
  m.g[0] = rng.standard_normal();
  m.g[1] = rng.standard_normal();
  m.g[2] = rng.standard_normal();
  m.g[3] = rng.standard_normal();
  m.g[4] = rng.standard_normal();
  m.g[5] = rng.standard_normal();
}

// A trial pose from `cur` and the normals of the move:
// x' = x + (g1 sigma) scale, ..., phi' = g4 pi + phi, ...
inline Pose trial_pose(const MoveNormals& m, const Pose& cur, double sigma, double scale) {
  const double* g = m.g;
  return Pose{cur.x + (g[0] * sigma) * scale, cur.y + (g[1] * sigma) * scale, cur.z + (g[2] * sigma) * scale,
              g[3] * kPi + cur.phi,           g[4] * kPi + cur.theta,         g[5] * kPi + cur.psi};
}


// The pair energy of a walk: PairKernel::energy (small molecules on their
// own bodies), with the pair of two one-site molecules (one table entry)
// evaluated inline.  The single term
// follows pair_energy exactly: d = a - (b + o), r = sqrt((dx dx + dy dy) + dz dz)
// clamped to MIN_SITE_DISTANCE, the site energy of the entry, added to a row
// sum and to the total, both starting from -0.0.
class WalkPairEnergy {
 public:
  // Throws what PairKernel throws for a table too small for the molecules.
  // The path of the several-term sums is the one active when the walk is
  // built, taken once for the whole run (every path gives the same bits).
  WalkPairEnergy(const SitePairTable& table, std::size_t n_first, std::size_t n_second)
      : kernel_(table, n_first, n_second), single_(n_first == 1 && n_second == 1) {
    if (single_) entry_ = table[0][0];
    direct_ = !single_ && !kernel_.never_interacts();
    if (direct_) {
      const KernelPath path = active_kernel_path();
      sum_ = kernel_.implementation_for(path);
      turned_ = kernel_.turned_implementation_for(path);
      view_ = kernel_.view();
    }
  }
  // The view points into the kernel's own tables.
  WalkPairEnergy(const WalkPairEnergy&) = delete;
  WalkPairEnergy& operator=(const WalkPairEnergy&) = delete;

  bool never_interacts() const { return kernel_.never_interacts(); }

  // `src` turned by `rot` into `out` (another array of src's size), then
  // energy(first, out, o); small molecules take both in one pass.
  [[gnu::always_inline]] inline double energy_turned(const Rotation& rot, const SiteArray& src, SiteArray& out,
                                                     const SiteArray& first, Site o) const {
    if (turned_ != nullptr) return turned_(view_, rot, src, out, first, o);
    out.assign_rotated(rot, src);
    return energy(first, out, o);
  }

  // Inlined into every step (the one-term case is a few operations).
  [[gnu::always_inline]] inline double energy(const SiteArray& first, const SiteArray& second, Site o) const {
    if (direct_) return sum_(view_, first, second, o);
    if (!single_) return kernel_.energy(first, second, o);
    const double dx = first.x()[0] - (second.x()[0] + o.x);
    const double dy = first.y()[0] - (second.y()[0] + o.y);
    const double dz = first.z()[0] - (second.z()[0] + o.z);
    double r = std::sqrt((dx * dx + dy * dy) + dz * dz);
    if (!(r > MIN_SITE_DISTANCE)) r = MIN_SITE_DISTANCE;
    return -0.0 + (-0.0 + single_term(r));
  }

 private:
  double single_term(double r) const {
    const PotK& k = entry_;
    switch (k.tag) {
      case PotKind::R0:
        return 0.0;
      case PotKind::R1:
        return k._0 / r;
      default:
        break;
    }
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double r6 = r2 * r4;
    const double r12 = (r4 * r4) * r4;
    const double i6 = 1.0 / r6;
    const double i12 = 1.0 / r12;
    if (k.tag == PotKind::R6R12) return k._0 * i6 + k._1 * i12;
    return (k._0 / r + k._1 * i6) + k._2 * i12;
  }

  PairKernel kernel_;
  bool single_;
  PotK entry_;
  bool direct_ = false;  // several terms, some of them interacting: sum_ on view_
  PairKernel::Implementation sum_ = nullptr;
  PairKernel::TurnedImplementation turned_ = nullptr;  // small molecules on a vector path
  PairKernel::View view_{};
};

// -1 / t_kelvin, after refusing (ValueError naming t_kelvin and its value) a
// temperature that is not a finite number greater than 0.
double negative_inverse_temperature(const char* class_name, double t_kelvin);

// order_max + 1, or MemoryError when lists of that many terms cannot exist.
std::size_t term_count(const char* class_name, std::uint64_t order_max);

// Refuses, with MemoryError, a run whose buffers would need more bytes
// than the machine has memory (so an oversized order fails cleanly instead
// of being stopped half-way through filling its buffers).
void require_run_memory(const char* class_name, std::uint64_t order_max, double bytes);

// Sign of a value as a term: +1.0 when its sign bit is clear, -1.0 when set,
// NaN for NaN.
inline double sign_term(double x) {
  if (std::isnan(x)) return x;
  return std::signbit(x) ? -1.0 : 1.0;
}

// e^t from the platform's exp.  Below -746 the result underflows to +0.0
// (e^t is under half the smallest subnormal); that value is given without
// the call, whose underflow path is slow.
inline double exp_of(double t) { return t < -746.0 ? 0.0 : std::exp(t); }

std::string block_number_text(std::uint64_t n);

// A run whose current Mayer value, reference sum Q or a term sum V[k] is NaN
// or infinite can never give a finite estimate again: with a non-finite
// current value no trial is ever accepted (|f' / f| is 0 or NaN), and a
// non-finite sum stays non-finite.  Checked at the end of every opt cycle
// (Mayer value only) and production block; a Q still at 0.0 is no such case.
[[noreturn]] void stop_non_finite_run(const char* class_name, const char* phase, std::uint64_t number,
                                      double mayer, const double* sums, std::size_t n, double q);

inline void check_finite_run(const char* class_name, const char* phase, std::uint64_t number, double mayer,
                             const double* sums, std::size_t n, double q) {
  bool finite = std::isfinite(mayer) && std::isfinite(q);
  for (std::size_t k = 0; k < n; ++k) finite = finite && std::isfinite(sums[k]);
  if (!finite) [[unlikely]] stop_non_finite_run(class_name, phase, number, mayer, sums, n, q);
}

// The stop statistic of a run: the mean of the last ten running ratios (value over
// reference, slot by slot) and the square root of the sum of their squared deviations.
struct RingSpread {
  double mean;
  double deviation;
};

inline RingSpread ring_spread(const double (&value)[10], const double (&reference)[10]) {
  double r[10];
  for (int s = 0; s < 10; ++s) r[s] = value[s] / reference[s];
  double m = r[0];
  for (int s = 1; s < 10; ++s) m = m + r[s];
  m = m / 10.0;
  double sq = 0.0;
  for (int s = 0; s < 10; ++s) sq = sq + (r[s] - m) * (r[s] - m);
  return {m, std::sqrt(sq)};
}

// A run stops once the spread is tiny, or small relative to the mean (NaN never stops it).
inline bool ring_converged(const RingSpread& spread, double dev_tol) {
  return spread.deviation < 2.220446049250313e-12 || dev_tol > spread.deviation / std::fabs(spread.mean);
}

struct MayerRunSums {
  std::vector<double> sums;      // V
  std::vector<double> divisors;  // k!
  explicit MayerRunSums(std::size_t n_terms) : sums(n_terms, 0.0), divisors(exact_factorials(n_terms)) {}
};

template <class Walk>
std::vector<double> run_mayer_sampling(Walk& walk, const char* class_name, RandomSource& rng,
                                       const RunClock& clock, double dev_tol, MayerRunSums& acc) {
  const std::string tag = std::string("[") + class_name + "::run::";
  const std::size_t n = acc.sums.size();

  // ini
  walk.find_start(rng);
  ProgressLog::print(tag + "ini] sigma_hs=" + fmt_fixed(walk.sigma_hs(), 6) +
                     ",virial_hs=" + fmt_fixed(walk.virial_hs(), 6) + "," + hms_text(clock) + "\n");

  // opt
  double scale = 1.0;
  for (int cycle = 0; cycle < 10; ++cycle) {
    std::int32_t count = 0;
    for (int s = 0; s < 100000; ++s) {
      if (walk.step(rng, scale, true)) ++count;
    }
    ProgressLog::print(tag + "opt] scale=" + fmt_fixed(scale, 6) + ",acceptance=1E-5*" +
                       std::to_string(count) + "," + hms_text(clock) + "\n");
    check_finite_run(class_name, "opt cycle", static_cast<std::uint64_t>(cycle + 1), walk.mayer_value(),
                     nullptr, 0, 0.0);
    std::int32_t excess = count - 50000;
    if (excess < -20000) excess = -20000;
    if (excess > 20000) excess = 20000;
    scale = (static_cast<double>(excess) / 100000.0 + 1.0) * scale;
  }

  // run
  walk.refresh_terms();
  double* const sums = acc.sums.data();
  double q = 0.0;
  double ring_ref[10] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double ring_sgn[10] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::uint64_t block = 1; block <= 1000; ++block) {
    for (int s = 0; s < 1000000; ++s) {
      if (walk.step(rng, scale, s + 1 < 1000000)) walk.refresh_terms();
      q += walk.reference_term();
      const double* v = walk.terms();
      for (std::size_t k = 0; k < n; ++k) sums[k] += v[k];
    }
    const double steps = static_cast<double>(block * 1000000);
    ring_ref[block % 10] = q / steps;
    ring_sgn[block % 10] = sums[0] / steps;
    check_finite_run(class_name, "production block", block, walk.mayer_value(), sums, n, q);
    if (block <= 9) {
      ProgressLog::print(tag + "run] i=" + block_number_text(block) + "*1E6, " + hms_text(clock) + "\n");
      continue;
    }
    const RingSpread spread = ring_spread(ring_sgn, ring_ref);
    ProgressLog::print(tag + "run] i=" + block_number_text(block) + "*1E6, fraction=" + fmt_fixed(spread.mean, 4) +
                       ", deviation=" + fmt_fixed(spread.deviation, 4) + ", " + hms_text(clock) + "\n");
    if (ring_converged(spread, dev_tol)) break;
  }

  for (std::size_t k = 0; k < n; ++k) sums[k] = ((sums[k] / q) * walk.virial_hs()) / acc.divisors[k];
  return std::move(acc.sums);
}

}  // namespace vica
