// ChaCha with 12 rounds (D. J. Bernstein, "ChaCha, a variant of Salsa20",
// 2008) in the layout with a 64-bit block counter and a 64-bit stream number:
//   words 0-3   "expand 32-byte k"
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

namespace nimbra::random {

using KeyWords = std::array<std::uint32_t, 8>;

// Writes `blocks` blocks for the counters counter, counter + 1, ... (64-bit,
// the low word carrying into the high one; wraps after 2^64).
using BlockFn = void (*)(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                         std::size_t blocks, std::uint32_t* out);

// The plain one-block-at-a-time definition; any block count. The vector
// variants are held to it bit for bit.
void chacha12_blocks_ref(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                         std::size_t blocks, std::uint32_t* out);

// Vector variants, one block per lane. Block counts must be multiples of 4;
// the wider variants finish a remainder narrower than their width with the
// 4-lane one.
void chacha12_blocks_sse2(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                          std::size_t blocks, std::uint32_t* out);
void chacha12_blocks_avx2(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                          std::size_t blocks, std::uint32_t* out);
void chacha12_blocks_avx512(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                            std::size_t blocks, std::uint32_t* out);

// The variant for `isa` (which the CPU must support); multiples of 4 blocks.
BlockFn chacha12_blocks_for(cpu::Isa isa) noexcept;
// The widest variant this CPU runs, chosen once.
BlockFn chacha12_blocks_best() noexcept;

}  // namespace nimbra::random
