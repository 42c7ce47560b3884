// The exponential of softmax, correctly rounded, against an independent
// reference (reference_math.hpp) for every f32 argument on every ISA variant
// this CPU runs; and the exact finish alone on the arguments closest to a
// rounding boundary. Any difference, anywhere, fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "ops/elementwise_kernels.hpp"
#include "ops/exp_exact.hpp"
#include "reference_math.hpp"
#include "test_util.hpp"

namespace {

namespace k = nimbra::kernels;
namespace ex = exhaustive;
using nimbra::cpu::Isa;

using tu::supported_isas;

// Arguments whose exponential the double reference could not round: the hard
// cases, which the exact finish is then run on alone.
std::mutex hard_lock;
std::vector<float> hard_cases;

// exp(x) correctly rounded, by the reference: the double bound first, quad
// where that cannot decide.
bool exp_rounded(float x, double approx, float& want) {
  if (x != x) {
    want = x;
    return true;
  }
  if (x > 700.0f) {
    want = std::numeric_limits<float>::infinity();
    return true;
  }
  if (x < -700.0f) {
    want = 0.0f;
    return true;
  }
  if (ex::rounded(approx, ex::kExpBound, want)) return true;
  {
    std::lock_guard<std::mutex> lock(hard_lock);
    hard_cases.push_back(x);
  }
  return ex::rounded(ex::exp_q(ex::Quad(x)), ex::Quad(0x1p-100), want);
}

// Every variant twice: each batch lies within the short path's domain or
// wholly outside it (see the ranges below), so exp_shifted takes the short
// path wherever it may; with a NaN after the batch the same arguments take the
// general path.
struct ExpState {
  std::vector<Isa> isas = supported_isas();
  std::vector<std::vector<float>> out;  // [2 v]: variant v as it chooses, [2 v + 1]: the general path
  std::vector<float> padded;
  std::vector<double> z, ref;
  std::vector<float> want;
  std::vector<std::uint32_t> open;  // the double reference cannot decide
  explicit ExpState(std::size_t batch)
      : out(2 * isas.size(), std::vector<float>(batch + 1)), padded(batch + 1), z(batch), ref(batch), want(batch),
        open(batch) {}
  std::string name(std::size_t o) const {
    return std::string(nimbra::cpu::isa_name(isas[o / 2])) + (o % 2 ? " (general path)" : "");
  }

  template <class Fail>
  void check(const float* x, std::size_t n, Fail&& fail) {
    std::copy(x, x + n, padded.begin());
    padded[n] = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t v = 0; v < isas.size(); ++v) {
      k::element_kernels(isas[v]).exp_shifted(x, 0.0f, out[2 * v].data(), n);
      k::element_kernels(isas[v]).exp_shifted(padded.data(), 0.0f, out[2 * v + 1].data(), n + 1);
    }
    // The batch loops below are what the reference costs for almost every
    // argument; the rest go one by one.
    // Where every result is a constant (0, 1, inf or NaN: |x| < 2^-30, below
    // -104, above 89) the series is not needed.
    bool series = false;
    for (std::size_t i = 0; i < n; ++i) {
      const float a = x[i] < 0 ? -x[i] : x[i];
      series |= a >= 0x1p-30f && x[i] >= -104.0f && x[i] <= 89.0f;
      z[i] = x[i] >= -700.0f && x[i] <= 700.0f ? x[i] : 0.0;
    }
    if (series) {
      ex::exp_batch(z.data(), ref.data(), n);
    } else {
      for (std::size_t i = 0; i < n; ++i) ref[i] = x[i] < -104.0f ? 0.0 : x[i] > 89.0f ? 1e300 : 1.0;
    }
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const double* __restrict r = ref.data();
    float* __restrict w = want.data();
    std::uint32_t* __restrict o = open.data();
    for (std::size_t i = 0; i < n; ++i) {
      const float a = static_cast<float>(r[i] * (1 - ex::kExpBound)), b = static_cast<float>(r[i] * (1 + ex::kExpBound));
      // Beyond +-700 (and NaN) the result is inf, 0 or NaN.
      const float xi = x[i];
      w[i] = xi > 700.0f ? kInf : xi < -700.0f ? 0.0f : xi != xi ? xi : a;
      o[i] = (a != b) & (xi >= -700.0f) & (xi <= 700.0f);
    }
    const auto differ = [](float got, float want_i) {
      return (ex::bits(got) != ex::bits(want_i)) & !((got != got) & (want_i != want_i));
    };
    for (std::size_t v = 0; v < out.size(); ++v) {
      const float* __restrict got = out[v].data();
      std::uint32_t differs = 0;
      for (std::size_t i = 0; i < n; ++i) differs |= (o[i] == 0) & differ(got[i], w[i]);
      if (!differs) continue;
      for (std::size_t i = 0; i < n; ++i)
        if (!open[i] && differ(got[i], want[i]))
          fail(x[i], name(v) + " gave " + ex::describe(got[i]) +
                         ", the correctly rounded value is " + ex::describe(want[i]));
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!open[i]) continue;
      float w;
      if (!exp_rounded(x[i], ref[i], w)) {
        fail(x[i], "the reference cannot decide the rounding");
        continue;
      }
      for (std::size_t v = 0; v < out.size(); ++v) {
        const float got = out[v][i];
        if (differ(got, w))
          fail(x[i], name(v) + " gave " + ex::describe(got) +
                         ", the correctly rounded value is " + ex::describe(w));
      }
    }
  }
};

