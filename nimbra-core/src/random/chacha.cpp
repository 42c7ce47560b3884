// ChaCha12 block functions: the scalar definition, the 4-lane SSE2 variant
// (every x86-64 CPU has it) and the run-time choice among the variants.
#include "random/chacha.hpp"

#include <emmintrin.h>

#include "random/chacha_lanes.hpp"

namespace nimbra::random {

namespace {

inline std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter(std::uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
}

struct Sse2Lanes {
  using Reg = __m128i;
  static constexpr int kLanes = 4;
  static Reg splat(std::uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
  static Reg load(const std::uint32_t* p) { return _mm_load_si128(reinterpret_cast<const Reg*>(p)); }
  static Reg add(Reg a, Reg b) { return _mm_add_epi32(a, b); }
  static Reg xor_(Reg a, Reg b) { return _mm_xor_si128(a, b); }
  // SSE2 has no byte shuffle; swapping the 16-bit halves takes two word shuffles.
  static Reg rotl16(Reg v) {
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
  }
  static Reg rotl12(Reg v) { return _mm_or_si128(_mm_slli_epi32(v, 12), _mm_srli_epi32(v, 20)); }
  static Reg rotl8(Reg v) { return _mm_or_si128(_mm_slli_epi32(v, 8), _mm_srli_epi32(v, 24)); }
  static Reg rotl7(Reg v) { return _mm_or_si128(_mm_slli_epi32(v, 7), _mm_srli_epi32(v, 25)); }

  // x[k] holds word k of blocks 0..3; a 4x4 transpose per group of four words
  // gives block b's words k..k+3.
  static void store_blocks(const Reg* x, std::uint32_t* out) {
    for (int k = 0; k < 16; k += 4) {
      const Reg t0 = _mm_unpacklo_epi32(x[k], x[k + 1]);
      const Reg t1 = _mm_unpacklo_epi32(x[k + 2], x[k + 3]);
      const Reg t2 = _mm_unpackhi_epi32(x[k], x[k + 1]);
      const Reg t3 = _mm_unpackhi_epi32(x[k + 2], x[k + 3]);
      _mm_storeu_si128(reinterpret_cast<Reg*>(out + 0 * 16 + k), _mm_unpacklo_epi64(t0, t1));
      _mm_storeu_si128(reinterpret_cast<Reg*>(out + 1 * 16 + k), _mm_unpackhi_epi64(t0, t1));
      _mm_storeu_si128(reinterpret_cast<Reg*>(out + 2 * 16 + k), _mm_unpacklo_epi64(t2, t3));
      _mm_storeu_si128(reinterpret_cast<Reg*>(out + 3 * 16 + k), _mm_unpackhi_epi64(t2, t3));
    }
  }
};

}  // namespace

void chacha12_blocks_ref(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                         std::size_t blocks, std::uint32_t* out) {
  for (std::size_t b = 0; b < blocks; ++b, ++counter, out += 16) {
    std::uint32_t in[16];
    for (int k = 0; k < 4; ++k) in[k] = detail::kSigma[k];
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

void chacha12_blocks_sse2(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                          std::size_t blocks, std::uint32_t* out) {
  for (std::size_t b = 0; b + 4 <= blocks; b += 4) {
    detail::chacha12_lanes<Sse2Lanes>(key, stream, counter + b, out + 16 * b);
  }
}

BlockFn chacha12_blocks_for(cpu::Isa isa) noexcept {
  switch (isa) {
    case cpu::Isa::Avx512: return chacha12_blocks_avx512;
    case cpu::Isa::Avx2: return chacha12_blocks_avx2;
    case cpu::Isa::Baseline: break;
  }
  return chacha12_blocks_sse2;
}

BlockFn chacha12_blocks_best() noexcept {
  static const BlockFn best = chacha12_blocks_for(cpu::best_isa());
  return best;
}

}  // namespace nimbra::random
