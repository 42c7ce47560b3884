// Run-time choice of the widest vector variant this CPU supports. Every
// variant computes the same bits; only speed differs. A portable build
// (NIMBRA_PORTABLE) has the baseline only.
#pragma once

namespace nimbra::cpu {

enum class Isa { Baseline = 0, Avx2 = 1, Avx512 = 2 };

// The widest supported ISA, detected once. NIMBRA_ISA=baseline|avx2|avx512
// in the environment caps it (for testing and benchmarking the variants).
Isa best_isa() noexcept;

// True when this CPU (and OS) can run code of the given ISA.
bool supports(Isa isa) noexcept;

const char* isa_name(Isa isa) noexcept;

// The check every kernel family's dispatch makes before handing out a
// variant: raises the internal precondition fault, naming the family, when
// this CPU cannot run `isa`.
void require(Isa isa, const char* family);

}  // namespace nimbra::cpu
