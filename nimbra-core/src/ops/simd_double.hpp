// The double lanes of the vector vocabulary (ops/simd.hpp): the accurate
// functions and the exact exponential compute in double precision and round
// once to f32 at the end. Each f32 Vec has a VecD of half its lanes (one
// register), the 64-bit integer view VecI of the same lanes and MaskD:
//
//   sse::VecD     2 lanes  (SSE2; plain C++ lanes under NIMBRA_SIMD_GENERIC
//                           or off x86)
//   avx2::VecD    4 lanes
//   avx512::VecD  8 lanes
//   scalar::VecD  1 lane   plain C++, for the scalar references
//
// Lane semantics, identical in every VecD (and in scalar::VecD):
//   widen_lo(v), widen_hi(v)   Vec lanes [0, n/2) / [n/2, n) as doubles (exact)
//   narrow(lo, hi)             the Vec of both, each lane rounded to nearest f32
//   a + b, a - b, a * b, a / b IEEE double, round to nearest even, never fused
//   mul_add(a, b, c)           a * b + c, rounded once where the instruction
//                              set fuses them (AVX-512), else twice: only for
//                              computations that are rounded correctly in the
//                              end whatever their last bits (the exact
//                              exponential), never where bits are specified
//   abs(a)                     clears the sign bit
//   max(a, b), min(a, b)       a > b ? a : b, a < b ? a : b (the x86 rule of
//                              ops/simd.hpp: b whenever either is NaN)
//   lt, gt, le, ge (a, b)      ordered comparisons (false with NaN) -> MaskD
//   m1 & m2, m1 | m2           lane-wise and / or of masks
//   select(m, t, f)            m ? t : f
//   VecD::broadcast(x), VecD::zero(), VecD::load(p), store(p, a)   (unaligned)
//   as_int(a), as_double(i)    the same 64 bits viewed as VecI / VecD
//   VecI: i + j, i - j, i & j, VecI::broadcast(u)
//         shl<n>(i), shr<n>(i) logical shifts by a constant
//         eq(i, j) -> MaskD
//         none_set(i, j)       (i & j) == 0 -> MaskD
//   lookup16(t, i)             t[i & 15]; t holds 16 doubles, 64-byte aligned
//   bitmask(m)                 bit k set when lane k of m is set (MaskD, and
//                              the f32 Mask of ops/simd.hpp)
//   wide_t<Vec>                the VecD that goes with a Vec
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "ops/simd.hpp"

