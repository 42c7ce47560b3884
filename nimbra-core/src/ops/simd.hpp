// The vector vocabulary. Each instruction set gets a Vec type with the same
// operations under the same names, so a kernel is written once as a template
// over Vec and instantiated per ISA:
//
//   sse::Vec      4 lanes  (SSE2; plain C++ lanes under NIMBRA_SIMD_GENERIC
//                           or off x86)
//   avx2::Vec     8 lanes  (only in files compiled with -mavx2)
//   avx512::Vec  16 lanes  (only in files compiled with -mavx512f/vl/bw/dq)
//   avx512::Vec8  8 lanes  avx2::Vec as built for AVX-512: 32 registers, and
//                          mask registers for its partial loads and stores
//
// Lane semantics, identical in every Vec and mirrored by the scalar references:
//   a + b, a - b, a * b, a / b   IEEE f32, round to nearest even, never fused;
//                                the division is correctly rounded (never an
//                                approximate reciprocal).
//   neg(a), abs(a)               flip / clear the sign bit, NaN included.
//   max(a, b)                    a > b ? a : b  } b whenever either is NaN or
//   min(a, b)                    a < b ? a : b  } both are zeros (the x86 rule;
//                                operand order matters).
//   lt(a, b), gt(a, b), eq(a, b) ordered comparisons (false with NaN) -> Mask
//   unordered(a, b)              a or b is NaN -> Mask
//   m | n, andnot(m, n)          lane-wise m or n, (not m) and n
//   first_lane(m)                the lowest selected lane, or lanes if none
//   select(m, t, f)              m ? t : f
//   Vec::zero(), Vec::broadcast(x), Vec::broadcast_from(p)
//                                +0.0 / x / *p (read straight from memory) in
//                                every lane, bits kept (-0.0 and NaN too).
//   Vec::load(p), store(p, a)    unaligned.
//   Vec::tail(k)                 selects lanes [0, k), 0 <= k <= lanes, for
//   Vec::load(p, t)              partial loads and stores: only the selected
//   store(p, a, t)               lanes are read or written (the others load as
//                                +0.0 and are never touched, so an access may
//                                end at the end of an allocation).
//   stream(p, a)                 store past the caches; p aligned to the vector
//                                width; stream_fence() after the last one.
//   times_broadcast(b, p)        b * Vec::broadcast_from(p); on AVX-512 one
//                                instruction, the broadcast folded into the
//                                multiply.
//   transpose_square<Vec>(s, ls, d, ld)
//                                d[c*ld + r] = s[r*ls + c] for r, c < lanes:
//                                a square of lanes rows loaded, transposed in
//                                registers and stored.
//   add_columns(sum, s, ls)      lane r of sum plus s[r*ls + c] for c = 0, 1,
//                                ... lanes - 1 in that order: the sums of
//                                lanes rows, each one chain.
// The exact exponential of the softmax kernels extends this vocabulary in
// ops/lane_math.hpp.
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
#define NIMBRA_SIMD_X86 1
#if defined(__AVX2__)
#define NIMBRA_SIMD_AVX2 1
#endif
#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512DQ__)
#define NIMBRA_SIMD_AVX512 1
#endif
#endif

#if defined(NIMBRA_SIMD_AVX512)
#define NIMBRA_SIMD_ABI abi_avx512
#elif defined(NIMBRA_SIMD_AVX2)
#define NIMBRA_SIMD_ABI abi_avx2
#elif defined(NIMBRA_SIMD_X86)
#define NIMBRA_SIMD_ABI abi_sse2
#else
#define NIMBRA_SIMD_ABI abi_generic
#endif

#define NIMBRA_SIMD_INLINE [[gnu::always_inline]] inline

