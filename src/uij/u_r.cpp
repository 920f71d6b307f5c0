// Uij::u_r: the plain mean of the pair energy over random orientations.
// (Waits for the per-thread random source.)
#include "runtime/failure.h"
#include "uij/uij.h"

namespace vica {

double Uij::u_r(double, double, std::uint64_t, std::uint64_t, std::uint64_t) const {
  fail("Uij.u_r is not available in this build");
}

}  // namespace vica
