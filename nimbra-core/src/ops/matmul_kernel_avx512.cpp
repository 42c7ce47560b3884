// The AVX-512 variant: 8 x 32 tile of 512-bit vectors (16 zmm accumulators).
// Built with -mavx512f/vl/bw/dq; reached only through matmul_kernels(), after
// the CPU check.
//
// On Zen 4 a 512-bit operation runs as two 256-bit halves, so the flops per
// cycle equal those of an 8 x 16 tile of 256-bit vectors; but each A value is
// multiplied in with its broadcast folded into the multiply
// (simd::times_broadcast), so a step of the tile issues about half as many
// instructions. That is worth 5-10% on a quiet core, and far more when the
// core's front end is shared: there the 256-bit tile lost up to 40% of its
// speed and this one under 10%. A separate 512-bit broadcast would take a
// slot of the floating-point pipes instead (about 77 GFLOP/s against 115 in
// L1). A is transposed into micro-panels with 8-lane vectors (MR = 8).
#include "ops/matmul_framework.hpp"
#include "ops/matmul_kernel.hpp"

namespace nimbra::kernels::mm {

// KC 512, MC 64: A block 128 KB in L2; B micro-panel 64 KB in L2; B panel up to 8 MB in L3;
// B read in place up to one A block (64 rows).
using Avx512Shape = Shape<simd::avx512::Vec, 8, 2, 16, 512, 64, 4096, 64, simd::avx512::Vec8>;

const MatmulKernels& avx512_kernels() {
  static constexpr MatmulKernels table{&Gemm<Avx512Shape>::run};
  return table;
}

}  // namespace nimbra::kernels::mm
