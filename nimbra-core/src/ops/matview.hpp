// A strided matrix operand of the matmul kernels, shared by the kernel
// contract (matmul_kernel.hpp) and the framework that implements it
// (matmul_framework.hpp).
#pragma once

#include <cstddef>

namespace nimbra::kernels {

// Element (i, j) is data[i*rs + j*cs] (strides in elements, >= 0; a
// transposed view simply has rs = 1, cs = ld). Operands are packed straight
// from these strides; no contiguous copy is needed first.
struct MatView {
  const float* data;
  std::ptrdiff_t rs;
  std::ptrdiff_t cs;
};

}  // namespace nimbra::kernels
