// The per-thread ChaCha12 random source and its draws.
//
// State: the 16-word ChaCha input (constants, 256-bit key, 64-bit block
// counter, 64-bit stream 0) and a buffer of 64 output words handed out in
// order.  A refill computes four blocks c..c+3 at once; after 1024 blocks
// since keying the next refill rekeys from the operating system first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vica {

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
  double standard_normal();            // 256-layer ziggurat

  std::uint64_t block_counter() const { return counter_; }
  std::size_t buffer_index() const { return index_; }

 private:
  void refill();

  alignas(64) std::uint32_t buffer_[64];
  std::uint32_t key_[8];
  std::uint64_t counter_ = 0;
  std::size_t index_ = 64;
};

}  // namespace vica
