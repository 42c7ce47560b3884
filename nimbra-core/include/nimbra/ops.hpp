// The operations on tensors. Each reads its operands, never changes them,
// and returns a new tensor (or a view), or a TensorError where it can fail.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

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

// One entry of a basic index expression.
struct IndexItem {
  enum class Kind : std::uint8_t { Integer, Slice, Ellipsis, NewAxis };
  Kind kind = Kind::Ellipsis;
  // Integer: the position in `start` (negative counts from the end). Slice:
  // the bounds and step as a Python slice gives them once its defaults are
  // filled in (an absent bound is the far end of the 64-bit range, which
  // stands for the end of any dimension; the step is not 0).
  std::int64_t start = 0, stop = 0, step = 1;
};
// Why an index expression selects nothing: the text of an IndexError.
struct IndexFailure {
  std::string text;
};
// The view basic indexing gives, sharing x's storage: an integer drops its
// dimension, a slice keeps a strided part of it (a negative step walks
// backwards), an ellipsis stands for every dimension not otherwise indexed
// and a new axis inserts a dimension of size 1 (stride 0). Dimensions left
// over are kept whole. Fails for an integer outside its dimension, more
// indices than dimensions, or a second ellipsis.
std::variant<Tensor, IndexFailure> index(const Tensor& x, std::span<const IndexItem> items);

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

// ---- accurate activations -------------------------------------------------------
// Every element within one unit in the last place of the exact function
// (almost all correctly rounded), the same bits on every CPU, vector width
// and worker count. Large inputs are spread over the worker pool, small ones
// stay on the calling thread.
enum class GeluForm { Erf, Tanh };
Tensor accurate_sigmoid(const Tensor& x);
Tensor accurate_tanh(const Tensor& x);
// Erf: x Phi(x); Tanh: (x/2)(1 + tanh(sqrt(2/pi)(x + 0.044715 x^3))).
Tensor accurate_gelu(const Tensor& x, GeluForm form);
// Along dimension `dim` (already counted from the front); DimOutOfBounds past
// the last. A tensor without elements gives an empty result of its shape.
Result<Tensor> accurate_softmax(const Tensor& x, std::uint64_t dim);
Result<Tensor> accurate_log_softmax(const Tensor& x, std::uint64_t dim);

// ---- reductions (calling thread) ---------------------------------------------
// Left-to-right f32 sum from -0.0, as a 0-d tensor.
Tensor sum(const Tensor& x);
// That sum divided by the element count.
Tensor mean(const Tensor& x);

enum class ReduceOp : std::uint8_t { Sum, Mean, Max, Min, ArgMax, ArgMin };
// Reduces every slice along `dim` (negative counts from the end; a 0-d
// tensor takes 0 and -1, its one element being the slice) in ascending
// position: a sum is one f32 chain from -0.0 and a mean that sum divided by
// the length rounded to f32; max and min are the first NaN if there is one,
// else the first largest or smallest value; argmax and argmin its position,
// as a float. The reduced dimension is dropped, or kept with size 1 when
// `keepdim`. InvalidOperation for a dim out of range, an empty reduced
// dimension (all but sum and mean), or one longer than 2^24 (argmax and
// argmin, whose positions are exact in f32 only below that).
Result<Tensor> reduce(const Tensor& x, ReduceOp op, std::int64_t dim, bool keepdim);
// Every element as one slice in row-major order (sum and mean give the bits
// of sum(x) and mean(x), argmax a flat position); `keepdim` keeps every
// dimension with size 1. Fails as reduce does.
Result<Tensor> reduce_all(const Tensor& x, ReduceOp op, bool keepdim);

// ---- random tensors (calling thread's generator) -----------------------------
Tensor rand(std::span<const std::uint64_t> shape);
Tensor randn(std::span<const std::uint64_t> shape);

}  // namespace nimbra
