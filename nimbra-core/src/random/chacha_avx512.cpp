// ChaCha12, 16 blocks per call in 512-bit registers (built with AVX-512
// F/VL/BW/DQ): native rotates, and 32 registers hold the state without spills.

// GCC 12 flags the intrinsics' own deliberately undefined pass-through operand
// (_mm512_undefined_epi32) as uninitialised once they are inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "random/chacha.hpp"
#include "random/chacha_lanes.hpp"

namespace nimbra::random {

namespace {

struct Avx512Lanes {
  using Reg = __m512i;
  static constexpr int kLanes = 16;
  static Reg splat(std::uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
  static Reg load(const std::uint32_t* p) { return _mm512_load_si512(p); }
  static Reg add(Reg a, Reg b) { return _mm512_add_epi32(a, b); }
  static Reg xor_(Reg a, Reg b) { return _mm512_xor_si512(a, b); }
  static Reg rotl16(Reg v) { return _mm512_rol_epi32(v, 16); }
  static Reg rotl12(Reg v) { return _mm512_rol_epi32(v, 12); }
  static Reg rotl8(Reg v) { return _mm512_rol_epi32(v, 8); }
  static Reg rotl7(Reg v) { return _mm512_rol_epi32(v, 7); }

  // x[k] holds word k of blocks 0..15. The in-lane 4x4 transpose gives, for
  // word group g and b in 0..3, a register whose 128-bit lane m holds words
  // 4g..4g+3 of block b + 4m; a 4x4 transpose of 128-bit lanes across the
  // four groups then gives whole blocks b, b+4, b+8, b+12.
  static void store_blocks(const Reg* x, std::uint32_t* out) {
    Reg r[4][4];  // r[g][b]
    for (int g = 0; g < 4; ++g) {
      const int k = 4 * g;
      const Reg t0 = _mm512_unpacklo_epi32(x[k], x[k + 1]);
      const Reg t1 = _mm512_unpacklo_epi32(x[k + 2], x[k + 3]);
      const Reg t2 = _mm512_unpackhi_epi32(x[k], x[k + 1]);
      const Reg t3 = _mm512_unpackhi_epi32(x[k + 2], x[k + 3]);
      r[g][0] = _mm512_unpacklo_epi64(t0, t1);
      r[g][1] = _mm512_unpackhi_epi64(t0, t1);
      r[g][2] = _mm512_unpacklo_epi64(t2, t3);
      r[g][3] = _mm512_unpackhi_epi64(t2, t3);
    }
    for (int b = 0; b < 4; ++b) {
      // s0 = [g0.l0 g0.l1 g1.l0 g1.l1], s2 = [g0.l2 g0.l3 g1.l2 g1.l3], etc.
      const Reg s0 = _mm512_shuffle_i32x4(r[0][b], r[1][b], 0x44);
      const Reg s1 = _mm512_shuffle_i32x4(r[2][b], r[3][b], 0x44);
      const Reg s2 = _mm512_shuffle_i32x4(r[0][b], r[1][b], 0xEE);
      const Reg s3 = _mm512_shuffle_i32x4(r[2][b], r[3][b], 0xEE);
      _mm512_storeu_si512(out + 16 * (b + 0), _mm512_shuffle_i32x4(s0, s1, 0x88));
      _mm512_storeu_si512(out + 16 * (b + 4), _mm512_shuffle_i32x4(s0, s1, 0xDD));
      _mm512_storeu_si512(out + 16 * (b + 8), _mm512_shuffle_i32x4(s2, s3, 0x88));
      _mm512_storeu_si512(out + 16 * (b + 12), _mm512_shuffle_i32x4(s2, s3, 0xDD));
    }
  }
};

}  // namespace

void chacha12_blocks_avx512(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                            std::size_t blocks, std::uint32_t* out) {
  std::size_t b = 0;
  for (; b + 16 <= blocks; b += 16) {
    detail::chacha12_lanes<Avx512Lanes>(key, stream, counter + b, out + 16 * b);
  }
  if (b < blocks) chacha12_blocks_sse2(key, stream, counter + b, blocks - b, out + 16 * b);
}

}  // namespace nimbra::random

#pragma GCC diagnostic pop
