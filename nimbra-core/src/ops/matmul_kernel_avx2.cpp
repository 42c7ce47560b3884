// The AVX2 variant: 6 x 16 tile, 12 accumulators of the 16 ymm registers
// (two add pipes of 3-cycle latency need at least 6 independent chains; the
// rest hold two B vectors, the broadcast A value and a product).
#include "ops/matmul_framework.hpp"

#if defined(__AVX2__)
namespace nimbra::kernels::mm {

// KC 512, MC 60: A block 120 KB in L2; B micro-panel 32 KB; B panel up to 8 MB in L3.
using Avx2Shape = Shape<V8, 6, 2, 12, 512, 60, 4096>;

void gemm_avx2(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
               std::size_t ldc) {
  Gemm<Avx2Shape>::run(m, n, k, a, b, c, ldc);
}

}  // namespace nimbra::kernels::mm
#endif
