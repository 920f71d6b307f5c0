// The Metropolis test of a trial move, decided from an estimate of the
// trial's Mayer value wherever the estimate's error cannot change the answer.
//
// The rule is exact: accept when |m' / m| * |st' / st| > U, m' being the
// trial's Mayer value (Bms: f' = expm1(t'), or -1 for an inadmissible trial;
// Cms: the product of its three Mayer values), m the current one, st' and st
// the sines of theta of the moved molecule.  Its cost is dominated by expm1
// (and two divisions), which the step would otherwise wait for before it can
// branch.  Here the step first forms
//     x = |m'_est| * |st'|        and    y = (U * |m|) * |st|,
// with m'_est built from expm1_estimate (relative error below 1e-9, see
// below) in the same way as m' from expm1.  When x exceeds y by more than a
// relative margin of 2^-20 the exact rule accepts, when it falls short by
// more than that margin the exact rule rejects; only in between, or when a
// value lies outside the range where the error bounds hold, does the walk
// evaluate the rule as written.  Either way the decision is the one the
// rule as written makes, so a walk follows its random stream exactly as
// before: m' itself is still expm1 of t' (taken only for a trial that is
// accepted or undecided), the draws keep their order, and nothing else
// changes.
//
// Why the margin suffices: with every factor of x, and st, within
// [1e-100, 1e100] (checked by `moderate`) and x, y within [1e-250, 1e250], no
// product underflows or overflows, so x and y carry a relative rounding error
// of a few 2^-53, the estimate 1e-9 and the platform's expm1 at most a few
// ulp.  Together that is below 2e-9, far inside 2^-20 (about 9.5e-7).  The
// exact comparison fl(fl(|m'| / |m|) * fl(|st'| / |st|)) > U is monotone in
// |m'|, and at |m'| = U |m| |st / st'| (1 +- 2^-21) its operands are normal
// numbers (a U of 0 gives y = 0, which is left undecided; any other U is at
// least 2^-53), so its three roundings cannot reach U.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace vica {

namespace detail {
// 2^(i / 256) for i = 0..255.
extern const double kExp2Fraction[256];
}  // namespace detail

// e^t - 1 with a relative error below 1e-9 for t <= 700 (arguments below
// -700 give -1, as e^t is then under 1e-304); NaN for t > 700 and for NaN.
// It is t = (n / 256) ln 2 + r with |r| <= ln 2 / 512 (r to within 2e-13),
// e^r - 1 from three terms of its series (error under r^4 / 24 < 1.5e-13),
// s = 2^(n / 256) from the table and the exponent, and
// e^t - 1 = (s - 1) + s (e^r - 1); with n = 0 the result is the series
// itself, so small |t| keeps its relative accuracy.
inline double expm1_estimate(double t) {
  if (t < -700.0) t = -700.0;
  if (!(t <= 700.0)) return std::numeric_limits<double>::quiet_NaN();
  constexpr double kShifter = 6755399441055744.0;         // 1.5 * 2^52: rounds to an integer
  constexpr double kInvStep = 369.3299304675746;          // 256 / ln 2
  constexpr double kStep = 0.0027076061740622863;         // ln 2 / 256 (error about 1e-19)
  const double shifted = t * kInvStep + kShifter;
  const double kn = shifted - kShifter;
  // The low mantissa bits of `shifted` hold 2^51 + n.
  const std::int64_t n =
      static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(shifted) & 0xFFFFFFFFFFFFFull) - (std::int64_t{1} << 51);
  // |n| < 2^18, so kn kStep and r carry absolute errors below 2e-13.
  const double r = t - kn * kStep;
  const double er = r + (r * r) * (0.5 + r * (1.0 / 6.0));
  const std::uint64_t exponent = static_cast<std::uint64_t>((n >> 8) + 1023) << 52;
  const double s = std::bit_cast<double>(exponent) * detail::kExp2Fraction[n & 255];
  return (s - 1.0) + s * er;
}

// A factor that may enter x: its magnitude lies in [1e-100, 1e100].
inline bool moderate(double v) {
  const double m = std::fabs(v);
  return m >= 1e-100 && m <= 1e100;
}

enum class Verdict : int { reject = -1, undecided = 0, accept = 1 };

// The decision from x = |m'_est| |st'| and y = (U |m|) |st|, or undecided.
inline Verdict estimated_verdict(double x, double y) {
  constexpr double kAbove = 1.0 + 0x1p-20;
  constexpr double kBelow = 1.0 - 0x1p-20;
  if (!(x >= 1e-250 && x <= 1e250 && y >= 1e-250 && y <= 1e250)) return Verdict::undecided;
  if (x > y * kAbove) return Verdict::accept;
  if (x < y * kBelow) return Verdict::reject;
  return Verdict::undecided;
}

// Whether walks built from now on decide every trial with the rule as
// written (for tests that compare the two ways; off by default).
bool exact_acceptance_only();
void set_exact_acceptance_only(bool on);

}  // namespace vica
