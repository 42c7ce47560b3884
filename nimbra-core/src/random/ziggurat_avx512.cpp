// Ziggurat fast step, 8 draws per 512-bit register (built with AVX-512).
// x86 is little-endian, so a 512-bit load of 16 words is exactly 8 draws.

// GCC 12 flags the intrinsics' own deliberately undefined pass-through operand
// as uninitialised once they are inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "random/ziggurat.hpp"

namespace nimbra::random {

std::size_t zig_scan_avx512(const std::uint32_t* words, std::size_t draws, float* out) {
  const __m512i low8 = _mm512_set1_epi64(0xff);
  const __m512i two = _mm512_set1_epi64(static_cast<long long>(kTwoBits));
  const __m512d three = _mm512_set1_pd(3.0);
  const __m256 zero = _mm256_setzero_ps();
  std::size_t k = 0;
  for (; k + 8 <= draws; k += 8) {
    const __m512i b = _mm512_loadu_si512(words + 2 * k);
    const __m512i i = _mm512_and_si512(b, low8);
    const __m512d u = _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(_mm512_srli_epi64(b, 12), two)), three);
    const __m512d x = _mm512_mul_pd(u, _mm512_i64gather_pd(i, kZigX, 8));
    const __m512d edge = _mm512_i64gather_pd(i, kZigX + 1, 8);
    const __mmask8 ok = _mm512_cmp_pd_mask(_mm512_abs_pd(x), edge, _CMP_LT_OQ);
    if (ok != 0xff) break;  // the scalar tail below finds the exact stopping point
    _mm256_storeu_ps(out + k, _mm256_add_ps(_mm512_cvtpd_ps(x), zero));
  }
  return k + zig_scan_scalar(words + 2 * k, draws - k, out + k);
}

}  // namespace nimbra::random

#pragma GCC diagnostic pop
