// The process-wide standard-output writer for progress lines, and the run clock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vica {

// Writes finished lines to file descriptor 1 (the process's standard output,
// not the interpreter's sys.stdout).  One shared line-buffered writer guarded
// by a re-entrant lock: everything up to and including the last '\n' reaches
// the descriptor before print returns.  A missing or closed descriptor
// discards the text; any other write error is an internal failure
// "failed printing to stdout: ...".
class ProgressLog {
 public:
  static void print(std::string_view text);
};

struct Hms {
  std::uint64_t h;
  std::uint64_t m;
  std::uint64_t s;
};

// Whole seconds split into hours, minutes (0..59) and seconds (0..59); the
// nanoseconds are dropped, never rounded.
Hms split_hms(std::uint64_t seconds, std::uint32_t nanoseconds);

// One reading of the monotonic clock taken when a run starts.
class RunClock {
 public:
  static RunClock start();
  // Time since start(); a reading earlier than the start counts as zero.
  Hms elapsed_hms() const;

 private:
  RunClock(std::int64_t s, std::int64_t ns) : sec_(s), nsec_(ns) {}
  std::int64_t sec_;
  std::int64_t nsec_;
};

// The elapsed time of a run as a line shows it: "0h0m7s", "27h0m0s".
std::string hms_text(const RunClock& clock);

}  // namespace vica
