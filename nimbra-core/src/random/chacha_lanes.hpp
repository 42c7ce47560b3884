// The ChaCha12 block function written once for any vector width: lane j of
// every register works on block counter + j, so a register holds the same
// state word of V::kLanes consecutive blocks. Each ISA's translation unit
// supplies V (in an anonymous namespace, since those files are built with
// different target flags) with this vocabulary:
//   Reg; kLanes; splat(u32); load(const u32*); add; xor_; rotl16/12/8/7;
//   store_blocks(Reg x[16], u32* out)  -- transposes to stream order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "random/chacha.hpp"

namespace nimbra::random::detail {

template <class V>
inline void quarter_round(typename V::Reg& a, typename V::Reg& b, typename V::Reg& c,
                          typename V::Reg& d) {
  a = V::add(a, b); d = V::rotl16(V::xor_(d, a));
  c = V::add(c, d); b = V::rotl12(V::xor_(b, c));
  a = V::add(a, b); d = V::rotl8(V::xor_(d, a));
  c = V::add(c, d); b = V::rotl7(V::xor_(b, c));
}

// Writes V::kLanes blocks starting at `counter` to out[0 .. 16*kLanes).
template <class V>
inline void chacha12_lanes(const KeyWords& key, std::uint64_t stream, std::uint64_t counter,
                           std::uint32_t* out) {
  using Reg = typename V::Reg;
  constexpr int kLanes = V::kLanes;

  // Per-lane 64-bit counters, split so a lane that passes 2^32 carries.
  alignas(64) std::uint32_t lo[kLanes];
  alignas(64) std::uint32_t hi[kLanes];
  for (int j = 0; j < kLanes; ++j) {
    const std::uint64_t c = counter + static_cast<std::uint64_t>(j);
    lo[j] = static_cast<std::uint32_t>(c);
    hi[j] = static_cast<std::uint32_t>(c >> 32);
  }

  Reg in[16];
  for (int k = 0; k < 4; ++k) in[k] = V::splat(kChachaSigma[k]);
  for (int k = 0; k < 8; ++k) in[4 + k] = V::splat(key[k]);
  in[12] = V::load(lo);
  in[13] = V::load(hi);
  in[14] = V::splat(static_cast<std::uint32_t>(stream));
  in[15] = V::splat(static_cast<std::uint32_t>(stream >> 32));

  Reg x[16];
  for (int k = 0; k < 16; ++k) x[k] = in[k];
  for (int round = 0; round < 12; round += 2) {
    quarter_round<V>(x[0], x[4], x[8], x[12]);
    quarter_round<V>(x[1], x[5], x[9], x[13]);
    quarter_round<V>(x[2], x[6], x[10], x[14]);
    quarter_round<V>(x[3], x[7], x[11], x[15]);
    quarter_round<V>(x[0], x[5], x[10], x[15]);
    quarter_round<V>(x[1], x[6], x[11], x[12]);
    quarter_round<V>(x[2], x[7], x[8], x[13]);
    quarter_round<V>(x[3], x[4], x[9], x[14]);
  }
  for (int k = 0; k < 16; ++k) x[k] = V::add(x[k], in[k]);
  V::store_blocks(x, out);
}

}  // namespace nimbra::random::detail
