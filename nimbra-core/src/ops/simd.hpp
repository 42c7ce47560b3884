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

namespace sse {

#if defined(NIMBRA_SIMD_HAVE_SSE2)

struct Mask {
  __m128 m;
};

struct Vec {
  static constexpr std::size_t lanes = 4;
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

}  // namespace avx2
#endif

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512DQ__)
namespace avx512 {

struct Mask {
  __mmask16 m;
};

struct Vec {
  static constexpr std::size_t lanes = 16;
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

}  // namespace avx512
#endif

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::simd