namespace nimbra::simd {
inline namespace NIMBRA_SIMD_ABI {

// Specialised below for each Vec that has it, with named rows: g++ keeps an
// array of eight 256-bit vectors on the stack instead of in registers.
template <class V>
void transpose_square(const float* s, std::ptrdiff_t ls, float* d, std::ptrdiff_t ld);

// Streaming stores are weakly ordered: fence them before anything that
// publishes the data (a release store, a lock, a pool's completion flag).
NIMBRA_SIMD_INLINE void stream_fence() {
#if defined(NIMBRA_SIMD_X86)
  _mm_sfence();
#endif
}

namespace sse {

#if defined(NIMBRA_SIMD_X86)

struct Mask {
  __m128 m;
};

struct Vec {
  static constexpr std::size_t lanes = 4;
  struct Tail {
    std::size_t k;
  };
  __m128 v;

  NIMBRA_SIMD_INLINE static Vec load(const float* p) { return {_mm_loadu_ps(p)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast(float x) { return {_mm_set1_ps(x)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast_from(const float* p) { return {_mm_load1_ps(p)}; }
  NIMBRA_SIMD_INLINE static Vec zero() { return {_mm_setzero_ps()}; }
  NIMBRA_SIMD_INLINE static Tail tail(std::size_t k) { return {k}; }
  NIMBRA_SIMD_INLINE static Vec load(const float* p, Tail t);
};

NIMBRA_SIMD_INLINE void store(float* p, Vec a) { _mm_storeu_ps(p, a.v); }
NIMBRA_SIMD_INLINE void stream(float* p, Vec a) { _mm_stream_ps(p, a.v); }
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
NIMBRA_SIMD_INLINE Mask eq(Vec a, Vec b) { return {_mm_cmpeq_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Mask unordered(Vec a, Vec b) { return {_mm_cmpunord_ps(a.v, b.v)}; }
NIMBRA_SIMD_INLINE Mask operator|(Mask m, Mask n) { return {_mm_or_ps(m.m, n.m)}; }
NIMBRA_SIMD_INLINE Mask andnot(Mask m, Mask n) { return {_mm_andnot_ps(m.m, n.m)}; }
NIMBRA_SIMD_INLINE std::size_t first_lane(Mask m) {
  return static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(_mm_movemask_ps(m.m)) | 0x10u));
}
// SSE2 has no blend: the mask lanes are all ones or all zeros.
NIMBRA_SIMD_INLINE Vec select(Mask m, Vec t, Vec f) {
  return {_mm_or_ps(_mm_and_ps(m.m, t.v), _mm_andnot_ps(m.m, f.v))};
}

#else  // plain C++ lanes, same lane rules

struct Mask {
  bool m[4];
};

struct Vec {
  static constexpr std::size_t lanes = 4;
  struct Tail {
    std::size_t k;
  };
  float v[4];

  static Vec load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
  static Vec broadcast(float x) { return {{x, x, x, x}}; }
  static Vec broadcast_from(const float* p) { return broadcast(*p); }
  static Vec zero() { return broadcast(0.0f); }
  static Tail tail(std::size_t k) { return {k}; }
  NIMBRA_SIMD_INLINE static Vec load(const float* p, Tail t);
};

template <class F>
inline Vec lanewise(Vec a, Vec b, F f) {
  return {{f(a.v[0], b.v[0]), f(a.v[1], b.v[1]), f(a.v[2], b.v[2]), f(a.v[3], b.v[3])}};
}
inline void store(float* p, Vec a) {
  for (std::size_t i = 0; i < 4; ++i) p[i] = a.v[i];
}
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
inline Mask eq(Vec a, Vec b) { return {{a.v[0] == b.v[0], a.v[1] == b.v[1], a.v[2] == b.v[2], a.v[3] == b.v[3]}}; }
inline std::size_t first_lane(Mask m) {
  std::size_t i = 0;
  while (i < 4 && !m.m[i]) ++i;
  return i;
}
inline Mask unordered(Vec a, Vec b) {
  Mask r;
  for (std::size_t i = 0; i < 4; ++i) r.m[i] = std::isnan(a.v[i]) || std::isnan(b.v[i]);
  return r;
}
inline Mask operator|(Mask m, Mask n) { return {{m.m[0] || n.m[0], m.m[1] || n.m[1], m.m[2] || n.m[2], m.m[3] || n.m[3]}}; }
inline Mask andnot(Mask m, Mask n) { return {{!m.m[0] && n.m[0], !m.m[1] && n.m[1], !m.m[2] && n.m[2], !m.m[3] && n.m[3]}}; }
inline Vec select(Mask m, Vec t, Vec f) {
  return {{m.m[0] ? t.v[0] : f.v[0], m.m[1] ? t.v[1] : f.v[1], m.m[2] ? t.v[2] : f.v[2],
           m.m[3] ? t.v[3] : f.v[3]}};
}

#endif

// Partial accesses go lane by lane in both forms: SSE2 has no masked load or
// store.
NIMBRA_SIMD_INLINE Vec Vec::load(const float* p, Tail t) {
  Vec r = zero();
  for (std::size_t i = 0; i < t.k; ++i) r.v[i] = p[i];
  return r;
}
NIMBRA_SIMD_INLINE void store(float* p, Vec a, Vec::Tail t) {
  for (std::size_t i = 0; i < t.k; ++i) p[i] = a.v[i];
}

}  // namespace sse

#if defined(NIMBRA_SIMD_X86)
template <>
NIMBRA_SIMD_INLINE void transpose_square<sse::Vec>(const float* s, std::ptrdiff_t ls, float* d, std::ptrdiff_t ld) {
  __m128 r0 = _mm_loadu_ps(s), r1 = _mm_loadu_ps(s + ls), r2 = _mm_loadu_ps(s + 2 * ls), r3 = _mm_loadu_ps(s + 3 * ls);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  _mm_storeu_ps(d, r0);
  _mm_storeu_ps(d + ld, r1);
  _mm_storeu_ps(d + 2 * ld, r2);
  _mm_storeu_ps(d + 3 * ld, r3);
}
#else
template <>
inline void transpose_square<sse::Vec>(const float* s, std::ptrdiff_t ls, float* d, std::ptrdiff_t ld) {
  for (std::ptrdiff_t r = 0; r < 4; ++r)
    for (std::ptrdiff_t c = 0; c < 4; ++c) d[c * ld + r] = s[r * ls + c];
}
#endif

#if defined(NIMBRA_SIMD_AVX2)
namespace avx2 {

struct Mask {
  __m256 m;
};

struct Vec {
  static constexpr std::size_t lanes = 8;
#if defined(NIMBRA_SIMD_AVX512)
  struct Tail {
    __mmask8 m;
  };
#else
  struct Tail {
    __m256i m;
  };
#endif
  __m256 v;

  NIMBRA_SIMD_INLINE static Vec load(const float* p) { return {_mm256_loadu_ps(p)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast(float x) { return {_mm256_set1_ps(x)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast_from(const float* p) { return {_mm256_broadcast_ss(p)}; }
  NIMBRA_SIMD_INLINE static Vec zero() { return {_mm256_setzero_ps()}; }
  // Masked-off lanes are neither read nor faulted on (vmaskmovps, or a move
  // under a mask register when built for AVX-512).
#if defined(NIMBRA_SIMD_AVX512)
  NIMBRA_SIMD_INLINE static Tail tail(std::size_t k) { return {static_cast<__mmask8>((1u << k) - 1u)}; }
  NIMBRA_SIMD_INLINE static Vec load(const float* p, Tail t) { return {_mm256_maskz_loadu_ps(t.m, p)}; }
#else
  NIMBRA_SIMD_INLINE static Tail tail(std::size_t k) {
    return {_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(k)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))};
  }
  NIMBRA_SIMD_INLINE static Vec load(const float* p, Tail t) { return {_mm256_maskload_ps(p, t.m)}; }
#endif
};

NIMBRA_SIMD_INLINE void store(float* p, Vec a) { _mm256_storeu_ps(p, a.v); }
#if defined(NIMBRA_SIMD_AVX512)
NIMBRA_SIMD_INLINE void store(float* p, Vec a, Vec::Tail t) { _mm256_mask_storeu_ps(p, t.m, a.v); }
#else
NIMBRA_SIMD_INLINE void store(float* p, Vec a, Vec::Tail t) { _mm256_maskstore_ps(p, t.m, a.v); }
#endif
NIMBRA_SIMD_INLINE void stream(float* p, Vec a) { _mm256_stream_ps(p, a.v); }
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
NIMBRA_SIMD_INLINE Mask eq(Vec a, Vec b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)}; }
NIMBRA_SIMD_INLINE Mask unordered(Vec a, Vec b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_UNORD_Q)}; }
NIMBRA_SIMD_INLINE Mask operator|(Mask m, Mask n) { return {_mm256_or_ps(m.m, n.m)}; }
NIMBRA_SIMD_INLINE Mask andnot(Mask m, Mask n) { return {_mm256_andnot_ps(m.m, n.m)}; }
NIMBRA_SIMD_INLINE std::size_t first_lane(Mask m) {
  return static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(_mm256_movemask_ps(m.m)) | 0x100u));
}
NIMBRA_SIMD_INLINE Vec select(Mask m, Vec t, Vec f) { return {_mm256_blendv_ps(f.v, t.v, m.m)}; }

}  // namespace avx2

// Pairs of rows interleaved, then pairs of pairs, then the 128-bit halves.
template <>
NIMBRA_SIMD_INLINE void transpose_square<avx2::Vec>(const float* s, std::ptrdiff_t ls, float* d, std::ptrdiff_t ld) {
  const __m256 r0 = _mm256_loadu_ps(s), r1 = _mm256_loadu_ps(s + ls), r2 = _mm256_loadu_ps(s + 2 * ls),
               r3 = _mm256_loadu_ps(s + 3 * ls), r4 = _mm256_loadu_ps(s + 4 * ls), r5 = _mm256_loadu_ps(s + 5 * ls),
               r6 = _mm256_loadu_ps(s + 6 * ls), r7 = _mm256_loadu_ps(s + 7 * ls);
  const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1),
               t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3),
               t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5),
               t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE),
               u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE),
               u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE),
               u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  _mm256_storeu_ps(d, _mm256_permute2f128_ps(u0, u4, 0x20));
  _mm256_storeu_ps(d + ld, _mm256_permute2f128_ps(u1, u5, 0x20));
  _mm256_storeu_ps(d + 2 * ld, _mm256_permute2f128_ps(u2, u6, 0x20));
  _mm256_storeu_ps(d + 3 * ld, _mm256_permute2f128_ps(u3, u7, 0x20));
  _mm256_storeu_ps(d + 4 * ld, _mm256_permute2f128_ps(u0, u4, 0x31));
  _mm256_storeu_ps(d + 5 * ld, _mm256_permute2f128_ps(u1, u5, 0x31));
  _mm256_storeu_ps(d + 6 * ld, _mm256_permute2f128_ps(u2, u6, 0x31));
  _mm256_storeu_ps(d + 7 * ld, _mm256_permute2f128_ps(u3, u7, 0x31));
}
#endif

