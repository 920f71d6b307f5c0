#include "runtime/number_forms.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace vica {
namespace {

// NaN and the infinities are written the same way in every float form.
bool special(double x, std::string& out) {
  if (std::isnan(x)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(x)) {
    out = x < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

template <class... Args>
std::string to_chars_string(double x, Args... args) {
  // 1e308 written positionally with its digits after the point needs a few
  // hundred characters; grow until it fits.
  std::string out(64, '\0');
  for (;;) {
    auto res = std::to_chars(out.data(), out.data() + out.size(), x, args...);
    if (res.ec == std::errc()) {
      out.resize(static_cast<std::size_t>(res.ptr - out.data()));
      return out;
    }
    out.resize(out.size() * 2);
  }
}

}  // namespace

std::string fmt_plain(double x) {
  std::string out;
  if (special(x, out)) return out;
  return to_chars_string(x, std::chars_format::fixed);
}

std::string fmt_fixed(double x, int digits) {
  std::string out;
  if (special(x, out)) return out;
  return to_chars_string(x, std::chars_format::fixed, digits);
}

std::string fmt_debug(double x) {
  std::string out;
  if (special(x, out)) return out;
  const double mag = std::fabs(x);
  if (mag != 0.0 && (mag < 1e-4 || mag >= 1e16)) {
    // Shortest digits in scientific form ("1.5e+16", "1e-05"), then the
    // exponent rewritten without '+' and without zero padding.
    std::string sci = to_chars_string(x, std::chars_format::scientific);
    const auto e = sci.find('e');
    const int exponent = std::atoi(sci.c_str() + e + 1);
    return sci.substr(0, e) + "e" + std::to_string(exponent);
  }
  out = to_chars_string(x, std::chars_format::fixed);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string fmt_list(std::span<const double> xs) {
  std::string out = "[";
  for (std::size_t i = 0; i < xs.size(); ++i) {
    if (i != 0) out += ", ";
    out += fmt_debug(xs[i]);
  }
  out += "]";
  return out;
}

}  // namespace vica
