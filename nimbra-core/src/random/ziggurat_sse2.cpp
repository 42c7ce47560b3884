// Ziggurat fast step, 2 draws per 128-bit register: the x86 baseline (every
// x86-64 CPU has SSE2). x86 is little-endian, so a 128-bit load of 4 words is
// exactly 2 draws.
#include <emmintrin.h>

#include "random/ziggurat.hpp"

namespace nimbra::random {

std::size_t zig_scan_sse2(const std::uint32_t* words, std::size_t draws, float* out) {
  const __m128i two = _mm_set1_epi64x(static_cast<long long>(kTwoBits));
  const __m128d three = _mm_set1_pd(3.0);
  const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffll));
  const __m128 zero = _mm_setzero_ps();
  std::size_t k = 0;
  for (; k + 2 <= draws; k += 2) {
    const std::uint32_t* w = words + 2 * k;
    const std::uint8_t* layer = layer_bytes(w);
    const __m128d p = _mm_loadu_pd(kZigX + layer[0]);  // {X[i], X[i+1]} of draw 0
    const __m128d q = _mm_loadu_pd(kZigX + layer[8]);  // and of draw 1
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w));
    const __m128d u = _mm_sub_pd(_mm_castsi128_pd(_mm_or_si128(_mm_srli_epi64(b, 12), two)), three);
    const __m128d x = _mm_mul_pd(u, _mm_unpacklo_pd(p, q));
    const __m128d ok = _mm_cmplt_pd(_mm_and_pd(x, abs_mask), _mm_unpackhi_pd(p, q));
    // Both are stored even when one fails: the caller writes the slots from
    // the failing draw on again, in order.
    const __m128 f = _mm_add_ps(_mm_cvtpd_ps(x), zero);  // two floats in the low half
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), _mm_castps_si128(f));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_pd(ok));
    if (mask != 3) return k + (mask & 1);
  }
  return k + zig_scan_scalar(words + 2 * k, draws - k, out + k);
}

}  // namespace nimbra::random
