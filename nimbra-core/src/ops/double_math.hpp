// exp and log of doubles in plain IEEE double-double arithmetic, the same
// bits on every CPU and C library: for the normal sampler's rare steps
// (random/sample.cpp), in place of the C library's exp and log.
//
// Each is worked out within a few units of 2^-100 of the true value and
// rounded to double, so the result is the correctly rounded double unless
// the true value lies within that distance of a point halfway between two
// doubles: for arguments drawn at random, about once in 2^47 calls.
#pragma once

#include "ops/double_double.hpp"

namespace nimbra::dmath {

// exp(z) for |z| <= 350 as a pair, within a few units of 2^-100 relative.
dd::Pair exp_pair(double z);
// exp(z) for |z| <= 350 (NaN gives NaN).
double exp(double z);
// log(x) for 2^-1000 <= x <= 2^1000 (NaN gives NaN).
double log(double x);
// a < exp(z) for |z| <= 350 and finite a, decided as with exp(z) above but
// by the lane exponential (a few ns) unless a lies within 2^-43 of it, where
// exp's pairs (a few hundred ns) settle it.
bool below_exp(double a, double z);

}  // namespace nimbra::dmath
