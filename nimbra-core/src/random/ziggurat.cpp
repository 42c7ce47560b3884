// The Ziggurat fast-step scan: the scalar reference and the one checked choice
// among the variants.
#include "random/ziggurat.hpp"

namespace nimbra::random {

std::size_t zig_scan_scalar(const std::uint32_t* words, std::size_t draws, float* out) {
  for (std::size_t k = 0; k < draws; ++k) {
    unsigned i;
    double u;
    double x;
    if (!zig_fast_step(draw_at(words + 2 * k), i, u, x)) return k;
    out[k] = to_element(x);
  }
  return draws;
}

// A build without the x86 variants has the baseline only (cpu::require
// refuses the others).
ZigScanFn zig_scan_for(cpu::Isa isa) {
  cpu::require(isa, "zig_scan");
#ifdef NIMBRA_RANDOM_X86_VARIANTS
  if (isa == cpu::Isa::Avx512) return zig_scan_avx512;
  if (isa == cpu::Isa::Avx2) return zig_scan_avx2;
  return zig_scan_sse2;
#else
  return zig_scan_scalar;
#endif
}

ZigScanFn zig_scan_best() {
  static const ZigScanFn best = zig_scan_for(cpu::best_isa());
  return best;
}

}  // namespace nimbra::random
