// The largest non-NaN value of a contiguous run, over the vector vocabulary:
// the first step of both softmax families; and beside it the smallest and
// whether there was a NaN, which tell softmax whether every exponential
// argument lies where the short exponential serves; and short rows turned
// into columns for both families' column kernels.
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

struct SliceExtent {
  float largest;   // the largest non-NaN value, or -inf
  float smallest;  // the smallest non-NaN value, or +inf
  bool nan;        // whether any value is NaN
};

// largest as slice_max finds it (up to the sign of a zero, as there).
template <class V>
inline SliceExtent slice_extent(const float* x, std::size_t n) {
  constexpr std::size_t L = V::lanes;
  const V lowest = V::broadcast(-INFINITY), highest = V::broadcast(INFINITY);
  V hi[2] = {lowest, lowest}, lo[2] = {highest, highest};
  auto nan = unordered(V::zero(), V::zero());
  std::size_t i = 0;
  for (; i + 2 * L <= n; i += 2 * L) {
    for (std::size_t k = 0; k < 2; ++k) {
      const V v = V::load(x + i + k * L);
      hi[k] = max(v, hi[k]);
      lo[k] = min(v, lo[k]);
      nan = nan | unordered(v, v);
    }
  }
  for (; i + L <= n; i += L) {
    const V v = V::load(x + i);
    hi[0] = max(v, hi[0]);
    lo[0] = min(v, lo[0]);
    nan = nan | unordered(v, v);
  }
  SliceExtent e{-INFINITY, INFINITY, first_lane(nan) != L};
  if (n >= L) {
    const V folded_hi = max(hi[1], hi[0]);
    const V folded_lo = min(lo[1], lo[0]);
    alignas(64) float lanes_hi[L], lanes_lo[L];
    store(lanes_hi, folded_hi);
    store(lanes_lo, folded_lo);
    for (std::size_t k = 0; k < L; ++k) {
      e.largest = lanes_hi[k] > e.largest ? lanes_hi[k] : e.largest;
      e.smallest = lanes_lo[k] < e.smallest ? lanes_lo[k] : e.smallest;
    }
  }
  for (; i < n; ++i) {
    e.largest = x[i] > e.largest ? x[i] : e.largest;
    e.smallest = x[i] < e.smallest ? x[i] : e.smallest;
    e.nan = e.nan || x[i] != x[i];
  }
  return e;
}

// Short rows (a classifier's probabilities) fill less than a vector each, and
// their fixed costs outweigh the work: blocks of W rows (as many as the column
// kernel takes at once) are turned into columns, which each lane runs through
// as the row would. Rows longer than kShortRow are left alone; so are the
// last rows - rows % W - which the caller runs as rows. Returns how many rows
// were done. columns(in, out, L, I) is the family's column kernel.
inline constexpr std::size_t kShortRow = 24;

template <std::size_t W, class Columns>
std::size_t short_rows_as_columns(const float* src, float* dst, std::size_t rows, std::size_t L, Columns columns) {
  if (L > kShortRow) return 0;
  alignas(64) float in[kShortRow * W], out[kShortRow * W];
  std::size_t r0 = 0;
  for (; r0 + W <= rows; r0 += W) {
    const float* x = src + r0 * L;
    for (std::size_t r = 0; r < W; ++r)
      for (std::size_t k = 0; k < L; ++k) in[k * W + r] = x[r * L + k];
    columns(in, out, L, W);
    float* y = dst + r0 * L;
    for (std::size_t r = 0; r < W; ++r)
      for (std::size_t k = 0; k < L; ++k) y[r * L + k] = out[k * W + r];
  }
  return r0;
}

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::kernels
