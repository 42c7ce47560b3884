// The AVX-512 variant: 8 x 32 tile, 16 zmm accumulators of 32 registers.
#include "ops/matmul_framework.hpp"

#if defined(__AVX512F__) && defined(__AVX512VL__)
namespace nimbra::kernels::mm {

#ifndef T_MR
#define T_V V8K
#define T_MR 8
#define T_NV 2
#define T_SA 16
#define T_KC 256
#define T_MC 128
#endif
using Avx512Shape = Shape<T_V, T_MR, T_NV, T_SA, T_KC, T_MC, 4096>;

void gemm_avx512(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                 std::size_t ldc) {
  Gemm<Avx512Shape>::run(m, n, k, a, b, c, ldc);
}

}  // namespace nimbra::kernels::mm
#endif
