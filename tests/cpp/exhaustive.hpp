// Exhaustive checks of f32 functions against independent references: every
// float of a range (bit pattern after bit pattern), in batches, on two
// threads, each batch's expected results decided once and every output set
// held to them.
//
// The references here share no code, constant or method with the kernels:
// Taylor series and continued fractions after an ln2 reduction, in double for
// speed (batch loops the compiler vectorises) with a stated bound on their
// relative error, and in quad precision (128-bit: __float128, or long double
// where that is the quad format) for the rare arguments whose result lies too
// close to a rounding boundary for the double bound to decide. Nothing comes
// from the C library's exp, expf, log or erf.
//
// A test lists its ranges of floats: the core, where the function is not
// constant, taken float by float, and the rest (huge arguments, the tiny ones
// that crowd the bit patterns near zero, subnormals, infinities, NaNs), by
// default every `thin`th float.
//
// Environment (for sanitizer and emulated runs):
//   NIMBRA_EXHAUSTIVE_STRIDE=N   take every Nth float of every range
//                                (default 1; 97 under sanitizers)
//   NIMBRA_EXHAUSTIVE_RANGE=core only the core ranges (for exp: [-104, 89],
//                                the arguments softmax produces and their
//                                mirror)
//   NIMBRA_EXHAUSTIVE_RANGE=all  every range float by float
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace exhaustive {

#if defined(__SIZEOF_FLOAT128__) && !defined(__aarch64__)
using Quad = __float128;
#else
using Quad = long double;  // binary128 on aarch64
#endif

inline std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
inline float from_bits(std::uint32_t u) { return std::bit_cast<float>(u); }

// The next float toward +inf / -inf (x not NaN; inf stays).
inline float next_up(float x) {
  if (x == std::numeric_limits<float>::infinity()) return x;
  if (x == 0.0f) return from_bits(1);
  const std::uint32_t b = bits(x);
  return from_bits(x > 0.0f ? b + 1 : b - 1);
}
inline float next_down(float x) { return -next_up(-x); }

inline std::uint64_t env_u64(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}
inline std::uint64_t stride() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return env_u64("NIMBRA_EXHAUSTIVE_STRIDE", 97);
#else
  return env_u64("NIMBRA_EXHAUSTIVE_STRIDE", 1);
#endif
}
inline std::string range_choice() {
  const char* v = std::getenv("NIMBRA_EXHAUSTIVE_RANGE");
  return v ? v : "";
}

// ---- what a result must be ------------------------------------------------------

// An approximation of the exact value: |value - exact| <= bound * |value|
// (bound 0: exact). NaN: the exact result is NaN.
struct Approx {
  double value;
  double bound;
};
struct ApproxQ {
  Quad value;
  Quad bound;
};

enum class Verdict { Pass, Fail, Undecided };

// The floats an approximation's interval [lo, hi] allows as faithful
// roundings (within one unit in the last place): when no float lies strictly
// inside, the two around it; when exactly one does, that one is right for
// every point (and its neighbours are for some): got passes if it is that
// float, else the interval cannot tell.
template <class T>
Verdict faithful(float got, T value, T bound) {
  if (value != value) return got != got ? Verdict::Pass : Verdict::Fail;
  if (got != got) return Verdict::Fail;
  const T spread = (value < 0 ? -value : value) * bound;
  const T lo = value - spread, hi = value + spread;
  float below = static_cast<float>(lo);
  if (static_cast<T>(below) > lo) below = next_down(below);  // RD(lo)
  float above = static_cast<float>(hi);
  if (static_cast<T>(above) < hi) above = next_up(above);  // RU(hi)
  // An interval that is one float (as the type sees it): that float.
  if (bits(below) == bits(above)) return bits(got) == bits(below) ? Verdict::Pass : Verdict::Fail;
  if (bits(got) == bits(below) || bits(got) == bits(above)) {
    // Inside the interval's two outer floats; with a float strictly inside,
    // only that one is certain.
    if (bits(next_up(below)) == bits(above) || (below == 0.0f && above == 0.0f)) return Verdict::Pass;
    return Verdict::Undecided;
  }
  if (static_cast<T>(got) > lo && static_cast<T>(got) < hi) {
    return bits(next_up(next_up(below))) == bits(above) ? Verdict::Pass : Verdict::Undecided;
  }
  // got lies outside [RD(lo), RU(hi)]: wrong for every point of the interval,
  // unless the bound is so loose that the interval spans whole floats.
  return bound > 0 && (got < below || got > above) ? Verdict::Fail : Verdict::Undecided;
}

