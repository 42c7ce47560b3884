// Elementary functions of double lanes, written once over the vocabulary of
// ops/simd_double.hpp, for the accurate kernels and softmax's exponential.
// Every function is a fixed sequence of IEEE double operations (never fused),
// so every VecD, and scalar::VecD in the scalar references, computes the same
// bits lane by lane. Constants: ops/lane_math_constants.hpp.
//
//   D exp_d(D z)       |z| <= 708: exp(z), relative error below 2^-45
//                      (NaN gives NaN)
//   D log_d(D u)       1 <= u < 2^1023: log(u), relative error below 2^-50
//   D log1p_d(D t)     0 <= t < 2^1023: log(1 + t), relative error below 2^-49
//                      for every t, tiny ones included (NaN gives NaN)
//   V exp_rn(V z, unsigned& unsure)
//                      f32 lanes: exp(z) rounded to nearest f32, the correctly
//                      rounded exponential, except in lanes whose bit is set in
//                      `unsure`; callers finish those with exp_exact
//                      (ops/exp_exact.hpp).
//   V exp_rn_normal(V z, unsigned& unsure)
//                      the same in fewer operations, for arguments known to
//                      give normal results (every lane in (-87.25, 88.5));
//                      exp_rn is it on clamped arguments, with a check of
//                      results at or below the least normal f32.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ops/lane_math_constants.hpp"
#include "ops/simd_double.hpp"

