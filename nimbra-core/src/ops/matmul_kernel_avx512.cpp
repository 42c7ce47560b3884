// The AVX-512 variant: 8 x 16 tile of 256-bit vectors (16 ymm accumulators).
// Built with -mavx512f/vl/bw/dq; reached only through matmul_kernels(), after
// the CPU check.
//
// Why not 512-bit vectors: on Zen 4 a 512-bit operation runs as two 256-bit
// halves (same flops per cycle), and broadcasting A into a zmm register costs
// an FP pipe slot that the multiplies and adds need; an 8 x 32 zmm tile
// measured ~77 GFLOP/s against ~114 for this one in L1. What AVX-512 brings
// here is AVX-512VL: 32 vector registers (room for 16 accumulators, the B
// vectors and the products) and mask registers for cheap partial loads and
// stores at the matrix edges.
#include "ops/matmul_framework.hpp"

namespace nimbra::kernels::mm {

// KC 512, MC 64: A block 128 KB in L2; B micro-panel 32 KB; B panel up to 8 MB in L3.
using Avx512Shape = Shape<simd::avx512::Vec8, 8, 2, 16, 512, 64, 4096>;

const MatmulKernels& avx512_kernels() {
  static constexpr MatmulKernels table{&Gemm<Avx512Shape>::run};
  return table;
}

}  // namespace nimbra::kernels::mm
