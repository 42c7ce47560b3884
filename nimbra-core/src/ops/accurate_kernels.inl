// The accurate kernels' bodies, written once: the per-element functions over
// any double-lane type D (a VecD, or scalar::VecD in the scalar references of
// accurate_kernels.cpp), and the loops over any f32 Vec V, each ISA file
// instantiating Variant<its Vec>. Every operation is a plain IEEE double one
// in the order written, so the bits never depend on the lane count.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "ops/accurate_kernels.hpp"
#include "ops/lane_math.hpp"
#include "ops/simd_double.hpp"
#include "ops/slice_max.hpp"

namespace nimbra::kernels {

namespace detail {
// The wider variants' tables, each defined in the file compiled for its ISA.
const AccurateKernels& accurate_avx2_kernels();
const AccurateKernels& accurate_avx512_kernels();
}  // namespace detail

inline namespace NIMBRA_SIMD_ABI {
namespace accurate {

using simd::exp_d;
using simd::horner;
using simd::log1p_d;

inline constexpr double kLargest = std::numeric_limits<double>::max();

// 1 / (1 + e^-x), the exponent held to [-700, 700] (sigmoid is 0 or 1 in f32
// long before). Constants go first in max and min so NaN passes them.
template <class D>
NIMBRA_SIMD_INLINE D sigmoid_d(D x) {
  const D one = D::broadcast(1.0);
  const D z = min(D::broadcast(700.0), max(D::broadcast(-700.0), D::zero() - x));
  return one / (one + exp_d(z));
}

// |x| < 1/4: x (1 + x^2 P(x^2)) (a product, so tanh(-0) is -0); beyond,
// 1 - 2/(1 + e^{2|x|}) (losing at most two bits to the subtraction) with x's
// sign; from |x| = 20 on that is 1.
template <class D>
NIMBRA_SIMD_INLINE D tanh_d(D x) {
  using namespace lane_math;
  const D one = D::broadcast(1.0);
  const D a = abs(x);
  const D w = x * x;
  const D small = x * (one + w * horner(kTanhPoly, w));
  const D big = one - D::broadcast(2.0) / (one + exp_d(min(D::broadcast(40.0), a + a)));
  return select(lt(a, D::broadcast(kTanhSmall)), small, select(lt(x, D::zero()), D::zero() - big, big));
}

// x Phi(x) with Phi(-a) = erfc(a/sqrt 2)/2 = exp(-a^2/2) erfcx(a/sqrt 2)/2
// for a = |x| (a^2 of a float is exact), Phi(a) = 1 - Phi(-a). Past a = 37,
// Phi(-a) < 1e-300 and the product rounds to -0 or to x whatever erfcx is, so
// a is held there, and erfcx's argument at its fitted range's end.
template <class D>
NIMBRA_SIMD_INLINE D gelu_erf_d(D x) {
  using namespace lane_math;
  const D one = D::broadcast(1.0), half = D::broadcast(0.5);
  const D a = min(D::broadcast(37.0), abs(x));
  const D t = min(D::broadcast(kErfcxMax), a * D::broadcast(kInvSqrt2));
  const D l = D::broadcast(kErfcxL);
  const D inv = one / (l + t);
  const D erfcx = (D::broadcast(2.0) * horner(kErfcxPoly, (l - t) * inv) * inv + D::broadcast(kInvSqrtPi)) * inv;
  const D q = half * exp_d(D::zero() - a * a * half) * erfcx;
  const D phi = select(lt(x, D::zero()), q, one - q);
  // x Phi(x) tends to -0 as x goes to -inf.
  return select(lt(x, D::broadcast(-kLargest)), D::broadcast(-0.0), x * phi);
}

// With v = 2 sqrt(2/pi) (x + 0.044715 x^3): (x/2)(1 + tanh(v/2)) = x / (1 + e^-v).
template <class D>
NIMBRA_SIMD_INLINE D gelu_tanh_d(D x) {
  using namespace lane_math;
  const D one = D::broadcast(1.0);
  const D v = D::broadcast(kGeluTanhScale) * (x + D::broadcast(kGeluTanhCubic) * (x * x * x));
  const D z = min(D::broadcast(700.0), max(D::broadcast(-700.0), D::zero() - v));
  return select(lt(x, D::broadcast(-kLargest)), D::broadcast(-0.0), x / (one + exp_d(z)));
}

struct Sigmoid {
  template <class D>
  NIMBRA_SIMD_INLINE static D apply(D x) { return sigmoid_d(x); }
};
struct Tanh {
  template <class D>
  NIMBRA_SIMD_INLINE static D apply(D x) { return tanh_d(x); }
};
struct GeluErf {
  template <class D>
  NIMBRA_SIMD_INLINE static D apply(D x) { return gelu_erf_d(x); }
};
struct GeluTanh {
  template <class D>
  NIMBRA_SIMD_INLINE static D apply(D x) { return gelu_tanh_d(x); }
};

// y[i] = F(x[i]) over [0, n): whole vectors, then a partial one.
template <class V, class F>
void map(const float* x, float* y, std::size_t n) {
  constexpr std::size_t L = V::lanes;
  const auto one_vector = [](V v) { return narrow(F::apply(widen_lo(v)), F::apply(widen_hi(v))); };
  std::size_t i = 0;
  for (; i + L <= n; i += L) store(y + i, one_vector(V::load(x + i)));
  if (i < n) {
    const typename V::Tail t = V::tail(n - i);
    store(y + i, one_vector(V::load(x + i, t)), t);
  }
}

// ---- slices ------------------------------------------------------------------------

// exp(z) for z <= 0 or NaN: exp_d's bits (exactly 1 at 0, tiny but not 0 down
// to -700, where only the sign of a log_softmax zero depends on it), and 0 at
// -inf.
template <class D>
NIMBRA_SIMD_INLINE D exp_nonpositive(D z) {
  return select(lt(z, D::broadcast(-kLargest)), D::zero(), exp_d(max(D::broadcast(-700.0), z)));
}

// The last step of a slice: e * (1/s), or z - log1p((c - 1) + d).
template <bool Log, class D>
NIMBRA_SIMD_INLINE D slice_output(D z, D scale) {
  if constexpr (Log) {
    return z - scale;
  } else {
    return exp_nonpositive(z) * scale;
  }
}
template <bool Log, class D>
NIMBRA_SIMD_INLINE D slice_scale(D count, D sum) {
  const D one = D::broadcast(1.0);
  if constexpr (Log) {
    return log1p_d((count - one) + sum);
  } else {
    return one / (count + sum);
  }
}

// Rows: kGroup rows side by side, so their sums (each strictly in ascending k)
// interleave; exponentials go through a tile of doubles kTile columns wide.
inline constexpr std::size_t kGroup = 8;
inline constexpr std::size_t kTile = 256;

// e[k] = exp(x[k] - m) for the k in [0, n) where x[k] < m, 0 where x[k] = m;
// returns how many x[k] equal m. n <= kTile.
template <class V>
std::size_t row_exponentials(const float* x, float m, double* e, std::size_t n) {
  using D = simd::wide_t<V>;
  constexpr std::size_t L = V::lanes, H = D::lanes;
  const D md = D::broadcast(m);
  std::size_t count = 0;
  const auto half = [&](D v, double* out, unsigned valid) {
    const D z = v - md;
    const auto at_max = ge(z, D::zero());
    count += static_cast<std::size_t>(std::popcount(bitmask(at_max) & valid));
    store(out, select(at_max, D::zero(), exp_nonpositive(z)));
  };
  for (std::size_t i = 0; i < n; i += L) {
    const std::size_t k = std::min(L, n - i);
    const V v = k == L ? V::load(x + i) : V::load(x + i, V::tail(k));
    const unsigned valid = k == L ? (1u << L) - 1u : (1u << k) - 1u;
    half(widen_lo(v), e + i, valid & ((1u << H) - 1u));
    half(widen_hi(v), e + i + H, valid >> H);
  }
  return count;
}

// One row's outputs once its scale is known.
template <class V, bool Log>
void row_outputs(const float* x, float m, double scale, float* y, std::size_t n) {
  using D = simd::wide_t<V>;
  constexpr std::size_t L = V::lanes;
  const D md = D::broadcast(m), sd = D::broadcast(scale);
  const auto one_vector = [&](V v) {
    return narrow(slice_output<Log>(widen_lo(v) - md, sd), slice_output<Log>(widen_hi(v) - md, sd));
  };
  std::size_t i = 0;
  for (; i + L <= n; i += L) store(y + i, one_vector(V::load(x + i)));
  if (i < n) {
    const typename V::Tail t = V::tail(n - i);
    store(y + i, one_vector(V::load(x + i, t)), t);
  }
}

template <class V, bool Log>
void rows_one_by_one(const float* src, float* dst, std::size_t rows, std::size_t L) {
  // Room for one more vector past kTile: row_exponentials writes whole ones.
  alignas(64) double e[kGroup][kTile + 16];
  for (std::size_t r0 = 0; r0 < rows; r0 += kGroup) {
    const std::size_t g = std::min(kGroup, rows - r0);
    const float* x = src + r0 * L;
    float m[kGroup];
    double count[kGroup] = {}, sum[kGroup] = {};
    for (std::size_t r = 0; r < g; ++r) m[r] = slice_max<V>(x + r * L, L);
    for (std::size_t k0 = 0; k0 < L; k0 += kTile) {
      const std::size_t t = std::min(kTile, L - k0);
      for (std::size_t r = 0; r < g; ++r)
        count[r] += static_cast<double>(row_exponentials<V>(x + r * L + k0, m[r], e[r], t));
      if (g == kGroup) {
        for (std::size_t k = 0; k < t; ++k)
          for (std::size_t r = 0; r < kGroup; ++r) sum[r] = sum[r] + e[r][k];
      } else {
        for (std::size_t k = 0; k < t; ++k)
          for (std::size_t r = 0; r < g; ++r) sum[r] = sum[r] + e[r][k];
      }
    }
    for (std::size_t r = 0; r < g; ++r) {
      const simd::scalar::VecD scale =
          slice_scale<Log>(simd::scalar::VecD::broadcast(count[r]), simd::scalar::VecD::broadcast(sum[r]));
      row_outputs<V, Log>(x + r * L, m[r], scale.v[0], dst + r0 * L + r * L, L);
    }
  }
}

// Columns: one (L, I) block, kColumnVectors vectors of columns at a time; each
// lane keeps its own column's maximum, count and sum, which therefore see
// their values in ascending k.
inline constexpr std::size_t kColumnVectors = 2;

template <class V, bool Log>
void columns(const float* src, float* dst, std::size_t L, std::size_t I) {
  using D = simd::wide_t<V>;
  constexpr std::size_t Lanes = V::lanes, K = kColumnVectors, W = K * Lanes;
  for (std::size_t j0 = 0; j0 < I; j0 += W) {
    const std::size_t w = std::min(W, I - j0);
    const std::size_t nv = (w + Lanes - 1) / Lanes;
    const std::size_t tail = w - (nv - 1) * Lanes;
    const auto load = [&](const float* p, std::size_t q) {
      return q + 1 < nv ? V::load(p + q * Lanes) : V::load(p + q * Lanes, V::tail(tail));
    };
    V m[K];
    for (std::size_t q = 0; q < nv; ++q) m[q] = V::broadcast(-std::numeric_limits<float>::infinity());
    for (std::size_t k = 0; k < L; ++k)
      for (std::size_t q = 0; q < nv; ++q) m[q] = max(load(src + k * I + j0, q), m[q]);
    D mlo[K], mhi[K], count[2 * K], sum[2 * K];
    for (std::size_t q = 0; q < nv; ++q) {
      mlo[q] = widen_lo(m[q]);
      mhi[q] = widen_hi(m[q]);
      count[2 * q] = count[2 * q + 1] = sum[2 * q] = sum[2 * q + 1] = D::zero();
    }
    const D one = D::broadcast(1.0);
    for (std::size_t k = 0; k < L; ++k) {
      for (std::size_t q = 0; q < nv; ++q) {
        const V v = load(src + k * I + j0, q);
        const D z[2] = {widen_lo(v) - mlo[q], widen_hi(v) - mhi[q]};
        for (std::size_t h = 0; h < 2; ++h) {
          const auto at_max = ge(z[h], D::zero());
          count[2 * q + h] = count[2 * q + h] + select(at_max, one, D::zero());
          sum[2 * q + h] = sum[2 * q + h] + select(at_max, D::zero(), exp_nonpositive(z[h]));
        }
      }
    }
    D scale[2 * K];
    for (std::size_t h = 0; h < 2 * nv; ++h) scale[h] = slice_scale<Log>(count[h], sum[h]);
    for (std::size_t k = 0; k < L; ++k) {
      for (std::size_t q = 0; q < nv; ++q) {
        const V v = load(src + k * I + j0, q);
        const V y = narrow(slice_output<Log>(widen_lo(v) - mlo[q], scale[2 * q]),
                           slice_output<Log>(widen_hi(v) - mhi[q], scale[2 * q + 1]));
        if (q + 1 < nv) {
          store(dst + k * I + j0 + q * Lanes, y);
        } else {
          store(dst + k * I + j0 + q * Lanes, y, V::tail(tail));
        }
      }
    }
  }
}

template <class V, bool Log>
void rows(const float* src, float* dst, std::size_t rows, std::size_t L) {
  const std::size_t r0 =
      short_rows_as_columns<kColumnVectors * V::lanes>(src, dst, rows, L, &columns<V, Log>);
  if (r0 < rows) rows_one_by_one<V, Log>(src + r0 * L, dst + r0 * L, rows - r0, L);
}

}  // namespace accurate

// The entry points of one ISA, gathered in its table.
template <class V>
struct AccurateVariant {
  static constexpr AccurateKernels table{
      &accurate::map<V, accurate::Sigmoid>,    &accurate::map<V, accurate::Tanh>,
      &accurate::map<V, accurate::GeluErf>,    &accurate::map<V, accurate::GeluTanh>,
      &accurate::rows<V, false>,               &accurate::columns<V, false>,
      &accurate::rows<V, true>,                &accurate::columns<V, true>};
};

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::kernels
