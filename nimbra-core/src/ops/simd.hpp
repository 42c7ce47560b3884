// The vector vocabulary. Each instruction set gets a Vec type with the same
// operations under the same names, so a kernel is written once as a template
// over Vec and instantiated per ISA:
//
//   sse::Vec     4 lanes  (SSE2; a plain 4-float fallback off x86)
//   avx2::Vec    8 lanes  (only in files compiled with -mavx2)
//   avx512::Vec 16 lanes  (only in files compiled with -mavx512f/vl/bw/dq)
//
// Lane semantics, identical in every Vec and mirrored by the scalar references:
//   a + b, a - b, a * b, a / b   IEEE f32, round to nearest even, never fused;
//                                the division is correctly rounded (never an
//                                approximate reciprocal).
//   neg(a), abs(a)               flip / clear the sign bit, NaN included.
//   max(a, b)                    a > b ? a : b  } b whenever either is NaN or
//   min(a, b)                    a < b ? a : b  } both are zeros (the x86 rule;
//                                operand order matters).
//   lt(a, b), gt(a, b)           ordered comparisons (false with NaN) -> Mask
//   select(m, t, f)              m ? t : f
//   Vec::load / store            unaligned; load_partial / store_partial touch
//                                only the first k < lanes elements (the rest of
//                                a partial load is +0.0).
//   stream(p, v)                 store past the caches; p aligned to the vector
//                                width; stream_fence() after the last one.
//   exp_rn(z, unsure)            (avx2, avx512 only; Vec::has_exp_rn) the
//                                exponential rounded to nearest, in the lanes
//                                it can vouch for; see exp_rn_consts below.
//
// Everything sits in an inline namespace named after the file's compile flags:
// an inline function compiled with -mavx2 must never be merged at link time
// with its baseline twin, or a baseline code path could end up running AVX
// instructions on a CPU without them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) && !defined(NIMBRA_SIMD_GENERIC)
#include <immintrin.h>
#define NIMBRA_SIMD_HAVE_SSE2 1
#endif

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512DQ__)
#define NIMBRA_SIMD_ABI abi_avx512
#elif defined(__AVX2__)
#define NIMBRA_SIMD_ABI abi_avx2
#elif defined(NIMBRA_SIMD_HAVE_SSE2)
#define NIMBRA_SIMD_ABI abi_sse2
#else
#define NIMBRA_SIMD_ABI abi_generic
#endif

#define NIMBRA_SIMD_INLINE [[gnu::always_inline]] inline

