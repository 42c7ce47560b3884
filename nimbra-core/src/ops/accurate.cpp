// The accurate activations as tensor operations: a kernel of
// ops/accurate_kernels.hpp over the elements or the slices, on the calling
// thread for small inputs and on the worker pool for large ones (every
// element and every slice is computed alone, so the split changes no bit).
#include <algorithm>
#include <functional>
#include <numeric>

#include "nimbra/ops.hpp"
#include "nimbra/runtime/pool.hpp"
#include "ops/accurate_kernels.hpp"

namespace nimbra {

namespace {

// An element of these costs about as much as this many of an add (what
// runtime::kShareWork counts): below kShareWork a job stays on one thread.
constexpr std::size_t kElementCost = 16;

std::size_t work_of(std::size_t n) {
  return n > runtime::kWorkUnknown / kElementCost ? runtime::kWorkUnknown : n * kElementCost;
}

using UnaryKernel = kernels::AccurateUnaryFn;

Tensor unary(const Tensor& x, UnaryKernel kernel) {
  ElementsView in = x.elements();
  const std::size_t n = in.size();
  FreshBuffer out(n);
  const float* src = in.data();
  float* dst = out.data();
  if (work_of(n) < runtime::kShareWork) {
    kernel(src, dst, n);
  } else {
    runtime::parallel_collect_ranges(n, [kernel, src, dst](std::size_t lo, std::size_t hi) {
      kernel(src + lo, dst + lo, hi - lo);
    }, work_of(n));
  }
  return Tensor::from_fresh(std::move(out), x.shape());
}

Result<Tensor> slices(const Tensor& x, std::uint64_t dim, kernels::AccurateRowsFn rows,
                      kernels::AccurateColumnsFn columns) {
  const Shape& shape = x.shape();
  if (dim >= shape.size()) return err::DimOutOfBounds{dim, shape.size()};
  if (std::find(shape.begin(), shape.end(), std::uint64_t{0}) != shape.end()) return Tensor::zeros(shape);
  const auto at = shape.begin() + static_cast<std::ptrdiff_t>(dim);
  const std::uint64_t L = *at;
  const std::uint64_t I = std::accumulate(at + 1, shape.end(), std::uint64_t{1}, std::multiplies<>());
  const std::uint64_t chunk = L * I;
  ElementsView src = x.elements();
  FreshBuffer out(src.size());
  const float* in = src.data();
  float* base = out.data();
  const std::size_t n = src.size();
  // One chunk per outer index, as softmax divides its work.
  const auto run = [&](std::size_t first, std::size_t count, float* dst) {
    if (I == 1) {
      rows(in + first * chunk, dst, count, L);
    } else {
      for (std::size_t o = 0; o < count; ++o) columns(in + (first + o) * chunk, dst + o * chunk, L, I);
    }
  };
  if (work_of(n) < runtime::kShareWork || n == chunk) {
    run(0, n / chunk, base);
  } else {
    runtime::parallel_chunk_runs(base, n, chunk, [&](std::size_t first, std::size_t count, float* dst, std::size_t) {
      run(first, count, dst);
    }, work_of(n));
  }
  return Tensor::from_fresh(std::move(out), shape);
}

}  // namespace

Tensor accurate_sigmoid(const Tensor& x) { return unary(x, kernels::accurate_kernels_best().sigmoid); }
Tensor accurate_tanh(const Tensor& x) { return unary(x, kernels::accurate_kernels_best().tanh); }
Tensor accurate_gelu(const Tensor& x, GeluForm form) {
  const kernels::AccurateKernels& k = kernels::accurate_kernels_best();
  return unary(x, form == GeluForm::Erf ? k.gelu_erf : k.gelu_tanh);
}
Result<Tensor> accurate_softmax(const Tensor& x, std::uint64_t dim) {
  const kernels::AccurateKernels& k = kernels::accurate_kernels_best();
  return slices(x, dim, k.softmax_rows, k.softmax_columns);
}
Result<Tensor> accurate_log_softmax(const Tensor& x, std::uint64_t dim) {
  const kernels::AccurateKernels& k = kernels::accurate_kernels_best();
  return slices(x, dim, k.log_softmax_rows, k.log_softmax_columns);
}

}  // namespace nimbra