TEST(ExpExhaustive, EveryArgumentOnEveryVariant) {
  ex::Driver d;
  // [-104, 89] holds every argument whose result is neither 0, 1 nor inf; the
  // exponential is checked at every other float too (NIMBRA_EXHAUSTIVE_RANGE=core
  // leaves those out). The short path's domain (-87.25, 88.5) is a range of
  // its own.
  for (const auto& r : {ex::float_range(-104.0f, -87.25f), ex::float_range(ex::next_up(-87.25f), ex::next_down(88.5f)),
                        ex::float_range(88.5f, 89.0f)})
    d.ranges.insert(d.ranges.end(), r.begin(), r.end());
  const float inf = std::numeric_limits<float>::infinity();
  for (const auto& r : {ex::float_range(-inf, ex::next_down(-104.0f), 1), ex::float_range(ex::next_up(89.0f), inf, 1)})
    d.ranges.insert(d.ranges.end(), r.begin(), r.end());
  d.ranges.push_back({0x7F800001u, 0x80000000u, 1});  // NaNs of either sign
  d.ranges.push_back({0xFF800001u, 0xFFFFFFFFu, 1});
  EXPECT_EQ(d.go([&] { return ExpState(d.batch); }), 0u);
}

// The finish by itself where it matters most: the arguments the reference
// found closest to a rounding boundary (the run above collects them), and
// the special cases.
TEST(ExpExhaustive, ExactFinishOnTheHardCases) {
  std::vector<float> xs;
  {
    std::lock_guard<std::mutex> lock(hard_lock);
    xs = hard_cases;
  }
  for (const float x : {0.0f, -0.0f, 1.0f, -1.0f, -87.5f, -103.9f, -104.0f, 88.72283f, 88.7229f, 89.0f,
                        ex::from_bits(0xc27c65d9u)})
    xs.push_back(x);
  std::printf("  %zu hard cases\n", xs.size());
  std::vector<double> z(xs.begin(), xs.end()), ref(xs.size());
  ex::exp_batch(z.data(), ref.data(), xs.size());
  for (std::size_t i = 0; i < xs.size(); ++i) {
    float want;
    ASSERT_TRUE(exp_rounded(xs[i], ref[i], want)) << ex::describe(xs[i]);
    EXPECT_EQ(ex::bits(k::exp_exact(xs[i])), ex::bits(want)) << ex::describe(xs[i]);
  }
  EXPECT_EQ(ex::bits(k::exp_exact(-std::numeric_limits<float>::infinity())), 0u);
  EXPECT_EQ(k::exp_exact(std::numeric_limits<float>::infinity()), std::numeric_limits<float>::infinity());
  EXPECT_NE(k::exp_exact(std::numeric_limits<float>::quiet_NaN()), k::exp_exact(std::numeric_limits<float>::quiet_NaN()));
}

}  // namespace
