// Single-precision matrix multiplication kernel: C = A * B, exact to the bit.
//
// Every output is one ascending chain of separately rounded products:
//   acc = +0.0f;  for p = 0 .. k-1:  acc = acc + (A[i,p] * B[p,j]);  C[i,j] = acc
// (an f32 multiply, then an f32 add; never fused). Hence k = 0
// gives +0.0, a sum of -0.0 products gives +0.0, and NaN / infinity
// propagate as IEEE says.
// The fast variants vectorise across independent outputs only and carry each
// running sum through registers or C between inner blocks, so every variant
// gives the bits of gemm_reference.
#pragma once

#include <cstddef>

#include "cpu.hpp"
#include "ops/matview.hpp"

namespace nimbra::kernels {

// a is (m, k); b is (k, n); c is (m, n) with row stride ldc >= n.
// c = a * b; c's previous contents are ignored and
// fully overwritten (c must not overlap a or b). Runs on the calling
// thread only, with the variant of matmul_kernels_best(). No heap allocation
// once the calling thread's packing buffers have grown to the shapes it uses.
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

namespace mm {
// The wider variants' tables, each defined in the file compiled for its ISA.
const MatmulKernels& avx2_kernels();
const MatmulKernels& avx512_kernels();
}  // namespace mm

}  // namespace nimbra::kernels
