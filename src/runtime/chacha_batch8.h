// The body of the eight-block ChaCha12 batch, shared by the AVX2 and AVX-512
// files: register j holds word j of the eight blocks, one block per 32-bit
// lane, and the result is transposed back to block order.  Each including file
// supplies its rotation (`Rot::rotl<N>`) and is compiled for its own
// instruction set; everything here has internal linkage so that no file's
// code is shared with another's.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace vica::detail {
namespace {

template <class Rot>
inline void quarter_round(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  a = _mm256_add_epi32(a, b); d = Rot::template rotl<16>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d); b = Rot::template rotl<12>(_mm256_xor_si256(b, c));
  a = _mm256_add_epi32(a, b); d = Rot::template rotl<8>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d); b = Rot::template rotl<7>(_mm256_xor_si256(b, c));
}

// Transposes eight registers of eight words: on return r[b] holds lane b of
// every input register, in register order.
inline void transpose8(__m256i* r) {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
  const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
  const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]);
  const __m256i t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]);
  const __m256i t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
  const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
  const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
  const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
  const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

template <class Rot>
inline void chacha12_batch8(const std::uint32_t* input, std::uint32_t* out) {
  __m256i s[16];
  for (int j = 0; j < 16; ++j) s[j] = _mm256_set1_epi32(static_cast<int>(input[j]));
  const std::uint64_t counter = input[12] | (static_cast<std::uint64_t>(input[13]) << 32);
  alignas(32) std::uint32_t lo[8];
  alignas(32) std::uint32_t hi[8];
  for (int b = 0; b < 8; ++b) {
    lo[b] = static_cast<std::uint32_t>(counter + b);
    hi[b] = static_cast<std::uint32_t>((counter + b) >> 32);
  }
  s[12] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo));
  s[13] = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi));

  __m256i x[16];
  for (int j = 0; j < 16; ++j) x[j] = s[j];
  for (int r = 0; r < 12; r += 2) {
    quarter_round<Rot>(x[0], x[4], x[8], x[12]);
    quarter_round<Rot>(x[1], x[5], x[9], x[13]);
    quarter_round<Rot>(x[2], x[6], x[10], x[14]);
    quarter_round<Rot>(x[3], x[7], x[11], x[15]);
    quarter_round<Rot>(x[0], x[5], x[10], x[15]);
    quarter_round<Rot>(x[1], x[6], x[11], x[12]);
    quarter_round<Rot>(x[2], x[7], x[8], x[13]);
    quarter_round<Rot>(x[3], x[4], x[9], x[14]);
  }
  for (int j = 0; j < 16; ++j) x[j] = _mm256_add_epi32(x[j], s[j]);
  transpose8(x);
  transpose8(x + 8);
  for (int b = 0; b < 8; ++b) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * b), x[b]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * b + 8), x[8 + b]);
  }
}

}  // namespace
}  // namespace vica::detail
