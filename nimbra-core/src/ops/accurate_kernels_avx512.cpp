// The AVX-512 (16-lane) variant of the accurate kernels. Built with
// -mavx512f/vl/bw/dq; reached only through accurate_kernels(), after the CPU
// check.
#include "ops/accurate_kernels.inl"

namespace nimbra::kernels {

const AccurateKernels& detail::accurate_avx512_kernels() { return AccurateVariant<simd::avx512::Vec>::table; }

}  // namespace nimbra::kernels
