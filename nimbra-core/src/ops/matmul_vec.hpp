// The vector vocabulary of the matmul kernels: one struct per instruction set
// with the same members, so the framework and micro-kernel in
// matmul_framework.hpp are written once and instantiated per ISA.
//
//   V4    4 lanes: SSE on x86-64 (GCC vector extension, a plain loop elsewhere)
//   V8    8 lanes: AVX2        (only in files compiled with -mavx2)
//   V8K   8 lanes: AVX-512VL   (ymm registers, all 32 of them, with mask registers;
//                               only in files compiled with -mavx512f/vl/bw/dq)
//
// Members (T the register type, M a partial-vector mask):
//   zero()                       +0.0 in every lane
//   load(p) / store(p, v)        unaligned, W floats
//   mask(n), 1 <= n <= W         selects lanes [0, n)
//   load_m(p, m) / store_m(p, v, m)
//                                only the selected lanes are read / written (and
//                                may fault); unselected lanes load as +0.0
//   bcast(p)                     *p in every lane (bit-exact, -0.0 and NaN kept)
//   mul(a, b), add(a, b)         IEEE f32, round to nearest even, never fused
//   stream(p, v)                 non-temporal store; p aligned to W floats
//   transpose(s, ls, d, ld)      d[c*ld + r] = s[r*ls + c] for r, c < W (packing)
//   fence()                      orders the non-temporal stores before later stores
//
// Everything lives in an inline namespace named after the file's compile
// flags: an inline function built with -mavx2 must never be merged at link
// time with its baseline twin, or the baseline path could run AVX code.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NIMBRA_MM_X86 1
#endif

#if defined(__AVX512F__) && defined(__AVX512VL__)
#define NIMBRA_MM_ABI mm_abi_avx512
#elif defined(__AVX2__)
#define NIMBRA_MM_ABI mm_abi_avx2
#else
#define NIMBRA_MM_ABI mm_abi_base
#endif

#define NIMBRA_MM_INLINE [[gnu::always_inline]] inline