#if defined(NIMBRA_SIMD_AVX512)
namespace avx512 {

struct Mask {
  __mmask16 m;
};

struct Vec {
  static constexpr std::size_t lanes = 16;
  struct Tail {
    __mmask16 m;
  };
  __m512 v;

  NIMBRA_SIMD_INLINE static Vec load(const float* p) { return {_mm512_loadu_ps(p)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast(float x) { return {_mm512_set1_ps(x)}; }
  NIMBRA_SIMD_INLINE static Vec broadcast_from(const float* p) { return {_mm512_set1_ps(*p)}; }
  NIMBRA_SIMD_INLINE static Vec zero() { return {_mm512_setzero_ps()}; }
  // Masked-off lanes are neither read nor faulted on.
  NIMBRA_SIMD_INLINE static Tail tail(std::size_t k) { return {static_cast<__mmask16>((1u << k) - 1u)}; }
  NIMBRA_SIMD_INLINE static Vec load(const float* p, Tail t) { return {_mm512_maskz_loadu_ps(t.m, p)}; }
};

// 8 lanes in AVX-512 code (the matmul transposes A into micro-panels with it).
using Vec8 = avx2::Vec;

NIMBRA_SIMD_INLINE void store(float* p, Vec a) { _mm512_storeu_ps(p, a.v); }
NIMBRA_SIMD_INLINE void store(float* p, Vec a, Vec::Tail t) { _mm512_mask_storeu_ps(p, t.m, a.v); }
NIMBRA_SIMD_INLINE void stream(float* p, Vec a) { _mm512_stream_ps(p, a.v); }
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
NIMBRA_SIMD_INLINE Mask eq(Vec a, Vec b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_EQ_OQ)}; }
NIMBRA_SIMD_INLINE Mask unordered(Vec a, Vec b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_UNORD_Q)}; }
NIMBRA_SIMD_INLINE Mask operator|(Mask m, Mask n) { return {static_cast<__mmask16>(m.m | n.m)}; }
NIMBRA_SIMD_INLINE Mask andnot(Mask m, Mask n) { return {static_cast<__mmask16>(~m.m & n.m)}; }
NIMBRA_SIMD_INLINE std::size_t first_lane(Mask m) {
  return static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(m.m) | 0x10000u));
}
NIMBRA_SIMD_INLINE Vec select(Mask m, Vec t, Vec f) { return {_mm512_mask_blend_ps(m.m, f.v, t.v)}; }

}  // namespace avx512

