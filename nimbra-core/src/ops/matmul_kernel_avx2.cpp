// The AVX2 variant: 6 x 16 tile, 12 accumulators of the 16 ymm registers
// (with 2 add pipes of 3-cycle latency at least 6 independent chains are needed).
#include "ops/matmul_framework.hpp"

#if defined(__AVX2__)
namespace nimbra::kernels::mm {

using Avx2Shape = Shape<V8, 6, 2, 12, 256, 120, 4096>;

void gemm_avx2(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
               std::size_t ldc) {
  Gemm<Avx2Shape>::run(m, n, k, a, b, c, ldc);
}

}  // namespace nimbra::kernels::mm
#endif