namespace nimbra::simd {
inline namespace NIMBRA_SIMD_ABI {

// Plain C++ lanes: the scalar references' one lane, and the baseline's two
// off x86.
namespace generic {

template <std::size_t N>
struct MaskD {
  bool m[N];
};

template <std::size_t N>
struct VecI {
  static constexpr std::size_t lanes = N;
  std::uint64_t v[N];
  static VecI broadcast(std::uint64_t x) {
    VecI r;
    for (std::size_t i = 0; i < N; ++i) r.v[i] = x;
    return r;
  }
};

template <std::size_t N>
struct VecD {
  static constexpr std::size_t lanes = N;
  using Int = VecI<N>;
  double v[N];
  static VecD broadcast(double x) {
    VecD r;
    for (std::size_t i = 0; i < N; ++i) r.v[i] = x;
    return r;
  }
  static VecD zero() { return broadcast(0.0); }
  static VecD load(const double* p) {
    VecD r;
    for (std::size_t i = 0; i < N; ++i) r.v[i] = p[i];
    return r;
  }
};

template <std::size_t N>
inline void store(double* p, VecD<N> a) {
  for (std::size_t i = 0; i < N; ++i) p[i] = a.v[i];
}

// r[i] = f(a[i], b[i]) for every lane.
template <class R, class A, class F>
inline R lanewise_d(const A& a, const A& b, F f) {
  R r;
  for (std::size_t i = 0; i < A::lanes; ++i) r.v[i] = f(a.v[i], b.v[i]);
  return r;
}
template <std::size_t N, class F>
inline MaskD<N> compare_d(VecD<N> a, VecD<N> b, F f) {
  MaskD<N> r;
  for (std::size_t i = 0; i < N; ++i) r.m[i] = f(a.v[i], b.v[i]);
  return r;
}

template <std::size_t N>
inline VecD<N> operator+(VecD<N> a, VecD<N> b) { return lanewise_d<VecD<N>>(a, b, [](double x, double y) { return x + y; }); }
template <std::size_t N>
inline VecD<N> operator-(VecD<N> a, VecD<N> b) { return lanewise_d<VecD<N>>(a, b, [](double x, double y) { return x - y; }); }
template <std::size_t N>
inline VecD<N> operator*(VecD<N> a, VecD<N> b) { return lanewise_d<VecD<N>>(a, b, [](double x, double y) { return x * y; }); }
template <std::size_t N>
inline VecD<N> operator/(VecD<N> a, VecD<N> b) { return lanewise_d<VecD<N>>(a, b, [](double x, double y) { return x / y; }); }
template <std::size_t N>
inline VecD<N> mul_add(VecD<N> a, VecD<N> b, VecD<N> c) { return a * b + c; }
template <std::size_t N>
inline VecD<N> max(VecD<N> a, VecD<N> b) { return lanewise_d<VecD<N>>(a, b, [](double x, double y) { return x > y ? x : y; }); }
template <std::size_t N>
inline VecD<N> min(VecD<N> a, VecD<N> b) { return lanewise_d<VecD<N>>(a, b, [](double x, double y) { return x < y ? x : y; }); }
template <std::size_t N>
inline VecD<N> abs(VecD<N> a) {
  for (double& x : a.v) x = std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63));
  return a;
}
template <std::size_t N>
inline MaskD<N> lt(VecD<N> a, VecD<N> b) { return compare_d(a, b, [](double x, double y) { return x < y; }); }
template <std::size_t N>
inline MaskD<N> gt(VecD<N> a, VecD<N> b) { return compare_d(a, b, [](double x, double y) { return x > y; }); }
template <std::size_t N>
inline MaskD<N> le(VecD<N> a, VecD<N> b) { return compare_d(a, b, [](double x, double y) { return x <= y; }); }
template <std::size_t N>
inline MaskD<N> ge(VecD<N> a, VecD<N> b) { return compare_d(a, b, [](double x, double y) { return x >= y; }); }
template <std::size_t N>
inline MaskD<N> operator&(MaskD<N> a, MaskD<N> b) {
  for (std::size_t i = 0; i < N; ++i) a.m[i] = a.m[i] && b.m[i];
  return a;
}
template <std::size_t N>
inline MaskD<N> operator|(MaskD<N> a, MaskD<N> b) {
  for (std::size_t i = 0; i < N; ++i) a.m[i] = a.m[i] || b.m[i];
  return a;
}
template <std::size_t N>
inline VecD<N> select(MaskD<N> m, VecD<N> t, VecD<N> f) {
  for (std::size_t i = 0; i < N; ++i) t.v[i] = m.m[i] ? t.v[i] : f.v[i];
  return t;
}
template <std::size_t N>
inline unsigned bitmask(MaskD<N> m) {
  unsigned r = 0;
  for (std::size_t i = 0; i < N; ++i) r |= static_cast<unsigned>(m.m[i]) << i;
  return r;
}

template <std::size_t N>
inline VecI<N> as_int(VecD<N> a) {
  VecI<N> r;
  for (std::size_t i = 0; i < N; ++i) r.v[i] = std::bit_cast<std::uint64_t>(a.v[i]);
  return r;
}
template <std::size_t N>
inline VecD<N> as_double(VecI<N> a) {
  VecD<N> r;
  for (std::size_t i = 0; i < N; ++i) r.v[i] = std::bit_cast<double>(a.v[i]);
  return r;
}
template <std::size_t N>
inline VecI<N> operator+(VecI<N> a, VecI<N> b) { return lanewise_d<VecI<N>>(a, b, [](std::uint64_t x, std::uint64_t y) { return x + y; }); }
template <std::size_t N>
inline VecI<N> operator-(VecI<N> a, VecI<N> b) { return lanewise_d<VecI<N>>(a, b, [](std::uint64_t x, std::uint64_t y) { return x - y; }); }
template <std::size_t N>
inline VecI<N> operator&(VecI<N> a, VecI<N> b) { return lanewise_d<VecI<N>>(a, b, [](std::uint64_t x, std::uint64_t y) { return x & y; }); }
template <int S, std::size_t N>
inline VecI<N> shl(VecI<N> a) {
  for (std::uint64_t& x : a.v) x <<= S;
  return a;
}
template <int S, std::size_t N>
inline VecI<N> shr(VecI<N> a) {
  for (std::uint64_t& x : a.v) x >>= S;
  return a;
}
template <std::size_t N>
inline MaskD<N> eq(VecI<N> a, VecI<N> b) {
  MaskD<N> r;
  for (std::size_t i = 0; i < N; ++i) r.m[i] = a.v[i] == b.v[i];
  return r;
}
template <std::size_t N>
inline VecD<N> lookup16(const double* t, VecI<N> i) {
  VecD<N> r;
  for (std::size_t k = 0; k < N; ++k) r.v[k] = t[i.v[k] & 15];
  return r;
}

}  // namespace generic

