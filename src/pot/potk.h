// The law of one site-site interaction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vica {

enum class PotKind : std::uint8_t { R0 = 0, R1 = 1, R6R12 = 2, R1R6R12 = 3 };

// A tagged value: R0 (no interaction), R1 (_0 / r), R6R12 (_0 r^-6 + _1 r^-12)
// and R1R6R12 (_0 r^-1 + _1 r^-6 + _2 r^-12).  Slots beyond a kind's
// parameter count hold 0.0 and are never read.
struct PotK {
  PotKind tag = PotKind::R0;
  double _0 = 0.0;
  double _1 = 0.0;
  double _2 = 0.0;

  static constexpr PotK r0() { return PotK{}; }
  static constexpr PotK r1(double a) { return PotK{PotKind::R1, a, 0.0, 0.0}; }
  static constexpr PotK r6r12(double a, double b) { return PotK{PotKind::R6R12, a, b, 0.0}; }
  static constexpr PotK r1r6r12(double a, double b, double c) {
    return PotK{PotKind::R1R6R12, a, b, c};
  }

  std::size_t param_count() const { return static_cast<std::size_t>(tag); }
  double param(std::size_t i) const { return i == 0 ? _0 : i == 1 ? _1 : _2; }
};

// The flag constructor: "R1R6R12" with three numbers, "R6R12" with two and
// "R1" with one give that kind; anything else prints the refusal line
// "Err<PotK::...(list)> => PotK::R0" to standard output and gives R0.
PotK potk_from_flag(std::string_view flag, std::span<const double> r);

}  // namespace vica
