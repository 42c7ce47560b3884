// Element-wise kernels over contiguous f32 arrays: the binary operations
// add / sub / mul and the activations relu / sigmoid / gelu.
//
// Every ISA variant (4-lane baseline, AVX2, AVX-512) vectorises only across
// independent outputs and computes each element with the operations of the
// scalar definitions below (or an exact rewriting of them), so all variants
// give the same bits as those definitions (NaN payloads aside).
// Pointers may be unaligned; an output never overlaps an input.
#pragma once

#include <cstddef>

#include "ops/cpu.hpp"

namespace nimbra::kernels {

enum class BinaryOp { Add, Sub, Mul };

// out[i] = A op B for i in [0, n), where A = a[0] if a_scalar else a[i], and
// likewise B from b. For Sub, A is the left operand (A - B). a or b is not read
// when n == 0. The broadcast walker calls this per output row with one side
// held at a single value.
void binary(BinaryOp op, const float* a, bool a_scalar, const float* b, bool b_scalar, float* out,
            std::size_t n);

// y[i] = f(x[i]) for i in [0, n).
void relu(const float* x, float* y, std::size_t n);
void sigmoid(const float* x, float* y, std::size_t n);
void gelu(const float* x, float* y, std::size_t n);

// One table of the above per ISA, for tests and benchmarks. The free functions
// above dispatch through the table of cpu::best_isa(), chosen once.
// (Aliases first: a member named like the function it is typed after would
// change the meaning of that name inside the class, which C++ forbids.)
using BinaryFn = decltype(&binary);
using UnaryFn = decltype(&relu);
struct ElementKernels {
  BinaryFn binary;
  UnaryFn relu;
  UnaryFn sigmoid;
  UnaryFn gelu;
};

// Precondition: cpu::supports(isa).
const ElementKernels& element_kernels(cpu::Isa isa);

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
