// ChaCha with 12 rounds (D. J. Bernstein, "ChaCha, a variant of Salsa20",
// 2008) in the layout with a 64-bit block counter and a 64-bit stream number:
//   words 0-3   "expand 32-byte k" (kChachaSigma)
//   words 4-11  the key, little-endian words
//   words 12-13 block counter (low, high)
//   words 14-15 stream number (low, high)
// A block is 16 output words (64 bytes); block functions write consecutive
// blocks in stream order, block b at out[16*b].
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"
#include "random/variants.hpp"

namespace nimbra::random {

using KeyWords = std::array<std::uint32_t, 8>;

inline constexpr std::uint32_t kChachaSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                  0x6b206574u};

// key: 8 words; out: 16 * blocks words. Writes the blocks for the counters
// counter, counter + 1, ... (64-bit, the low word carrying into the high one;
// wraps after 2^64).
using BlockFn = void (*)(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                         std::size_t blocks, std::uint32_t* out);

// The plain one-block-at-a-time definition; any block count. Every variant is
// held to it bit for bit, and it is the baseline of a build without the x86
// variants.
void chacha12_blocks_ref(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                         std::size_t blocks, std::uint32_t* out);

#ifdef NIMBRA_RANDOM_X86_VARIANTS
// Vector variants, one block per lane. Block counts must be multiples of 4;
// the wider variants finish a remainder narrower than their width with the
// 4-lane one. SSE2 is the x86 baseline.
void chacha12_blocks_sse2(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                          std::size_t blocks, std::uint32_t* out);
void chacha12_blocks_avx2(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                          std::size_t blocks, std::uint32_t* out);
void chacha12_blocks_avx512(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                            std::size_t blocks, std::uint32_t* out);
#endif

// The variant for `isa`, for block counts that are multiples of 4. A
// precondition fault when this CPU cannot run `isa`.
BlockFn chacha12_blocks_for(cpu::Isa isa);
// The variant for cpu::best_isa(), chosen once.
BlockFn chacha12_blocks_best();

}  // namespace nimbra::random
