// The matmul entry points: run-time dispatch, the plain reference loop, the
// per-thread packing buffers and the portable 4-lane variant.
#include "ops/matmul_kernel.hpp"

#include <new>
#include <string>

#include "nimbra/fault.hpp"
#include "ops/matmul_framework.hpp"

namespace nimbra::kernels {

// c (m, n) = a (m, k) * b (k, n), one dot product per output in ascending p.
void gemm_reference(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                    std::size_t ldc) {
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      float acc = 0.0f;
      for (std::size_t p = 0; p < k; ++p) {
        const float x = a.data[static_cast<std::ptrdiff_t>(i) * a.rs + static_cast<std::ptrdiff_t>(p) * a.cs];
        const float y = b.data[static_cast<std::ptrdiff_t>(p) * b.rs + static_cast<std::ptrdiff_t>(j) * b.cs];
        acc = acc + x * y;
      }
      c[i * ldc + j] = acc;
    }
  }
}

namespace mm {

namespace {
struct Buffer {
  float* data = nullptr;
  std::size_t size = 0;
  ~Buffer() { ::operator delete[](data, std::align_val_t(64)); }
};
thread_local Buffer t_buffers[2];
}  // namespace

float* scratch(int slot, std::size_t floats) {
  Buffer& buf = t_buffers[slot];
  if (buf.size < floats) {
    // Grow geometrically so a sequence of slightly larger shapes settles quickly.
    const std::size_t want = floats > 2 * buf.size ? floats : 2 * buf.size;
    float* fresh = static_cast<float*>(::operator new[](want * sizeof(float), std::align_val_t(64)));
    ::operator delete[](buf.data, std::align_val_t(64));
    buf.data = fresh;
    buf.size = want;
  }
  return buf.data;
}

// 4-lane baseline: 4 x 12 tile, 12 accumulators of the 16 SSE registers.
// KC 512, MC 64: A block 128 KB in L2; B micro-panel 24 KB.
using BaselineShape = Shape<V4, 4, 3, 12, 512, 64, 4096>;

void gemm_baseline(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                   std::size_t ldc) {
  Gemm<BaselineShape>::run(m, n, k, a, b, c, ldc);
}

#if !defined(NIMBRA_MM_X86)
// Off x86 only the portable variant exists.
void gemm_avx2(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
               std::size_t ldc) {
  gemm_baseline(m, n, k, a, b, c, ldc);
}
void gemm_avx512(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                 std::size_t ldc) {
  gemm_baseline(m, n, k, a, b, c, ldc);
}
#endif

}  // namespace mm

void gemm_isa(cpu::Isa isa, std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b,
              float* c, std::size_t ldc) {
  if (!cpu::supports(isa))
    fail_precondition(std::string("gemm_isa: this CPU cannot run the ") + cpu::isa_name(isa) + " variant");
  switch (isa) {
    case cpu::Isa::Avx512: return mm::gemm_avx512(m, n, k, a, b, c, ldc);
    case cpu::Isa::Avx2: return mm::gemm_avx2(m, n, k, a, b, c, ldc);
    case cpu::Isa::Baseline: break;
  }
  mm::gemm_baseline(m, n, k, a, b, c, ldc);
}

void gemm(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c, std::size_t ldc) {
  static const auto variant = [] {
    switch (cpu::best_isa()) {
      case cpu::Isa::Avx512: return &mm::gemm_avx512;
      case cpu::Isa::Avx2: return &mm::gemm_avx2;
      case cpu::Isa::Baseline: break;
    }
    return &mm::gemm_baseline;
  }();
  variant(m, n, k, a, b, c, ldc);
}

}  // namespace nimbra::kernels
