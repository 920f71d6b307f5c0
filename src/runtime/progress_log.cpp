#include "runtime/progress_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unistd.h>

#include "runtime/failure.h"

namespace vica {
namespace {

class StdoutWriter {
 public:
  void print(std::string_view text) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    buffer_.append(text);
    const auto last_newline = buffer_.rfind('\n');
    if (last_newline != std::string::npos) {
      flush_through(last_newline + 1);
    } else if (buffer_.size() >= kCapacity) {
      flush_through(buffer_.size());
    }
  }

 private:
  static constexpr std::size_t kCapacity = 1024;

  void flush_through(std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(1, buffer_.data() + done, n - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        buffer_.erase(0, n);
        if (err == EBADF) return;  // no standard output: the text is dropped
        fail("failed printing to stdout: " + std::string(std::strerror(err)) + " (os error " +
             std::to_string(err) + ")");
      }
      done += static_cast<std::size_t>(w);
    }
    buffer_.erase(0, n);
  }

  std::recursive_mutex lock_;
  std::string buffer_;
};

StdoutWriter& writer() {
  static StdoutWriter* w = new StdoutWriter();  // lives for the whole process
  return *w;
}

}  // namespace

void ProgressLog::print(std::string_view text) { writer().print(text); }

Hms split_hms(std::uint64_t seconds, std::uint32_t /*nanoseconds*/) {
  return Hms{seconds / 3600, (seconds % 3600) / 60, seconds % 60};
}

RunClock RunClock::start() {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) fail("failed to read the monotonic clock");
  return RunClock(ts.tv_sec, ts.tv_nsec);
}

Hms RunClock::elapsed_hms() const {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) fail("failed to read the monotonic clock");
  std::int64_t s = ts.tv_sec - sec_;
  std::int64_t ns = ts.tv_nsec - nsec_;
  if (ns < 0) {
    ns += 1000000000;
    s -= 1;
  }
  if (s < 0) return split_hms(0, 0);
  return split_hms(static_cast<std::uint64_t>(s), static_cast<std::uint32_t>(ns));
}

std::string hms_text(const RunClock& clock) {
  const Hms t = clock.elapsed_hms();
  return std::to_string(t.h) + "h" + std::to_string(t.m) + "m" + std::to_string(t.s) + "s";
}

}  // namespace vica
