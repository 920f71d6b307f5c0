#include "runtime/random_source.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include "runtime/chacha_simd.h"
#include "runtime/failure.h"

namespace vica {

namespace detail {
namespace {

// ---------------------------------------------------------------------------
// Ziggurat tables

constexpr double kZigguratV = 0.00492867323399;

double normal_density_shape(double x) { return std::exp(-(x * x) / 2.0); }

ZigguratTables make_ziggurat_tables() {
  // Read through volatile so that the tables come from the platform's
  // mathematics library when the library is loaded, never from the
  // compiler's own constant folding of exp, log and sqrt.
  static const volatile double volatile_r = kZigguratR;
  static const volatile double volatile_v = kZigguratV;
  const double r = volatile_r;
  const double v = volatile_v;
  ZigguratTables t{};
  t.x[0] = v / normal_density_shape(r);
  t.x[1] = r;
  // The layer above x[256] = 0 would need a logarithm of a number a little
  // above one; its edge is zero by definition.
  for (int i = 1; i < 255; ++i) {
    t.x[i + 1] = std::sqrt(-2.0 * std::log(v / t.x[i] + normal_density_shape(t.x[i])));
  }
  t.x[256] = 0.0;
  for (int i = 0; i < 256; ++i) t.f[i] = normal_density_shape(t.x[i]);
  t.f[256] = 1.0;
  return t;
}

// ---------------------------------------------------------------------------
// ChaCha block function

inline std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 16);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 12);
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 8);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 7);
}

void chacha12_batch_portable(const std::uint32_t* input, std::uint32_t* out) {
  std::uint32_t block_input[16];
  std::memcpy(block_input, input, sizeof block_input);
  std::uint64_t counter = input[12] | (static_cast<std::uint64_t>(input[13]) << 32);
  for (int b = 0; b < 8; ++b, ++counter) {
    block_input[12] = static_cast<std::uint32_t>(counter);
    block_input[13] = static_cast<std::uint32_t>(counter >> 32);
    chacha_block_portable(block_input, 12, out + 16 * b);
  }
}

// ---------------------------------------------------------------------------
// Run-time choice of the batch function

bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool cpu_has_avx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
}

std::atomic<ChachaBatchFn> g_batch_fn{nullptr};
std::atomic<ChachaPath> g_path{ChachaPath::portable};

ChachaBatchFn batch_fn() {
  ChachaBatchFn fn = g_batch_fn.load(std::memory_order_relaxed);
  if (fn == nullptr) [[unlikely]] {
    const ChachaPath path = best_chacha_path();
    fn = chacha_batch_fn(path);
    g_path.store(path, std::memory_order_relaxed);
    g_batch_fn.store(fn, std::memory_order_relaxed);
  }
  return fn;
}

// ---------------------------------------------------------------------------
// Operating-system entropy

std::atomic<int> g_entropy_failure_errno{0};
std::atomic<int> g_entropy_failure_count{0};

std::string error_text(int error_number) {
  return std::system_category().message(error_number) + " (os error " +
         std::to_string(error_number) + ")";
}

// Fills `bytes` from the kernel's entropy source; 0 on success, else errno.
int read_entropy(std::uint8_t* bytes, std::size_t len) {
  if (g_entropy_failure_count.load(std::memory_order_relaxed) > 0) {
    if (g_entropy_failure_count.fetch_sub(1) > 0) return g_entropy_failure_errno.load();
  }
  std::size_t got = 0;
  while (got < len) {
    const ssize_t n = ::getrandom(bytes + got, len - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == ENOSYS) {
      // A kernel without the system call: read the device instead.
      const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      if (fd < 0) return errno;
      while (got < len) {
        const ssize_t m = ::read(fd, bytes + got, len - got);
        if (m > 0) {
          got += static_cast<std::size_t>(m);
        } else if (m < 0 && errno == EINTR) {
          continue;
        } else {
          const int err = m < 0 ? errno : EIO;
          ::close(fd);
          return err;
        }
      }
      ::close(fd);
    } else {
      return n < 0 ? errno : EIO;
    }
  }
  return 0;
}

