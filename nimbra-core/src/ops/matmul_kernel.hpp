// Single-precision matrix multiplication kernel: C = A * B, exact to the bit.
//
// Every output is one ascending chain of separately rounded products:
//   acc = +0.0f;  for p = 0 .. k-1:  acc = acc + (A[i,p] * B[p,j]);  C[i,j] = acc
// (an f32 multiply, then an f32 add; never fused). Hence k = 0 gives +0.0, a
// sum of -0.0 products gives +0.0, and NaN / infinity propagate as IEEE says.
// The fast variants vectorise across independent outputs only and carry each
// running sum through registers or C between inner blocks, so every variant
// gives the bits of gemm_reference.
#pragma once

#include <cstddef>

#include "cpu.hpp"

namespace nimbra::kernels {

// A strided matrix operand: element (i, j) is data[i*rs + j*cs] (strides in
// elements, >= 0; a transposed view simply has rs = 1, cs = ld). Operands are
// packed straight from these strides; no contiguous copy is needed first.
struct MatView {
  const float* data;
  std::ptrdiff_t rs;
  std::ptrdiff_t cs;
};

// a is (m, k); b is (k, n); c is (m, n) with row stride ldc >= n.
// c = a * b; c's previous contents are ignored and fully overwritten (c must
// not overlap a or b). Runs on the calling thread only, with the variant of
// matmul_kernels_best(). No heap allocation once the calling thread's packing
// buffers have grown to the shapes it uses.
void gemm(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
          std::size_t ldc);

// The plain i, j, p dot-product loop: the definition every variant is held to.
void gemm_reference(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                    std::size_t ldc);

// The variant table: gemm for one ISA.
using GemmFn = decltype(&gemm);
struct MatmulKernels {
  GemmFn gemm;
};

// The table of `isa`'s variant, for tests and benchmarks; a precondition
// fault (cpu::require) when this CPU cannot run it.
const MatmulKernels& matmul_kernels(cpu::Isa isa);
// The table of cpu::best_isa(), chosen once.
const MatmulKernels& matmul_kernels_best();

}  // namespace nimbra::kernels
