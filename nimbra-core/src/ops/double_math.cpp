// exp: z = k ln2/64 + r with |r| <= ln2/128, exactly as a pair (k * C1 and
// z - k * C1 are exact for |k| < 2^15, |z| <= 350), then e^r = 1 + r m(r),
// m(r) = sum of r^(n-1)/n! to n = 13, in pairs, times 2^(k/64) from the
// table of pairs. log: one Newton step on exp from the lane logarithm y
// (within 2^-50): log x = y + log1p(q), q = x e^-y - 1, tiny, and
// log1p(q) = q - q^2/2 to 2^-140. Within 2^-8 of 1, where log x is small,
// log1p(u) of the exact u = x - 1 instead, by its series in pairs: an error
// beside 1 would be large beside log x, and the arguments just below 1 that
// the sampler draws, 1 - j 2^-53, have logarithms close to halfway between
// two doubles (-u - u^2/2 lands on quarters of their spacing).
#include "ops/double_math.hpp"

#include <bit>
#include <cstdint>

#include "ops/double_double.hpp"
#include "ops/lane_math.hpp"
#include "ops/lane_math_constants.hpp"

namespace nimbra::dmath {

namespace {

using dd::Pair;

// m(r) = sum of r^(n-1)/n! for n = 1..13.
Pair series(Pair r) {
  using namespace lane_math;
  Pair m{kInvFactorialPairs[13][0], kInvFactorialPairs[13][1]};
  for (int n = 12; n >= 1; --n) m = dd::add(dd::mul(m, r), {kInvFactorialPairs[n][0], kInvFactorialPairs[n][1]});
  return m;
}

}  // namespace

Pair exp_pair(double z) {
  using namespace lane_math;
  constexpr double kShifter = 0x1.8p52;
  const double kd = (z * kSixtyFourOverLn2 + kShifter) - kShifter;
  const auto k = static_cast<std::int64_t>(kd);
  const double r1 = z - kd * kLn2Over64C1;
  const Pair kc2 = dd::two_prod(kd, kLn2Over64C2);
  Pair r = dd::two_sum(r1, -kc2.hi);
  r = dd::fast_two_sum(r.hi, r.lo - kc2.lo - kd * kLn2Over64C3);
  const Pair p = dd::add({1.0, 0.0}, dd::mul(r, series(r)));
  const std::int64_t j = k & 63;
  const Pair t{kExp2SixtyFourths[j][0], kExp2SixtyFourths[j][1]};
  const Pair e = dd::mul(t, p);
  const double scale = dd::pow2((k - j) / 64);
  return {e.hi * scale, e.lo * scale};
}

double exp(double z) {
  if (z != z) return z + z;
  return exp_pair(z).hi;
}

bool below_exp(double a, double z) {
  // The lane exponential is within 2^-45 of exp(z), exp within 2^-53: outside
  // the margin both sides of the comparison agree.
  const double e = simd::exp_d(simd::scalar::VecD::broadcast(z)).v[0];
  const double margin = e * 0x1p-43;
  if (a < e - margin) return true;
  if (a > e + margin) return false;
  return a < exp(z);
}

double log(double x) {
  using namespace lane_math;
  if (x != x) return x + x;
  if (x > 1.0 - 0x1p-8 && x < 1.0 + 0x1p-8) {
    // log1p(u) = u (1 - u/2 + u^2/3 - ...), to u^14 (|u| < 2^-8).
    const double u = x - 1.0;
    Pair p{0.0, 0.0};
    for (int n = 15; n >= 1; --n) {
      // 1/n as a pair: hi the double nearest, lo the rest (1 - n hi is exact).
      const double hi = 1.0 / n;
      const Pair nh = dd::two_prod(hi, static_cast<double>(n));
      p = dd::add(dd::mul(p, {-u, 0.0}), {hi, -((nh.hi - 1.0) + nh.lo) / n});
    }
    const Pair l = dd::mul({u, 0.0}, p);
    return l.hi + l.lo;
  }
  // x = 2^e m, m in [sqrt(1/2), sqrt(2)): log x = e ln2 + log m.
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::int64_t e = static_cast<std::int64_t>(bits - kSqrtHalfBits) >> 52;  // arithmetic: x may be below
  const double m = std::bit_cast<double>(bits - (static_cast<std::uint64_t>(e) << 52));
  // The lane logarithm wants an argument of at least 1.
  using Lane = simd::scalar::VecD;
  const double y = m >= 1.0 ? simd::log_d(Lane::broadcast(m)).v[0] : -simd::log_d(Lane::broadcast(1.0 / m)).v[0];
  const Pair q = dd::add(dd::mul({m, 0.0}, exp_pair(-y)), {-1.0, 0.0});
  const Pair log_m = dd::add(dd::two_sum(y, q.hi - 0.5 * q.hi * q.hi), {q.lo, 0.0});
  // e ln2: e * kLn2Hi is exact (|e| < 2^11, 42 bits).
  const double ed = static_cast<double>(e);
  const Pair e_ln2 = dd::add({ed * kLn2Hi, 0.0}, dd::two_prod(ed, kLn2Lo));
  const Pair l = dd::add(e_ln2, log_m);
  return l.hi + l.lo;
}

}  // namespace nimbra::dmath
