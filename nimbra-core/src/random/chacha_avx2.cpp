// ChaCha12, 8 blocks per call in 256-bit registers (built with -mavx2).
#include <immintrin.h>

#include "random/chacha.hpp"
#include "random/chacha_lanes.hpp"

namespace nimbra::random {

namespace {

struct Avx2Lanes {
  using Reg = __m256i;
  static constexpr int kLanes = 8;
  static Reg splat(std::uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
  static Reg load(const std::uint32_t* p) {
    return _mm256_load_si256(reinterpret_cast<const Reg*>(p));
  }
  static Reg add(Reg a, Reg b) { return _mm256_add_epi32(a, b); }
  static Reg xor_(Reg a, Reg b) { return _mm256_xor_si256(a, b); }
  // Byte-multiple rotations are one byte shuffle instead of two shifts and an or.
  static Reg rotl16(Reg v) {
    const Reg idx = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                     2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(v, idx);
  }
  static Reg rotl8(Reg v) {
    const Reg idx = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                     3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return _mm256_shuffle_epi8(v, idx);
  }
  static Reg rotl12(Reg v) {
    return _mm256_or_si256(_mm256_slli_epi32(v, 12), _mm256_srli_epi32(v, 20));
  }
  static Reg rotl7(Reg v) {
    return _mm256_or_si256(_mm256_slli_epi32(v, 7), _mm256_srli_epi32(v, 25));
  }

  // x[k] holds word k of blocks 0..7. The in-lane 4x4 transpose leaves block
  // b's words k..k+3 in the low half and block b+4's in the high half; pairing
  // the word groups (0-3 with 4-7, 8-11 with 12-15) gives whole 8-word rows.
  static void store_blocks(const Reg* x, std::uint32_t* out) {
    Reg r[4][4];  // r[g][b]: word group g (words 4g..4g+3) of blocks b and b+4
    for (int g = 0; g < 4; ++g) {
      const int k = 4 * g;
      const Reg t0 = _mm256_unpacklo_epi32(x[k], x[k + 1]);
      const Reg t1 = _mm256_unpacklo_epi32(x[k + 2], x[k + 3]);
      const Reg t2 = _mm256_unpackhi_epi32(x[k], x[k + 1]);
      const Reg t3 = _mm256_unpackhi_epi32(x[k + 2], x[k + 3]);
      r[g][0] = _mm256_unpacklo_epi64(t0, t1);
      r[g][1] = _mm256_unpackhi_epi64(t0, t1);
      r[g][2] = _mm256_unpacklo_epi64(t2, t3);
      r[g][3] = _mm256_unpackhi_epi64(t2, t3);
    }
    for (int b = 0; b < 4; ++b) {
      for (int g = 0; g < 4; g += 2) {
        Reg* lo_block = reinterpret_cast<Reg*>(out + 16 * b + 4 * g);
        Reg* hi_block = reinterpret_cast<Reg*>(out + 16 * (b + 4) + 4 * g);
        _mm256_storeu_si256(lo_block, _mm256_permute2x128_si256(r[g][b], r[g + 1][b], 0x20));
        _mm256_storeu_si256(hi_block, _mm256_permute2x128_si256(r[g][b], r[g + 1][b], 0x31));
      }
    }
  }
};

}  // namespace

void chacha12_blocks_avx2(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                          std::size_t blocks, std::uint32_t* out) {
  std::size_t b = 0;
  for (; b + 8 <= blocks; b += 8) {
    detail::chacha12_lanes<Avx2Lanes>(key, stream, counter + b, out + 16 * b);
  }
  if (b < blocks) chacha12_blocks_sse2(key, stream, counter + b, blocks - b, out + 16 * b);
}

}  // namespace nimbra::random
