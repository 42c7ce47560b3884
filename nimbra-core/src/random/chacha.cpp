// ChaCha12 block functions: the scalar definition and the one checked choice
// among the variants.
#include "random/chacha.hpp"

namespace nimbra::random {

namespace {

inline std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter(std::uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
}

}  // namespace

void chacha12_blocks_ref(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                         std::size_t blocks, std::uint32_t* out) {
  for (std::size_t b = 0; b < blocks; ++b, ++counter, out += 16) {
    std::uint32_t in[16];
    for (int k = 0; k < 4; ++k) in[k] = kChachaSigma[k];
    for (int k = 0; k < 8; ++k) in[4 + k] = key[k];
    in[12] = static_cast<std::uint32_t>(counter);
    in[13] = static_cast<std::uint32_t>(counter >> 32);
    in[14] = static_cast<std::uint32_t>(stream);
    in[15] = static_cast<std::uint32_t>(stream >> 32);
    std::uint32_t x[16];
    for (int k = 0; k < 16; ++k) x[k] = in[k];
    for (int round = 0; round < 12; round += 2) {
      quarter(x, 0, 4, 8, 12);
      quarter(x, 1, 5, 9, 13);
      quarter(x, 2, 6, 10, 14);
      quarter(x, 3, 7, 11, 15);
      quarter(x, 0, 5, 10, 15);
      quarter(x, 1, 6, 11, 12);
      quarter(x, 2, 7, 8, 13);
      quarter(x, 3, 4, 9, 14);
    }
    for (int k = 0; k < 16; ++k) out[k] = x[k] + in[k];
  }
}

// A build without the x86 variants has the baseline only (cpu::require
// refuses the others).
BlockFn chacha12_blocks_for(cpu::Isa isa) {
  cpu::require(isa, "chacha12_blocks");
#ifdef NIMBRA_RANDOM_X86_VARIANTS
  if (isa == cpu::Isa::Avx512) return chacha12_blocks_avx512;
  if (isa == cpu::Isa::Avx2) return chacha12_blocks_avx2;
  return chacha12_blocks_sse2;
#else
  return chacha12_blocks_ref;
#endif
}

BlockFn chacha12_blocks_best() {
  static const BlockFn best = chacha12_blocks_for(cpu::best_isa());
  return best;
}

}  // namespace nimbra::random
