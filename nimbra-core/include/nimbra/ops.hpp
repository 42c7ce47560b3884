// The operations on tensors. Each reads its operands, never changes them,
// and returns a new tensor (or a view), or a TensorError where it can fail.
#pragma once

#include <cstdint>
#include <span>

#include "nimbra/error.hpp"
#include "nimbra/shape.hpp"
#include "nimbra/tensor.hpp"

namespace nimbra {

// ---- shape operations (views) ----------------------------------------------
// Swaps two dimensions; DimOutOfBounds names the larger index.
Result<Tensor> transpose(const Tensor& x, std::uint64_t dim0, std::uint64_t dim1);
// The same elements under a new shape: a view of a row-major source, else a
// gathered copy. InvalidShape when the element counts differ.
Result<Tensor> reshape(const Tensor& x, std::span<const std::uint64_t> shape);

// ---- element-wise arithmetic with broadcasting (on the worker pool) --------
// Right-aligned broadcasting; BroadcastError carries both whole shapes.
Result<Shape> broadcast_shape(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b);
// The operand's row-major steps against the result shape, 0 where stretched
// or missing.
Strides broadcast_strides(std::span<const std::uint64_t> operand, std::span<const std::uint64_t> out);
Result<Tensor> add(const Tensor& a, const Tensor& b);
Result<Tensor> sub(const Tensor& a, const Tensor& b);
Result<Tensor> mul(const Tensor& a, const Tensor& b);

// ---- matrix multiplication (calling thread) ---------------------------------
// a is [..., m, k], b is [..., k, n]; batch dimensions broadcast.
Result<Tensor> matmul(const Tensor& a, const Tensor& b);

// ---- activations -------------------------------------------------------------
Tensor relu(const Tensor& x);
Tensor sigmoid(const Tensor& x);
Tensor gelu(const Tensor& x);
// Normalises every slice along `dim` (negative counts from the end) on the
// worker pool. A dim outside the tensor's dimensions, or a zero size at or
// after it, is a precondition fault.
Tensor softmax(const Tensor& x, std::int32_t dim);

// ---- reductions (calling thread) ---------------------------------------------
// Left-to-right f32 sum from -0.0, as a 0-d tensor.
Tensor sum(const Tensor& x);
// That sum divided by the element count.
Tensor mean(const Tensor& x);

// ---- random tensors (calling thread's generator) -----------------------------
Tensor rand(std::span<const std::uint64_t> shape);
Tensor randn(std::span<const std::uint64_t> shape);

}  // namespace nimbra
