// exp_exact: exp(x) in double-double arithmetic, about 2^-76 from the true
// value relative, then rounded once to f32 from the pair itself (rounding the
// pair's sum to double first could round twice). Plain IEEE double operations
// only; with -ffp-contract=off nothing is fused, which the error-free
// transformations below rely on.
#include "ops/exp_exact.hpp"

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "ops/lane_math_constants.hpp"

namespace nimbra::kernels {

namespace {

struct Pair {
  double hi, lo;
};

// a + b = s + e exactly (Knuth).
Pair two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = s + e exactly when |a| >= |b| (Dekker).
Pair fast_two_sum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// a * b = p + e exactly (Dekker's product with Veltkamp's split).
Pair two_prod(double a, double b) {
  constexpr double kSplit = 0x1.0000002p27;  // 2^27 + 1
  const double ta = kSplit * a, tb = kSplit * b;
  const double ah = ta - (ta - a), bh = tb - (tb - b);
  const double al = a - ah, bl = b - bh;
  const double p = a * b;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

// 2^e for -1022 <= e <= 1023.
double pow2(std::int64_t e) { return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52); }

// hi + lo (|lo| at most half a unit of hi's last place) rounded to nearest
// f32. Rounding hi alone gives the answer unless hi is exactly a midpoint
// between two floats: a midpoint has at most 25 significant bits, so any
// other double lies at least a unit of its last place from one, farther than
// lo can move it. On a midpoint, lo's sign decides.
float round_pair(double hi, double lo) {
  const float f = static_cast<float>(hi);
  const double fd = f;
  if (fd == hi || lo == 0.0) return f;
  // Past the largest float, the midpoint to 2^128 rounds up to inf.
  if (f == std::numeric_limits<float>::infinity()) {
    return hi == 0x1.ffffffp127 && lo < 0.0 ? std::numeric_limits<float>::max() : f;
  }
  // The other neighbour of hi (hi > 0 here).
  const std::uint32_t fb = std::bit_cast<std::uint32_t>(f);
  const float g = std::bit_cast<float>(hi > fd ? fb + 1 : fb - 1);
  const double mid = (fd + static_cast<double>(g)) * 0.5;
  if (hi != mid) return f;
  return (lo > 0.0) == (static_cast<double>(g) > fd) ? g : f;
}

}  // namespace

float exp_exact(float x) {
  using namespace lane_math;
  if (x != x) return x + x;
  if (x > 89.0f) return std::numeric_limits<float>::infinity();  // exp(89) > 2^128
  if (x < -104.0f) return 0.0f;                                  // exp(-104) < 2^-150
  // x = k ln2/64 + r, |r| <= ln2/128. k * C1 is exact (|k| < 2^14, C1 has 38
  // bits) and so is x - k * C1 (multiples of 2^-44 below 2^-7; for |x| < ln2/128
  // k is 0).
  const double z = x;
  constexpr double kShifter = 0x1.8p52;
  const double kd = (z * kSixtyFourOverLn2 + kShifter) - kShifter;
  const auto k = static_cast<std::int64_t>(kd);
  const double r1 = z - kd * kLn2Over64C1;
  const Pair kc2 = two_prod(kd, kLn2Over64C2);
  Pair r = two_sum(r1, -kc2.hi);
  r = fast_two_sum(r.hi, r.lo - kc2.lo - kd * kLn2Over64C3);

  // exp(r) = 1 + r + r^2/2 + r^3 (1/6 + r/24 + ... + r^5/40320): the last
  // group is below 2^-25, so double precision serves it.
  const double rh = r.hi;
  double tail = 1.0 / 40320;
  for (const double c : {1.0 / 5040, 1.0 / 720, 1.0 / 120, 1.0 / 24, 1.0 / 6}) tail = tail * rh + c;
  tail = tail * (rh * rh * rh);
  const Pair sq = two_prod(rh, rh);  // r^2 = sq + 2 rh rl + ...
  const Pair a = two_sum(rh, sq.hi * 0.5);
  const double small = a.lo + r.lo + (sq.lo * 0.5 + rh * r.lo) + tail;
  const Pair b = two_sum(1.0, a.hi);
  const Pair e = fast_two_sum(b.hi, b.lo + small);

  // Times 2^(j/64) = T.hi + T.lo, j = k mod 64, then 2^(k div 64).
  const std::int64_t j = k & 63;
  const double* t = kExp2SixtyFourths[j];
  Pair m = two_prod(t[0], e.hi);
  m = fast_two_sum(m.hi, m.lo + (t[0] * e.lo + t[1] * e.hi));
  const double scale = pow2((k - j) / 64);
  return round_pair(m.hi * scale, m.lo * scale);
}

}  // namespace nimbra::kernels
