#include "mayer/mayer_sampling.h"

#include <unistd.h>

#include <limits>
#include <stdexcept>

#include "runtime/failure.h"

namespace vica {

double negative_inverse_temperature(const char* class_name, double t_kelvin) {
  if (!(std::isfinite(t_kelvin) && t_kelvin > 0.0)) {
    throw ValueError(std::string(class_name) + ".run(): t_kelvin must be a finite number greater than 0, got " +
                     fmt_debug(t_kelvin));
  }
  return -1.0 / t_kelvin;
}

std::size_t term_count(const char* class_name, std::uint64_t order_max) {
  if (order_max >= std::numeric_limits<std::size_t>::max() / sizeof(double)) {
    throw MemoryError(std::string(class_name) + ".run(): order_max = " + std::to_string(order_max) +
                      " is too large: lists of order_max + 1 terms cannot be held");
  }
  return static_cast<std::size_t>(order_max) + 1;
}

void require_run_memory(const char* class_name, std::uint64_t order_max, double bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return;
  const double memory = static_cast<double>(pages) * static_cast<double>(page_size);
  if (!(bytes <= memory)) {
    throw MemoryError(std::string(class_name) + ".run(): order_max = " + std::to_string(order_max) +
                      " needs about " + fmt_fixed(bytes / 1073741824.0, 1) + " GiB for its buffers, more than the " +
                      fmt_fixed(memory / 1073741824.0, 1) + " GiB of memory this machine has");
  }
}

namespace {

// A double as Python prints the special values.
std::string value_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  return fmt_debug(x);
}

}  // namespace

void stop_non_finite_run(const char* class_name, const char* phase, std::uint64_t number, double mayer,
                         const double* sums, std::size_t n, double q) {
  const bool three = std::string(class_name) == "Cms";
  std::string what;
  auto add = [&what](const std::string& part) { what += (what.empty() ? "" : ", ") + part; };
  if (!std::isfinite(mayer)) {
    add(std::string(three ? "the current Mayer product f12 f13 f23 = " : "the current Mayer value f = ") +
        value_text(mayer));
  }
  if (!std::isfinite(q)) add("the reference sum Q = " + value_text(q));
  std::size_t bad = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (std::isfinite(sums[k])) continue;
    if (bad == 0) add("the term sum V[" + std::to_string(k) + "] = " + value_text(sums[k]));
    ++bad;
  }
  if (bad > 1) what += " and " + std::to_string(bad - 1) + " more term sums";
  throw FloatingPointError(
      std::string(class_name) + ".run(): non-finite values at the end of " + phase + " " + std::to_string(number) +
      " (" + what + "): " +
      (std::isfinite(mayer) ? "" : "no trial move can be accepted any more, so ") +
      "the estimate cannot become finite again. Likely cause: energies too large for t_kelvin, so that exp(-u/T) overflows (-u/T above about "
      "709.78: a t_kelvin far below the depth of the potential's well, or energies not in kelvin), or "
      "energies that are themselves infinite or NaN (site-site terms beyond the range of a double)");
}

std::string block_number_text(std::uint64_t n) {
  std::string s = std::to_string(n);
  if (s.size() < 4) s.insert(0, 4 - s.size(), '0');
  return s;
}

}  // namespace vica
