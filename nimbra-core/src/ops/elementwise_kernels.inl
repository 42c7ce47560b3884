// The element-wise kernel bodies, written once over the Vec vocabulary of
// ops/simd.hpp: the shared template body of the variants. Each of
// elementwise_kernels{,_avx2,_avx512}.cpp includes this file and instantiates
// Variant<its Vec>. Every lane computes the same bits as the scalar reference
// in elementwise_kernels.cpp (operation for operation, or through an exact
// rewriting that is spelled out where used).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "nimbra/fault.hpp"
#include "ops/elementwise_kernels.hpp"
#include "ops/exp_exact.hpp"
#include "ops/lane_math.hpp"
#include "ops/simd.hpp"
#include "ops/slice_max.hpp"

namespace nimbra::kernels {

namespace consts {
inline constexpr float kK6 = std::bit_cast<float>(0x3E2AAAABu);          // f32 nearest 1/6
inline constexpr float kK24 = std::bit_cast<float>(0x3D2AAAABu);         // f32 nearest 1/24
inline constexpr float kGeluCubic = std::bit_cast<float>(0x3D372713u);   // 0.044715
inline constexpr float kSqrt2OverPi = std::bit_cast<float>(0x3F4C422Au); // 0.7978846
inline constexpr float kExpClamp = 88.0f;  // exp_approx argument range [-88, 88]
inline constexpr float kTanhClamp = 3.0f;  // the rational tanh is exactly +-1 here
}  // namespace consts

namespace detail {
// The wider variants' tables, each defined in the file compiled for its ISA.
const ElementKernels& avx2_kernels();
const ElementKernels& avx512_kernels();
}  // namespace detail

// A namespace named after the compile flags, for the reason given in
// ops/simd.hpp.
inline namespace NIMBRA_SIMD_ABI {

// Elements to handle before p reaches a multiple of the vector width, so the
// main loops store whole aligned vectors (a store split over two cache lines
// costs about twice as much, and fresh arrays often start 16 bytes past one).
template <class V>
NIMBRA_SIMD_INLINE std::size_t head_to_align(const float* p, std::size_t n) {
  constexpr std::size_t L = V::lanes;
  const std::size_t misalign = (reinterpret_cast<std::uintptr_t>(p) / sizeof(float)) % L;
  return std::min(n, (L - misalign) % L);
}

// Outputs of at least this many elements are written with streaming stores:
// they would evict the rest of the cache on the way and be read back from
// memory anyway, and skipping the read-for-ownership of each output line saves
// a quarter of a binary operation's memory traffic. 16 MiB is half the last
// level cache of the machines we tune for; smaller outputs stay cached for the
// operation that consumes them.
inline constexpr std::size_t kStreamMinElements = std::size_t{4} << 20;

// A store that streams when Stream is set (p then aligned to the vector).
template <bool Stream, class V>
NIMBRA_SIMD_INLINE void put(float* p, V v) {
  if constexpr (Stream) {
    stream(p, v);
  } else {
    store(p, v);
  }
}

// Runs body(std::true_type) for outputs to stream, else body(std::false_type),
// so each main loop is compiled once with plain and once with streaming stores.
template <class Body>
NIMBRA_SIMD_INLINE void with_store_kind(std::size_t n, Body body) {
  if (n >= kStreamMinElements) {
    body(std::true_type{});
    simd::stream_fence();
  } else {
    body(std::false_type{});
  }
}

// The activations are written over groups of K independent vectors, one
// statement applied to all K before the next, so the divisions of one vector
// overlap the arithmetic of the others (sigmoid and gelu run about 8% faster
// than one whole vector after another).
#define NIMBRA_EACH(k, K) for (std::size_t k = 0; k < (K); ++k)

// relu contract: y = x > 0 ? x : +0.0.
// max(x, 0) yields its second operand unless x > 0, so NaN and -0.0 become
// the +0.0 of the zero vector and +inf stays.
struct Relu {
  template <class V, std::size_t K>
  NIMBRA_SIMD_INLINE static void apply(V (&v)[K]) {
    NIMBRA_EACH(k, K) v[k] = max(v[k], V::zero());
  }
};

// sigmoid contract: y = 1 / (E + 1), E = exp_approx(a), a = clamp(-x, -88, 88).
// exp_approx: with s = a*a, c = s*a, q = s*s,
//   a < 0:          E = 1 / ((((s*0.5) + (1 - a)) - c*K6) + q*K24)
//   a >= 0 or NaN:  E = (((a + 1) + s*0.5) + c*K6) + q*K24
// Both branches are one polynomial: with b = |a| = min(88, |x|) the a < 0
// denominator is bit for bit P(b) = (((b + 1) + s*0.5) + (s*b)*K6) + q*K24,
// since 1 - a = 1 + b, -(c*K6) = (s*b)*K6 (sign flips are exact) and IEEE
// addition commutes; and a < 0 exactly when x > 0. So each lane evaluates
// P(b) once and takes it or its reciprocal. (A NaN comes out with its sign
// bit clear, which nothing depends on.)
struct Sigmoid {
  template <class V, std::size_t K>
  NIMBRA_SIMD_INLINE static void apply(V (&v)[K]) {
    const V one = V::broadcast(1.0f);
    V p[K];
    NIMBRA_EACH(k, K) {
      // min yields its second operand on NaN: the constant goes first so a
      // NaN lane passes the clamp.
      const V b = min(V::broadcast(consts::kExpClamp), abs(v[k]));
      const V s = b * b;
      p[k] = (((b + one) + s * V::broadcast(0.5f)) + (s * b) * V::broadcast(consts::kK6)) +
             (s * s) * V::broadcast(consts::kK24);
    }
    NIMBRA_EACH(k, K) p[k] = select(gt(v[k], V::zero()), one / p[k], p[k]);
    NIMBRA_EACH(k, K) v[k] = one / (p[k] + one);
  }
};

// gelu contract: u = (((x*x)*x)*0.044715 + x) * 0.7978846, c = clamp(u, -3, 3),
// s = c*c, T = ((s + 27)*c) / (s*9 + 27), y = (T + 1)*(x*0.5).
struct Gelu {
  template <class V, std::size_t K>
  NIMBRA_SIMD_INLINE static void apply(V (&v)[K]) {
    const V twenty_seven = V::broadcast(27.0f);
    V c[K], t[K];
    NIMBRA_EACH(k, K) {
      const V u = (((v[k] * v[k]) * v[k]) * V::broadcast(consts::kGeluCubic) + v[k]) *
                  V::broadcast(consts::kSqrt2OverPi);
      // Constants first: NaN passes the clamp, as in sigmoid.
      c[k] = min(V::broadcast(consts::kTanhClamp), max(V::broadcast(-consts::kTanhClamp), u));
    }
    NIMBRA_EACH(k, K) {
      const V s = c[k] * c[k];
      t[k] = ((s + twenty_seven) * c[k]) / (s * V::broadcast(9.0f) + twenty_seven);
    }
    NIMBRA_EACH(k, K) v[k] = (t[k] + V::broadcast(1.0f)) * (v[k] * V::broadcast(0.5f));
  }
};

// y[i] = f(x[i]) over [0, n): an aligned head (see head_to_align), groups of
// four vectors, single vectors (streamed for large outputs), then a masked
// tail.
template <class V, class Kernel>
void map_unary(const float* x, float* y, std::size_t n) {
  constexpr std::size_t L = V::lanes, K = 4;
  const auto partial = [&](std::size_t i, std::size_t k) {
    const typename V::Tail t = V::tail(k);
    V v[1] = {V::load(x + i, t)};
    Kernel::apply(v);
    store(y + i, v[0], t);
  };
  std::size_t i = head_to_align<V>(y, n);
  if (i > 0) partial(0, i);
  with_store_kind(n, [&](auto streaming) {
    constexpr bool S = decltype(streaming)::value;
    for (; i + K * L <= n; i += K * L) {
      V v[K];
      NIMBRA_EACH(k, K) v[k] = V::load(x + i + k * L);
      Kernel::apply(v);
      NIMBRA_EACH(k, K) put<S>(y + i + k * L, v[k]);
    }
    for (; i + L <= n; i += L) {
      V v[1] = {V::load(x + i)};
      Kernel::apply(v);
      put<S>(y + i, v[0]);
    }
  });
  if (i < n) partial(i, n - i);
}

#undef NIMBRA_EACH

struct AddOp {
  template <class T>
  NIMBRA_SIMD_INLINE T operator()(T x, T y) const { return x + y; }
};
struct SubOp {
  template <class T>
  NIMBRA_SIMD_INLINE T operator()(T x, T y) const { return x - y; }
};
struct MulOp {
  template <class T>
  NIMBRA_SIMD_INLINE T operator()(T x, T y) const { return x * y; }
};

// out[i] = A op B over [0, n), A = a[0] held in every lane when AScalar,
// else a[i]; B likewise. Memory bound: an aligned head, two vectors per step
// (streamed for large outputs), then a masked tail.
template <class V, class Op, bool AScalar, bool BScalar>
void binary_loop(const float* a, const float* b, float* out, std::size_t n) {
  if (n == 0) return;
  constexpr std::size_t L = V::lanes;
  const Op op;
  V a_held = V::zero();
  V b_held = V::zero();
  if constexpr (AScalar) a_held = V::broadcast(a[0]);
  if constexpr (BScalar) b_held = V::broadcast(b[0]);
  const auto lhs = [&](std::size_t i) { if constexpr (AScalar) return a_held; else return V::load(a + i); };
  const auto rhs = [&](std::size_t i) { if constexpr (BScalar) return b_held; else return V::load(b + i); };
  const auto partial = [&](std::size_t i, std::size_t k) {
    V ap = a_held;
    V bp = b_held;
    const typename V::Tail t = V::tail(k);
    if constexpr (!AScalar) ap = V::load(a + i, t);
    if constexpr (!BScalar) bp = V::load(b + i, t);
    store(out + i, op(ap, bp), t);
  };
  std::size_t i = head_to_align<V>(out, n);
  if (i > 0) partial(0, i);
  with_store_kind(n, [&](auto streaming) {
    constexpr bool S = decltype(streaming)::value;
    for (; i + 2 * L <= n; i += 2 * L) {
      const V a0 = lhs(i), b0 = rhs(i);
      const V a1 = lhs(i + L), b1 = rhs(i + L);
      put<S>(out + i, op(a0, b0));
      put<S>(out + i + L, op(a1, b1));
    }
    for (; i + L <= n; i += L) put<S>(out + i, op(lhs(i), rhs(i)));
  });
  if (i < n) partial(i, n - i);
}

// ---- softmax --------------------------------------------------------------
// Every exponential is exp(v - m) correctly rounded: exp_rn (ops/lane_math.hpp)
// rounds almost every lane itself and reports the rest unsure (about one in
// half a million, and arguments whose result is subnormal or NaN); exp_exact
// finishes those. Unsure lanes are rare enough that a run of vectors only
// gathers whether it had any, and a run that had is gone through again.
// Where the slice's smallest and largest values show every argument in
// exp_rn_normal's domain (most data), the shorter exp_rn_normal does the work.

// Vectors per run.
inline constexpr std::size_t kExpRun = 64;

// exp_rn, or exp_rn_normal when Normal.
template <bool Normal, class V>
NIMBRA_SIMD_INLINE V exp_rn_as(V z, unsigned& unsure) {
  if constexpr (Normal) {
    return simd::exp_rn_normal(z, unsure);
  } else {
    return simd::exp_rn(z, unsure);
  }
}

// Whether every x - m with x from a slice of this extent is in exp_rn_normal's
// domain: x - m rounds monotonically in x, and a NaN m fails both tests.
inline bool normal_arguments(const SliceExtent& e, float m) {
  return !e.nan && e.smallest - m > simd::exp_rn_detail::kLowest && e.largest - m < simd::exp_rn_detail::kHighest;
}

// exp_rn of x[i] - m for one vector, or its first k lanes.
template <bool Normal, class V>
NIMBRA_SIMD_INLINE V exp_vector(const float* x, V m, unsigned& unsure) {
  return exp_rn_as<Normal>(V::load(x) - m, unsure);
}
template <bool Normal, class V>
NIMBRA_SIMD_INLINE V exp_vector(const float* x, V m, std::size_t k, unsigned& unsure) {
  const V e = exp_rn_as<Normal>(V::load(x, V::tail(k)) - m, unsure);
  unsure &= (1u << k) - 1u;
  return e;
}

// Replaces the unsure lanes of y[i] = exp(x[i] - m), i in [0, n), by exp_exact.
template <bool Normal, class V>
[[gnu::noinline]] void finish_unsure(const float* x, float m, float* y, std::size_t n) {
  constexpr std::size_t L = V::lanes;
  const V mv = V::broadcast(m);
  for (std::size_t i = 0; i < n; i += L) {
    unsigned unsure;
    if (i + L <= n) {
      (void)exp_vector<Normal>(x + i, mv, unsure);
    } else {
      (void)exp_vector<Normal>(x + i, mv, n - i, unsure);
    }
    for (; unsure != 0; unsure &= unsure - 1) {
      const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(unsure));
      y[at] = exp_exact(x[at] - m);
    }
  }
}

// y[i] = exp(x[i] - m) for i in [0, n); Normal when every argument is in
// exp_rn_normal's domain.
template <bool Normal, class V>
void exp_shifted_as(const float* x, float m, float* y, std::size_t n) {
  constexpr std::size_t L = V::lanes;
  const V mv = V::broadcast(m);
  for (std::size_t start = 0; start < n; start += kExpRun * L) {
    const std::size_t end = std::min(n, start + kExpRun * L);
    unsigned any = 0;
    std::size_t i = start;
    for (; i + L <= end; i += L) {
      unsigned unsure;
      store(y + i, exp_vector<Normal>(x + i, mv, unsure));
      any |= unsure;
    }
    if (i < end) {
      unsigned unsure;
      store(y + i, exp_vector<Normal>(x + i, mv, end - i, unsure), V::tail(end - i));
      any |= unsure;
    }
    if (any != 0) finish_unsure<Normal, V>(x + start, m, y + start, end - start);
  }
}

template <class V>
void exp_shifted(const float* x, float m, float* y, std::size_t n, const SliceExtent& extent) {
  if (normal_arguments(extent, m)) {
    exp_shifted_as<true, V>(x, m, y, n);
  } else {
    exp_shifted_as<false, V>(x, m, y, n);
  }
}

template <class V>
void exp_shifted(const float* x, float m, float* y, std::size_t n) {
  exp_shifted<V>(x, m, y, n, slice_extent<V>(x, n));
}

// y[i] = y[i] / d for i in [0, n).
template <class V>
void divide_by(float* y, float d, std::size_t n) {
  constexpr std::size_t L = V::lanes;
  const V dv = V::broadcast(d);
  std::size_t i = 0;
  for (; i + L <= n; i += L) store(y + i, V::load(y + i) / dv);
  if (i < n) {
    const typename V::Tail t = V::tail(n - i);
    store(y + i, V::load(y + i, t) / dv, t);
  }
}

// Rows taken together in softmax_rows: their sums are separate chains, so
// running them side by side hides the latency of each addition.
inline constexpr std::size_t kSoftmaxRowGroup = 8;

// The sums of g <= kSoftmaxRowGroup rows of y from column k on, each in
// ascending k, one scalar chain per row.
inline void add_row_tails(const float* y, std::size_t L, std::size_t g, std::size_t k, float* sum) {
  if (g == kSoftmaxRowGroup) {
    for (; k < L; ++k)
      for (std::size_t r = 0; r < kSoftmaxRowGroup; ++r) sum[r] = sum[r] + y[r * L + k];
  } else {
    for (; k < L; ++k)
      for (std::size_t r = 0; r < g; ++r) sum[r] = sum[r] + y[r * L + k];
  }
}

// One (L, I) block whose I slices run down the columns (stride I). Columns
// are taken kColumnVectors vectors at a time so every pass walks rows of
// memory; each lane keeps its own column's maximum and sum, which therefore
// see their values in ascending k as the slice-by-slice definition does.
inline constexpr std::size_t kColumnVectors = 4;
template <class V>
void softmax_columns(const float* src, float* dst, std::size_t L, std::size_t I);

// `rows` contiguous slices of length L, one after another.
template <class V>
void softmax_rows(const float* src, float* dst, std::size_t rows, std::size_t L) {
  constexpr std::size_t G = V::lanes;
  std::size_t r0 = short_rows_as_columns<kColumnVectors * V::lanes>(src, dst, rows, L, &softmax_columns<V>);
  // Whole groups of G rows add their sums in the lanes of one vector: each
  // square of G rows by G columns is turned so that a vector holds one
  // column, and the columns are added in ascending k.
  for (; r0 + G <= rows && L >= G; r0 += G) {
    const float* x = src + r0 * L;
    float* y = dst + r0 * L;
    SliceExtent extent[G];
    for (std::size_t r = 0; r < G; ++r) extent[r] = slice_extent<V>(x + r * L, L);
    V sum = V::zero();
    std::size_t k = 0;
    // Strips of columns small enough that their exponentials are still in the
    // first-level cache when they are added.
    constexpr std::size_t kStrip = 256;
    for (std::size_t k0 = 0; k0 < L; k0 += kStrip) {
      const std::size_t n = std::min(kStrip, L - k0);
      for (std::size_t r = 0; r < G; ++r)
        exp_shifted<V>(x + r * L + k0, extent[r].largest, y + r * L + k0, n, extent[r]);
      for (; k + G <= k0 + n; k += G) sum = simd::add_columns(sum, y + k, static_cast<std::ptrdiff_t>(L));
    }
    alignas(64) float sums[G];
    store(sums, sum);
    for (std::size_t r = 0; r < G; r += kSoftmaxRowGroup)
      add_row_tails(y + r * L, L, std::min(kSoftmaxRowGroup, G - r), k, sums + r);
    for (std::size_t r = 0; r < G; ++r) divide_by<V>(y + r * L, sums[r], L);
  }
  for (; r0 < rows; r0 += kSoftmaxRowGroup) {
    const std::size_t g = std::min(kSoftmaxRowGroup, rows - r0);
    const float* x = src + r0 * L;
    float* y = dst + r0 * L;
    for (std::size_t r = 0; r < g; ++r) {
      const SliceExtent extent = slice_extent<V>(x + r * L, L);
      exp_shifted<V>(x + r * L, extent.largest, y + r * L, L, extent);
    }
    // Each row's sum runs in ascending k from +0.0, as one row after another.
    float sum[kSoftmaxRowGroup] = {};
    add_row_tails(y, L, g, 0, sum);
    for (std::size_t r = 0; r < g; ++r) divide_by<V>(y + r * L, sum[r], L);
  }
}


// The w <= W columns from src and dst on (rows I apart). NV is the number of
// vectors when it is known at compile time (a full block), 0 otherwise; a
// known count keeps every maximum and sum in a register. The block takes the
// short exponential only when every one of its columns may.
template <class V, std::size_t NV>
NIMBRA_SIMD_INLINE void softmax_column_block(const float* src, float* dst, std::size_t L, std::size_t I,
                                             std::size_t w) {
  constexpr std::size_t Lanes = V::lanes, K = kColumnVectors, W = K * Lanes;
  // Rows whose exponentials are stored (and unsure lanes redone) before they
  // are added to the sums.
  constexpr std::size_t kRun = kExpRun / K;
  const std::size_t nv = NV != 0 ? NV : (w + Lanes - 1) / Lanes;
  const std::size_t tail = w - (nv - 1) * Lanes;  // lanes used in the last vector
  const auto last = [&](std::size_t q) { return NV == 0 && q + 1 == nv; };
  const auto load = [&](const float* p, std::size_t q) {
    return last(q) ? V::load(p + q * Lanes, V::tail(tail)) : V::load(p + q * Lanes);
  };
  const auto put = [&](float* p, std::size_t q, V v) {
    if (last(q)) store(p + q * Lanes, v, V::tail(tail)); else store(p + q * Lanes, v);
  };
  const auto used = [&](std::size_t q, unsigned lanes) { return last(q) ? lanes & ((1u << tail) - 1u) : lanes; };

  // Each lane's largest and smallest value, and whether it met a NaN.
  V m[K], lo[K];
  std::uint64_t nan = 0;  // bit j: lane j
  {
    auto lane_nan = unordered(V::zero(), V::zero());
    decltype(lane_nan) nans[K];
    for (std::size_t q = 0; q < nv; ++q) {
      m[q] = V::broadcast(-INFINITY);
      lo[q] = V::broadcast(INFINITY);
      nans[q] = lane_nan;
    }
    for (std::size_t k = 0; k < L; ++k)
      for (std::size_t q = 0; q < nv; ++q) {
        const V v = load(src + k * I, q);
        m[q] = max(v, m[q]);
        lo[q] = min(v, lo[q]);
        nans[q] = nans[q] | unordered(v, v);
      }
    for (std::size_t q = 0; q < nv; ++q) nan |= std::uint64_t{used(q, bitmask(nans[q]))} << (q * Lanes);
  }
  alignas(64) float m_scalar[W], lo_scalar[W];
  for (std::size_t q = 0; q < nv; ++q) {
    store(m_scalar + q * Lanes, m[q]);
    store(lo_scalar + q * Lanes, lo[q]);
  }
  bool normal = true;
  for (std::size_t j = 0; j < w; ++j)
    normal = normal && normal_arguments({m_scalar[j], lo_scalar[j], (nan >> j & 1u) != 0}, m_scalar[j]);

  V sum[K];
  for (std::size_t q = 0; q < nv; ++q) sum[q] = V::zero();
  const auto exponentials = [&]<bool Normal>() __attribute__((always_inline)) {
    for (std::size_t k0 = 0; k0 < L; k0 += kRun) {
      const std::size_t k1 = std::min(L, k0 + kRun);
      unsigned any = 0;
      V before[K];
      for (std::size_t q = 0; q < nv; ++q) before[q] = sum[q];
      for (std::size_t k = k0; k < k1; ++k) {
        for (std::size_t q = 0; q < nv; ++q) {
          unsigned unsure;
          const V e = exp_rn_as<Normal>(load(src + k * I, q) - m[q], unsure);
          put(dst + k * I, q, e);
          sum[q] = sum[q] + e;
          any |= used(q, unsure);
        }
      }
      if (any != 0) [[unlikely]] {
        // Gone through again vector by vector; each lane has its own maximum.
        for (std::size_t k = k0; k < k1; ++k)
          for (std::size_t q = 0; q < nv; ++q) {
            unsigned unsure;
            (void)exp_rn_as<Normal>(load(src + k * I, q) - m[q], unsure);
            for (unsure = used(q, unsure); unsure != 0; unsure &= unsure - 1) {
              const std::size_t j = q * Lanes + static_cast<std::size_t>(std::countr_zero(unsure));
              dst[k * I + j] = exp_exact(src[k * I + j] - m_scalar[j]);
            }
          }
        // The run's sums again, from the finished values.
        for (std::size_t q = 0; q < nv; ++q) sum[q] = before[q];
        for (std::size_t k = k0; k < k1; ++k)
          for (std::size_t q = 0; q < nv; ++q) sum[q] = sum[q] + load(dst + k * I, q);
      }
    }
  };
  if (normal) {
    exponentials.template operator()<true>();
  } else {
    exponentials.template operator()<false>();
  }
  for (std::size_t k = 0; k < L; ++k)
    for (std::size_t q = 0; q < nv; ++q) put(dst + k * I, q, load(dst + k * I, q) / sum[q]);
}

template <class V>
void softmax_columns(const float* src, float* dst, std::size_t L, std::size_t I) {
  constexpr std::size_t W = kColumnVectors * V::lanes;
  std::size_t j0 = 0;
  for (; j0 + W <= I; j0 += W) softmax_column_block<V, kColumnVectors>(src + j0, dst + j0, L, I, W);
  if (j0 < I) softmax_column_block<V, 0>(src + j0, dst + j0, L, I, I - j0);
}

// The entry points of one ISA, gathered in its table. The binary loops run on
// VB, which an ISA may choose narrower than V (see the AVX-512 file).
template <class V, class VB = V>
struct Variant {
  static void binary(BinaryOp op, const float* a, bool a_scalar, const float* b, bool b_scalar,
                     float* out, std::size_t n) {
    loop_of(op, a_scalar, b_scalar)(a, b, out, n);
  }
  template <class Op>
  static BinaryLoopFn loop_for(bool a_scalar, bool b_scalar) {
    if (a_scalar) return b_scalar ? &binary_loop<VB, Op, true, true> : &binary_loop<VB, Op, true, false>;
    return b_scalar ? &binary_loop<VB, Op, false, true> : &binary_loop<VB, Op, false, false>;
  }
  static BinaryLoopFn loop_of(BinaryOp op, bool a_scalar, bool b_scalar) {
    switch (op) {
      case BinaryOp::Add: return loop_for<AddOp>(a_scalar, b_scalar);
      case BinaryOp::Sub: return loop_for<SubOp>(a_scalar, b_scalar);
      case BinaryOp::Mul: return loop_for<MulOp>(a_scalar, b_scalar);
    }
    fail_precondition("binary_loop_of: unknown BinaryOp " + std::to_string(static_cast<int>(op)));
  }
  static void relu(const float* x, float* y, std::size_t n) { map_unary<V, Relu>(x, y, n); }
  static void sigmoid(const float* x, float* y, std::size_t n) { map_unary<V, Sigmoid>(x, y, n); }
  static void gelu(const float* x, float* y, std::size_t n) { map_unary<V, Gelu>(x, y, n); }
  static void exp_shifted(const float* x, float m, float* y, std::size_t n) {
    kernels::exp_shifted<V>(x, m, y, n);
  }
  static void softmax_rows(const float* src, float* dst, std::size_t rows, std::size_t L) {
    kernels::softmax_rows<V>(src, dst, rows, L);
  }
  static void softmax_columns(const float* src, float* dst, std::size_t L, std::size_t I) {
    kernels::softmax_columns<V>(src, dst, L, I);
  }
  static constexpr ElementKernels table{&binary, &loop_of, &relu, &sigmoid, &gelu, &exp_shifted, &softmax_rows,
                                        &softmax_columns};
};

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::kernels
