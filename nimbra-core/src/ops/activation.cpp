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
// Columns are taken a block at a time so the passes walk rows of memory.
// Within a block the exponentials of a run of rows are stored first and
// added to their sums afterwards, so the exponential calls do not wait on
// the running sums. Each slice still stores and adds its values in
// ascending k, so the result is that of one slice after another.
// The largest non-NaN value (or -inf), kept in eight running maxima so the
// comparisons do not form one long dependency chain. Only the sign of a zero
// maximum can depend on the order, and v - (+0) equals v - (-0) for every v
// but a zero, whose exponential is 1 either way.
float slice_max(const float* src, std::uint64_t L) {
  float lanes[8];
  for (float& m : lanes) m = -INFINITY;
  std::uint64_t k = 0;
  for (; k + 8 <= L; k += 8)
    for (int j = 0; j < 8; ++j) lanes[j] = src[k + j] > lanes[j] ? src[k + j] : lanes[j];  // NaN never wins
  float m = -INFINITY;
  for (; k < L; ++k) m = src[k] > m ? src[k] : m;
  for (float lane : lanes) m = lane > m ? lane : m;
  return m;
}

// One contiguous slice (the common case of the last dimension), as flat loops.
void softmax_slice(const float* src, float* dst, std::uint64_t L) {
  const float m = slice_max(src, L);
  // The exponentials of a run are stored first and added afterwards, in the
  // same ascending order, so the calls do not wait on the running sum.
  constexpr std::uint64_t kRun = 64;
  float sum = 0.0f;
  for (std::uint64_t k0 = 0; k0 < L; k0 += kRun) {
    const std::uint64_t k1 = std::min(L, k0 + kRun);
    for (std::uint64_t k = k0; k < k1; ++k) dst[k] = expf(src[k] - m);  // the platform exponential
    for (std::uint64_t k = k0; k < k1; ++k) sum = sum + dst[k];
  }
  for (std::uint64_t k = 0; k < L; ++k) dst[k] = dst[k] / sum;
}

void softmax_chunk(const float* src, float* dst, std::uint64_t L, std::uint64_t I) {
  if (I == 1) return softmax_slice(src, dst, L);
  constexpr std::uint64_t kBlock = 64;
  float m[kBlock], sum[kBlock];
  for (std::uint64_t j0 = 0; j0 < I; j0 += kBlock) {
    const std::uint64_t w = std::min(kBlock, I - j0);
    const std::uint64_t rows_per_run = std::max<std::uint64_t>(1, 256 / w);
    for (std::uint64_t jj = 0; jj < w; ++jj) m[jj] = -INFINITY;
    for (std::uint64_t k = 0; k < L; ++k) {
      const float* row = src + k * I + j0;
      for (std::uint64_t jj = 0; jj < w; ++jj)
        if (row[jj] > m[jj]) m[jj] = row[jj];  // NaN never wins
    }
    for (std::uint64_t jj = 0; jj < w; ++jj) sum[jj] = 0.0f;
    for (std::uint64_t k0 = 0; k0 < L; k0 += rows_per_run) {
      const std::uint64_t k1 = std::min(L, k0 + rows_per_run);
      for (std::uint64_t k = k0; k < k1; ++k) {
        const float* row = src + k * I + j0;
        float* out = dst + k * I + j0;
        for (std::uint64_t jj = 0; jj < w; ++jj) out[jj] = expf(row[jj] - m[jj]);  // the platform exponential
      }
      for (std::uint64_t k = k0; k < k1; ++k) {
        const float* out = dst + k * I + j0;
        for (std::uint64_t jj = 0; jj < w; ++jj) sum[jj] = sum[jj] + out[jj];
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
  std::uint64_t chunk;
  if (__builtin_mul_overflow(L, I, &chunk)) {
    // The slice block does not fit in 64 bits while the whole tensor does:
    // some dimension before `dim` is 0 and there is nothing to compute.
    runtime::worker_count();
    return Tensor::zeros(shape);
  }
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
