// The AVX2 (8-lane) variant of the reduction kernels. Built with -mavx2;
// reached only through reduction_kernels(), after the CPU check.
#include "ops/reduction_kernels.inl"

namespace nimbra::kernels {

const ReductionKernels& detail::avx2_reduction_kernels() { return ReductionVariant<simd::avx2::Vec>::table; }

}  // namespace nimbra::kernels