std::array<std::uint8_t, 32> entropy_key(const char* failure_prefix) {
  std::array<std::uint8_t, 32> key{};
  const int err = read_entropy(key.data(), key.size());
  if (err != 0) fail(std::string(failure_prefix) + error_text(err));
  return key;
}

void load_key_words(const std::array<std::uint8_t, 32>& key, std::uint32_t* words) {
  for (int k = 0; k < 8; ++k) {
    words[k] = static_cast<std::uint32_t>(key[4 * k]) |
               (static_cast<std::uint32_t>(key[4 * k + 1]) << 8) |
               (static_cast<std::uint32_t>(key[4 * k + 2]) << 16) |
               (static_cast<std::uint32_t>(key[4 * k + 3]) << 24);
  }
}

// ---------------------------------------------------------------------------
// The per-thread generator

// 0: never used on this thread, 1: alive, 2: destroyed (trivially
// destructible, so readable while the thread's other values are destroyed).
thread_local int t_slot_state = 0;

struct ThreadSlot {
  std::shared_ptr<RandomSource> rng;
  std::uint64_t fork_generation = 0;  // g_fork_generation when rng was keyed
  ~ThreadSlot() { t_slot_state = 2; }
};

// Counts the forks this process came out of as a child.  A child starts with
// a copy of its parent's memory, generator states included; a generator keyed
// before the last fork would hand the child the very words the parent (and
// every sibling) draws next.  A thread's generator is therefore keyed afresh
// when it is taken after a fork.  The check costs one load per run.
std::atomic<std::uint64_t> g_fork_generation{0};

void note_fork_in_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const int g_fork_handler = ::pthread_atfork(nullptr, nullptr, note_fork_in_child);

}  // namespace

const ZigguratTables kZiggurat = make_ziggurat_tables();

void chacha_block_portable(const std::uint32_t* input, int rounds, std::uint32_t* out) {
  std::uint32_t x[16];
  std::memcpy(x, input, sizeof x);
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int k = 0; k < 16; ++k) out[k] = x[k] + input[k];
}

bool chacha_path_available(ChachaPath path) {
  switch (path) {
    case ChachaPath::portable: return true;
    case ChachaPath::avx2: return cpu_has_avx2();
    case ChachaPath::avx512: return cpu_has_avx512();
  }
  return false;
}

ChachaBatchFn chacha_batch_fn(ChachaPath path) {
  if (!chacha_path_available(path)) return nullptr;
  switch (path) {
    case ChachaPath::portable: return &chacha12_batch_portable;
    case ChachaPath::avx2: return &chacha12_batch_avx2;
    case ChachaPath::avx512: return &chacha12_batch_avx512;
  }
  return nullptr;
}

ChachaPath best_chacha_path() {
  if (cpu_has_avx512()) return ChachaPath::avx512;
  if (cpu_has_avx2()) return ChachaPath::avx2;
  return ChachaPath::portable;
}

ChachaPath active_chacha_path() {
  batch_fn();
  return g_path.load(std::memory_order_relaxed);
}

void set_active_chacha_path(ChachaPath path) {
  ChachaBatchFn fn = chacha_batch_fn(path);
  if (fn == nullptr) fail("this processor cannot run the requested ChaCha path");
  g_path.store(path, std::memory_order_relaxed);
  g_batch_fn.store(fn, std::memory_order_relaxed);
}

void fail_entropy_for_testing(int error_number, int count) {
  g_entropy_failure_errno.store(error_number);
  g_entropy_failure_count.store(error_number == 0 ? 0 : count);
}

}  // namespace detail

