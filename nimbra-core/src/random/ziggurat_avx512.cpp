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

namespace {

// 128-bit lane m holds {X[i], X[i+1]} for the layer index at layer[16 * m].
inline __m512d layer_pairs(const std::uint8_t* layer) {
  const __m256d lo = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(kZigX + layer[0])),
                                          _mm_loadu_pd(kZigX + layer[16]), 1);
  const __m256d hi = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(kZigX + layer[32])),
                                          _mm_loadu_pd(kZigX + layer[48]), 1);
  return _mm512_insertf64x4(_mm512_castpd256_pd512(lo), hi, 1);
}

}  // namespace

std::size_t zig_scan_avx512(const std::uint32_t* words, std::size_t draws, float* out) {
  const __m512i two = _mm512_set1_epi64(static_cast<long long>(kTwoBits));
  const __m512d three = _mm512_set1_pd(3.0);
  const __m256 zero = _mm256_setzero_ps();
  std::size_t k = 0;
  for (; k + 8 <= draws; k += 8) {
    const std::uint32_t* w = words + 2 * k;
    const std::uint8_t* layer = layer_bytes(w);
    const __m512d p = layer_pairs(layer);      // draws 0, 2, 4, 6
    const __m512d q = layer_pairs(layer + 8);  // draws 1, 3, 5, 7
    const __m512d width = _mm512_unpacklo_pd(p, q);  // X[i] of draws 0..7
    const __m512d edge = _mm512_unpackhi_pd(p, q);   // X[i+1]

    const __m512i b = _mm512_loadu_si512(w);
    const __m512d u = _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(_mm512_srli_epi64(b, 12), two)), three);
    const __m512d x = _mm512_mul_pd(u, width);
    const __mmask8 ok = _mm512_cmp_pd_mask(_mm512_abs_pd(x), edge, _CMP_LT_OQ);
    // All eight are stored even when one fails: the caller writes the slots
    // from the failing draw on again, in order.
    _mm256_storeu_ps(out + k, _mm256_add_ps(_mm512_cvtpd_ps(x), zero));
    if (ok != 0xff) return k + static_cast<std::size_t>(std::countr_one(static_cast<unsigned>(ok)));
  }
  return k + zig_scan_scalar(words + 2 * k, draws - k, out + k);
}

}  // namespace nimbra::random

#pragma GCC diagnostic pop
