// The vector vocabulary of the matmul kernels: one struct per instruction set
// with the same members, so the framework and micro-kernel in
// matmul_framework.hpp are written once and instantiated per ISA.
//
//   V4    4 lanes: SSE on x86-64 (GCC vector extension, a plain loop elsewhere)
//   V8    8 lanes: AVX2        (only in files compiled with -mavx2)
//   V8K   8 lanes: AVX-512VL   (ymm registers, all 32 of them, with mask registers;
//                               only in files compiled with -mavx512f/vl/bw/dq)
//   V16  16 lanes: AVX-512F    (likewise)
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
#else
  NIMBRA_MM_INLINE static void stream(float* p, T v) { store(p, v); }
  NIMBRA_MM_INLINE static void fence() {}
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

struct V16 {
  using T = __m512;
  using M = __mmask16;
  static constexpr std::size_t W = 16;

  NIMBRA_MM_INLINE static T zero() { return _mm512_setzero_ps(); }
  NIMBRA_MM_INLINE static T load(const float* p) { return _mm512_loadu_ps(p); }
  NIMBRA_MM_INLINE static void store(float* p, T v) { _mm512_storeu_ps(p, v); }
  NIMBRA_MM_INLINE static M mask(std::size_t n) { return static_cast<M>((1u << n) - 1u); }
  // Masked-off lanes are neither read nor faulted on.
  NIMBRA_MM_INLINE static T load_m(const float* p, M m) { return _mm512_maskz_loadu_ps(m, p); }
  NIMBRA_MM_INLINE static void store_m(float* p, T v, M m) { _mm512_mask_storeu_ps(p, m, v); }
  NIMBRA_MM_INLINE static T bcast(const float* p) { return _mm512_set1_ps(*p); }
  NIMBRA_MM_INLINE static T mul(T a, T b) { return _mm512_mul_ps(a, b); }
  NIMBRA_MM_INLINE static T add(T a, T b) { return _mm512_add_ps(a, b); }
  NIMBRA_MM_INLINE static void stream(float* p, T v) { _mm512_stream_ps(p, v); }
  NIMBRA_MM_INLINE static void fence() { _mm_sfence(); }
};
#endif

}  // inline namespace NIMBRA_MM_ABI
}  // namespace nimbra::kernels::mm
