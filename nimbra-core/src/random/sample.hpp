// Element samplers over a Generator: they fill a float array element 0 first,
// each element drawn completely before the next.
#pragma once

#include <cstddef>

#include "nimbra/random.hpp"

namespace nimbra::random {

// Uniform on [0, 1): one word w per value, the float with bits
// 0x3F800000 | (w >> 9) (in [1, 2)) minus 1. Values are k * 2^-23.
void fill_rand(Generator& g, float* out, std::size_t n);

// Standard normal: the 256-layer Ziggurat in double precision (tables in
// ziggurat_tables.cpp), rounded to float, plus 0.0f so no -0.0 comes out.
void fill_randn(Generator& g, float* out, std::size_t n);

}  // namespace nimbra::random
