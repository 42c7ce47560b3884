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

// Columns in chunks whose running values stay in L1 while every row of the
// chunk streams past; positions (when tracked) are kept in `out` itself.
inline constexpr std::size_t kColumnChunk = 1024;

template <class V, Reduce Op>
void columns(const float* src, std::size_t L, std::size_t I, float* out) {
  constexpr std::size_t W = V::lanes;
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

// Rows in blocks of one per lane: a square of the block (lanes rows by lanes
// positions) is transposed through a small buffer, so each vector holds one
// position of every row and the chains advance together.
template <class V, Reduce Op>
void rows(const float* src, std::size_t R, std::size_t L, float* out) {
  constexpr std::size_t W = V::lanes;
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
