// exp_exact: exp(x) as a double-double pair (dmath::exp_pair, about 2^-100
// from the true value), rounded once to f32 from the pair itself (rounding the
// pair's sum to double first could round twice).
#include "ops/exp_exact.hpp"

#include <bit>
#include <cstdint>
#include <limits>

#include "ops/double_math.hpp"

namespace nimbra::kernels {

namespace {

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
  if (x != x) return x + x;
  if (x > 89.0f) return std::numeric_limits<float>::infinity();  // exp(89) > 2^128
  if (x < -104.0f) return 0.0f;                                  // exp(-104) < 2^-150
  const dd::Pair e = dmath::exp_pair(x);
  return round_pair(e.hi, e.lo);
}

}  // namespace nimbra::kernels
