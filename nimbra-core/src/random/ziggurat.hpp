// The fast step of the normal Ziggurat over a run of buffered 64-bit draws:
// a scalar reference and SSE2 / AVX2 / AVX-512 forms chosen at run time. All
// give the same bits: the vector forms do the same IEEE double operations
// per lane (no fused multiply-add, round-to-nearest conversion to float).
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"
#include "random/variants.hpp"
#include "random/ziggurat_tables.hpp"

namespace nimbra::random {

// words is (2 * draws) u32, out is (draws) f32. Draw k is words[2k] |
// words[2k+1] << 32. Takes draws 0, 1, ... while each passes the fast test
// (layer i = low 8 bits, u in [-1, 1) from the top 52 bits, x = u * X[i],
// |x| < X[i+1]), writing float(x) + 0.0f to out[k]. Returns the number taken:
// all `draws`, or the index f of the first draw that needs the slow part of
// the step (left to the caller). out[f .. draws) may hold scratch values then;
// the caller overwrites them in order.
using ZigScanFn = std::size_t (*)(const std::uint32_t* words, std::size_t draws, float* out);

// One draw at a time: the reference the vector forms are held to, and the
// baseline of a build without the x86 variants.
std::size_t zig_scan_scalar(const std::uint32_t* words, std::size_t draws, float* out);

#ifdef NIMBRA_RANDOM_X86_VARIANTS
// Two draws per 128-bit register: the x86 baseline (every x86-64 CPU has SSE2).
std::size_t zig_scan_sse2(const std::uint32_t* words, std::size_t draws, float* out);
std::size_t zig_scan_avx2(const std::uint32_t* words, std::size_t draws, float* out);
std::size_t zig_scan_avx512(const std::uint32_t* words, std::size_t draws, float* out);
#endif

// The variant for `isa`; a precondition fault when this CPU cannot run it.
ZigScanFn zig_scan_for(cpu::Isa isa);
// The variant for cpu::best_isa(), chosen once.
ZigScanFn zig_scan_best();

// The vector forms fetch both X[i] and X[i+1] with one unaligned 16-byte load
// from &X[i] and split the pairs with unpack: far cheaper than two gathers.
// The layer index is the draw's low byte, read straight from memory.
inline const std::uint8_t* layer_bytes(const std::uint32_t* words) {
  return reinterpret_cast<const std::uint8_t*>(words);  // draw k's index: [8 * k]
}

// Bit-level pieces shared by the scalar paths.
inline constexpr std::uint64_t kTwoBits = 0x4000000000000000ull;  // 2.0
inline constexpr std::uint64_t kOneBits = 0x3FF0000000000000ull;  // 1.0

inline std::uint64_t draw_at(const std::uint32_t* w) {
  return w[0] | static_cast<std::uint64_t>(w[1]) << 32;
}

// [2, 4) from the top 52 bits, minus 3: u in [-1, 1).
inline double signed_unit(std::uint64_t b) {
  return std::bit_cast<double>(kTwoBits | (b >> 12)) - 3.0;
}

// + 0.0f turns a -0.0 into +0.0.
inline float to_element(double sample) { return static_cast<float>(sample) + 0.0f; }

// The fast test for draw b: true with x set when it accepts.
inline bool zig_fast_step(std::uint64_t b, unsigned& i, double& u, double& x) {
  i = static_cast<unsigned>(b & 0xff);
  u = signed_unit(b);
  x = u * kZigX[i];
  return std::fabs(x) < kZigX[i + 1];
}

}  // namespace nimbra::random