namespace nimbra::simd {
inline namespace NIMBRA_SIMD_ABI {

// Streaming stores are weakly ordered: fence them before anything that
// publishes the data (a release store, a lock, a pool's completion flag).
NIMBRA_SIMD_INLINE void stream_fence() {
#if defined(NIMBRA_SIMD_HAVE_SSE2)
  _mm_sfence();
#endif
}

// exp_rn: the exponential of f32 lanes, rounded to nearest f32, computed in
// double precision as 2^(k/16) * p(r) with z = k*ln2/16 + r, |r| <= ln2/32,
// T[k mod 16] = 2^(j/16) and p a degree-4 polynomial (near-minimax on that
// interval). The double result is within 2^-36 of exp(z) relative, about
// 2^-12 of an f32 ulp. Rounding it to f32 therefore gives the correctly
// rounded exponential, and equally what any exponential with an error below
// 0.5 + 2^-9 ulp returns, unless exp(z) lies near a midpoint between two
// floats. Lanes whose double result lies within 2^-8 ulp of a midpoint (about
// 0.8% of them), and lanes outside [-87, 0] (including NaN, -inf and results
// that would be subnormal), are flagged as unsure: their value is not to be
// used. Callers recompute exactly those lanes with the platform's expf, so
// the vector path is a shortcut to the same bits, not a different function
// (checked exhaustively against expf in the tests, and by a probe at run time
// before the shortcut is trusted).
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

namespace sse {

#if defined(NIMBRA_SIMD_HAVE_SSE2)

struct Mask {
  __m128 m;
};

struct Vec {
  static constexpr std::size_t lanes = 4;
  static constexpr bool has_exp_rn = false;
  __m128 v;

  NIMBRA_SIMD_INLINE static Vec load(const float* p) { return {_mm_loadu_ps(p)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast(float x) { return {_mm_set1_ps(x)}; }
  NIMBRA_SIMD_INLINE static Vec zero() { return {_mm_setzero_ps()}; }
  NIMBRA_SIMD_INLINE static Vec load_partial(const float* p, std::size_t k) {
    alignas(16) float buf[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t i = 0; i < k; ++i) buf[i] = p[i];
    return {_mm_load_ps(buf)};
  }
};

NIMBRA_SIMD_INLINE void store(float* p, Vec a) { _mm_storeu_ps(p, a.v); }
NIMBRA_SIMD_INLINE void stream(float* p, Vec a) { _mm_stream_ps(p, a.v); }
NIMBRA_SIMD_INLINE void store_partial(float* p, Vec a, std::size_t k) {
  alignas(16) float buf[4];
  _mm_store_ps(buf, a.v);
  for (std::size_t i = 0; i < k; ++i) p[i] = buf[i];
}
NIMBRA_SIMD_INLINE Vec operator+(Vec a, Vec b) { return {_mm_add_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator-(Vec a, Vec b) { return {_mm_sub_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator*(Vec a, Vec b) { return {_mm_mul_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator/(Vec a, Vec b) { return {_mm_div_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec neg(Vec a) { return {_mm_xor_ps(a.v, _mm_set1_ps(-0.0f))}; }
NIMBRA_SIMD_INLINE Vec abs(Vec a) { return {_mm_andnot_ps(_mm_set1_ps(-0.0f), a.v)}; }
NIMBRA_SIMD_INLINE Vec max(Vec a, Vec b) { return {_mm_max_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec min(Vec a, Vec b) { return {_mm_min_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Mask lt(Vec a, Vec b) { return {_mm_cmplt_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Mask gt(Vec a, Vec b) { return {_mm_cmpgt_ps(a.v, b.v)}; }
// SSE2 has no blend: the mask lanes are all ones or all zeros.
NIMBRA_SIMD_INLINE Vec select(Mask m, Vec t, Vec f) {
  return {_mm_or_ps(_mm_and_ps(m.m, t.v), _mm_andnot_ps(m.m, f.v))};
}

#else  // plain C++ fallback, same lane rules

struct Mask {
  bool m[4];
};

struct Vec {
  static constexpr std::size_t lanes = 4;
  static constexpr bool has_exp_rn = false;
  float v[4];

  static Vec load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
  static Vec broadcast(float x) { return {{x, x, x, x}}; }
  static Vec zero() { return broadcast(0.0f); }
  static Vec load_partial(const float* p, std::size_t k) {
    Vec r = zero();
    for (std::size_t i = 0; i < k; ++i) r.v[i] = p[i];
    return r;
  }
};

template <class F>
inline Vec lanewise(Vec a, Vec b, F f) {
  return {{f(a.v[0], b.v[0]), f(a.v[1], b.v[1]), f(a.v[2], b.v[2]), f(a.v[3], b.v[3])}};
}
inline void store_partial(float* p, Vec a, std::size_t k) {
  for (std::size_t i = 0; i < k; ++i) p[i] = a.v[i];
}
inline void store(float* p, Vec a) { store_partial(p, a, 4); }
inline void stream(float* p, Vec a) { store(p, a); }
inline Vec operator+(Vec a, Vec b) { return lanewise(a, b, [](float x, float y) { return x + y; }); }
inline Vec operator-(Vec a, Vec b) { return lanewise(a, b, [](float x, float y) { return x - y; }); }
inline Vec operator*(Vec a, Vec b) { return lanewise(a, b, [](float x, float y) { return x * y; }); }
inline Vec operator/(Vec a, Vec b) { return lanewise(a, b, [](float x, float y) { return x / y; }); }
inline Vec neg(Vec a) { return {{-a.v[0], -a.v[1], -a.v[2], -a.v[3]}}; }
inline Vec abs(Vec a) { return {{std::fabs(a.v[0]), std::fabs(a.v[1]), std::fabs(a.v[2]), std::fabs(a.v[3])}}; }
inline Vec max(Vec a, Vec b) { return lanewise(a, b, [](float x, float y) { return x > y ? x : y; }); }
inline Vec min(Vec a, Vec b) { return lanewise(a, b, [](float x, float y) { return x < y ? x : y; }); }
inline Mask lt(Vec a, Vec b) { return {{a.v[0] < b.v[0], a.v[1] < b.v[1], a.v[2] < b.v[2], a.v[3] < b.v[3]}}; }
inline Mask gt(Vec a, Vec b) { return lt(b, a); }
inline Vec select(Mask m, Vec t, Vec f) {
  return {{m.m[0] ? t.v[0] : f.v[0], m.m[1] ? t.v[1] : f.v[1], m.m[2] ? t.v[2] : f.v[2],
           m.m[3] ? t.v[3] : f.v[3]}};
}

#endif

}  // namespace sse

#if defined(__AVX2__)
namespace avx2 {

struct Mask {
  __m256 m;
};

// Sliding window for partial loads and stores: 8 all-ones words then 8 zeros;
// starting at 8 - k gives a mask of k leading lanes.
alignas(64) inline constexpr std::int32_t kTailMask[16] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                           0,  0,  0,  0,  0,  0,  0,  0};

NIMBRA_SIMD_INLINE __m256i tail_mask(std::size_t k) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kTailMask + 8 - k));
}

struct Vec {
  static constexpr std::size_t lanes = 8;
  static constexpr bool has_exp_rn = true;
  __m256 v;

  NIMBRA_SIMD_INLINE static Vec load(const float* p) { return {_mm256_loadu_ps(p)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast(float x) { return {_mm256_set1_ps(x)}; }
  NIMBRA_SIMD_INLINE static Vec zero() { return {_mm256_setzero_ps()}; }
  // Masked-off lanes are neither read nor faulted on.
  NIMBRA_SIMD_INLINE static Vec load_partial(const float* p, std::size_t k) {
    return {_mm256_maskload_ps(p, tail_mask(k))};
  }
};

NIMBRA_SIMD_INLINE void store(float* p, Vec a) { _mm256_storeu_ps(p, a.v); }
NIMBRA_SIMD_INLINE void stream(float* p, Vec a) { _mm256_stream_ps(p, a.v); }
NIMBRA_SIMD_INLINE void store_partial(float* p, Vec a, std::size_t k) {
  _mm256_maskstore_ps(p, tail_mask(k), a.v);
}
NIMBRA_SIMD_INLINE Vec operator+(Vec a, Vec b) { return {_mm256_add_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator-(Vec a, Vec b) { return {_mm256_sub_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator*(Vec a, Vec b) { return {_mm256_mul_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator/(Vec a, Vec b) { return {_mm256_div_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec neg(Vec a) { return {_mm256_xor_ps(a.v, _mm256_set1_ps(-0.0f))}; }
NIMBRA_SIMD_INLINE Vec abs(Vec a) { return {_mm256_andnot_ps(_mm256_set1_ps(-0.0f), a.v)}; }
NIMBRA_SIMD_INLINE Vec max(Vec a, Vec b) { return {_mm256_max_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec min(Vec a, Vec b) { return {_mm256_min_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Mask lt(Vec a, Vec b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)}; }
NIMBRA_SIMD_INLINE Mask gt(Vec a, Vec b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)}; }
NIMBRA_SIMD_INLINE Vec select(Mask m, Vec t, Vec f) { return {_mm256_blendv_ps(f.v, t.v, m.m)}; }

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

// Bit i of `unsure` is set when lane i must be recomputed (see exp_rn_consts).
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
#endif

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512DQ__)
namespace avx512 {

struct Mask {
  __mmask16 m;
};

struct Vec {
  static constexpr std::size_t lanes = 16;
  static constexpr bool has_exp_rn = true;
  __m512 v;

  NIMBRA_SIMD_INLINE static Vec load(const float* p) { return {_mm512_loadu_ps(p)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast(float x) { return {_mm512_set1_ps(x)}; }
  NIMBRA_SIMD_INLINE static Vec zero() { return {_mm512_setzero_ps()}; }
  // Masked-off lanes are neither read nor faulted on.
  NIMBRA_SIMD_INLINE static Vec load_partial(const float* p, std::size_t k) {
    return {_mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << k) - 1u), p)};
  }
};

NIMBRA_SIMD_INLINE void store(float* p, Vec a) { _mm512_storeu_ps(p, a.v); }
NIMBRA_SIMD_INLINE void stream(float* p, Vec a) { _mm512_stream_ps(p, a.v); }
NIMBRA_SIMD_INLINE void store_partial(float* p, Vec a, std::size_t k) {
  _mm512_mask_storeu_ps(p, static_cast<__mmask16>((1u << k) - 1u), a.v);
}
NIMBRA_SIMD_INLINE Vec operator+(Vec a, Vec b) { return {_mm512_add_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator-(Vec a, Vec b) { return {_mm512_sub_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator*(Vec a, Vec b) { return {_mm512_mul_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec operator/(Vec a, Vec b) { return {_mm512_div_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec neg(Vec a) { return {_mm512_xor_ps(a.v, _mm512_set1_ps(-0.0f))}; }
NIMBRA_SIMD_INLINE Vec abs(Vec a) { return {_mm512_andnot_ps(_mm512_set1_ps(-0.0f), a.v)}; }
// The zero-masked forms with every lane selected are plain vmaxps / vminps;
// they avoid a spurious maybe-uninitialized warning of g++ 12 about the
// unmasked intrinsics' undefined pass-through operand.
NIMBRA_SIMD_INLINE Vec max(Vec a, Vec b) { return {_mm512_maskz_max_ps(0xFFFF, a.v, b.v)}; }
NIMBRA_SIMD_INLINE Vec min(Vec a, Vec b) { return {_mm512_maskz_min_ps(0xFFFF, a.v, b.v)}; }
NIMBRA_SIMD_INLINE Mask lt(Vec a, Vec b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LT_OQ)}; }
NIMBRA_SIMD_INLINE Mask gt(Vec a, Vec b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GT_OQ)}; }
NIMBRA_SIMD_INLINE Vec select(Mask m, Vec t, Vec f) { return {_mm512_mask_blend_ps(m.m, f.v, t.v)}; }

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

// Bit i of `unsure` is set when lane i must be recomputed (see exp_rn_consts).
NIMBRA_SIMD_INLINE Vec exp_rn(Vec z, unsigned& unsure) {
  using namespace exp_rn_consts;
  __m512i bits_lo, bits_hi;
  const __m256 lo = exp_rn_half(_mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_extractf32x8_ps(0xFF, z.v, 0)), bits_lo);
  const __m256 hi = exp_rn_half(_mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_extractf32x8_ps(0xFF, z.v, 1)), bits_hi);
  // (The zero-masked forms with every lane selected are the plain
  // instructions; see max() above.)
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
#endif

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::simd