std::shared_ptr<RandomSource> RandomSource::for_current_thread() {
  if (detail::t_slot_state == 2) {
    fail("cannot access a Thread Local Storage value during or after destruction");
  }
  thread_local detail::ThreadSlot slot;
  detail::t_slot_state = 1;
  const std::uint64_t generation = detail::g_fork_generation.load(std::memory_order_relaxed);
  if (!slot.rng || slot.fork_generation != generation) [[unlikely]] {
    slot.rng = std::make_shared<RandomSource>(
        detail::entropy_key("could not initialize ThreadRng: "));
    slot.fork_generation = generation;
  }
  return slot.rng;
}

RandomSource::RandomSource(const std::array<std::uint8_t, 32>& key) {
  detail::load_key_words(key, key_);
}

std::array<std::uint32_t, 8> RandomSource::key_words() const {
  std::array<std::uint32_t, 8> out;
  std::memcpy(out.data(), key_, sizeof key_);
  return out;
}

void RandomSource::overwrite_next_words(std::span<const std::uint32_t> words) {
  const std::size_t end = index_ > kRefillWords ? kWords : kRefillWords;
  if (index_ + words.size() > end) {
    throw ValueError("the words do not fit in the rest of the current refill");
  }
  std::memcpy(buffer_ + index_, words.data(), words.size() * sizeof(std::uint32_t));
}

void RandomSource::refill() {
  // Only reached with the whole batch of eight blocks used up, that is at a
  // four-block refill whose counter is a multiple of eight.
  if (counter_ > 1023) {
    if (rekey_from_stream_) {
      static constexpr std::uint32_t kConstants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
      std::uint32_t input[16] = {};
      std::memcpy(input, kConstants, sizeof kConstants);
      std::memcpy(input + 4, key_, sizeof key_);
      input[12] = static_cast<std::uint32_t>(counter_);
      input[13] = static_cast<std::uint32_t>(counter_ >> 32);
      std::uint32_t block[16];
      detail::chacha_block_portable(input, 12, block);
      std::memcpy(key_, block, sizeof key_);
    } else {
      const auto key = detail::entropy_key("could not reseed ThreadRng: ");
      detail::load_key_words(key, key_);
    }
    counter_ = 0;
  }
  static constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  std::uint32_t input[16];
  std::memcpy(input, kSigma, sizeof kSigma);
  std::memcpy(input + 4, key_, sizeof key_);
  input[12] = static_cast<std::uint32_t>(counter_);
  input[13] = static_cast<std::uint32_t>(counter_ >> 32);
  input[14] = 0;
  input[15] = 0;
  detail::batch_fn()(input, buffer_);
  counter_ += 8;
  index_ = 0;
}

std::uint64_t RandomSource::next_u64_across_refill() {
  if (index_ == kWords - 1) {
    const std::uint64_t low = buffer_[kWords - 1];
    refill();
    index_ = 1;
    return (static_cast<std::uint64_t>(buffer_[0]) << 32) | low;
  }
  refill();
  index_ = 2;
  return (static_cast<std::uint64_t>(buffer_[1]) << 32) | buffer_[0];
}

double RandomSource::standard_normal_slow(std::size_t i, double u, double x) {
  const detail::ZigguratTables& t = detail::kZiggurat;
  const double r = detail::kZigguratR;
  for (;;) {
    if (i == 0) {
      // The tail beyond R, by Marsaglia's method.
      double a;
      double b;
      do {
        a = std::log(open01()) / r;
        b = std::log(open01());
      } while (-2.0 * b < a * a);
      return u < 0.0 ? a - r : r - a;
    }
    if (t.f[i + 1] + (t.f[i] - t.f[i + 1]) * uniform01() < std::exp(-(x * x) / 2.0)) {
      return x;
    }
    const std::uint64_t bits = next_u64();
    i = static_cast<std::size_t>(bits & 0xff);
    u = std::bit_cast<double>((bits >> 12) | 0x4000000000000000ull) - 3.0;
    x = u * t.x[i];
    if (std::fabs(x) < t.x[i + 1]) return x;
  }
}

}  // namespace vica
