// The AVX2 variant: 6 x 16 tile, 12 accumulators of the 16 ymm registers
// (two add pipes of 3-cycle latency need at least 6 independent chains; the
// rest hold two B vectors, the broadcast A value and a product). Built with
// -mavx2; reached only through matmul_kernels(), after the CPU check.
#include "ops/matmul_framework.hpp"
#include "ops/matmul_kernel.hpp"

namespace nimbra::kernels::mm {

// KC 512, MC 60: A block 120 KB in L2; B micro-panel 32 KB; B panel up to 8 MB in L3;
// B read in place up to 32 rows of A.
using Avx2Shape = Shape<simd::avx2::Vec, 6, 2, 12, 512, 60, 4096, 32>;

const MatmulKernels& avx2_kernels() {
  static constexpr MatmulKernels table{&Gemm<Avx2Shape>::run};
  return table;
}

}  // namespace nimbra::kernels::mm
