// The reduction kernels' scalar definition, their 4-lane baseline variant and
// the one checked dispatch among the variants.
#include "ops/reduction_kernels.hpp"

#include <cmath>

#include "ops/reduction_kernels.inl"

namespace nimbra::kernels {

float reduce_scalar(Reduce op, const float* v, std::size_t L, std::size_t step) {
  if (op == Reduce::Sum) {
    float s = -0.0f;
    for (std::size_t k = 0; k < L; ++k) s = s + v[k * step];
    return s;
  }
  const bool largest = op == Reduce::Max || op == Reduce::ArgMax;
  float m = v[0];
  std::size_t at = 0;
  for (std::size_t k = 1; k < L && !std::isnan(m); ++k) {
    const float x = v[k * step];
    if (std::isnan(x) || (largest ? x > m : x < m)) {
      m = x;
      at = k;
    }
  }
  return op == Reduce::Max || op == Reduce::Min ? m : static_cast<float>(at);
}

// A portable build has the baseline only (cpu::require refuses the others).
const ReductionKernels& reduction_kernels(cpu::Isa isa) {
  cpu::require(isa, "reduction_kernels");
#if !defined(NIMBRA_PORTABLE)
  if (isa == cpu::Isa::Avx512) return detail::avx512_reduction_kernels();
  if (isa == cpu::Isa::Avx2) return detail::avx2_reduction_kernels();
#endif
  return ReductionVariant<simd::sse::Vec>::table;
}

const ReductionKernels& reduction_kernels_best() {
  static const ReductionKernels& table = reduction_kernels(cpu::best_isa());
  return table;
}

void reduce_columns(Reduce op, const float* src, std::size_t L, std::size_t I, float* out) {
  reduction_kernels_best().columns(op, src, L, I, out);
}
void reduce_rows(Reduce op, const float* src, std::size_t R, std::size_t L, float* out) {
  reduction_kernels_best().rows(op, src, R, L, out);
}

}  // namespace nimbra::kernels
