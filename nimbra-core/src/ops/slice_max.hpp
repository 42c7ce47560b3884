// The largest non-NaN value of a contiguous run, over the vector vocabulary:
// the first step of both softmax families.
#pragma once

#include <cmath>
#include <cstddef>

#include "ops/simd.hpp"

namespace nimbra::kernels {
inline namespace NIMBRA_SIMD_ABI {

// The largest non-NaN value of x[0..n), or -inf: max(v, m) keeps m unless
// v > m, so NaN never wins. Lanes and partial maxima are combined in another
// order than one ascending pass; only the sign of a zero maximum can differ,
// and v - (+0) equals v - (-0) for every v but a zero, whose exponential is 1
// either way.
template <class V>
inline float slice_max(const float* x, std::size_t n) {
  constexpr std::size_t L = V::lanes, K = 4;
  const V lowest = V::broadcast(-INFINITY);
  V acc[K] = {lowest, lowest, lowest, lowest};
  std::size_t i = 0;
  for (; i + K * L <= n; i += K * L)
    for (std::size_t k = 0; k < K; ++k) acc[k] = max(V::load(x + i + k * L), acc[k]);
  for (; i + L <= n; i += L) acc[0] = max(V::load(x + i), acc[0]);
  float m = -INFINITY;
  if (n >= L) {
    // The maximum is the same whatever the order of comparisons (up to the
    // sign of a zero maximum, which exp(x - max) does not see), so fold the
    // accumulators as vectors and only one vector's lanes one by one: short
    // rows spend most of their time here.
    const V folded = max(max(acc[3], acc[2]), max(acc[1], acc[0]));
    alignas(64) float lanes[L];
    store(lanes, folded);
    for (const float v : lanes) m = v > m ? v : m;
  }
  for (; i < n; ++i) m = x[i] > m ? x[i] : m;
  return m;
}

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::kernels
