// The per-thread ChaCha12 random source and its draws.
//
// State: the 16-word ChaCha input (constants, 256-bit key, 64-bit block
// counter, 64-bit stream 0) and a buffer of 64 output words handed out in
// order.  A refill computes four blocks c..c+3 at once; after 1024 blocks
// since keying the next refill rekeys from the operating system first.
//
// Internally two consecutive refills are computed together: the buffer holds
// eight blocks (128 words), the first four being the words of refill c and
// the last four those of refill c + 4.  Keying always happens at a counter
// that is a multiple of eight, so the pair never straddles a rekey and the
// words come out in exactly the order of single four-block refills;
// block_counter() and buffer_index() report that order's state.
//
// The draws used in the Monte Carlo loops (next_u32, next_u64, uniform01,
// coin, open01 and the common path of standard_normal) are inline here; the
// refill, the rekey and the rare ziggurat paths live in random_source.cpp.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace vica {

namespace detail {

// The 256-layer ziggurat tables of the normal distribution (indices 0..256),
// computed once when the library is loaded (so no static initialiser of
// another file may draw normals).
struct ZigguratTables {
  double x[257];
  double f[257];
};
extern const ZigguratTables kZiggurat;

inline constexpr double kZigguratR = 3.654152885361009;

// The ways of computing a batch of eight ChaCha12 blocks; all give the same
// words.
enum class ChachaPath { portable = 0, avx2 = 1, avx512 = 2 };

// Eight consecutive blocks (block counter from words 12-13 of `input`,
// incremented per block as a 64-bit number), written block after block.
using ChachaBatchFn = void (*)(const std::uint32_t* input, std::uint32_t* out);

bool chacha_path_available(ChachaPath path);
ChachaBatchFn chacha_batch_fn(ChachaPath path);  // null when not available
ChachaPath best_chacha_path();
// The path the generators use (the best available one unless overridden).
ChachaPath active_chacha_path();
void set_active_chacha_path(ChachaPath path);  // for tests and benchmarks

// One ChaCha block with any even number of rounds, the plain way.
void chacha_block_portable(const std::uint32_t* input, int rounds, std::uint32_t* out);

// Makes the next `count` reads of the operating system's entropy source fail
// with `error_number` (test hook; 0 clears it).
void fail_entropy_for_testing(int error_number, int count = 1);

}  // namespace detail

class RandomSource {
 public:
  // The calling thread's generator, created on first use and keyed with 32
  // bytes from the operating system; kept until the thread ends.  A run holds
  // the returned counted reference for its whole duration.
  static std::shared_ptr<RandomSource> for_current_thread();

  // A generator keyed with the given bytes (eight little-endian words),
  // block counter 0, empty buffer.  Rekeys still read the operating system.
  explicit RandomSource(const std::array<std::uint8_t, 32>& key);

  inline std::uint32_t next_u32();
  inline std::uint64_t next_u64();     // first word is the low half
  inline double uniform01();           // (next_u64() >> 11) * 2^-53
  inline bool coin();                  // top bit of next_u32()
  inline double open01();              // in (0, 1), from next_u64()
  inline double standard_normal();     // 256-layer ziggurat

  // Blocks produced since keying, as seen through four-block refills.
  std::uint64_t block_counter() const {
    return index_ > kRefillWords ? counter_ : counter_ - 4;
  }
  // Position of the next unread word of the current 64-word refill.
  std::size_t buffer_index() const {
    return index_ > kRefillWords ? index_ - kRefillWords : index_;
  }

  // Test helpers.
  // The current 256-bit key as eight words.
  std::array<std::uint32_t, 8> key_words() const;
  // Overwrites the next words to be drawn (they must lie in the current
  // refill); used to feed chosen bits to the derived draws.
  void overwrite_next_words(std::span<const std::uint32_t> words);
  // From now on a rekey takes its key from this generator's own stream (the
  // first eight words of the block after the last one used) instead of the
  // operating system, so that a keyed generator repeats its whole stream;
  // for tests that compare long runs bit for bit.
  void rekey_from_stream_for_testing() { rekey_from_stream_ = true; }

 private:
  static constexpr std::size_t kRefillWords = 64;
  static constexpr std::size_t kWords = 2 * kRefillWords;

  void refill();
  std::uint64_t next_u64_across_refill();
  double standard_normal_slow(std::size_t i, double u, double x);

  alignas(64) std::uint32_t buffer_[kWords];
  std::size_t index_ = kWords;  // kWords: used up, the next draw refills
  std::uint64_t counter_ = 0;   // first block after the buffered ones
  std::uint32_t key_[8];
  bool rekey_from_stream_ = false;
};

inline std::uint32_t RandomSource::next_u32() {
  if (index_ >= kWords) [[unlikely]] {
    refill();
  }
  return buffer_[index_++];
}

inline std::uint64_t RandomSource::next_u64() {
  const std::size_t i = index_;
  if (i < kWords - 1) [[likely]] {
    // Two consecutive little-endian words: the first is the low half.
    std::uint32_t w[2];
    std::memcpy(w, buffer_ + i, sizeof w);
    index_ = i + 2;
    return (static_cast<std::uint64_t>(w[1]) << 32) | w[0];
  }
  return next_u64_across_refill();
}

inline double RandomSource::uniform01() {
  return static_cast<double>(next_u64() >> 11) * 1.1102230246251565e-16;
}

inline bool RandomSource::coin() { return static_cast<std::int32_t>(next_u32()) < 0; }

inline double RandomSource::open01() {
  const std::uint64_t u = next_u64();
  return std::bit_cast<double>((u >> 12) | 0x3FF0000000000000ull) - 0.9999999999999999;
}

inline double RandomSource::standard_normal() {
  const std::uint64_t bits = next_u64();
  const std::size_t i = static_cast<std::size_t>(bits & 0xff);
  const double u = std::bit_cast<double>((bits >> 12) | 0x4000000000000000ull) - 3.0;
  const double x = u * detail::kZiggurat.x[i];
  if (std::fabs(x) < detail::kZiggurat.x[i + 1]) [[likely]] {
    return x;
  }
  return standard_normal_slow(i, u, x);
}

}  // namespace vica
