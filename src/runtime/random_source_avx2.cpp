// Eight ChaCha12 blocks at once with AVX2.
#include <immintrin.h>

#include <cstdint>

#include "runtime/chacha_batch8.h"
#include "runtime/chacha_simd.h"

namespace vica::detail {
namespace {

struct Avx2Rotations {
  template <int N>
  static __m256i rotl(__m256i v) {
    if constexpr (N == 16) {
      const __m256i mask = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                            2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
      return _mm256_shuffle_epi8(v, mask);
    } else if constexpr (N == 8) {
      const __m256i mask = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                            3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
      return _mm256_shuffle_epi8(v, mask);
    } else {
      return _mm256_or_si256(_mm256_slli_epi32(v, N), _mm256_srli_epi32(v, 32 - N));
    }
  }
};

}  // namespace

void chacha12_batch_avx2(const std::uint32_t* input, std::uint32_t* out) {
  chacha12_batch8<Avx2Rotations>(input, out);
}

}  // namespace vica::detail
