// Layer tables of the 256-layer normal Ziggurat, committed as constant data
// (written by tools/gen_ziggurat_tables.py, never computed at start-up).
#pragma once

#include <cstddef>

namespace nimbra::random {

inline constexpr std::size_t kZigLayers = 256;
// Start of the tail: samples of the base layer beyond it come from the tail loop.
inline constexpr double kZigR = 3.654152885361009;

// kZigX[i] is the right edge of layer i (kZigX[0] > R is the base layer's
// equal-area width, kZigX[256] = 0); kZigF[i] = exp(-kZigX[i]^2 / 2).
extern const double kZigX[kZigLayers + 1];
extern const double kZigF[kZigLayers + 1];

}  // namespace nimbra::random
