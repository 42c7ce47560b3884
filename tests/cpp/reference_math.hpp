// Independent references for the exhaustive tests (see exhaustive.hpp):
// exp by an ln2 reduction and a Taylor series, erfc by its Taylor series or
// Laplace's continued fraction, tanh from sinh and cosh series, log by the
// atanh series. Each in two precisions: batch loops over doubles with a stated
// relative bound, and quad for single arguments. The bounds are generous (at
// least four times what the arithmetic can lose); a tighter one would only
// save quad evaluations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exhaustive.hpp"

namespace exhaustive {

// ---- exp -----------------------------------------------------------------------------

inline constexpr double kLn2Hi = 0x1.62e42ffp-1;               // 32 bits: k * hi exact for |k| < 2^21
inline constexpr double kLn2Lo = -0x1.718432a1b0e26p-35;      // the next 53 bits
inline constexpr double kLn2Lo2 = -0x1.9ff0342542fc3p-90;     // and the next (quad only)
inline constexpr double kLog2e = 0x1.71547652b82fep0;
inline constexpr double kExpBound = 0x1p-46;

// 2^k for -2000 < k < 2000 in the type's range, as a product of two powers.
template <class T>
T pow2(int k) {
  T r = 1;
  const T two = k > 0 ? T(2) : T(0.5);
  for (int i = k > 0 ? k : -k; i > 0; --i) r *= two;
  return r;
}
inline double pow2d(int k) {
  // Normal doubles only: callers keep |k| <= 1020.
  return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

// 1/n! for n = 0..13.
inline constexpr double kInvFactorial[14] = {
    1.0,           1.0,           1.0 / 2,         1.0 / 6,         1.0 / 24,         1.0 / 120,
    1.0 / 720,     1.0 / 5040,    1.0 / 40320,     1.0 / 362880,    1.0 / 3628800,    1.0 / 39916800,
    1.0 / 479001600, 1.0 / 6227020800.0};

// y[i] = exp(z[i]) for |z[i]| <= 700, within kExpBound: |r| <= 0.347 after
// the reduction, the series to r^13 (the rest below 2^-57).
inline void exp_batch(const double* z, double* y, std::size_t n) {
  constexpr double kShift = 0x1.8p52;
  for (std::size_t i = 0; i < n; ++i) {
    const double kd = (z[i] * kLog2e + kShift) - kShift;
    const double r = (z[i] - kd * kLn2Hi) - kd * kLn2Lo;
    double p = kInvFactorial[13];
    for (int j = 12; j >= 0; --j) p = p * r + kInvFactorial[j];
    y[i] = p * pow2d(static_cast<int>(kd));
  }
}

// exp(z) in quad, within about 2^-100 relative, for |z| <= 12000.
inline Quad exp_q(Quad z) {
  const Quad ln2 = Quad(kLn2Hi) + Quad(kLn2Lo) + Quad(kLn2Lo2);
  const long k = static_cast<long>(z / ln2 + (z < 0 ? Quad(-0.5) : Quad(0.5)));
  const Quad r = z - Quad(k) * ln2;
  Quad term = 1, sum = 1;
  for (int i = 1; i < 40; ++i) {
    term = term * r / Quad(i);
    sum += term;
  }
  return sum * pow2<Quad>(static_cast<int>(k));
}

// ---- erfc(t), t >= 0 ---------------------------------------------------------------------

inline constexpr double kInvSqrtPi = 0x1.20dd750429b6dp-1;
inline constexpr double kErfcBound = 0x1p-44;

// erfc(t) for t >= 0 within kErfcBound relative (t < 1 where 1 - erf loses at
// most 2.5 bits; the continued fraction beyond). `e` holds exp(-t^2).
inline double erfc_one(double t, double e) {
  if (t < 1.0) {
    // erf(t) = (2/sqrt(pi)) e^{-t^2} sum_n t (2t^2)^n / (1*3*...*(2n+1)): no
    // cancellation in the sum.
    double term = t, sum = t;
    for (int n = 1; n < 40; ++n) {
      term = term * (2.0 * t * t) / (2.0 * n + 1.0);
      sum += term;
    }
    return 1.0 - 2.0 * kInvSqrtPi * e * sum;
  }
  // Laplace: erfc(t) = e^{-t^2} / (sqrt(pi) (t + (1/2)/(t + 1/(t + (3/2)/(t + ...))))).
  const int terms = 8 + static_cast<int>(200.0 / (t * t));
  double f = t;
  for (int k = terms; k > 0; --k) f = t + 0.5 * k / f;
  return kInvSqrtPi * e / f;
}

inline Quad erfc_q(Quad t) {
  const Quad e = exp_q(-t * t);
  const Quad inv_sqrt_pi = Quad(kInvSqrtPi) + Quad(0x1.1ae3a914fed8p-57);
  if (t < 1) {
    Quad term = t, sum = t;
    for (int n = 1; n < 80; ++n) {
      term = term * (2 * t * t) / Quad(2 * n + 1);
      sum += term;
    }
    return 1 - 2 * inv_sqrt_pi * e * sum;
  }
  const int terms = 20 + static_cast<int>(1200.0 / static_cast<double>(t * t));
  Quad f = t;
  for (int k = terms; k > 0; --k) f = t + Quad(0.5) * Quad(k) / f;
  return inv_sqrt_pi * e / f;
}

}  // namespace exhaustive
