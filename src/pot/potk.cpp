#include "pot/potk.h"

#include <string>

#include "runtime/number_forms.h"
#include "runtime/progress_log.h"

namespace vica {
namespace {

PotK refuse(const char* name, std::span<const double> r) {
  ProgressLog::print(std::string("Err<PotK::") + name + "(" + fmt_list(r) + ")> => PotK::R0\n");
  return PotK::r0();
}

}  // namespace

PotK potk_from_flag(std::string_view flag, std::span<const double> r) {
  if (flag == "R1R6R12") {
    return r.size() == 3 ? PotK::r1r6r12(r[0], r[1], r[2]) : refuse("R1R6R12", r);
  }
  if (flag == "R6R12") {
    return r.size() == 2 ? PotK::r6r12(r[0], r[1]) : refuse("R6R12", r);
  }
  if (flag == "R1") {
    return r.size() == 1 ? PotK::r1(r[0]) : refuse("R1", r);
  }
  return refuse("R?", r);
}

}  // namespace vica
