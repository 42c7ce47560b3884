// Accurate activations over contiguous f32 arrays: sigmoid, tanh, the two
// forms of GELU, and softmax / log_softmax of slices. Each result lies within
// one unit in the last place of the exact function (almost all are correctly
// rounded); the exhaustive tests check every float.
//
// Every element is computed in double precision by a fixed sequence of IEEE
// operations (the functions of ops/lane_math.hpp and the bodies in
// accurate_kernels.inl, never fused) and rounded once to f32 at the end, so
// every variant gives the bits of the scalar references below (NaN payloads
// aside). Pointers may be unaligned; an output never overlaps an input.
#pragma once

#include <cstddef>

#include "cpu.hpp"

namespace nimbra::kernels {

// x, y: (n). y[i] = f(x[i]) for i in [0, n).
//   sigmoid    1 / (1 + e^-x)
//   tanh       tanh x
//   gelu_erf   x Phi(x) = (x/2)(1 + erf(x / sqrt 2))
//   gelu_tanh  (x/2)(1 + tanh(sqrt(2/pi)(x + 0.044715 x^3))), with the
//              exact constants
// At the infinities each takes its limit (gelu(-inf) = -0); NaN gives NaN.
using AccurateUnaryFn = void (*)(const float* x, float* y, std::size_t n);

// Slices: rows: src, dst (rows, L), each row a slice; columns: src, dst (L, I),
// slice j being src[k*I + j] for k in [0, L). For each slice of values v_k:
//   m = the largest non-NaN value (or -inf); z_k = v_k - m in double;
//   e_k = exp(z_k) (exactly 1 where z_k = 0, exactly 0 where z_k = -inf);
//   c = the number of k with z_k = 0, d = the sum of the other e_k in
//   ascending k from +0, one rounding per addition; s = c + d;
//   softmax:     y_k = e_k * (1/s)
//   log_softmax: y_k = z_k - log1p((c - 1) + d)
// A slice holding NaN or +inf, or only -inf, comes out NaN throughout.
using AccurateRowsFn = void (*)(const float* src, float* dst, std::size_t rows, std::size_t L);
using AccurateColumnsFn = void (*)(const float* src, float* dst, std::size_t L, std::size_t I);

// The variant table of one ISA.
struct AccurateKernels {
  AccurateUnaryFn sigmoid;
  AccurateUnaryFn tanh;
  AccurateUnaryFn gelu_erf;
  AccurateUnaryFn gelu_tanh;
  AccurateRowsFn softmax_rows;
  AccurateColumnsFn softmax_columns;
  AccurateRowsFn log_softmax_rows;
  AccurateColumnsFn log_softmax_columns;
};

// The table of `isa`'s variant; a precondition fault (cpu::require) when this
// CPU cannot run it.
const AccurateKernels& accurate_kernels(cpu::Isa isa);
// The table of cpu::best_isa(), chosen once.
const AccurateKernels& accurate_kernels_best();

// The scalar references every variant is held to, bit for bit.
float accurate_sigmoid_scalar(float x);
float accurate_tanh_scalar(float x);
float accurate_gelu_erf_scalar(float x);
float accurate_gelu_tanh_scalar(float x);
// One slice: x[k * stride] for k in [0, L) into y[k * stride].
void accurate_softmax_scalar(const float* x, float* y, std::size_t L, std::size_t stride);
void accurate_log_softmax_scalar(const float* x, float* y, std::size_t L, std::size_t stride);

}  // namespace nimbra::kernels
