// The element-wise kernels' scalar references, their 4-lane baseline variant
// and the one checked dispatch among the variants.
#include "ops/elementwise_kernels.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

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

bool exp_matches_platform(const ElementKernels& table) {
  std::vector<float> x;
  // The edges of the vector path's domain and what lies past them.
  for (const float v : {0.0f, -0.0f, -87.0f, std::nextafter(-87.0f, 0.0f), std::nextafter(-87.0f, -INFINITY),
                        -87.5f, -88.0f, -103.0f, -104.0f, -1e30f, -INFINITY, NAN, 1e-30f, 1.0f, 87.0f, 89.0f,
                        INFINITY, -1e-30f, -1e-7f, -0.5f, -1.0f})
    x.push_back(v);
  // Evenly across the domain, then uniformly over its bit patterns (which
  // reaches the tiny arguments whose exponential rounds to 1 or just below).
  constexpr int kSteps = 4096;
  for (int i = 0; i < kSteps; ++i) x.push_back(-87.0f * static_cast<float>(i) / (kSteps - 1));
  const std::uint32_t lo = std::bit_cast<std::uint32_t>(-0.0f), hi = std::bit_cast<std::uint32_t>(-87.0f);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < kSteps; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    x.push_back(std::bit_cast<float>(lo + static_cast<std::uint32_t>((state >> 32) % (hi - lo + 1))));
  }
  std::vector<float> y(x.size());
  for (const float m : {0.0f, 2.75f}) {
    table.exp_shifted(x.data(), m, y.data(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      const float want = expf(x[i] - m);  // the platform exponential
      if (std::memcmp(&want, &y[i], sizeof want) != 0) return false;
    }
  }
  return true;
}

namespace {
// The softmax kernels: the widest variant once its exponential has been seen
// to agree with the platform's, else the baseline.
const ElementKernels& softmax_table() {
  static const ElementKernels table = [] {
    const ElementKernels& best = element_kernels_best();
    return exp_matches_platform(best) ? best : element_kernels(cpu::Isa::Baseline);
  }();
  return table;
}
}  // namespace

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
  softmax_table().softmax_rows(src, dst, rows, L);
}
void softmax_columns(const float* src, float* dst, std::size_t L, std::size_t I) {
  softmax_table().softmax_columns(src, dst, L, I);
}

}  // namespace nimbra::kernels
