// relu, sigmoid and gelu run their vector kernels on the calling thread;
// softmax spreads its outer slices over the worker pool.
#include <cmath>
#include <string>

#include "nimbra/fault.hpp"
#include "nimbra/ops.hpp"
#include "nimbra/runtime/pool.hpp"
#include "ops/elementwise_kernels.hpp"

namespace nimbra {

namespace {

using UnaryKernel = void (*)(const float*, float*, std::size_t);

Tensor unary(const Tensor& x, UnaryKernel kernel) {
  ElementsView in = x.elements();
  FreshBuffer out(in.size());
  kernel(in.data(), out.data(), in.size());
  return Tensor::from_fresh(std::move(out), x.shape());
}

// Slices of one chunk: x is (L, I) with the slices running down columns.
// Columns are taken a block at a time so the three passes walk rows of
// memory; each slice still sees its own three passes in ascending k, so the
// result is that of one column after another.
void softmax_chunk(const float* src, float* dst, std::uint64_t L, std::uint64_t I) {
  constexpr std::uint64_t kBlock = 64;
  float m[kBlock], sum[kBlock];
  for (std::uint64_t j0 = 0; j0 < I; j0 += kBlock) {
    const std::uint64_t w = std::min(kBlock, I - j0);
    for (std::uint64_t jj = 0; jj < w; ++jj) m[jj] = -INFINITY;
    for (std::uint64_t k = 0; k < L; ++k) {
      const float* row = src + k * I + j0;
      for (std::uint64_t jj = 0; jj < w; ++jj)
        if (row[jj] > m[jj]) m[jj] = row[jj];  // NaN never wins
    }
    for (std::uint64_t jj = 0; jj < w; ++jj) sum[jj] = 0.0f;
    for (std::uint64_t k = 0; k < L; ++k) {
      const float* row = src + k * I + j0;
      float* out = dst + k * I + j0;
      for (std::uint64_t jj = 0; jj < w; ++jj) {
        const float e = expf(row[jj] - m[jj]);  // the platform exponential
        out[jj] = e;
        sum[jj] = sum[jj] + e;
      }
    }
    for (std::uint64_t k = 0; k < L; ++k) {
      float* out = dst + k * I + j0;
      for (std::uint64_t jj = 0; jj < w; ++jj) out[jj] = out[jj] / sum[jj];
    }
  }
}

}  // namespace

Tensor relu(const Tensor& x) { return unary(x, kernels::relu); }
Tensor sigmoid(const Tensor& x) { return unary(x, kernels::sigmoid); }
Tensor gelu(const Tensor& x) { return unary(x, kernels::gelu); }

Tensor softmax(const Tensor& x, std::int32_t dim) {
  const auto rank = static_cast<std::int64_t>(x.ndim());
  const std::int64_t index = dim < 0 ? std::int64_t{dim} + rank : std::int64_t{dim};
  if (index < 0 || index >= rank) {
    fail_precondition("Softmax failed: dim " + std::to_string(dim) + " is out of range for a tensor with " +
                      std::to_string(rank) + " dimensions");
  }
  const Shape& shape = x.shape();
  const std::uint64_t L = shape[static_cast<std::size_t>(index)];
  std::uint64_t I = 1;
  for (std::size_t d = static_cast<std::size_t>(index) + 1; d < shape.size(); ++d) I *= shape[d];
  if (L == 0 || I == 0) {
    fail_precondition("Softmax failed: tensor of shape " + render_sizes(shape.data(), shape.size()) +
                      " has no elements along dim " + std::to_string(dim) + " or after it");
  }
  const std::uint64_t chunk = L * I;
  ElementsView src = x.elements();
  FreshBuffer out(src.size());
  const float* in = src.data();
  float* base = out.data();
  runtime::parallel_chunks(base, src.size(), chunk, [&](std::size_t o, float* dst, std::size_t) {
    softmax_chunk(in + o * chunk, dst, L, I);
  });
  return Tensor::from_fresh(std::move(out), shape);
}

}  // namespace nimbra
