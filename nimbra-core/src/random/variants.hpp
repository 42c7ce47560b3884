// Whether this build carries the x86 vector variants of the random kernels
// (the *_sse2 / *_avx2 / *_avx512 files). A portable build (NIMBRA_PORTABLE)
// or one for another processor leaves them out: there each family's baseline is
// its plain C++ reference, and cpu::supports admits only the baseline.
#pragma once

#if !defined(NIMBRA_PORTABLE) && (defined(__x86_64__) || defined(__i386__))
#define NIMBRA_RANDOM_X86_VARIANTS 1
#endif
