// Reductions. sum and mean of a whole tensor: one strictly sequential f32
// chain over the row-major elements (no pairwise or vector summation: the
// order is part of the result). Along a dimension: the same chain for every
// slice, the slices vectorised across each other (ops/reduction_kernels.hpp).
#include <algorithm>
#include <string>
#include <vector>

#include "nimbra/ops.hpp"
#include "ops/reduction_kernels.hpp"

namespace nimbra {

namespace {

float sequential_sum(const Tensor& x) {
  ElementsView values = x.elements();
  const float* v = values.data();
  const std::uint64_t n = values.size();
  float acc = -0.0f;  // the identity that keeps the sign of an all -0.0 input
  for (std::uint64_t i = 0; i < n; ++i) acc += v[i];
  return acc;
}

Tensor scalar(float value) {
  FreshBuffer out(1);
  out.data()[0] = value;
  return Tensor::from_fresh(std::move(out), {});
}

const char* name_of(ReduceOp op) {
  static const char* const kNames[] = {"sum", "mean", "max", "min", "argmax", "argmin"};
  return kNames[static_cast<int>(op)];
}

// Positions are f32 values, exact below 2^24.
constexpr std::uint64_t kMaxPositions = std::uint64_t{1} << 24;

// Whether `op` can reduce slices of `length` elements; `where` says which
// slices for the error.
Result<bool> check_length(ReduceOp op, std::uint64_t length, const std::string& where) {
  const bool seeks = op != ReduceOp::Sum && op != ReduceOp::Mean;
  if (seeks && length == 0) {
    return err::InvalidOperation{std::string(name_of(op)) + " of no elements: " + where + " is empty"};
  }
  if ((op == ReduceOp::ArgMax || op == ReduceOp::ArgMin) && length > kMaxPositions) {
    return err::InvalidOperation{std::string(name_of(op)) + " over " + std::to_string(length) + " elements (" +
                                 where + "): positions from 2^24 on are not exact in float32"};
  }
  return true;
}

// src (outer, L, inner) row-major; out (outer, inner).
void reduce_block(ReduceOp op, const float* src, std::uint64_t outer, std::uint64_t L, std::uint64_t inner,
                  float* out) {
  const std::uint64_t count = outer * inner;
  if (count == 0) return;
  using kernels::Reduce;
  static constexpr Reduce kKernel[] = {Reduce::Sum, Reduce::Sum, Reduce::Max, Reduce::Min, Reduce::ArgMax,
                                       Reduce::ArgMin};
  const Reduce kernel = kKernel[static_cast<int>(op)];
  if (L == 0) {
    std::fill(out, out + count, -0.0f);  // only sums and means get here
  } else if (inner == 1) {
    kernels::reduce_rows(kernel, src, outer, L, out);
  } else {
    for (std::uint64_t o = 0; o < outer; ++o) kernels::reduce_columns(kernel, src + o * L * inner, L, inner, out + o * inner);
  }
  if (op == ReduceOp::Mean) {
    const auto n = static_cast<float>(L);
    for (std::uint64_t i = 0; i < count; ++i) out[i] = out[i] / n;
  }
}

}  // namespace

Tensor sum(const Tensor& x) { return scalar(sequential_sum(x)); }

Tensor mean(const Tensor& x) {
  const float total = sequential_sum(x);
  return scalar(total / static_cast<float>(x.numel()));
}

Result<Tensor> reduce(const Tensor& x, ReduceOp op, std::int64_t dim, bool keepdim) {
  const auto nd = static_cast<std::int64_t>(x.ndim());
  const std::int64_t span = std::max<std::int64_t>(nd, 1);
  if (dim < -span || dim >= span) {
    return err::InvalidOperation{"dim " + std::to_string(dim) + " is out of range for a tensor with " +
                                 std::to_string(nd) + " dimensions (expected " + std::to_string(-span) + " to " +
                                 std::to_string(span - 1) + ")"};
  }
  if (nd == 0) return reduce_all(x, op, false);
  const auto d = static_cast<std::size_t>(dim < 0 ? dim + nd : dim);
  const Shape& shape = x.shape();
  const std::uint64_t L = shape[d];
  Result<bool> fits = check_length(op, L, "dim " + std::to_string(d) + " of shape " + render_sizes(shape.data(), shape.size()));
  if (!fits) return fits.error();
  std::vector<std::uint64_t> out_shape(shape.begin(), shape.end());
  if (keepdim)
    out_shape[d] = 1;
  else
    out_shape.erase(out_shape.begin() + static_cast<std::ptrdiff_t>(d));
  FreshBuffer out(checked_numel(out_shape));
  const ElementsView src = x.elements();
  reduce_block(op, src.data(), numel_of({shape.data(), d}), L, numel_of({shape.data() + d + 1, shape.size() - d - 1}),
               out.data());
  return Tensor::from_fresh(std::move(out), out_shape);
}

Result<Tensor> reduce_all(const Tensor& x, ReduceOp op, bool keepdim) {
  const std::uint64_t n = x.numel();
  Result<bool> fits = check_length(op, n, "shape " + render_sizes(x.shape().data(), x.ndim()));
  if (!fits) return fits.error();
  FreshBuffer out(1);
  const ElementsView src = x.elements();
  reduce_block(op, src.data(), 1, n, 1, out.data());
  const std::vector<std::uint64_t> out_shape(keepdim ? x.ndim() : 0, 1);
  return Tensor::from_fresh(std::move(out), out_shape);
}

}  // namespace nimbra