// A 512-bit broadcast into a register takes a slot of the floating-point
// pipes on Zen 4, which a matmul tile needs for its multiplies and adds;
// folded into the multiply ({1to16}) it is a plain load.
NIMBRA_SIMD_INLINE avx512::Vec times_broadcast(avx512::Vec b, const float* p) {
  __m512 r;
  asm("vmulps %1%{1to16%}, %2, %0" : "=v"(r) : "m"(*p), "v"(b.v));
  return {r};
}

// Four 8 x 8 squares.
template <>
NIMBRA_SIMD_INLINE void transpose_square<avx512::Vec>(const float* s, std::ptrdiff_t ls, float* d,
                                                      std::ptrdiff_t ld) {
  for (std::ptrdiff_t r = 0; r < 16; r += 8)
    for (std::ptrdiff_t c = 0; c < 16; c += 8) transpose_square<avx2::Vec>(s + r * ls + c, ls, d + c * ld + r, ld);
}
#endif

template <class V>
NIMBRA_SIMD_INLINE V times_broadcast(V b, const float* p) {
  return V::broadcast_from(p) * b;
}

// Through a square on the stack; AVX-512 keeps it in registers.
template <class V>
NIMBRA_SIMD_INLINE V add_columns(V sum, const float* s, std::ptrdiff_t ls) {
  constexpr std::size_t n = V::lanes;
  alignas(64) float square[n * n];
  transpose_square<V>(s, ls, square, static_cast<std::ptrdiff_t>(n));
  for (std::size_t c = 0; c < n; ++c) sum = sum + V::load(square + c * n);
  return sum;
}

