// The AVX-512 (16-lane) variant of the element-wise kernels. Built with
// -mavx512f/vl/bw/dq; reached only through element_kernels(), after the CPU
// check.
#include "ops/elementwise_kernels.inl"

namespace nimbra::kernels {

const ElementKernels& detail::avx512_kernels() { return Variant<simd::avx512::Vec>::table; }

}  // namespace nimbra::kernels
