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

std::string block_number_text(std::uint64_t n) {
  std::string s = std::to_string(n);
  if (s.size() < 4) s.insert(0, 4 - s.size(), '0');
  return s;
}

}  // namespace vica
