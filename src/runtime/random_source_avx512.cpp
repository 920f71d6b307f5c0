// Eight ChaCha12 blocks at once with the AVX-512VL rotation instruction.
#include <immintrin.h>

#include <cstdint>

#include "runtime/chacha_batch8.h"
#include "runtime/chacha_simd.h"

namespace vica::detail {
namespace {

struct Avx512Rotations {
  template <int N>
  static __m256i rotl(__m256i v) {
    return _mm256_rol_epi32(v, N);
  }
};

}  // namespace

void chacha12_batch_avx512(const std::uint32_t* input, std::uint32_t* out) {
  chacha12_batch8<Avx512Rotations>(input, out);
}

}  // namespace vica::detail
