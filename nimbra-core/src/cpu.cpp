#include "cpu.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nimbra/fault.hpp"

#if !defined(NIMBRA_PORTABLE) && (defined(__x86_64__) || defined(__i386__))
#define NIMBRA_X86_VARIANTS 1
#include <cpuid.h>
#endif

namespace nimbra::cpu {

#ifdef NIMBRA_X86_VARIANTS
namespace {

struct Features {
  bool avx2 = false;
  bool avx512 = false;
};

// Asked of the CPU itself rather than through __builtin_cpu_supports, whose
// runtime support some compilers' libraries lack. A feature counts only
// when the operating system also saves its registers (XCR0).
Features probe() noexcept {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return {};
  unsigned xcr0_lo, xcr0_hi;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  const bool ymm = (xcr0_lo & 0x06) == 0x06;   // SSE and AVX state
  const bool zmm = (xcr0_lo & 0xe6) == 0xe6;   // and the opmask and upper ZMM state
  if (__get_cpuid_max(0, nullptr) < 7) return {};
  __cpuid_count(7, 0, a, b, c, d);
  Features f;
  f.avx2 = ymm && (b & bit_AVX2);
  const unsigned avx512 = bit_AVX512F | bit_AVX512DQ | bit_AVX512BW | bit_AVX512VL;
  f.avx512 = f.avx2 && zmm && (b & avx512) == avx512;
  return f;
}

const Features& features() noexcept {
  static const Features f = probe();
  return f;
}

}  // namespace
#endif

bool supports(Isa isa) noexcept {
  switch (isa) {
    case Isa::Baseline:
      return true;
#ifdef NIMBRA_X86_VARIANTS
    case Isa::Avx2:
      return features().avx2;
    case Isa::Avx512:
      return features().avx512;
#else
    case Isa::Avx2:
    case Isa::Avx512:
      return false;
#endif
  }
  return false;
}

static Isa detect() noexcept {
  Isa best = supports(Isa::Avx512) ? Isa::Avx512 : supports(Isa::Avx2) ? Isa::Avx2 : Isa::Baseline;
  if (const char* cap = std::getenv("NIMBRA_ISA")) {
    Isa wanted = best;
    if (std::strcmp(cap, "baseline") == 0) wanted = Isa::Baseline;
    if (std::strcmp(cap, "avx2") == 0) wanted = Isa::Avx2;
    if (static_cast<int>(wanted) < static_cast<int>(best)) best = wanted;
  }
  return best;
}

Isa best_isa() noexcept {
  static const Isa isa = detect();
  return isa;
}

const char* isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::Baseline: return "baseline";
    case Isa::Avx2: return "avx2";
    case Isa::Avx512: return "avx512";
  }
  return "?";
}

void require(Isa isa, const char* family) {
  if (!supports(isa))
    fail_precondition(std::string(family) + ": this CPU cannot run the " + isa_name(isa) + " variant");
}

}  // namespace nimbra::cpu
