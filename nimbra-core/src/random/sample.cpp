#include "random/sample.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include <emmintrin.h>

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
      t = std::log(open_unit(g.next_u64())) / kZigR;
      y = std::log(open_unit(g.next_u64()));
    } while (-2.0 * y < t * t);
    sample = u < 0 ? t - kZigR : kZigR - t;  // t < 0: magnitude R + |t|
    return true;
  }
  // The wedge between layer i's rectangle and the curve.
  const double v = static_cast<double>(g.next_u64() >> 11) * 0x1.0p-53;
  if (kZigF[i + 1] + (kZigF[i] - kZigF[i + 1]) * v < std::exp(-x * x / 2.0)) {
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

inline std::uint64_t draw_at(const std::uint32_t* w) {
  return w[0] | static_cast<std::uint64_t>(w[1]) << 32;
}

}  // namespace

std::size_t zig_scan_scalar(const std::uint32_t* words, std::size_t draws, float* out) {
  for (std::size_t k = 0; k < draws; ++k) {
    unsigned i;
    double u;
    double x;
    if (!zig_fast_step(draw_at(words + 2 * k), i, u, x)) return k;
    out[k] = to_element(x);
  }
  return draws;
}

std::size_t zig_scan_sse2(const std::uint32_t* words, std::size_t draws, float* out) {
  const __m128i two = _mm_set1_epi64x(static_cast<long long>(kTwoBits));
  const __m128d three = _mm_set1_pd(3.0);
  const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffll));
  const __m128 zero = _mm_setzero_ps();
  std::size_t k = 0;
  for (; k + 2 <= draws; k += 2) {
    const std::uint32_t* w = words + 2 * k;
    const std::uint8_t* layer = layer_bytes(w);
    const __m128d p = _mm_loadu_pd(kZigX + layer[0]);  // {X[i], X[i+1]} of draw 0
    const __m128d q = _mm_loadu_pd(kZigX + layer[8]);  // and of draw 1
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w));
    const __m128d u = _mm_sub_pd(_mm_castsi128_pd(_mm_or_si128(_mm_srli_epi64(b, 12), two)), three);
    const __m128d x = _mm_mul_pd(u, _mm_unpacklo_pd(p, q));
    const __m128d ok = _mm_cmplt_pd(_mm_and_pd(x, abs_mask), _mm_unpackhi_pd(p, q));
    // Both are stored even when one fails: the caller writes the slots from
    // the failing draw on again, in order.
    const __m128 f = _mm_add_ps(_mm_cvtpd_ps(x), zero);  // two floats in the low half
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), _mm_castps_si128(f));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_pd(ok));
    if (mask != 3) return k + (mask & 1);
  }
  return k + zig_scan_scalar(words + 2 * k, draws - k, out + k);
}

ZigScanFn zig_scan_for(cpu::Isa isa) noexcept {
  switch (isa) {
    case cpu::Isa::Avx512: return zig_scan_avx512;
    case cpu::Isa::Avx2: return zig_scan_avx2;
    case cpu::Isa::Baseline: break;
  }
  return zig_scan_sse2;
}

ZigScanFn zig_scan_best() noexcept {
  static const ZigScanFn best = zig_scan_for(cpu::best_isa());
  return best;
}

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
