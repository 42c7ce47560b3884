// Ziggurat fast step, 4 draws per 256-bit register (built with -mavx2).
// x86 is little-endian, so a 256-bit load of 8 words is exactly 4 draws.
#include <immintrin.h>

#include "random/ziggurat.hpp"

namespace nimbra::random {

std::size_t zig_scan_avx2(const std::uint32_t* words, std::size_t draws, float* out) {
  const __m256i two = _mm256_set1_epi64x(static_cast<long long>(kTwoBits));
  const __m256d three = _mm256_set1_pd(3.0);
  const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffll));
  const __m128 zero = _mm_setzero_ps();
  std::size_t k = 0;
  for (; k + 4 <= draws; k += 4) {
    const std::uint32_t* w = words + 2 * k;
    const std::uint8_t* layer = layer_bytes(w);
    // 128-bit lane m of p holds {X[i], X[i+1]} of draw 2m, of q of draw 2m+1.
    const __m256d p = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(kZigX + layer[0])),
                                           _mm_loadu_pd(kZigX + layer[16]), 1);
    const __m256d q = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(kZigX + layer[8])),
                                           _mm_loadu_pd(kZigX + layer[24]), 1);
    const __m256d width = _mm256_unpacklo_pd(p, q);  // X[i] of draws 0..3
    const __m256d edge = _mm256_unpackhi_pd(p, q);   // X[i+1]

    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
    const __m256d u = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(b, 12), two)), three);
    const __m256d x = _mm256_mul_pd(u, width);
    const __m256d ok = _mm256_cmp_pd(_mm256_and_pd(x, abs_mask), edge, _CMP_LT_OQ);
    // All four are stored even when one fails: the caller writes the slots
    // from the failing draw on again, in order.
    _mm_storeu_ps(out + k, _mm_add_ps(_mm256_cvtpd_ps(x), zero));
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_pd(ok));
    if (mask != 0xf) return k + static_cast<std::size_t>(std::countr_one(mask));
  }
  return k + zig_scan_scalar(words + 2 * k, draws - k, out + k);
}

}  // namespace nimbra::random
