// The AVX-512 (16-lane) variant of the reduction kernels. Built with
// -mavx512f/vl/bw/dq; reached only through reduction_kernels(), after the CPU
// check.
#include "ops/reduction_kernels.inl"

namespace nimbra::kernels {

const ReductionKernels& detail::avx512_reduction_kernels() { return ReductionVariant<simd::avx512::Vec>::table; }

}  // namespace nimbra::kernels
