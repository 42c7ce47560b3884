// Element-wise kernel bodies, written once over the Vec vocabulary of
// ops/simd.hpp. Each of elementwise_kernels{,_avx2,_avx512}.cpp includes this
// file and instantiates Variant<its Vec>. Every lane formula repeats the
// scalar reference in elementwise_kernels.cpp operation for operation.
#pragma once

#include <bit>
#include <cstddef>
#include <string>

#include "nimbra/fault.hpp"
#include "ops/elementwise_kernels.hpp"
#include "ops/simd.hpp"

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
// Defined one per file, each compiled for its ISA.
const ElementKernels& baseline_kernels();
const ElementKernels& avx2_kernels();
const ElementKernels& avx512_kernels();
}  // namespace detail

// Compile-flag-specific namespace, for the reason given in ops/simd.hpp.
inline namespace NIMBRA_SIMD_ABI {

// relu contract: y = x > 0 ? x : +0.0.
// max(x, 0) yields its second operand unless x > 0, so NaN and -0.0 become
// the +0.0 of the zero vector and +inf stays.
template <class V>
NIMBRA_SIMD_INLINE V relu_lanes(V x) {
  return max(x, V::zero());
}

// sigmoid contract: y = 1 / (E + 1), E = exp_approx(a), a = clamp(-x, -88, 88).
// exp_approx: with s = a*a, c = s*a, q = s*s,
//   a < 0:          E = 1 / ((((s*0.5) + (1 - a)) - c*K6) + q*K24)
//   a >= 0 or NaN:  E = (((a + 1) + s*0.5) + c*K6) + q*K24
// With b = |a| the a < 0 denominator is bit for bit the a >= 0 polynomial at
// b: 1 - a is 1 + b, -(c*K6) is (s*b)*K6 (sign flips are exact) and IEEE
// addition commutes. So the polynomial is evaluated once per lane and each
// lane selects it or its reciprocal; a NaN lane keeps a (sign included).
template <class V>
NIMBRA_SIMD_INLINE V sigmoid_lanes(V x) {
  const V one = V::broadcast(1.0f);
  const V t = neg(x);
  // min / max yield their second operand on NaN: the constant goes first so a
  // NaN lane passes the clamp unchanged.
  const V a = min(V::broadcast(consts::kExpClamp), max(V::broadcast(-consts::kExpClamp), t));
  const auto negative = lt(a, V::zero());
  const V b = select(negative, neg(a), a);
  const V s = b * b;
  const V p = (((b + one) + s * V::broadcast(0.5f)) + (s * b) * V::broadcast(consts::kK6)) +
              (s * s) * V::broadcast(consts::kK24);
  const V e = select(negative, one / p, p);
  return one / (e + one);
}

// gelu contract: u = (((x*x)*x)*0.044715 + x) * 0.7978846, c = clamp(u, -3, 3),
// s = c*c, T = ((s + 27)*c) / (s*9 + 27), y = (T + 1)*(x*0.5).
template <class V>
NIMBRA_SIMD_INLINE V gelu_lanes(V x) {
  const V u0 = ((x * x) * x) * V::broadcast(consts::kGeluCubic) + x;
  const V u = u0 * V::broadcast(consts::kSqrt2OverPi);
  // Constant first, as in sigmoid: NaN passes the clamp.
  const V c = min(V::broadcast(consts::kTanhClamp), max(V::broadcast(-consts::kTanhClamp), u));
  const V s = c * c;
  const V twenty_seven = V::broadcast(27.0f);
  const V t = ((s + twenty_seven) * c) / (s * V::broadcast(9.0f) + twenty_seven);
  return (t + V::broadcast(1.0f)) * (x * V::broadcast(0.5f));
}

// y[i] = f(x[i]) over [0, n): four vectors per step so several divisions are
// in flight at once, then single vectors, then one masked partial vector.
// All four inputs are loaded before any store, so y == x (in place) is fine.
template <class V, class F>
NIMBRA_SIMD_INLINE void map_unary(const float* x, float* y, std::size_t n, F f) {
  constexpr std::size_t L = V::lanes;
  std::size_t i = 0;
  for (; i + 4 * L <= n; i += 4 * L) {
    const V x0 = V::load(x + i);
    const V x1 = V::load(x + i + L);
    const V x2 = V::load(x + i + 2 * L);
    const V x3 = V::load(x + i + 3 * L);
    store(y + i, f(x0));
    store(y + i + L, f(x1));
    store(y + i + 2 * L, f(x2));
    store(y + i + 3 * L, f(x3));
  }
  for (; i + L <= n; i += L) store(y + i, f(V::load(x + i)));
  if (i < n) store_partial(y + i, f(V::load_partial(x + i, n - i)), n - i);
}

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
// else a[i]; B likewise. Two vectors per step: this loop is load/store bound.
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
  std::size_t i = 0;
  for (; i + 2 * L <= n; i += 2 * L) {
    const V a0 = lhs(i), b0 = rhs(i);
    const V a1 = lhs(i + L), b1 = rhs(i + L);
    store(out + i, op(a0, b0));
    store(out + i + L, op(a1, b1));
  }
  for (; i + L <= n; i += L) store(out + i, op(lhs(i), rhs(i)));
  if (i < n) {
    const std::size_t k = n - i;
    V ap = a_held;
    V bp = b_held;
    if constexpr (!AScalar) ap = V::load_partial(a + i, k);
    if constexpr (!BScalar) bp = V::load_partial(b + i, k);
    store_partial(out + i, op(ap, bp), k);
  }
}

template <class V, class Op>
void binary_for(const float* a, bool a_scalar, const float* b, bool b_scalar, float* out,
                std::size_t n) {
  if (a_scalar) {
    if (b_scalar) binary_loop<V, Op, true, true>(a, b, out, n);
    else binary_loop<V, Op, true, false>(a, b, out, n);
  } else {
    if (b_scalar) binary_loop<V, Op, false, true>(a, b, out, n);
    else binary_loop<V, Op, false, false>(a, b, out, n);
  }
}

// The entry points of one ISA, gathered in its table.
template <class V>
struct Variant {
  static void binary(BinaryOp op, const float* a, bool a_scalar, const float* b, bool b_scalar,
                     float* out, std::size_t n) {
    switch (op) {
      case BinaryOp::Add: return binary_for<V, AddOp>(a, a_scalar, b, b_scalar, out, n);
      case BinaryOp::Sub: return binary_for<V, SubOp>(a, a_scalar, b, b_scalar, out, n);
      case BinaryOp::Mul: return binary_for<V, MulOp>(a, a_scalar, b, b_scalar, out, n);
    }
    fail_precondition("binary: unknown BinaryOp " + std::to_string(static_cast<int>(op)));
  }
  static void relu(const float* x, float* y, std::size_t n) {
    map_unary<V>(x, y, n, [](V v) { return relu_lanes(v); });
  }
  static void sigmoid(const float* x, float* y, std::size_t n) {
    map_unary<V>(x, y, n, [](V v) { return sigmoid_lanes(v); });
  }
  static void gelu(const float* x, float* y, std::size_t n) {
    map_unary<V>(x, y, n, [](V v) { return gelu_lanes(v); });
  }
  static constexpr ElementKernels table{&binary, &relu, &sigmoid, &gelu};
};

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::kernels
