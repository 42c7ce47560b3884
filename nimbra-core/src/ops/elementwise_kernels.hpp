// Element-wise kernels over contiguous f32 arrays: the binary operations
// add / sub / mul, the activations relu / sigmoid / gelu, and the slice
// kernels of softmax.
//
// Every ISA variant (4-lane baseline, AVX2, AVX-512) vectorises only across
// independent outputs and computes each element with the operations of the
// scalar definitions below (or an exact rewriting of them), so all variants
// give the same bits as those definitions (NaN payloads aside).
// Pointers may be unaligned; an output never overlaps an input.
#pragma once

#include <cstddef>

#include "cpu.hpp"

namespace nimbra::kernels {

enum class BinaryOp { Add, Sub, Mul };

// a, b, out: (n), or a / b (1) when held (a_scalar / b_scalar).
// out[i] = A op B for i in [0, n), where A = a[0] if a_scalar else a[i], and
// likewise B from b. For Sub, A is the left operand (A - B). a or b is not read
// when n == 0. The broadcast walker calls this per output row with one side
// held at a single value.
void binary(BinaryOp op, const float* a, bool a_scalar, const float* b, bool b_scalar, float* out,
            std::size_t n);

// binary's loop for one operation and operand form, looked up once for a
// whole job so that each of its pieces calls straight into the loop.
using BinaryLoopFn = void (*)(const float* a, const float* b, float* out, std::size_t n);
BinaryLoopFn binary_loop_of(BinaryOp op, bool a_scalar, bool b_scalar);

// x, y: (n). y[i] = f(x[i]) for i in [0, n).
void relu(const float* x, float* y, std::size_t n);
void sigmoid(const float* x, float* y, std::size_t n);
void gelu(const float* x, float* y, std::size_t n);

// softmax of slices, each normalised as: m = the largest non-NaN value (or
// -inf); e = exp(v - m) correctly rounded to f32 (exp_exact's bits, whatever
// the CPU or C library), stored in ascending order and added from +0.0 in that
// order; then every e divided by the sum.
// softmax_rows: src, dst (rows, L); each row is a slice.
void softmax_rows(const float* src, float* dst, std::size_t rows, std::size_t L);
// softmax_columns: src, dst (L, I); each column is a slice (slice j being
// src[k*I + j] for k in [0, L)).
void softmax_columns(const float* src, float* dst, std::size_t L, std::size_t I);

// The variant table: the above for one ISA. The free functions above run the
// table of element_kernels_best().
// (Aliases first: a member named like the function it is typed after would
// change the meaning of that name inside the class, which C++ forbids.)
using BinaryFn = decltype(&binary);
using UnaryFn = decltype(&relu);
using ExpShiftedFn = void (*)(const float* x, float m, float* y, std::size_t n);
using SoftmaxRowsFn = decltype(&softmax_rows);
using SoftmaxColumnsFn = decltype(&softmax_columns);
using BinaryLoopLookup = decltype(&binary_loop_of);
struct ElementKernels {
  BinaryFn binary;
  BinaryLoopLookup binary_loop_of;
  UnaryFn relu;
  UnaryFn sigmoid;
  UnaryFn gelu;
  // x, y: (n). y[i] = exp_exact(x[i] - m), bit for bit.
  ExpShiftedFn exp_shifted;
  SoftmaxRowsFn softmax_rows;
  SoftmaxColumnsFn softmax_columns;
};

// The table of `isa`'s variant, for tests and benchmarks; a precondition
// fault (cpu::require) when this CPU cannot run it.
const ElementKernels& element_kernels(cpu::Isa isa);
// The table of cpu::best_isa(), chosen once.
const ElementKernels& element_kernels_best();

// The scalar definitions every variant is held to, bit for bit.
// relu: x > 0 ? x : +0.0 (NaN and -0.0 give +0.0).
float relu_scalar(float x);
// sigmoid: 1 / (exp_approx(clamp(-x, -88, 88)) + 1), exp_approx being a
// degree-4 Taylor polynomial (reciprocal of it at -a for negative a).
float sigmoid_scalar(float x);
// gelu: tanh form, with tanh replaced by a rational function of the
// argument clamped to [-3, 3].
float gelu_scalar(float x);

}  // namespace nimbra::kernels
