// ChaCha12, 4 blocks per call in 128-bit registers: the x86 baseline (every
// x86-64 CPU has SSE2).
#include <emmintrin.h>

#include "random/chacha.hpp"
#include "random/chacha_lanes.hpp"

namespace nimbra::random {

namespace {

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

void chacha12_blocks_sse2(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                          std::size_t blocks, std::uint32_t* out) {
  for (std::size_t b = 0; b + 4 <= blocks; b += 4) {
    detail::chacha12_lanes<Sse2Lanes>(key, stream, counter + b, out + 16 * b);
  }
}

}  // namespace nimbra::random