#if defined(NIMBRA_SIMD_AVX512)
// Within each 128-bit lane the rows are interleaved in pairs, then in pairs of
// pairs (u[i] then holds columns i, i + 4, i + 8, i + 12 of four rows), then
// the lanes are gathered. (Zero-masked forms, as in max().)
template <>
NIMBRA_SIMD_INLINE avx512::Vec add_columns<avx512::Vec>(avx512::Vec sum, const float* s, std::ptrdiff_t ls) {
  const auto lo_ps = [](__m512 a, __m512 b) { return _mm512_castps_pd(_mm512_maskz_unpacklo_ps(0xFFFF, a, b)); };
  const auto hi_ps = [](__m512 a, __m512 b) { return _mm512_castps_pd(_mm512_maskz_unpackhi_ps(0xFFFF, a, b)); };
  const auto lo_pd = [](__m512d a, __m512d b) { return _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(0xFF, a, b)); };
  const auto hi_pd = [](__m512d a, __m512d b) { return _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(0xFF, a, b)); };
  __m512 u[16];
  for (int q = 0; q < 16; q += 4) {
    const __m512 r0 = _mm512_loadu_ps(s + q * ls), r1 = _mm512_loadu_ps(s + (q + 1) * ls),
                 r2 = _mm512_loadu_ps(s + (q + 2) * ls), r3 = _mm512_loadu_ps(s + (q + 3) * ls);
    const __m512d t0 = lo_ps(r0, r1), t1 = hi_ps(r0, r1), t2 = lo_ps(r2, r3), t3 = hi_ps(r2, r3);
    u[q] = lo_pd(t0, t2);
    u[q + 1] = hi_pd(t0, t2);
    u[q + 2] = lo_pd(t1, t3);
    u[q + 3] = hi_pd(t1, t3);
  }
  // Lanes 0 and 2 of both (0x88), or lanes 1 and 3 (0xDD).
  const auto even = [](__m512 a, __m512 b) { return _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, 0x88); };
  const auto odd = [](__m512 a, __m512 b) { return _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, 0xDD); };
  __m512 col[16];
  for (int i = 0; i < 4; ++i) {
    const __m512 a = even(u[i], u[4 + i]), b = even(u[8 + i], u[12 + i]);
    const __m512 c = odd(u[i], u[4 + i]), d = odd(u[8 + i], u[12 + i]);
    col[i] = even(a, b);
    col[8 + i] = odd(a, b);
    col[4 + i] = even(c, d);
    col[12 + i] = odd(c, d);
  }
  for (int c = 0; c < 16; ++c) sum = sum + avx512::Vec{col[c]};
  return sum;
}
#endif

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::simd
