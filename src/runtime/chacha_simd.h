// The vectorised batch functions of the ChaCha12 generator, each in a file
// compiled for its instruction set.  Only call one after checking that the
// processor has that set (detail::chacha_path_available).
#pragma once

#include <cstdint>

namespace vica::detail {

void chacha12_batch_avx2(const std::uint32_t* input, std::uint32_t* out);
void chacha12_batch_avx512(const std::uint32_t* input, std::uint32_t* out);

}  // namespace vica::detail
