// exp_rn: the exponential of f32 lanes, rounded to nearest f32, for the
// softmax kernels of elementwise_kernels.inl. Part of the vector vocabulary
// of ops/simd.hpp, under the same per-ISA guards and inline namespace; only
// the AVX2 and AVX-512 vectors have it (has_exp_rn<Vec>).
//
//   Vec exp_rn(Vec z, unsigned& unsure)
//     lane i: exp(z[i]) rounded to nearest f32, unless bit i of `unsure` is
//     set; then the lane's value is not to be used.
//
// Computed in double precision as 2^(k/16) * p(r) with z = k*ln2/16 + r,
// |r| <= ln2/32, T[k mod 16] = 2^(j/16) and p a degree-4 polynomial
// (near-minimax on that interval). The double result is within 2^-36 of
// exp(z) relative, about 2^-12 of an f32 ulp. Rounding it to f32 therefore
// gives the correctly rounded exponential, and equally what any exponential
// with an error below 0.5 + 2^-9 ulp returns, unless exp(z) lies near a
// midpoint between two floats. Lanes whose double result lies within 2^-8 ulp
// of a midpoint (about 0.8% of them), and lanes outside [-87, 0] (including
// NaN, -inf and results that would be subnormal), are flagged as unsure.
// Callers recompute exactly those lanes with the platform's expf, so the
// vector path is a shortcut to the same bits, not a different function
// (checked exhaustively against expf in the tests, and by a probe at run time
// before the shortcut is trusted).
#pragma once

#include <cstdint>

#include "ops/simd.hpp"

namespace nimbra::simd {
inline namespace NIMBRA_SIMD_ABI {

namespace exp_rn_consts {
alignas(64) inline constexpr double kExp2Sixteenths[16] = {
    0x1.0000000000000p+0, 0x1.0b5586cf9890fp+0, 0x1.172b83c7d517bp+0, 0x1.2387a6e756238p+0,
    0x1.306fe0a31b715p+0, 0x1.3dea64c123422p+0, 0x1.4bfdad5362a27p+0, 0x1.5ab07dd485429p+0,
    0x1.6a09e667f3bcdp+0, 0x1.7a11473eb0187p+0, 0x1.8ace5422aa0dbp+0, 0x1.9c49182a3f090p+0,
    0x1.ae89f995ad3adp+0, 0x1.c199bdd85529cp+0, 0x1.d5818dcfba487p+0, 0x1.ea4afa2a490dap+0};
inline constexpr double kSixteenOverLn2 = 0x1.71547652b82fep+4;
inline constexpr double kLn2OverSixteen = 0x1.62e42fefa39efp-5;
// Adding 1.5 * 2^52 rounds to an integer k (to nearest) and leaves k in the
// low bits of the sum, offset by 2^51, a multiple of 16.
inline constexpr double kShifter = 0x1.8p52;
// exp(r) ~ 1 + r + r^2 * (C2 + r * (C3 + r * C4)).
inline constexpr double kC2 = 0x1.ffffffff57e8cp-2;
inline constexpr double kC3 = 0x1.5556deec923ccp-3;
inline constexpr double kC4 = 0x1.5556b330f8575p-5;
// The domain: results stay normal f32 (exp(-87) is about 1.6e-38).
inline constexpr float kLowest = -87.0f;
// Rounding a double to f32 drops its low 29 bits; the midpoint is at 2^28.
// With 2^21 added, a value within 2^21 (2^-8 f32 ulp) of the midpoint has
// bits 22..28 equal to 0b1000000.
inline constexpr std::int64_t kNearBias = std::int64_t{1} << 21;
inline constexpr std::int64_t kNearMask = std::int64_t{0x7F} << 22;
inline constexpr std::int64_t kNearMid = std::int64_t{0x40} << 22;
}  // namespace exp_rn_consts

// Whether exp_rn exists for V.
template <class V>
inline constexpr bool has_exp_rn = false;

#if defined(NIMBRA_SIMD_AVX2)
namespace avx2 {

// Four lanes of exp_rn in double; `near` gets the lanes close to a midpoint.
NIMBRA_SIMD_INLINE __m128 exp_rn_half(__m256d z, int& near) {
  using namespace exp_rn_consts;
  const __m256d shifter = _mm256_set1_pd(kShifter);
  const __m256d ks = _mm256_add_pd(_mm256_mul_pd(z, _mm256_set1_pd(kSixteenOverLn2)), shifter);
  const __m256d kd = _mm256_sub_pd(ks, shifter);
  const __m256d r = _mm256_sub_pd(z, _mm256_mul_pd(kd, _mm256_set1_pd(kLn2OverSixteen)));
  const __m256i k = _mm256_sub_epi64(_mm256_castpd_si256(ks), _mm256_castpd_si256(shifter));
  const __m256d t = _mm256_i64gather_pd(kExp2Sixteenths, _mm256_and_si256(k, _mm256_set1_epi64x(15)), 8);
  // 2^(k div 16) * T: (k & ~15) << 48 is (k div 16) << 52, added to T's exponent.
  const __m256d scale = _mm256_castsi256_pd(_mm256_add_epi64(
      _mm256_castpd_si256(t), _mm256_slli_epi64(_mm256_andnot_si256(_mm256_set1_epi64x(15), k), 48)));
  __m256d p = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(kC4), r), _mm256_set1_pd(kC3));
  p = _mm256_add_pd(_mm256_mul_pd(p, r), _mm256_set1_pd(kC2));
  p = _mm256_add_pd(_mm256_mul_pd(p, _mm256_mul_pd(r, r)), r);
  const __m256d y = _mm256_add_pd(_mm256_mul_pd(scale, p), scale);
  const __m256i w = _mm256_and_si256(_mm256_add_epi64(_mm256_castpd_si256(y), _mm256_set1_epi64x(kNearBias)),
                                     _mm256_set1_epi64x(kNearMask));
  near = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(w, _mm256_set1_epi64x(kNearMid))));
  return _mm256_cvtpd_ps(y);
}

