// Reduction kernels: the slices along one dimension of a row-major array,
// each reduced to one value in one fixed order.
//
// Every output is one chain over its slice in ascending position, so every
// ISA variant (4-lane baseline, AVX2, AVX-512) vectorises only across
// independent outputs and gives the bits of the scalar definitions below
// (NaN payloads aside). Pointers may be unaligned; out never overlaps src.
#pragma once

#include <cstddef>

#include "cpu.hpp"

namespace nimbra::kernels {

// The chain of a slice v[0 .. L), L >= 1:
//   Sum     s = -0.0; s = s + v[k] for k = 0, 1, ... (f32, never fused)
//   Max     the first v[k] that no later element replaces, where v[k] replaces
//           the running m when m is not NaN and (v[k] > m or v[k] is NaN):
//           the first NaN if there is one, else the first largest value
//           (so -0.0 before 0.0 stays -0.0)
//   Min     the same with v[k] < m
//   ArgMax  the position k of Max's value, as a float (exact below 2^24)
//   ArgMin  the position k of Min's value
enum class Reduce { Sum, Max, Min, ArgMax, ArgMin };

// src (L, I): out[j] is the chain of column j, src[k*I + j] for k in [0, L).
// L >= 1, I >= 1. A column sum adds whole rows.
void reduce_columns(Reduce op, const float* src, std::size_t L, std::size_t I, float* out);
// src (R, L): out[r] is the chain of row r, src[r*L + k] for k in [0, L).
// L >= 1.
void reduce_rows(Reduce op, const float* src, std::size_t R, std::size_t L, float* out);

// The chain of one slice, v[k * step] for k in [0, L): the scalar definition
// every variant is held to.
float reduce_scalar(Reduce op, const float* v, std::size_t L, std::size_t step);

// The variant table: the above for one ISA.
using ReduceColumnsFn = decltype(&reduce_columns);
using ReduceRowsFn = decltype(&reduce_rows);
struct ReductionKernels {
  ReduceColumnsFn columns;
  ReduceRowsFn rows;
};

// The table of `isa`'s variant, for tests and benchmarks; a precondition
// fault (cpu::require) when this CPU cannot run it.
const ReductionKernels& reduction_kernels(cpu::Isa isa);
// The table of cpu::best_isa(), chosen once.
const ReductionKernels& reduction_kernels_best();

}  // namespace nimbra::kernels
