// The AVX2 (8-lane) variant of the element-wise kernels. Built with -mavx2;
// reached only through element_kernels(), after the CPU check.
#include "ops/elementwise_kernels.inl"

namespace nimbra::kernels {

const ElementKernels& detail::avx2_kernels() { return Variant<simd::avx2::Vec>::table; }

}  // namespace nimbra::kernels
