// The reduction kernel bodies, written once over the Vec vocabulary of
// ops/simd.hpp: each of reduction_kernels{,_avx2,_avx512}.cpp includes this
// file and instantiates ReductionVariant<its Vec>. A lane carries one output's
// chain, operation for operation as reduce_scalar in reduction_kernels.cpp.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "ops/reduction_kernels.hpp"
#include "ops/simd.hpp"

namespace nimbra::kernels {

namespace detail {
// The wider variants' tables, each defined in the file compiled for its ISA.
const ReductionKernels& avx2_reduction_kernels();
const ReductionKernels& avx512_reduction_kernels();
}  // namespace detail

// A namespace named after the compile flags, for the reason given in
// ops/simd.hpp.
inline namespace NIMBRA_SIMD_ABI {

template <Reduce Op>
inline constexpr bool kTracksPosition = Op == Reduce::ArgMax || Op == Reduce::ArgMin;
template <Reduce Op>
inline constexpr bool kSeeksLargest = Op == Reduce::Max || Op == Reduce::ArgMax;

// Every lane's chain starts from a value its first element always replaces
// with the same bits (-0.0 + v is v; -inf is replaced by anything larger or
// NaN, and when the first element is -inf itself it has those bits already),
// so the loops need not treat position 0 apart.
template <class V, Reduce Op>
NIMBRA_SIMD_INLINE V chain_start() {
  if constexpr (Op == Reduce::Sum) return V::broadcast(-0.0f);
  return V::broadcast(kSeeksLargest<Op> ? -INFINITY : INFINITY);
}

// One link of every lane's chain: element v at position k.
template <class V, Reduce Op>
NIMBRA_SIMD_INLINE void chain_step(V& acc, V& pos, V v, V k) {
  if constexpr (Op == Reduce::Sum) {
    acc = acc + v;
  } else if constexpr (!kTracksPosition<Op>) {
    // A NaN takes over; else the larger (smaller) of the two, the running
    // value on a tie. A running NaN stays, since nothing compares greater.
    // Three operations where the position rule needs six; the value is the
    // same (a NaN's payload aside).
    acc = select(unordered(v, v), v, kSeeksLargest<Op> ? max(v, acc) : min(v, acc));
  } else {
    const auto better = kSeeksLargest<Op> ? gt(v, acc) : lt(v, acc);
    const auto take = andnot(unordered(acc, acc), better | unordered(v, v));
    acc = select(take, v, acc);
    if constexpr (kTracksPosition<Op>) pos = select(take, k, pos);
  }
}

template <class V, Reduce Op>
NIMBRA_SIMD_INLINE V chain_result(V acc, V pos) {
  if constexpr (kTracksPosition<Op>) return pos;
  return acc;
}

// Up to NV vectors of columns, the last one partial, whose chains stay in
// registers while every row passes.
template <class V, Reduce Op, std::size_t NV>
void column_block(const float* src, std::size_t L, std::size_t I, float* out) {
  constexpr std::size_t W = V::lanes;
  const auto tail = V::tail(I - (NV - 1) * W);
  V acc[NV], pos[NV];
  for (std::size_t q = 0; q < NV; ++q) {
    acc[q] = chain_start<V, Op>();
    pos[q] = V::zero();
  }
  for (std::size_t k = 0; k < L; ++k) {
    const float* row = src + k * I;
    const V kv = V::broadcast(static_cast<float>(k));
    for (std::size_t q = 0; q + 1 < NV; ++q) chain_step<V, Op>(acc[q], pos[q], V::load(row + q * W), kv);
    chain_step<V, Op>(acc[NV - 1], pos[NV - 1], V::load(row + (NV - 1) * W, tail), kv);
  }
  for (std::size_t q = 0; q + 1 < NV; ++q) store(out + q * W, chain_result<V, Op>(acc[q], pos[q]));
  store(out + (NV - 1) * W, chain_result<V, Op>(acc[NV - 1], pos[NV - 1]), tail);
}

// Columns: up to four vectors of them in registers (column_block), more in
// chunks whose running values stay in L1 while every row of the chunk
// streams past; positions (when tracked) are kept in `out` itself.
inline constexpr std::size_t kColumnChunk = 1024;

template <class V, Reduce Op>
void columns(const float* src, std::size_t L, std::size_t I, float* out) {
  constexpr std::size_t W = V::lanes;
  switch ((I + W - 1) / W) {
    case 1: return column_block<V, Op, 1>(src, L, I, out);
    case 2: return column_block<V, Op, 2>(src, L, I, out);
    case 3: return column_block<V, Op, 3>(src, L, I, out);
    case 4: return column_block<V, Op, 4>(src, L, I, out);
    default: break;
  }
  alignas(64) float extremes[kTracksPosition<Op> ? kColumnChunk : 1];
  for (std::size_t j0 = 0; j0 < I; j0 += kColumnChunk) {
    const std::size_t w = std::min(kColumnChunk, I - j0);
    const std::size_t full = w / W * W;
    const auto tail = V::tail(w - full);
    float* acc = kTracksPosition<Op> ? extremes : out + j0;
    float* pos = out + j0;
    for (std::size_t j = 0; j < full; j += W) {
      store(acc + j, chain_start<V, Op>());
      if constexpr (kTracksPosition<Op>) store(pos + j, V::zero());
    }
    if (full < w) {
      store(acc + full, chain_start<V, Op>(), tail);
      if constexpr (kTracksPosition<Op>) store(pos + full, V::zero(), tail);
    }
    for (std::size_t k = 0; k < L; ++k) {
      const float* row = src + k * I + j0;
      const V kv = V::broadcast(static_cast<float>(k));
      for (std::size_t j = 0; j < full; j += W) {
        V a = V::load(acc + j);
        V p = kTracksPosition<Op> ? V::load(pos + j) : a;
        chain_step<V, Op>(a, p, V::load(row + j), kv);
        store(acc + j, a);
        if constexpr (kTracksPosition<Op>) store(pos + j, p);
      }
      if (full < w) {
        V a = V::load(acc + full, tail);
        V p = kTracksPosition<Op> ? V::load(pos + full, tail) : a;
        chain_step<V, Op>(a, p, V::load(row + full, tail), kv);
        store(acc + full, a, tail);
        if constexpr (kTracksPosition<Op>) store(pos + full, p, tail);
      }
    }
  }
}

// The first position in row[0 .. L) (L >= lanes) whose vector lane `match`
// selects; one must.
template <class V, class Match>
std::size_t first_match(const float* row, std::size_t L, Match match) {
  constexpr std::size_t W = V::lanes;
  std::size_t j = 0;
  for (; j + W <= L; j += W) {
    const std::size_t lane = first_lane(match(V::load(row + j)));
    if (lane < W) return j + lane;
  }
  // The last vector overlaps positions already seen to match nothing.
  return L - W + first_lane(match(V::load(row + L - W)));
}

// The position of a long row's extreme (L >= 4 lanes), which is where the
// chain ends: the first NaN if there is one, else the first element equal to
// the largest (smallest) value. A selection, not arithmetic, so it can be
// found in any order: one pass takes the extreme and notes NaNs with four
// vectors across the row, a second finds the first position.
template <class V, Reduce Op>
std::size_t extreme_position(const float* row, std::size_t L) {
  constexpr std::size_t W = V::lanes;
  auto keep = [](V v, V m) { return kSeeksLargest<Op> ? max(v, m) : min(v, m); };
  V m0 = chain_start<V, Op>(), m1 = m0, m2 = m0, m3 = m0;
  const V zero = V::zero();
  auto nan = unordered(zero, zero);  // no lane
  std::size_t j = 0;
  for (; j + 4 * W <= L; j += 4 * W) {
    const V v0 = V::load(row + j), v1 = V::load(row + j + W), v2 = V::load(row + j + 2 * W),
            v3 = V::load(row + j + 3 * W);
    m0 = keep(v0, m0);
    m1 = keep(v1, m1);
    m2 = keep(v2, m2);
    m3 = keep(v3, m3);
    nan = nan | (unordered(v0, v1) | unordered(v2, v3));
  }
  // The rest in whole vectors, the last one overlapping: repeats do not
  // change an extreme.
  for (; j < L; j += W) {
    const V v = V::load(row + std::min(j, L - W));
    m0 = keep(v, m0);
    nan = nan | unordered(v, v);
  }
  if (first_lane(nan) < W) return first_match<V>(row, L, [](V v) { return unordered(v, v); });
  alignas(64) float lanes[W];
  store(lanes, keep(keep(m0, m1), keep(m2, m3)));
  float e = lanes[0];
  for (std::size_t i = 1; i < W; ++i) e = kSeeksLargest<Op> ? (lanes[i] > e ? lanes[i] : e) : (lanes[i] < e ? lanes[i] : e);
  const V target = V::broadcast(e);
  return first_match<V>(row, L, [target](V v) { return eq(v, target); });
}

// Rows in blocks of one per lane: a square of the block (lanes rows by lanes
// positions) is transposed through a small buffer, so each vector holds one
// position of every row and the chains advance together. A long row's
// extreme is found across the row instead (extreme_position).
template <class V, Reduce Op>
void rows(const float* src, std::size_t R, std::size_t L, float* out) {
  constexpr std::size_t W = V::lanes;
  if (Op != Reduce::Sum && L >= 4 * W) {
    for (std::size_t r = 0; r < R; ++r) {
      const float* row = src + r * L;
      const std::size_t at = extreme_position<V, Op>(row, L);
      out[r] = kTracksPosition<Op> ? static_cast<float>(at) : row[at];
    }
    return;
  }
  alignas(64) float square[W * W];
  std::size_t r0 = 0;
  for (; r0 + W <= R; r0 += W) {
    const float* block = src + r0 * L;
    V acc = chain_start<V, Op>(), pos = V::zero();
    for (std::size_t k0 = 0; k0 < L; k0 += W) {
      const std::size_t n = std::min(W, L - k0);
      if (n == W) {
        simd::transpose_square<V>(block + k0, static_cast<std::ptrdiff_t>(L), square, W);
      } else {
        for (std::size_t c = 0; c < n; ++c)
          for (std::size_t r = 0; r < W; ++r) square[c * W + r] = block[r * L + k0 + c];
      }
      for (std::size_t c = 0; c < n; ++c)
        chain_step<V, Op>(acc, pos, V::load(square + c * W), V::broadcast(static_cast<float>(k0 + c)));
    }
    store(out + r0, chain_result<V, Op>(acc, pos));
  }
  for (; r0 < R; ++r0) out[r0] = reduce_scalar(Op, src + r0 * L, L, 1);
}

template <class V>
struct ReductionVariant {
  template <template <class, Reduce> class Kernel, class... Args>
  static void run(Reduce op, Args... args) {
    switch (op) {
      case Reduce::Sum: return Kernel<V, Reduce::Sum>::run(args...);
      case Reduce::Max: return Kernel<V, Reduce::Max>::run(args...);
      case Reduce::Min: return Kernel<V, Reduce::Min>::run(args...);
      case Reduce::ArgMax: return Kernel<V, Reduce::ArgMax>::run(args...);
      case Reduce::ArgMin: return Kernel<V, Reduce::ArgMin>::run(args...);
    }
  }
  template <class U, Reduce Op>
  struct Columns {
    static void run(const float* src, std::size_t L, std::size_t I, float* out) { columns<U, Op>(src, L, I, out); }
  };
  template <class U, Reduce Op>
  struct Rows {
    static void run(const float* src, std::size_t R, std::size_t L, float* out) { rows<U, Op>(src, R, L, out); }
  };
  static void reduce_columns(Reduce op, const float* src, std::size_t L, std::size_t I, float* out) {
    run<Columns>(op, src, L, I, out);
  }
  static void reduce_rows(Reduce op, const float* src, std::size_t R, std::size_t L, float* out) {
    run<Rows>(op, src, R, L, out);
  }
  static constexpr ReductionKernels table{&reduce_columns, &reduce_rows};
};

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::kernels
