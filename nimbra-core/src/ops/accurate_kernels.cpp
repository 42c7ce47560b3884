// The accurate kernels' scalar references, their 4-lane baseline variant and
// the one checked dispatch among the variants.
#include "ops/accurate_kernels.hpp"

#include "ops/accurate_kernels.inl"

namespace nimbra::kernels {

namespace {

using Lane = simd::scalar::VecD;

template <class F>
float one_lane(float x) {
  return static_cast<float>(F::apply(Lane::broadcast(x)).v[0]);
}

// One slice by the contract's definition, one element at a time.
template <bool Log>
void slice_scalar(const float* x, float* y, std::size_t L, std::size_t stride) {
  float m = -std::numeric_limits<float>::infinity();
  for (std::size_t k = 0; k < L; ++k) m = x[k * stride] > m ? x[k * stride] : m;
  const Lane md = Lane::broadcast(m);
  Lane count = Lane::zero(), sum = Lane::zero();
  for (std::size_t k = 0; k < L; ++k) {
    const Lane z = Lane::broadcast(x[k * stride]) - md;
    if (ge(z, Lane::zero()).m[0]) {
      count = count + Lane::broadcast(1.0);
    } else {
      sum = sum + accurate::exp_nonpositive(z);
    }
  }
  const Lane scale = accurate::slice_scale<Log>(count, sum);
  for (std::size_t k = 0; k < L; ++k)
    y[k * stride] = static_cast<float>(accurate::slice_output<Log>(Lane::broadcast(x[k * stride]) - md, scale).v[0]);
}

}  // namespace

float accurate_sigmoid_scalar(float x) { return one_lane<accurate::Sigmoid>(x); }
float accurate_tanh_scalar(float x) { return one_lane<accurate::Tanh>(x); }
float accurate_gelu_erf_scalar(float x) { return one_lane<accurate::GeluErf>(x); }
float accurate_gelu_tanh_scalar(float x) { return one_lane<accurate::GeluTanh>(x); }
void accurate_softmax_scalar(const float* x, float* y, std::size_t L, std::size_t stride) {
  slice_scalar<false>(x, y, L, stride);
}
void accurate_log_softmax_scalar(const float* x, float* y, std::size_t L, std::size_t stride) {
  slice_scalar<true>(x, y, L, stride);
}

// A portable build has the baseline only (cpu::require refuses the others).
const AccurateKernels& accurate_kernels(cpu::Isa isa) {
  cpu::require(isa, "accurate_kernels");
#if !defined(NIMBRA_PORTABLE)
  if (isa == cpu::Isa::Avx512) return detail::accurate_avx512_kernels();
  if (isa == cpu::Isa::Avx2) return detail::accurate_avx2_kernels();
#endif
  return AccurateVariant<simd::sse::Vec>::table;
}

// A copy, so a call reads its kernel straight from this table.
const AccurateKernels& accurate_kernels_best() {
  static const AccurateKernels table = accurate_kernels(cpu::best_isa());
  return table;
}

}  // namespace nimbra::kernels