// The correctly rounded result if the interval decides it (both ends round to
// the same float), with a flag.
template <class T>
bool rounded(T value, T bound, float& out) {
  if (value != value) {
    out = std::numeric_limits<float>::quiet_NaN();
    return true;
  }
  const T spread = (value < 0 ? -value : value) * bound;
  const float a = static_cast<float>(value - spread), b = static_cast<float>(value + spread);
  out = a;
  return bits(a) == bits(b);
}

// ---- the driver --------------------------------------------------------------------

struct Range {
  std::uint32_t lo, hi;  // bit patterns [lo, hi), walked upward
  std::uint32_t thin;    // 0: the core; n: outside it, every nth float by default
};

// The bit patterns of the floats in [a, b] (a <= b), as at most two ranges of
// increasing patterns (negative floats' patterns run downward).
inline std::vector<Range> float_range(float a, float b, std::uint32_t thin = 0) {
  std::vector<Range> out;
  if (a < 0.0f || bits(a) == 0x80000000u) {
    const float top = b < 0.0f ? b : -0.0f;
    out.push_back({bits(top), bits(a) + 1, thin});
  }
  if (b >= 0.0f && bits(b) != 0x80000000u) {
    const float low = a > 0.0f ? a : 0.0f;
    out.push_back({bits(low), bits(b) + 1, thin});
  }
  return out;
}

// Every float: the core [a, b] and [c, d] (a <= b < 0 < c <= d) float by
// float, the rest (the tiny ones between b and c, beyond a and d, the
// infinities and the NaNs) thinned.
inline std::vector<Range> every_float(float a, float b, float c, float d, std::uint32_t thin) {
  std::vector<Range> out;
  const auto add = [&out](std::vector<Range> more) { out.insert(out.end(), more.begin(), more.end()); };
  const float inf = std::numeric_limits<float>::infinity();
  add(float_range(a, b));
  add(float_range(c, d));
  add(float_range(-inf, next_down(a), thin));
  add(float_range(next_up(b), next_down(c), thin));
  add(float_range(next_up(d), inf, thin));
  out.push_back({0x7F800001u, 0x80000000u, thin});  // NaNs of either sign
  out.push_back({0xFF800001u, 0xFFFFFFFFu, thin});
  return out;
}

// Every pattern of `ranges` (at the stride, thinned as the range says and
// NIMBRA_EXHAUSTIVE_RANGE allows). Each of the two threads makes its own State
// (its buffers) from `make()`; state.check(x, n, fail) computes a batch (every
// variant's outputs and the references) and calls fail(x_i, why) for every
// element that fails. Prints the first failures; returns their number.
struct Driver {
  std::vector<Range> ranges;
  std::size_t batch = 1 << 14;

  template <class Make>
  std::uint64_t go(Make&& make) const {
    const std::uint64_t step = stride();
    struct Chunk {
      std::uint64_t lo, hi, step;
    };
    std::vector<Chunk> chunks;
    const std::string choice = range_choice();
    for (const Range& r : ranges) {
      if (r.thin > 0 && choice == "core") continue;
      const std::uint64_t s = r.thin > 1 && choice != "all" ? step * r.thin : step;
      for (std::uint64_t lo = r.lo; lo < r.hi; lo += batch * s)
        chunks.push_back({lo, std::min<std::uint64_t>(r.hi, lo + batch * s), s});
    }
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> failures{0};
    std::mutex print;
    auto fail = [&](float x, const std::string& why) {
      if (failures++ < 8) {
        std::lock_guard<std::mutex> lock(print);
        std::printf("  x = %a (0x%08x): %s\n", static_cast<double>(x), bits(x), why.c_str());
      }
    };
    auto worker = [&] {
      auto state = make();
      std::vector<float> x(batch);
      for (std::size_t c; (c = next++) < chunks.size();) {
        std::size_t n = 0;
        for (std::uint64_t p = chunks[c].lo; p < chunks[c].hi; p += chunks[c].step)
          x[n++] = from_bits(static_cast<std::uint32_t>(p));
        state.check(x.data(), n, fail);
      }
    };
    std::thread other(worker);
    worker();
    other.join();
    return failures.load();
  }
};

inline std::string describe(float f) {
  char text[64];
  std::snprintf(text, sizeof text, "%a (0x%08x)", static_cast<double>(f), bits(f));
  return text;
}

}  // namespace exhaustive
