// Double-double arithmetic in plain IEEE double operations: the error-free
// transformations behind the exact exponentials. They rely on every
// operation being rounded on its own (-ffp-contract=off: nothing fused).
#pragma once

#include <bit>
#include <cstdint>

namespace nimbra::dd {

// hi + lo with |lo| at most half a unit in hi's last place.
struct Pair {
  double hi, lo;
};

// a + b = s + e exactly (Knuth).
inline Pair two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = s + e exactly when |a| >= |b| (Dekker).
inline Pair fast_two_sum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// a * b = p + e exactly (Dekker's product with Veltkamp's split).
inline Pair two_prod(double a, double b) {
  constexpr double kSplit = 0x1.0000002p27;  // 2^27 + 1
  const double ta = kSplit * a, tb = kSplit * b;
  const double ah = ta - (ta - a), bh = tb - (tb - b);
  const double al = a - ah, bl = b - bh;
  const double p = a * b;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

// Sums and products of pairs, within a few units of 2^-104 relative.
inline Pair add(Pair a, Pair b) {
  const Pair s = two_sum(a.hi, b.hi);
  return fast_two_sum(s.hi, s.lo + (a.lo + b.lo));
}
inline Pair mul(Pair a, Pair b) {
  const Pair p = two_prod(a.hi, b.hi);
  return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// 2^e for -1022 <= e <= 1023.
inline double pow2(std::int64_t e) { return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52); }

}  // namespace nimbra::dd
