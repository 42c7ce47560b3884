// The correctly rounded f32 exponential, in plain scalar code: the same bits
// on every CPU and C library. The vector exponential of ops/lane_math.hpp
// rounds almost every lane itself and hands the few whose result lies too
// close to a rounding boundary to this function.
#pragma once

namespace nimbra::kernels {

// exp(x) rounded to the nearest f32 (ties to even, which no finite argument
// but 0 reaches). NaN gives a quiet NaN, -inf gives +0, +inf gives +inf.
float exp_exact(float x);

}  // namespace nimbra::kernels
