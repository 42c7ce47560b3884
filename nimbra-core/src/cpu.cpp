#include "cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

#include "nimbra/fault.hpp"

namespace nimbra::cpu {

bool supports(Isa isa) noexcept {
  switch (isa) {
    case Isa::Baseline:
      return true;
#if defined(NIMBRA_PORTABLE) || !(defined(__x86_64__) || defined(__i386__))
    case Isa::Avx2:
    case Isa::Avx512:
      return false;
#else
    case Isa::Avx2:
      return __builtin_cpu_supports("avx2");
    case Isa::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
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
