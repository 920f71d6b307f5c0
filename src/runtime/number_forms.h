// The text forms in which numbers appear in progress lines.
//
//   integer : std::to_string
//   plain   : shortest round-trip digits, positional, never an exponent ("1", "0.1", "-0")
//   fixed   : exact value rounded to `digits` places, ties to even ("0.5000", "-0.0000")
//   debug   : as plain with at least one digit after the point, exponent form
//             ("1e-5", "1.5e16") for non-zero magnitudes below 1e-4 or from 1e16 on
//   list    : "[" debug forms joined by ", " "]"
// NaN prints "NaN" and the infinities "inf" / "-inf" in every float form.
#pragma once

#include <span>
#include <string>

namespace vica {

std::string fmt_plain(double x);
std::string fmt_fixed(double x, int digits);
std::string fmt_debug(double x);
std::string fmt_list(std::span<const double> xs);

}  // namespace vica
