// Independent references for the exhaustive tests (see exhaustive.hpp):
// exp by an ln2 reduction and a Taylor series, erfc by its Taylor series or
// Laplace's continued fraction, tanh from sinh and cosh series, log by the
// atanh series. Each in two precisions: batch loops over doubles with a stated
// relative bound, and quad for single arguments. The bounds are generous (at
// least four times what the arithmetic can lose); a tighter one would only
// save quad evaluations.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exhaustive.hpp"

namespace exhaustive {

// ---- exp -----------------------------------------------------------------------------

inline constexpr double kLn2Hi = 0x1.62e42ffp-1;               // 32 bits: k * hi exact for |k| < 2^21
inline constexpr double kLn2Lo = -0x1.718432a1b0e26p-35;      // the next 53 bits
inline constexpr double kLn2Lo2 = -0x1.9ff0342542fc3p-90;     // and the next (quad only)
inline constexpr double kLog2e = 0x1.71547652b82fep0;
inline constexpr double kExpBound = 0x1p-46;

// 2^k within the type's range, by squaring.
template <class T>
T pow2(int k) {
  T r = 1, p = k > 0 ? T(2) : T(0.5);
  for (unsigned i = static_cast<unsigned>(k > 0 ? k : -k); i > 0; i >>= 1, p *= p)
    if (i & 1) r *= p;
  return r;
}
inline double pow2d(int k) {
  // Normal doubles only: callers keep |k| <= 1020.
  return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

constexpr double inv_factorial(int n) {
  double f = 1.0;
  for (int i = 2; i <= n; ++i) f *= i;
  return 1.0 / f;
}

// 1/n! for n = 0..19.
inline constexpr std::array<double, 20> kInvFactorial = [] {
  std::array<double, 20> t{};
  for (int n = 0; n < 20; ++n) t[n] = inv_factorial(n);
  return t;
}();

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

// log(x) in quad, within about 2^-105, for positive normal doubles: x = 2^e m
// with m in [sqrt(1/2), sqrt(2)) (so nothing cancels near x = 1),
// log m = 2 atanh((m - 1)/(m + 1)) by its series.
inline Quad log_q(double x) {
  const std::uint64_t b = std::bit_cast<std::uint64_t>(x);
  int e = static_cast<int>(b >> 52) - 1023;
  Quad m = std::bit_cast<double>((b & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52));
  if (m * m > 2) {
    m /= 2;
    ++e;
  }
  const Quad s = (m - 1) / (m + 1), w = s * s;
  Quad term = s, sum = s;
  for (int k = 1; k < 40; ++k) {
    term *= w;
    sum += term / Quad(2 * k + 1);
  }
  return 2 * sum + Quad(e) * (Quad(kLn2Hi) + Quad(kLn2Lo) + Quad(kLn2Lo2));
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

// ---- the activations ---------------------------------------------------------------
// Batch references fill value[i] and bound[i] (relative; 0 for an exact value)
// for x[0..n); the quad ones give one argument.

inline constexpr double kSigmoidBound = 0x1p-45;

inline void sigmoid_batch(const float* x, std::size_t n, double* value, double* bound, double* z) {
  for (std::size_t i = 0; i < n; ++i) z[i] = std::clamp(-static_cast<double>(x[i]), -700.0, 700.0);
  exp_batch(z, value, n);
  for (std::size_t i = 0; i < n; ++i) {
    value[i] = 1.0 / (1.0 + value[i]);
    bound[i] = kSigmoidBound;
    // Past +-700 the exact value is within e^-700 of 1, or below e^-700.
    if (x[i] > 700.0f) bound[i] = 1e-300;
    if (x[i] < -700.0f) value[i] = 1e-300, bound[i] = 0.5;
    if (x[i] != x[i]) value[i] = x[i], bound[i] = 0.0;
  }
}
inline ApproxQ sigmoid_q(float x) {
  if (x > 11000.0f) return {Quad(1), Quad(1e-300)};
  if (x < -11000.0f) return {Quad(1e-300), Quad(0.5)};
  return {1 / (1 + exp_q(-Quad(x))), Quad(0x1p-100)};
}

// tanh: below 1/2 sinh/cosh from their series (x^2 <= 1/4, to x^18), beyond
// (1 - e)/(1 + e) with e = exp(-2|x|), which loses at most 1.4 bits.
inline constexpr double kTanhBound = 0x1p-45;

inline void tanh_batch(const float* x, std::size_t n, double* value, double* bound, double* z) {
  for (std::size_t i = 0; i < n; ++i) z[i] = -2.0 * std::min(std::fabs(static_cast<double>(x[i])), 350.0);
  exp_batch(z, value, n);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = std::fabs(static_cast<double>(x[i]));
    if (a < 0.5) {
      // sinh(x)/x = sum w^k/(2k+1)!, cosh(x) = sum w^k/(2k)!, w = x^2, k <= 9.
      const double w = a * a;
      double s = kInvFactorial[19], c = kInvFactorial[18];
      for (int k = 8; k >= 1; --k) {
        s = s * w + kInvFactorial[2 * k + 1];
        c = c * w + kInvFactorial[2 * k];
      }
      value[i] = static_cast<double>(x[i]) * (s * w + 1.0) / (c * w + 1.0);
    } else {
      const double e = value[i];
      value[i] = (x[i] < 0 ? -1.0 : 1.0) * (1.0 - e) / (1.0 + e);
    }
    bound[i] = a > 350.0 ? 1e-300 : kTanhBound;
    if (x[i] != x[i]) value[i] = x[i], bound[i] = 0.0;
  }
}
inline ApproxQ tanh_q(float x) {
  const Quad a = x < 0 ? -Quad(x) : Quad(x);
  if (a > 5000) return {Quad(x < 0 ? -1 : 1), Quad(1e-300)};
  Quad t;
  if (a < Quad(0.5)) {
    Quad w = a * a, term = a, s = a, ct = 1, c = 1;
    for (int k = 1; k < 30; ++k) {
      term = term * w / Quad((2 * k) * (2 * k + 1));
      ct = ct * w / Quad((2 * k - 1) * (2 * k));
      s += term;
      c += ct;
    }
    t = s / c;
  } else {
    const Quad e = exp_q(-2 * a);
    t = (1 - e) / (1 + e);
  }
  return {x < 0 ? -t : t, Quad(0x1p-100)};
}

// gelu, erf form: x Phi(x), Phi(-a) = erfc(a / sqrt 2) / 2, with exp(-a^2/2)
// from its exact argument (a^2 of a float is exact in double). The series and
// continued fraction of erfc_one, unrolled over the batch (their term counts
// set by the batch's range of arguments) so the loops vectorise.
inline constexpr double kInvSqrt2 = 0x1.6a09e667f3bcdp-1;
inline constexpr double kGeluErfBound = 0x1p-43;

struct GeluScratch {
  std::vector<double> t, z, e, term, sum, f;
  explicit GeluScratch(std::size_t n) : t(n), z(n), e(n), term(n), sum(n), f(n) {}
};

inline void gelu_erf_batch(const float* x, std::size_t n, double* value, double* bound, GeluScratch& s) {
  double t_low = 1e300, t_high = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = std::min(std::fabs(static_cast<double>(x[i])), 37.0);
    s.t[i] = a * kInvSqrt2;
    s.z[i] = -(a * a) * 0.5;
    if (s.t[i] >= 1.0) t_low = std::min(t_low, s.t[i]);
    if (s.t[i] < 1.0) t_high = std::max(t_high, s.t[i]);
  }
  exp_batch(s.z.data(), s.e.data(), n);
  if (t_high > 0.0) {  // the series for t < 1
    for (std::size_t i = 0; i < n; ++i) s.term[i] = s.sum[i] = s.t[i];
    const int terms = 8 + static_cast<int>(32 * t_high);
    for (int k = 1; k <= terms; ++k)
      for (std::size_t i = 0; i < n; ++i) {
        s.term[i] = s.term[i] * (2.0 * s.t[i] * s.t[i]) / (2.0 * k + 1.0);
        s.sum[i] += s.term[i];
      }
  }
  if (t_low < 1e300) {  // the continued fraction for t >= 1
    for (std::size_t i = 0; i < n; ++i) s.f[i] = std::max(s.t[i], 1.0);
    const int terms = 8 + static_cast<int>(200.0 / (t_low * t_low));
    for (int k = terms; k > 0; --k)
      for (std::size_t i = 0; i < n; ++i) {
        const double t = std::max(s.t[i], 1.0);
        s.f[i] = t + 0.5 * k / s.f[i];
      }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double erfc = s.t[i] < 1.0 ? 1.0 - 2.0 * kInvSqrtPi * s.e[i] * s.sum[i] : kInvSqrtPi * s.e[i] / s.f[i];
    const double q = 0.5 * erfc;
    const double xd = x[i];
    value[i] = xd * (xd < 0 ? q : 1.0 - q);
    bound[i] = kGeluErfBound;
    if (std::fabs(xd) > 37.0) {
      // Phi(-37) < 1e-299: the result is x, or below 1e-297 in size.
      value[i] = xd < 0 ? xd * 1e-300 : xd;
      bound[i] = xd < 0 ? 0.5 : 1e-300;
    }
    if (x[i] != x[i]) value[i] = x[i], bound[i] = 0.0;
  }
}

inline ApproxQ gelu_erf_q(float x) {
  const Quad a = x < 0 ? -Quad(x) : Quad(x);
  if (a > 100) return x < 0 ? ApproxQ{Quad(x) * Quad(1e-300), Quad(0.5)} : ApproxQ{Quad(x), Quad(1e-300)};
  const Quad q = erfc_q(a * (Quad(kInvSqrt2) + Quad(-0x1.bdd3413b26456p-55))) / 2;
  return {Quad(x) * (x < 0 ? q : 1 - q), Quad(0x1p-95)};
}

// gelu, tanh form: (x/2)(1 + tanh(v/2)) = x / (1 + e^-v), v = 2 sqrt(2/pi) (x +
// 0.044715 x^3); v carries about 2^-51 relative error, which e^-v turns into
// |v| 2^-51 more.
inline constexpr double kGeluTanhScale = 0x1.9884533d43651p+0;

inline void gelu_tanh_batch(const float* x, std::size_t n, double* value, double* bound, double* z) {
  for (std::size_t i = 0; i < n; ++i) {
    const double xd = x[i];
    z[i] = std::clamp(-kGeluTanhScale * (xd + 0.044715 * (xd * xd * xd)), -700.0, 700.0);
  }
  exp_batch(z, value, n);
  for (std::size_t i = 0; i < n; ++i) {
    const double xd = x[i];
    const double v = -z[i];
    value[i] = xd / (1.0 + value[i]);
    bound[i] = 0x1p-45 + std::fabs(v) * 0x1p-50;
    if (v >= 700.0) bound[i] = 1e-300;
    if (v <= -700.0) value[i] = xd * 1e-300, bound[i] = 0.5;
    if (x[i] != x[i]) value[i] = x[i], bound[i] = 0.0;
  }
}

inline ApproxQ gelu_tanh_q(float x) {
  const Quad xq = x;
  const Quad v = (Quad(kGeluTanhScale) + Quad(-0x1.cbc0d30ebfd15p-54)) * (xq + Quad(44715) / Quad(1000000) * xq * xq * xq);
  if (v > 11000) return {xq, Quad(1e-300)};
  if (v < -11000) return {xq * Quad(1e-300), Quad(0.5)};
  return {xq / (1 + exp_q(-v)), Quad(0x1p-100)};
}

}  // namespace exhaustive