namespace nimbra::kernels::mm {
inline namespace NIMBRA_MM_ABI {

struct V4 {
  typedef float T __attribute__((vector_size(16)));
  // The unaligned, aliasing view used for loads and stores.
  typedef float U __attribute__((vector_size(16), aligned(4), may_alias));
  using M = std::size_t;  // number of leading lanes
  static constexpr std::size_t W = 4;

  NIMBRA_MM_INLINE static T zero() { return T{0.0f, 0.0f, 0.0f, 0.0f}; }
  NIMBRA_MM_INLINE static T load(const float* p) { return *reinterpret_cast<const U*>(p); }
  NIMBRA_MM_INLINE static void store(float* p, T v) { *reinterpret_cast<U*>(p) = v; }
  NIMBRA_MM_INLINE static M mask(std::size_t n) { return n; }
  NIMBRA_MM_INLINE static T load_m(const float* p, M n) {
    T v = zero();
    for (std::size_t i = 0; i < n; ++i) v[i] = p[i];
    return v;
  }
  NIMBRA_MM_INLINE static void store_m(float* p, T v, M n) {
    for (std::size_t i = 0; i < n; ++i) p[i] = v[i];
  }
  NIMBRA_MM_INLINE static T bcast(const float* p) {
    const float x = *p;
    return T{x, x, x, x};
  }
  NIMBRA_MM_INLINE static T mul(T a, T b) { return a * b; }
  NIMBRA_MM_INLINE static T add(T a, T b) { return a + b; }
#if defined(NIMBRA_MM_X86)
  NIMBRA_MM_INLINE static void stream(float* p, T v) { _mm_stream_ps(p, (__m128)v); }
  NIMBRA_MM_INLINE static void fence() { _mm_sfence(); }
  NIMBRA_MM_INLINE static void transpose(const float* s, std::ptrdiff_t ls, float* d, std::ptrdiff_t ld) {
    __m128 r0 = _mm_loadu_ps(s), r1 = _mm_loadu_ps(s + ls), r2 = _mm_loadu_ps(s + 2 * ls),
           r3 = _mm_loadu_ps(s + 3 * ls);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _mm_storeu_ps(d, r0);
    _mm_storeu_ps(d + ld, r1);
    _mm_storeu_ps(d + 2 * ld, r2);
    _mm_storeu_ps(d + 3 * ld, r3);
  }
#else
  NIMBRA_MM_INLINE static void stream(float* p, T v) { store(p, v); }
  NIMBRA_MM_INLINE static void fence() {}
  NIMBRA_MM_INLINE static void transpose(const float* s, std::ptrdiff_t ls, float* d, std::ptrdiff_t ld) {
    for (std::ptrdiff_t r = 0; r < 4; ++r)
      for (std::ptrdiff_t c = 0; c < 4; ++c) d[c * ld + r] = s[r * ls + c];
  }
#endif
};

#if defined(__AVX2__)
struct V8 {
  using T = __m256;
  using M = __m256i;
  static constexpr std::size_t W = 8;

  NIMBRA_MM_INLINE static T zero() { return _mm256_setzero_ps(); }
  NIMBRA_MM_INLINE static T load(const float* p) { return _mm256_loadu_ps(p); }
  NIMBRA_MM_INLINE static void store(float* p, T v) { _mm256_storeu_ps(p, v); }
  NIMBRA_MM_INLINE static M mask(std::size_t n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  // vmaskmovps: masked-off lanes are neither read nor faulted on.
  NIMBRA_MM_INLINE static T load_m(const float* p, M m) { return _mm256_maskload_ps(p, m); }
  NIMBRA_MM_INLINE static void store_m(float* p, T v, M m) { _mm256_maskstore_ps(p, m, v); }
  NIMBRA_MM_INLINE static T bcast(const float* p) { return _mm256_broadcast_ss(p); }
  NIMBRA_MM_INLINE static T mul(T a, T b) { return _mm256_mul_ps(a, b); }
  NIMBRA_MM_INLINE static T add(T a, T b) { return _mm256_add_ps(a, b); }
  NIMBRA_MM_INLINE static void stream(float* p, T v) { _mm256_stream_ps(p, v); }
  NIMBRA_MM_INLINE static void fence() { _mm_sfence(); }
  NIMBRA_MM_INLINE static void transpose(const float* s, std::ptrdiff_t ls, float* d, std::ptrdiff_t ld) {
    const __m256 r0 = load(s), r1 = load(s + ls), r2 = load(s + 2 * ls), r3 = load(s + 3 * ls),
                 r4 = load(s + 4 * ls), r5 = load(s + 5 * ls), r6 = load(s + 6 * ls),
                 r7 = load(s + 7 * ls);
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1),
                 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3),
                 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5),
                 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE),
                 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE),
                 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE),
                 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    store(d, _mm256_permute2f128_ps(u0, u4, 0x20));
    store(d + ld, _mm256_permute2f128_ps(u1, u5, 0x20));
    store(d + 2 * ld, _mm256_permute2f128_ps(u2, u6, 0x20));
    store(d + 3 * ld, _mm256_permute2f128_ps(u3, u7, 0x20));
    store(d + 4 * ld, _mm256_permute2f128_ps(u0, u4, 0x31));
    store(d + 5 * ld, _mm256_permute2f128_ps(u1, u5, 0x31));
    store(d + 6 * ld, _mm256_permute2f128_ps(u2, u6, 0x31));
    store(d + 7 * ld, _mm256_permute2f128_ps(u3, u7, 0x31));
  }
};
#endif

#if defined(__AVX512F__) && defined(__AVX512VL__)
struct V8K : V8 {
  using M = __mmask8;
  NIMBRA_MM_INLINE static M mask(std::size_t n) { return static_cast<M>((1u << n) - 1u); }
  // Masked-off lanes are neither read nor faulted on.
  NIMBRA_MM_INLINE static T load_m(const float* p, M m) { return _mm256_maskz_loadu_ps(m, p); }
  NIMBRA_MM_INLINE static void store_m(float* p, T v, M m) { _mm256_mask_storeu_ps(p, m, v); }
};
#endif

}  // inline namespace NIMBRA_MM_ABI
}  // namespace nimbra::kernels::mm
