// The matmul kernel's plain reference loop, its portable 4-lane variant and
// the one checked dispatch among the variants.
#include "ops/matmul_kernel.hpp"

#include "ops/matmul_framework.hpp"

namespace nimbra::kernels {

// c (m, n) = a (m, k) * b (k, n), one dot product per output in ascending p.
void gemm_reference(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                    std::size_t ldc) {
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      float acc = 0.0f;
      for (std::size_t p = 0; p < k; ++p) {
        const float x = a.data[static_cast<std::ptrdiff_t>(i) * a.rs + static_cast<std::ptrdiff_t>(p) * a.cs];
        const float y = b.data[static_cast<std::ptrdiff_t>(p) * b.rs + static_cast<std::ptrdiff_t>(j) * b.cs];
        acc = acc + x * y;
      }
      c[i * ldc + j] = acc;
    }
  }
}

namespace {
// 4-lane baseline: 4 x 12 tile, 12 accumulators of the 16 SSE registers.
// KC 512, MC 64: A block 128 KB in L2; B micro-panel 24 KB. B packed beyond 2 row tiles.
using BaselineShape = mm::Shape<simd::sse::Vec, 4, 3, 12, 512, 64, 4096, 8>;
constexpr MatmulKernels kBaseline{&mm::Gemm<BaselineShape>::run};
}  // namespace

// A portable build has the baseline only (cpu::require refuses the others).
const MatmulKernels& matmul_kernels(cpu::Isa isa) {
  cpu::require(isa, "matmul_kernels");
#if !defined(NIMBRA_PORTABLE)
  if (isa == cpu::Isa::Avx512) return mm::avx512_kernels();
  if (isa == cpu::Isa::Avx2) return mm::avx2_kernels();
#endif
  return kBaseline;
}

// A copy, so a call reads its kernel straight from this table.
const MatmulKernels& matmul_kernels_best() {
  static const MatmulKernels table = matmul_kernels(cpu::best_isa());
  return table;
}

void gemm(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c, std::size_t ldc) {
  matmul_kernels_best().gemm(m, n, k, a, b, c, ldc);
}

}  // namespace nimbra::kernels