namespace scalar {
using VecD = generic::VecD<1>;
using VecI = generic::VecI<1>;
using MaskD = generic::MaskD<1>;
}  // namespace scalar

namespace sse {

#if defined(NIMBRA_SIMD_X86)

struct MaskD {
  __m128d m;
};

struct VecI {
  static constexpr std::size_t lanes = 2;
  __m128i v;
  NIMBRA_SIMD_INLINE static VecI broadcast(std::uint64_t x) { return {_mm_set1_epi64x(static_cast<long long>(x))}; }
};

struct VecD {
  static constexpr std::size_t lanes = 2;
  using Int = VecI;
  __m128d v;
  NIMBRA_SIMD_INLINE static VecD broadcast(double x) { return {_mm_set1_pd(x)}; }
  NIMBRA_SIMD_INLINE static VecD zero() { return {_mm_setzero_pd()}; }
  NIMBRA_SIMD_INLINE static VecD load(const double* p) { return {_mm_loadu_pd(p)}; }
};

NIMBRA_SIMD_INLINE void store(double* p, VecD a) { _mm_storeu_pd(p, a.v); }

NIMBRA_SIMD_INLINE VecD widen_lo(Vec a) { return {_mm_cvtps_pd(a.v)}; }
NIMBRA_SIMD_INLINE VecD widen_hi(Vec a) { return {_mm_cvtps_pd(_mm_movehl_ps(a.v, a.v))}; }
NIMBRA_SIMD_INLINE Vec narrow(VecD lo, VecD hi) { return {_mm_movelh_ps(_mm_cvtpd_ps(lo.v), _mm_cvtpd_ps(hi.v))}; }
NIMBRA_SIMD_INLINE VecD operator+(VecD a, VecD b) { return {_mm_add_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator-(VecD a, VecD b) { return {_mm_sub_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator*(VecD a, VecD b) { return {_mm_mul_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator/(VecD a, VecD b) { return {_mm_div_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD mul_add(VecD a, VecD b, VecD c) { return a * b + c; }
NIMBRA_SIMD_INLINE VecD abs(VecD a) { return {_mm_andnot_pd(_mm_set1_pd(-0.0), a.v)}; }
NIMBRA_SIMD_INLINE VecD max(VecD a, VecD b) { return {_mm_max_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD min(VecD a, VecD b) { return {_mm_min_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE MaskD lt(VecD a, VecD b) { return {_mm_cmplt_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE MaskD gt(VecD a, VecD b) { return {_mm_cmpgt_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE MaskD le(VecD a, VecD b) { return {_mm_cmple_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE MaskD ge(VecD a, VecD b) { return {_mm_cmpge_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE MaskD operator&(MaskD a, MaskD b) { return {_mm_and_pd(a.m, b.m)}; }
NIMBRA_SIMD_INLINE MaskD operator|(MaskD a, MaskD b) { return {_mm_or_pd(a.m, b.m)}; }
NIMBRA_SIMD_INLINE VecD select(MaskD m, VecD t, VecD f) {
  return {_mm_or_pd(_mm_and_pd(m.m, t.v), _mm_andnot_pd(m.m, f.v))};
}
NIMBRA_SIMD_INLINE unsigned bitmask(MaskD m) { return static_cast<unsigned>(_mm_movemask_pd(m.m)); }
NIMBRA_SIMD_INLINE unsigned bitmask(Mask m) { return static_cast<unsigned>(_mm_movemask_ps(m.m)); }
NIMBRA_SIMD_INLINE VecI as_int(VecD a) { return {_mm_castpd_si128(a.v)}; }
NIMBRA_SIMD_INLINE VecD as_double(VecI a) { return {_mm_castsi128_pd(a.v)}; }
NIMBRA_SIMD_INLINE VecI operator+(VecI a, VecI b) { return {_mm_add_epi64(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecI operator-(VecI a, VecI b) { return {_mm_sub_epi64(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecI operator&(VecI a, VecI b) { return {_mm_and_si128(a.v, b.v)}; }
template <int S>
NIMBRA_SIMD_INLINE VecI shl(VecI a) { return {_mm_slli_epi64(a.v, S)}; }
template <int S>
NIMBRA_SIMD_INLINE VecI shr(VecI a) { return {_mm_srli_epi64(a.v, S)}; }
// SSE2 compares 32-bit words only: a 64-bit lane is equal when both halves are.
NIMBRA_SIMD_INLINE MaskD eq(VecI a, VecI b) {
  const __m128i halves = _mm_cmpeq_epi32(a.v, b.v);
  return {_mm_castsi128_pd(_mm_and_si128(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1))))};
}
// SSE2 has no gather: two scalar loads.
NIMBRA_SIMD_INLINE VecD lookup16(const double* t, VecI i) {
  alignas(16) std::uint64_t idx[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(idx), i.v);
  return {_mm_setr_pd(t[idx[0] & 15], t[idx[1] & 15])};
}

#else  // plain C++ lanes

using VecD = generic::VecD<2>;
using VecI = generic::VecI<2>;
using MaskD = generic::MaskD<2>;
using generic::abs;
using generic::as_double;
using generic::as_int;
using generic::bitmask;
using generic::eq;
using generic::ge;
using generic::gt;
using generic::le;
using generic::lookup16;
using generic::lt;
using generic::max;
using generic::min;
using generic::mul_add;
using generic::select;
using generic::shl;
using generic::shr;
using generic::store;
using generic::operator+;
using generic::operator-;
using generic::operator*;
using generic::operator/;
using generic::operator&;
using generic::operator|;

inline VecD widen_lo(Vec a) { return {{a.v[0], a.v[1]}}; }
inline VecD widen_hi(Vec a) { return {{a.v[2], a.v[3]}}; }
inline unsigned bitmask(Mask m) {
  return static_cast<unsigned>(m.m[0]) | static_cast<unsigned>(m.m[1]) << 1 | static_cast<unsigned>(m.m[2]) << 2 |
         static_cast<unsigned>(m.m[3]) << 3;
}

#endif

}  // namespace sse

#if !defined(NIMBRA_SIMD_X86)
// With VecD an alias of generic::VecD<2>, argument-dependent lookup of
// narrow(lo, hi) searches namespace generic: it lives there.
namespace generic {
inline sse::Vec narrow(VecD<2> lo, VecD<2> hi) {
  return {{static_cast<float>(lo.v[0]), static_cast<float>(lo.v[1]), static_cast<float>(hi.v[0]),
           static_cast<float>(hi.v[1])}};
}
}  // namespace generic
#endif

#if defined(NIMBRA_SIMD_AVX2)
namespace avx2 {

struct MaskD {
  __m256d m;
};

struct VecI {
  static constexpr std::size_t lanes = 4;
  __m256i v;
  NIMBRA_SIMD_INLINE static VecI broadcast(std::uint64_t x) { return {_mm256_set1_epi64x(static_cast<long long>(x))}; }
};

struct VecD {
  static constexpr std::size_t lanes = 4;
  using Int = VecI;
  __m256d v;
  NIMBRA_SIMD_INLINE static VecD broadcast(double x) { return {_mm256_set1_pd(x)}; }
  NIMBRA_SIMD_INLINE static VecD zero() { return {_mm256_setzero_pd()}; }
  NIMBRA_SIMD_INLINE static VecD load(const double* p) { return {_mm256_loadu_pd(p)}; }
};

NIMBRA_SIMD_INLINE void store(double* p, VecD a) { _mm256_storeu_pd(p, a.v); }

NIMBRA_SIMD_INLINE VecD widen_lo(Vec a) { return {_mm256_cvtps_pd(_mm256_castps256_ps128(a.v))}; }
NIMBRA_SIMD_INLINE VecD widen_hi(Vec a) { return {_mm256_cvtps_pd(_mm256_extractf128_ps(a.v, 1))}; }
NIMBRA_SIMD_INLINE Vec narrow(VecD lo, VecD hi) {
  return {_mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo.v)), _mm256_cvtpd_ps(hi.v), 1)};
}
NIMBRA_SIMD_INLINE VecD operator+(VecD a, VecD b) { return {_mm256_add_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator-(VecD a, VecD b) { return {_mm256_sub_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator*(VecD a, VecD b) { return {_mm256_mul_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator/(VecD a, VecD b) { return {_mm256_div_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD mul_add(VecD a, VecD b, VecD c) { return a * b + c; }
NIMBRA_SIMD_INLINE VecD abs(VecD a) { return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)}; }
NIMBRA_SIMD_INLINE VecD max(VecD a, VecD b) { return {_mm256_max_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD min(VecD a, VecD b) { return {_mm256_min_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE MaskD lt(VecD a, VecD b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
NIMBRA_SIMD_INLINE MaskD gt(VecD a, VecD b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
NIMBRA_SIMD_INLINE MaskD le(VecD a, VecD b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
NIMBRA_SIMD_INLINE MaskD ge(VecD a, VecD b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
NIMBRA_SIMD_INLINE MaskD operator&(MaskD a, MaskD b) { return {_mm256_and_pd(a.m, b.m)}; }
NIMBRA_SIMD_INLINE MaskD operator|(MaskD a, MaskD b) { return {_mm256_or_pd(a.m, b.m)}; }
NIMBRA_SIMD_INLINE VecD select(MaskD m, VecD t, VecD f) { return {_mm256_blendv_pd(f.v, t.v, m.m)}; }
NIMBRA_SIMD_INLINE unsigned bitmask(MaskD m) { return static_cast<unsigned>(_mm256_movemask_pd(m.m)); }
NIMBRA_SIMD_INLINE unsigned bitmask(Mask m) { return static_cast<unsigned>(_mm256_movemask_ps(m.m)); }
NIMBRA_SIMD_INLINE VecI as_int(VecD a) { return {_mm256_castpd_si256(a.v)}; }
NIMBRA_SIMD_INLINE VecD as_double(VecI a) { return {_mm256_castsi256_pd(a.v)}; }
NIMBRA_SIMD_INLINE VecI operator+(VecI a, VecI b) { return {_mm256_add_epi64(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecI operator-(VecI a, VecI b) { return {_mm256_sub_epi64(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecI operator&(VecI a, VecI b) { return {_mm256_and_si256(a.v, b.v)}; }
template <int S>
NIMBRA_SIMD_INLINE VecI shl(VecI a) { return {_mm256_slli_epi64(a.v, S)}; }
template <int S>
NIMBRA_SIMD_INLINE VecI shr(VecI a) { return {_mm256_srli_epi64(a.v, S)}; }
NIMBRA_SIMD_INLINE MaskD eq(VecI a, VecI b) { return {_mm256_castsi256_pd(_mm256_cmpeq_epi64(a.v, b.v))}; }
NIMBRA_SIMD_INLINE VecD lookup16(const double* t, VecI i) {
  return {_mm256_i64gather_pd(t, _mm256_and_si256(i.v, _mm256_set1_epi64x(15)), 8)};
}

}  // namespace avx2
#endif

#if defined(NIMBRA_SIMD_AVX512)
namespace avx512 {

struct MaskD {
  __mmask8 m;
};

struct VecI {
  static constexpr std::size_t lanes = 8;
  __m512i v;
  NIMBRA_SIMD_INLINE static VecI broadcast(std::uint64_t x) { return {_mm512_set1_epi64(static_cast<long long>(x))}; }
};

struct VecD {
  static constexpr std::size_t lanes = 8;
  using Int = VecI;
  __m512d v;
  NIMBRA_SIMD_INLINE static VecD broadcast(double x) { return {_mm512_set1_pd(x)}; }
  NIMBRA_SIMD_INLINE static VecD zero() { return {_mm512_setzero_pd()}; }
  NIMBRA_SIMD_INLINE static VecD load(const double* p) { return {_mm512_loadu_pd(p)}; }
};

NIMBRA_SIMD_INLINE void store(double* p, VecD a) { _mm512_storeu_pd(p, a.v); }

// (The zero-masked forms with every lane selected are the plain
// instructions; see max() in ops/simd.hpp.)
NIMBRA_SIMD_INLINE VecD widen_lo(Vec a) {
  return {_mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_extractf32x8_ps(0xFF, a.v, 0))};
}
NIMBRA_SIMD_INLINE VecD widen_hi(Vec a) {
  return {_mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_extractf32x8_ps(0xFF, a.v, 1))};
}
NIMBRA_SIMD_INLINE Vec narrow(VecD lo, VecD hi) {
  return {_mm512_insertf32x8(_mm512_castps256_ps512(_mm512_maskz_cvtpd_ps(0xFF, lo.v)),
                             _mm512_maskz_cvtpd_ps(0xFF, hi.v), 1)};
}
NIMBRA_SIMD_INLINE VecD operator+(VecD a, VecD b) { return {_mm512_add_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator-(VecD a, VecD b) { return {_mm512_sub_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator*(VecD a, VecD b) { return {_mm512_mul_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD operator/(VecD a, VecD b) { return {_mm512_div_pd(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD mul_add(VecD a, VecD b, VecD c) { return {_mm512_fmadd_pd(a.v, b.v, c.v)}; }
NIMBRA_SIMD_INLINE VecD abs(VecD a) { return {_mm512_abs_pd(a.v)}; }
NIMBRA_SIMD_INLINE VecD max(VecD a, VecD b) { return {_mm512_maskz_max_pd(0xFF, a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecD min(VecD a, VecD b) { return {_mm512_maskz_min_pd(0xFF, a.v, b.v)}; }
NIMBRA_SIMD_INLINE MaskD lt(VecD a, VecD b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
NIMBRA_SIMD_INLINE MaskD gt(VecD a, VecD b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
NIMBRA_SIMD_INLINE MaskD le(VecD a, VecD b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
NIMBRA_SIMD_INLINE MaskD ge(VecD a, VecD b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
NIMBRA_SIMD_INLINE MaskD operator&(MaskD a, MaskD b) { return {static_cast<__mmask8>(a.m & b.m)}; }
NIMBRA_SIMD_INLINE MaskD operator|(MaskD a, MaskD b) { return {static_cast<__mmask8>(a.m | b.m)}; }
NIMBRA_SIMD_INLINE VecD select(MaskD m, VecD t, VecD f) { return {_mm512_mask_blend_pd(m.m, f.v, t.v)}; }
NIMBRA_SIMD_INLINE unsigned bitmask(MaskD m) { return m.m; }
NIMBRA_SIMD_INLINE unsigned bitmask(Mask m) { return m.m; }
NIMBRA_SIMD_INLINE VecI as_int(VecD a) { return {_mm512_castpd_si512(a.v)}; }
NIMBRA_SIMD_INLINE VecD as_double(VecI a) { return {_mm512_castsi512_pd(a.v)}; }
NIMBRA_SIMD_INLINE VecI operator+(VecI a, VecI b) { return {_mm512_add_epi64(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecI operator-(VecI a, VecI b) { return {_mm512_sub_epi64(a.v, b.v)}; }
NIMBRA_SIMD_INLINE VecI operator&(VecI a, VecI b) { return {_mm512_and_si512(a.v, b.v)}; }
template <int S>
NIMBRA_SIMD_INLINE VecI shl(VecI a) { return {_mm512_maskz_slli_epi64(0xFF, a.v, S)}; }
template <int S>
NIMBRA_SIMD_INLINE VecI shr(VecI a) { return {_mm512_maskz_srli_epi64(0xFF, a.v, S)}; }
NIMBRA_SIMD_INLINE MaskD eq(VecI a, VecI b) { return {_mm512_cmpeq_epi64_mask(a.v, b.v)}; }
// The table sits in two registers; the permute reads the low four bits of i.
NIMBRA_SIMD_INLINE VecD lookup16(const double* t, VecI i) {
  return {_mm512_permutex2var_pd(_mm512_load_pd(t), i.v, _mm512_load_pd(t + 8))};
}

}  // namespace avx512
#endif

template <class V>
struct WideOf;
template <>
struct WideOf<sse::Vec> {
  using type = sse::VecD;
};
#if defined(NIMBRA_SIMD_AVX2)
template <>
struct WideOf<avx2::Vec> {
  using type = avx2::VecD;
};
#endif
#if defined(NIMBRA_SIMD_AVX512)
template <>
struct WideOf<avx512::Vec> {
  using type = avx512::VecD;
};
#endif
template <class V>
using wide_t = typename WideOf<V>::type;

template <class I>
NIMBRA_SIMD_INLINE auto none_set(I i, I j) {
  return eq(i & j, I::broadcast(0));
}
#if defined(NIMBRA_SIMD_AVX512)
NIMBRA_SIMD_INLINE avx512::MaskD none_set(avx512::VecI i, avx512::VecI j) { return {_mm512_testn_epi64_mask(i.v, j.v)}; }
#endif

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::simd