NIMBRA_SIMD_INLINE Vec exp_rn(Vec z, unsigned& unsure) {
  int near_lo, near_hi;
  const __m128 lo = exp_rn_half(_mm256_cvtps_pd(_mm256_castps256_ps128(z.v)), near_lo);
  const __m128 hi = exp_rn_half(_mm256_cvtps_pd(_mm256_extractf128_ps(z.v, 1)), near_hi);
  const __m256 in_domain = _mm256_and_ps(_mm256_cmp_ps(z.v, _mm256_set1_ps(exp_rn_consts::kLowest), _CMP_GE_OQ),
                                         _mm256_cmp_ps(z.v, _mm256_setzero_ps(), _CMP_LE_OQ));
  unsure = static_cast<unsigned>(near_lo | (near_hi << 4)) |
           (~static_cast<unsigned>(_mm256_movemask_ps(in_domain)) & 0xFFu);
  return {_mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1)};
}

}  // namespace avx2

template <>
inline constexpr bool has_exp_rn<avx2::Vec> = true;
#endif

#if defined(NIMBRA_SIMD_AVX512)
namespace avx512 {

// Eight lanes of exp_rn in double; also returns y's bits for the midpoint test.
NIMBRA_SIMD_INLINE __m256 exp_rn_half(__m512d z, __m512i& bits) {
  using namespace exp_rn_consts;
  const __m512d shifter = _mm512_set1_pd(kShifter);
  const __m512d ks = _mm512_add_pd(_mm512_mul_pd(z, _mm512_set1_pd(kSixteenOverLn2)), shifter);
  const __m512d kd = _mm512_sub_pd(ks, shifter);
  const __m512d r = _mm512_sub_pd(z, _mm512_mul_pd(kd, _mm512_set1_pd(kLn2OverSixteen)));
  const __m512i k = _mm512_sub_epi64(_mm512_castpd_si512(ks), _mm512_castpd_si512(shifter));
  // The table sits in two registers; the permute reads the low four bits of k.
  const __m512d t = _mm512_permutex2var_pd(_mm512_load_pd(kExp2Sixteenths), k, _mm512_load_pd(kExp2Sixteenths + 8));
  // 2^(k div 16) * T: (k & ~15) << 48 is (k div 16) << 52, added to T's exponent.
  const __m512d scale = _mm512_castsi512_pd(_mm512_add_epi64(
      _mm512_castpd_si512(t), _mm512_maskz_slli_epi64(0xFF, _mm512_maskz_andnot_epi64(0xFF, _mm512_set1_epi64(15), k), 48)));
  __m512d p = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(kC4), r), _mm512_set1_pd(kC3));
  p = _mm512_add_pd(_mm512_mul_pd(p, r), _mm512_set1_pd(kC2));
  p = _mm512_add_pd(_mm512_mul_pd(p, _mm512_mul_pd(r, r)), r);
  const __m512d y = _mm512_add_pd(_mm512_mul_pd(scale, p), scale);
  bits = _mm512_castpd_si512(y);
  return _mm512_maskz_cvtpd_ps(0xFF, y);
}

NIMBRA_SIMD_INLINE Vec exp_rn(Vec z, unsigned& unsure) {
  using namespace exp_rn_consts;
  __m512i bits_lo, bits_hi;
  const __m256 lo = exp_rn_half(_mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_extractf32x8_ps(0xFF, z.v, 0)), bits_lo);
  const __m256 hi = exp_rn_half(_mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_extractf32x8_ps(0xFF, z.v, 1)), bits_hi);
  // (The zero-masked forms with every lane selected are the plain
  // instructions; see max() in ops/simd.hpp.)
  // The bits the midpoint test reads lie in each double's low word: gather
  // the sixteen low words and test them at once.
  const __m512i low_words = _mm512_permutex2var_epi32(
      bits_lo, _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30), bits_hi);
  const __m512i w = _mm512_and_si512(_mm512_add_epi32(low_words, _mm512_set1_epi32(static_cast<int>(kNearBias))),
                                     _mm512_set1_epi32(static_cast<int>(kNearMask)));
  const __mmask16 near = _mm512_cmpeq_epi32_mask(w, _mm512_set1_epi32(static_cast<int>(kNearMid)));
  const __mmask16 in_domain = _mm512_cmp_ps_mask(z.v, _mm512_set1_ps(kLowest), _CMP_GE_OQ) &
                              _mm512_cmp_ps_mask(z.v, _mm512_setzero_ps(), _CMP_LE_OQ);
  unsure = static_cast<unsigned>(near) | (~static_cast<unsigned>(in_domain) & 0xFFFFu);
  return {_mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1)};
}

}  // namespace avx512

template <>
inline constexpr bool has_exp_rn<avx512::Vec> = true;
#endif

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::simd
