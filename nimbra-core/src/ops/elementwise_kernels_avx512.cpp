// The AVX-512 (16-lane) variant of the element-wise kernels. Built with
// -mavx512f/vl/bw/dq; reached only through element_kernels(), after the CPU
// check.
#include "ops/elementwise_kernels.inl"

namespace nimbra::kernels {

// The binary loops take the 256-bit vector (with AVX-512's masked tails): they
// move three streams for one addition per vector, and on Zen 4 512-bit loads
// and stores stream operands from L3 5-10% slower than 256-bit ones, with no
// gain at sizes that fit in L1 or L2. The bits are the same either way.
const ElementKernels& detail::avx512_kernels() { return Variant<simd::avx512::Vec, simd::avx512::Vec8>::table; }

}  // namespace nimbra::kernels