namespace nimbra::simd {
inline namespace NIMBRA_SIMD_ABI {

// c[0] + x * (c[1] + x * (... + x * c[N-1])), highest power first.
template <class D, std::size_t N>
NIMBRA_SIMD_INLINE D horner(const double (&c)[N], D x) {
  D p = D::broadcast(c[N - 1]);
  for (std::size_t i = N - 1; i-- > 0;) p = p * x + D::broadcast(c[i]);
  return p;
}

// 1.5 * 2^52: adding it rounds a double below 2^51 to an integer and leaves
// that integer in the low bits of the sum.
inline constexpr double kRoundShifter = 0x1.8p52;

// exp(z) = 2^(k/16) * (1 + r + r^2 P(r)), r = z - k ln2/16, with ln2/16 in
// two parts: |z| < 709 keeps k * kLn2Over16Hi exact and z - k * kLn2Over16Hi
// exact (both multiples of 2^-43 below 2^-5), and 2^(k div 16) a normal
// double.
template <class D>
NIMBRA_SIMD_INLINE D exp_d(D z) {
  using namespace lane_math;
  const D shifter = D::broadcast(kRoundShifter);
  const D ks = z * D::broadcast(kSixteenOverLn2) + shifter;
  const D kd = ks - shifter;
  const D r = (z - kd * D::broadcast(kLn2Over16Hi)) - kd * D::broadcast(kLn2Over16Lo);
  // ks's low bits hold k = 16 (k div 16) + j; k << 48 added to the adjusted
  // entry j makes 2^(k div 16) * 2^(j/16).
  const D scale = as_double(as_int(lookup16(kExp2SixteenthsAdjusted, as_int(ks))) + shl<48>(as_int(ks)));
  return scale * (horner(kExpPoly, r) * (r * r) + r) + scale;
}

// The same for |z| <= 128 with ln2/16 in one part (rounding k * ln2/16 adds at
// most 2^-46.3 to the error) and mul_add where it fits: within 2^-44.8 of exp,
// fused or not; exp_rn rounds it.
template <class D>
NIMBRA_SIMD_INLINE D exp_rough(D z) {
  using namespace lane_math;
  const D shifter = D::broadcast(kRoundShifter);
  const D ks = mul_add(z, D::broadcast(kSixteenOverLn2), shifter);
  const D kd = ks - shifter;
  const D r = mul_add(kd, D::broadcast(-kLn2Over16), z);
  const D scale = as_double(as_int(lookup16(kExp2SixteenthsAdjusted, as_int(ks))) + shl<48>(as_int(ks)));
  D q = D::broadcast(kExpPoly[3]);
  for (int i = 2; i >= 0; --i) q = mul_add(q, r, D::broadcast(kExpPoly[i]));
  return mul_add(scale, mul_add(q, r * r, r), scale);
}

// log(u) = e ln2 + log(m), u = 2^e m with m in [sqrt(1/2), sqrt(2)), and
// log(m) = 2s + s^3 P(s^2), s = (m - 1)/(m + 1).
template <class D>
NIMBRA_SIMD_INLINE D log_d(D u) {
  using namespace lane_math;
  using I = typename D::Int;
  // u >= 1, so the biased difference is positive and e = its top bits.
  const I e = shr<52>(as_int(u) - I::broadcast(kSqrtHalfBits));
  const D m = as_double(as_int(u) - shl<52>(e));
  const D shifter = D::broadcast(kRoundShifter);
  const D ed = as_double(as_int(shifter) + e) - shifter;
  const D one = D::broadcast(1.0);
  const D s = (m - one) / (m + one);
  const D w = s * s;
  const D log_m = (s + s) + s * w * horner(kLogPoly, w);
  return ed * D::broadcast(kLn2Hi) + (log_m + ed * D::broadcast(kLn2Lo));
}

// log1p(t) = log(u) * t / (u - 1) with u = 1 + t rounded (the quotient undoes
// the rounding of u), and t itself where u rounds to 1.
template <class D>
NIMBRA_SIMD_INLINE D log1p_d(D t) {
  const D one = D::broadcast(1.0);
  const D u = one + t;
  const D d = u - one;
  // u = 1 gives 0 / 0 in the other lane, never selected.
  return select(le(u, one), t, log_d(u) * (t / d));
}

namespace exp_rn_detail {
// The domain whose results are normal f32, where near_midpoint alone decides:
// exp(-87.25) ~ 1.3e-38 > 2^-126, exp(88.5) ~ 2.7e38 < 2^128.
inline constexpr float kLowest = -87.25f;
inline constexpr float kHighest = 88.5f;
// Elsewhere arguments are clamped to [kClampLow, kClampHigh], inside
// exp_rough's domain, where exp_rough's double still rounds to the right f32
// at both ends: exp(-110) < 2^-150, half the least subnormal, rounds to +0,
// and exp(89) > 2^128 - 2^103, the midpoint between the largest float and
// 2^128, to +inf. NaN is clamped too (to kClampLow) and reported unsure.
inline constexpr float kClampLow = -110.0f;
inline constexpr float kClampHigh = 89.0f;
// A result at or below the least normal f32 was rounded at a coarser place
// than near_midpoint looks at: unsure, unless the argument was below
// kZeroBelow, whose results are +0 (exp(-104) < 2^-150).
inline constexpr float kLeastNormal = 0x1p-126f;
inline constexpr float kZeroBelow = -104.0f;
// exp_rough is within 2^-44.8 of exp for |z| <= 128, at most 2^8.2
// units of the double's last place. Rounding a double to f32 drops its low 29
// bits; the midpoint between two floats is at 2^28. A lane whose double lies
// within 2^10 units of a midpoint could round either way and is left to the
// exact finish: with 2^10 + 2^28 added, bits 11..28 are then all zero (the
// carry out of bit 28 lands outside them).
inline constexpr std::uint64_t kNearBias = (std::uint64_t{1} << 10) + (std::uint64_t{1} << 28);
inline constexpr std::uint64_t kNearMask = ((std::uint64_t{1} << 29) - 1) & ~((std::uint64_t{1} << 11) - 1);

template <class D>
NIMBRA_SIMD_INLINE unsigned near_midpoint(D y) {
  using I = typename D::Int;
  return bitmask(none_set(as_int(y) + I::broadcast(kNearBias), I::broadcast(kNearMask)));
}
}  // namespace exp_rn_detail

// Every lane must lie in [-128, 128] (exp_rough's domain); where the result is
// normal it is correctly rounded unless reported unsure.
template <class V>
NIMBRA_SIMD_INLINE V exp_rn_normal(V z, unsigned& unsure) {
  using namespace exp_rn_detail;
  using D = wide_t<V>;
  const D lo = exp_rough(widen_lo(z));
  const D hi = exp_rough(widen_hi(z));
  unsure = near_midpoint(lo) | near_midpoint(hi) << D::lanes;
  return narrow(lo, hi);
}

template <class V>
NIMBRA_SIMD_INLINE V exp_rn(V z, unsigned& unsure) {
  using namespace exp_rn_detail;
  const V y = exp_rn_normal(min(max(z, V::broadcast(kClampLow)), V::broadcast(kClampHigh)), unsure);
  // Rare in most data, so the comparisons with z wait for a low result.
  constexpr unsigned kAll = (1u << V::lanes) - 1u;
  if (const unsigned low = ~bitmask(gt(y, V::broadcast(kLeastNormal))) & kAll; low != 0) [[unlikely]] {
    unsure |= low & ~bitmask(lt(z, V::broadcast(kZeroBelow)));
  }
  return y;
}

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::simd
