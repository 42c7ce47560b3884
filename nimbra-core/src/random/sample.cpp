// rand and randn over a generator's buffer; the Ziggurat's fast step runs
// through the scan of ziggurat.hpp, the rest of a step here, with our own
// exp and log (ops/double_math.hpp): the same draws under every C library.
#include "random/sample.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "ops/double_math.hpp"
#include "random/ziggurat.hpp"

namespace nimbra::random {

namespace {

// [1, 2) from the top 23 bits, minus 1: exactly k * 2^-23.
inline float unit_float(std::uint32_t w) {
  return std::bit_cast<float>(0x3F800000u | (w >> 9)) - 1.0f;
}

// [1, 2) from the top 52 bits, minus (1 - 2^-53): in (0, 1), so its log is finite.
inline double open_unit(std::uint64_t c) {
  return std::bit_cast<double>(kOneBits | (c >> 12)) - 0.9999999999999999;
}

// The rest of a Ziggurat step whose draw (layer i, u, x = u * X[i]) failed
// the fast test. False when the step rejects and a new draw is needed. Out of
// line: it runs for about 1.5% of the draws.
[[gnu::noinline]] bool finish_step(Generator& g, unsigned i, double u, double x,
                                   double& sample) {
  if (i == 0) {
    // Base layer beyond R: the tail, by Marsaglia's exponential rejection.
    double t;
    double y;
    do {
      t = dmath::log(open_unit(g.next_u64())) / kZigR;
      y = dmath::log(open_unit(g.next_u64()));
    } while (-2.0 * y < t * t);
    sample = u < 0 ? t - kZigR : kZigR - t;  // t < 0: magnitude R + |t|
    return true;
  }
  // The wedge between layer i's rectangle and the curve.
  const double v = static_cast<double>(g.next_u64() >> 11) * 0x1.0p-53;
  if (dmath::below_exp(kZigF[i + 1] + (kZigF[i] - kZigF[i + 1]) * v, -x * x / 2.0)) {
    sample = x;
    return true;
  }
  return false;
}

// One sample whose first draw b has already been taken from g.
double normal_from(Generator& g, std::uint64_t b) {
  for (;;) {
    unsigned i;
    double u;
    double x;
    double sample;
    if (zig_fast_step(b, i, u, x)) return x;
    if (finish_step(g, i, u, x, sample)) return sample;
    b = g.next_u64();
  }
}

}  // namespace

void fill_rand(Generator& g, float* out, std::size_t n) {
  while (n > 0) {
    const auto words = g.available();
    const std::size_t m = std::min(n, words.size());
    const std::uint32_t* w = words.data();
    for (std::size_t j = 0; j < m; ++j) out[j] = unit_float(w[j]);
    g.consume(m);
    out += m;
    n -= m;
  }
}

void fill_randn(Generator& g, float* out, std::size_t n) {
  const ZigScanFn scan = zig_scan_best();
  std::size_t j = 0;
  while (j < n) {
    // Whole draws inside the buffer that pass the fast test become elements
    // straight away; the scan stops at the first one that needs more.
    const auto words = g.available();
    const std::size_t pairs = std::min(words.size() / 2, n - j);
    const std::size_t taken = scan(words.data(), pairs, out + j);
    j += taken;
    if (taken < pairs) {
      // Hand this draw over and let the generator supply whatever else it needs.
      const std::uint64_t b = draw_at(words.data() + 2 * taken);
      g.consume(2 * taken + 2);
      out[j++] = to_element(normal_from(g, b));
    } else if (j < n && words.size() == 2 * taken + 1) {
      // One word left: this element's first draw straddles the refill.
      g.consume(2 * taken);
      out[j++] = to_element(normal_from(g, g.next_u64()));
    } else {
      g.consume(2 * taken);
    }
  }
}

}  // namespace nimbra::random
