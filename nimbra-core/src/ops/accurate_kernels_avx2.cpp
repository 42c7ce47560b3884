// The AVX2 (8-lane) variant of the accurate kernels. Built with -mavx2;
// reached only through accurate_kernels(), after the CPU check.
#include "ops/accurate_kernels.inl"

namespace nimbra::kernels {

const AccurateKernels& detail::accurate_avx2_kernels() { return AccurateVariant<simd::avx2::Vec>::table; }

}  // namespace nimbra::kernels
