// relu, sigmoid and gelu run their vector kernels on the calling thread;
// softmax spreads its outer slices over the worker pool.
#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
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
  const auto at = shape.begin() + index;
  const auto is_zero = [](std::uint64_t size) { return size == 0; };
  if (std::any_of(at, shape.end(), is_zero)) {
    fail_precondition("Softmax failed: tensor of shape " + render_sizes(shape.data(), shape.size()) +
                      " has no elements along dim " + std::to_string(dim) + " or after it");
  }
  if (std::any_of(shape.begin(), at, is_zero)) {
    // No slices at all. The sizes from `dim` on may multiply past 64 bits
    // here (the whole tensor fits only because it is empty), so stop before
    // their product. The pool comes up all the same.
    runtime::start_global_pool();
    return Tensor::zeros(shape);
  }
  // Every size is nonzero, so these products divide the element count and fit.
  const std::uint64_t L = *at;
  const std::uint64_t I = std::accumulate(at + 1, shape.end(), std::uint64_t{1}, std::multiplies<>());
  const std::uint64_t chunk = L * I;
  ElementsView src = x.elements();
  FreshBuffer out(src.size());
  const float* in = src.data();
  float* base = out.data();
  // An element of softmax (exponential, sums, division) costs about eight of an add.
  const std::size_t work = src.size() > runtime::kWorkUnknown / 8 ? runtime::kWorkUnknown : src.size() * 8;
  if (I == 1) {
    // Contiguous slices: a leaf's run of them goes to the kernel at once.
    runtime::parallel_chunk_runs(base, src.size(), chunk,
                                 [&](std::size_t first, std::size_t count, float* dst, std::size_t) {
                                   kernels::softmax_rows(in + first * chunk, dst, count, L);
                                 },
                                 work);
  } else {
    runtime::parallel_chunks(base, src.size(), chunk, [&](std::size_t o, float* dst, std::size_t) {
      kernels::softmax_columns(in + o * chunk, dst, L, I);
    }, work);
  }
  return Tensor::from_fresh(std::move(out), shape);
}

}  // namespace nimbra
