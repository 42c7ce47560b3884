// The element-wise kernels' scalar references, their 4-lane baseline variant
// and the one checked dispatch among the variants.
#include "ops/elementwise_kernels.hpp"

#include "ops/elementwise_kernels.inl"

namespace nimbra::kernels {

// relu contract: x > 0 ? x : +0.0; false for NaN and both zeros.
float relu_scalar(float x) { return x > 0.0f ? x : 0.0f; }

// sigmoid contract: y = 1 / (exp_approx(a) + 1) with a = clamp(-x, -88, 88).
float sigmoid_scalar(float x) {
  using namespace consts;
  const float t = -x;
  // Both comparisons are false for NaN, which therefore passes the clamp.
  float a = -kExpClamp > t ? -kExpClamp : t;
  a = kExpClamp < a ? kExpClamp : a;
  const float s = a * a;
  const float c = s * a;
  const float q = s * s;
  float e;
  if (a < 0.0f) {
    // The polynomial at -a, inverted: keeps E positive for negative a.
    e = 1.0f / ((((s * 0.5f) + (1.0f - a)) - c * kK6) + q * kK24);
  } else {
    e = (((a + 1.0f) + s * 0.5f) + c * kK6) + q * kK24;
  }
  return 1.0f / (e + 1.0f);
}

// gelu contract: tanh form, tanh(c) ~ ((c*c + 27)*c) / (c*c*9 + 27) on the
// argument clamped to [-3, 3], where it reaches +-1 exactly.
float gelu_scalar(float x) {
  using namespace consts;
  float u = ((x * x) * x) * kGeluCubic + x;
  u = u * kSqrt2OverPi;
  float c = -kTanhClamp > u ? -kTanhClamp : u;  // NaN passes, as in sigmoid
  c = kTanhClamp < c ? kTanhClamp : c;
  const float s = c * c;
  const float t = ((s + 27.0f) * c) / (s * 9.0f + 27.0f);
  return (t + 1.0f) * (x * 0.5f);
}

// A portable build has the baseline only (cpu::require refuses the others).
const ElementKernels& element_kernels(cpu::Isa isa) {
  cpu::require(isa, "element_kernels");
#if !defined(NIMBRA_PORTABLE)
  if (isa == cpu::Isa::Avx512) return detail::avx512_kernels();
  if (isa == cpu::Isa::Avx2) return detail::avx2_kernels();
#endif
  return Variant<simd::sse::Vec>::table;
}

// A copy, so a call reads its kernel straight from this table.
const ElementKernels& element_kernels_best() {
  static const ElementKernels table = element_kernels(cpu::best_isa());
  return table;
}

void binary(BinaryOp op, const float* a, bool a_scalar, const float* b, bool b_scalar, float* out,
            std::size_t n) {
  element_kernels_best().binary(op, a, a_scalar, b, b_scalar, out, n);
}
BinaryLoopFn binary_loop_of(BinaryOp op, bool a_scalar, bool b_scalar) {
  return element_kernels_best().binary_loop_of(op, a_scalar, b_scalar);
}
void relu(const float* x, float* y, std::size_t n) { element_kernels_best().relu(x, y, n); }
void sigmoid(const float* x, float* y, std::size_t n) { element_kernels_best().sigmoid(x, y, n); }
void gelu(const float* x, float* y, std::size_t n) { element_kernels_best().gelu(x, y, n); }
void softmax_rows(const float* src, float* dst, std::size_t rows, std::size_t L) {
  element_kernels_best().softmax_rows(src, dst, rows, L);
}
void softmax_columns(const float* src, float* dst, std::size_t L, std::size_t I) {
  element_kernels_best().softmax_columns(src, dst, L, I);
}

}  // namespace nimbra::kernels
