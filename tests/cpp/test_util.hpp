// Helpers shared by the tensor-level tests: bit-exact comparison, tensors
// from values, the same values under other memory layouts, deterministic
// test data, plain scalar references of the broadcasting arithmetic and of
// softmax, and a fixed battery of pool-backed operations that the one-worker
// and many-worker test binaries both hold to those references.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu.hpp"
#include "nimbra/error.hpp"
#include "nimbra/fault.hpp"
#include "nimbra/ops.hpp"
#include "nimbra/shape.hpp"
#include "nimbra/tensor.hpp"
#include "ops/accurate_kernels.hpp"
#include "ops/exp_exact.hpp"

namespace tu {

using nimbra::Tensor;
using U64s = std::vector<std::uint64_t>;
using Floats = std::vector<float>;

// The kernel variants this CPU can run, the baseline first.
inline std::vector<nimbra::cpu::Isa> supported_isas() {
  using nimbra::cpu::Isa;
  std::vector<Isa> out;
  for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512})
    if (nimbra::cpu::supports(isa)) out.push_back(isa);
  return out;
}

inline const float kInf = std::numeric_limits<float>::infinity();
inline const float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---- bits ---------------------------------------------------------------------

inline std::uint32_t bits(float x) {
  std::uint32_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}
inline float from_bits(std::uint32_t u) {
  float x;
  std::memcpy(&x, &u, sizeof x);
  return x;
}

inline std::string describe(float x) {
  char text[48];
  std::snprintf(text, sizeof text, "%.9g (0x%08x)", static_cast<double>(x), bits(x));
  return text;
}

// Equal bit patterns; any NaN matches any NaN (payloads are not promised).
inline bool same_float(float want, float got) {
  return std::isnan(want) ? std::isnan(got) : bits(want) == bits(got);
}

inline std::string render(const U64s& s) { return nimbra::render_sizes(s); }
inline U64s to_vec(std::span<const std::uint64_t> s) { return U64s(s.begin(), s.end()); }

inline ::testing::AssertionResult same_values(const Floats& want, const Floats& got) {
  if (want.size() != got.size()) {
    return ::testing::AssertionFailure() << "length: want " << want.size() << ", got " << got.size();
  }
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (!same_float(want[i], got[i])) {
      return ::testing::AssertionFailure()
             << "element " << i << ": want " << describe(want[i]) << ", got " << describe(got[i]);
    }
  }
  return ::testing::AssertionSuccess();
}

// The tensor has exactly this shape and these element bits, and is a fresh
// row-major tensor (default strides, offset 0, no gradient).
inline ::testing::AssertionResult same_tensor(const U64s& shape, const Floats& want, const Tensor& got) {
  if (to_vec(got.shape()) != shape) {
    return ::testing::AssertionFailure() << "shape: want " << render(shape) << ", got "
                                         << render(to_vec(got.shape()));
  }
  if (!got.is_contiguous() || got.offset() != 0 || got.has_grad() || got.requires_grad()) {
    return ::testing::AssertionFailure() << "result is not a fresh row-major tensor";
  }
  return same_values(want, got.data_f32());
}

// Two tensors agree in shape and in every element's bits.
inline ::testing::AssertionResult same_tensor(const Tensor& want, const Tensor& got) {
  return same_tensor(to_vec(want.shape()), want.data_f32(), got);
}

// ---- making tensors -----------------------------------------------------------

inline Tensor make(const Floats& values, const U64s& shape) {
  nimbra::Result<Tensor> r = Tensor::from_slice(values, shape);
  if (!r) throw std::runtime_error("test helper make(): " + r.error().display());
  return std::move(r).value();
}

inline Floats iota(std::size_t n, float start = 0.0f) {
  Floats v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = start + static_cast<float>(i);
  return v;
}

// A small deterministic generator (the same sequence on every platform).
class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint32_t next() {
    s_ = s_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(s_ >> 32);
  }
  // Uniform in [lo, hi), exact in f32 arithmetic.
  float uniform(float lo, float hi) {
    const float u = static_cast<float>(next() >> 8) * 0x1p-24f;
    return lo + (hi - lo) * u;
  }

 private:
  std::uint64_t s_;
};

// Values in [-4, 4) with a sprinkling of IEEE special cases when `specials`.
inline Floats values(std::size_t n, std::uint64_t seed, bool specials = false) {
  static const float kSpecial[] = {0.0f, -0.0f, kInf, -kInf, kNaN, 1e-40f, -1e-40f, 3e38f, -3e38f, 1.0f};
  Lcg g(seed);
  Floats v(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t r = g.next();
    if (specials && r % 11 == 0)
      v[i] = kSpecial[(r >> 8) % (sizeof kSpecial / sizeof kSpecial[0])];
    else
      v[i] = g.uniform(-4.0f, 4.0f);
  }
  return v;
}

// The same logical values under another memory layout: `order` lists the
// dimensions from outermost to innermost in memory, `pad` leaves gaps between
// steps of every dimension, `offset` starts the tensor's lowest position
// inside its storage, `flips` walks dimensions backwards (negative strides;
// bit 0 is the last dimension). Storage positions the view never reaches
// hold a loud junk value.
inline constexpr float kJunk = 12345.678f;

struct Layout {
  const char* name;
  // OuterSwapped swaps the two outermost dimensions (rank 3 and up), so the
  // innermost stride stays 1 while the view is not contiguous.
  enum Order { RowMajor, Reversed, Rotated, OuterSwapped } order;
  std::uint64_t pad;
  std::uint64_t offset;
  bool pad_rows_only = false;  // gaps only after each innermost run
  std::uint32_t flips = 0;
};

inline const Layout kLayouts[] = {
    {"reversed", Layout::Reversed, 0, 0},
    {"padded_at_offset", Layout::RowMajor, 1, 5},
    {"reversed_padded_at_offset", Layout::Reversed, 2, 3},
    {"rotated_padded", Layout::Rotated, 1, 0},
    {"row_major_at_offset", Layout::RowMajor, 0, 7},  // row-major strides, yet not plain
    {"outer_swapped", Layout::OuterSwapped, 0, 0},
    {"rows_padded", Layout::RowMajor, 3, 0, true},
    {"flipped_at_offset", Layout::RowMajor, 0, 2, false, ~0u},
    {"reversed_last_flipped", Layout::Reversed, 0, 0, false, 1u},  // a backwards transposed pair
};
inline constexpr std::size_t kLayoutCount = sizeof kLayouts / sizeof kLayouts[0];

inline Tensor with_layout(const Floats& logical, const U64s& shape, const Layout& layout) {
  const std::size_t r = shape.size();
  std::vector<std::size_t> order(r);
  std::iota(order.begin(), order.end(), std::size_t{0});
  if (layout.order == Layout::Reversed) std::reverse(order.begin(), order.end());
  if (layout.order == Layout::Rotated && r > 1) std::rotate(order.begin(), order.begin() + 1, order.end());
  if (layout.order == Layout::OuterSwapped && r > 2) std::swap(order[0], order[1]);
  U64s strides(r, 0);
  std::uint64_t step = layout.pad && !layout.pad_rows_only ? 2 : 1;
  for (std::size_t i = r; i-- > 0;) {
    const std::size_t d = order[i];
    strides[d] = step;
    const bool gap = !layout.pad_rows_only || i + 1 == r;
    step = step * shape[d] + (gap ? layout.pad : 0);
  }
  const std::uint64_t n = nimbra::numel_of(shape);
  std::uint64_t last = layout.offset, first = layout.offset;
  for (std::size_t d = 0; d < r && n > 0; ++d) {
    last += (shape[d] - 1) * strides[d];
    // A flipped dimension starts at its far end and steps back.
    if (layout.flips >> (r - 1 - d) & 1) {
      first += (shape[d] - 1) * strides[d];
      strides[d] = 0 - strides[d];
    }
  }
  Floats storage(last + 4, kJunk);
  // Place every logical element at its strided position (wrapping unsigned
  // arithmetic lands on the signed position).
  U64s index(r, 0);
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint64_t pos = first;
    for (std::size_t d = 0; d < r; ++d) pos += index[d] * strides[d];
    storage[pos] = logical[i];
    for (std::size_t d = r; d-- > 0;) {
      if (++index[d] < shape[d]) break;
      index[d] = 0;
    }
  }
  Tensor base = make(storage, {storage.size()});
  return Tensor(nimbra::Shape(shape), nimbra::Strides(strides), base.storage(), first);
}

// A transposed view whose logical values are `logical` with shape `shape`
// (r >= 2): the storage holds the data with the last two dimensions swapped.
inline Tensor transposed_view(const Floats& logical, const U64s& shape) {
  const std::size_t r = shape.size();
  U64s swapped = shape;
  std::swap(swapped[r - 1], swapped[r - 2]);
  const std::uint64_t rows = shape[r - 2], cols = shape[r - 1];
  const std::uint64_t mats = rows * cols != 0 ? logical.size() / (rows * cols) : 0;
  Floats data(logical.size());
  for (std::uint64_t q = 0; q < mats; ++q)
    for (std::uint64_t i = 0; i < rows; ++i)
      for (std::uint64_t j = 0; j < cols; ++j) data[q * rows * cols + j * rows + i] = logical[q * rows * cols + i * cols + j];
  nimbra::Result<Tensor> t = nimbra::transpose(make(data, swapped), r - 2, r - 1);
  return std::move(t).value();
}

// ---- plain references ------------------------------------------------------------

enum class Op { Add, Sub, Mul };
inline const char* op_name(Op op) { return op == Op::Add ? "add" : op == Op::Sub ? "sub" : "mul"; }
inline float apply(Op op, float x, float y) {
  switch (op) {
    case Op::Add: return x + y;
    case Op::Sub: return x - y;
    case Op::Mul: return x * y;
  }
  return 0.0f;
}
inline nimbra::Result<Tensor> run(Op op, const Tensor& a, const Tensor& b) {
  switch (op) {
    case Op::Add: return nimbra::add(a, b);
    case Op::Sub: return nimbra::sub(a, b);
    case Op::Mul: return nimbra::mul(a, b);
  }
  throw std::logic_error("bad op");
}

// Right-aligned broadcast shape, or nothing when the shapes clash.
inline std::optional<U64s> ref_broadcast(const U64s& a, const U64s& b) {
  const std::size_t r = std::max(a.size(), b.size());
  U64s out(r);
  for (std::size_t i = 0; i < r; ++i) {
    const std::uint64_t da = i < a.size() ? a[a.size() - 1 - i] : 1;
    const std::uint64_t db = i < b.size() ? b[b.size() - 1 - i] : 1;
    if (da != db && da != 1 && db != 1) return std::nullopt;
    out[r - 1 - i] = da == 1 ? db : da;
  }
  return out;
}

// Each output element mapped on its own from its multi-index: the slow,
// obviously right way.
inline Floats ref_binary(Op op, const Floats& av, const U64s& as, const Floats& bv, const U64s& bs,
                         const U64s& out) {
  const std::uint64_t n = nimbra::numel_of(out);
  const std::size_t r = out.size();
  Floats result(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    U64s index(r);
    std::uint64_t q = i;
    for (std::size_t d = r; d-- > 0;) {
      index[d] = q % out[d];
      q /= out[d];
    }
    auto pos = [&](const U64s& s) {
      std::uint64_t p = 0;
      for (std::size_t j = 0; j < s.size(); ++j) {
        const std::uint64_t idx = s[j] == 1 ? 0 : index[r - s.size() + j];
        p = p * s[j] + idx;
      }
      return p;
    };
    result[i] = apply(op, av[pos(as)], bv[pos(bs)]);
  }
  return result;
}

// softmax along `dim` (already normalised), slice by slice: max, then the
// exact exponential (the kernels' scalar reference) summed in ascending order,
// then one division each.
inline Floats ref_softmax(const Floats& x, const U64s& shape, std::size_t dim) {
  std::uint64_t outer = 1, inner = 1;
  for (std::size_t d = 0; d < dim; ++d) outer *= shape[d];
  for (std::size_t d = dim + 1; d < shape.size(); ++d) inner *= shape[d];
  const std::uint64_t len = shape[dim];
  Floats y(x.size(), 0.0f);
  for (std::uint64_t o = 0; o < outer; ++o) {
    for (std::uint64_t j = 0; j < inner; ++j) {
      auto at = [&](std::uint64_t k) { return o * len * inner + k * inner + j; };
      float m = -kInf;
      for (std::uint64_t k = 0; k < len; ++k)
        if (x[at(k)] > m) m = x[at(k)];
      float sum = 0.0f;
      for (std::uint64_t k = 0; k < len; ++k) {
        y[at(k)] = nimbra::kernels::exp_exact(x[at(k)] - m);
        sum = sum + y[at(k)];
      }
      for (std::uint64_t k = 0; k < len; ++k) y[at(k)] = y[at(k)] / sum;
    }
  }
  return y;
}

// ---- internal faults ---------------------------------------------------------------

// Runs f and reports whether it threw InternalFault of the given kind.
template <class F>
::testing::AssertionResult faults(nimbra::FaultKind kind, F&& f) {
  try {
    f();
  } catch (const nimbra::InternalFault& e) {
    if (e.kind() == kind) return ::testing::AssertionSuccess() << e.what();
    return ::testing::AssertionFailure() << "fault of the other kind: " << e.what();
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "other exception: " << e.what();
  }
  return ::testing::AssertionFailure() << "no fault";
}

// ---- the pool battery --------------------------------------------------------------
// A fixed set of pool-backed operations (element-wise arithmetic on both
// paths, softmax along every dimension), big enough to be split into many
// pieces. Binaries with one worker and with many run it against the same
// plain references, so their results are bit-identical to each other.

struct ArithCase {
  U64s a, b;
};
inline const ArithCase kArithBattery[] = {
    {{1000}, {1000}},            {{3, 517}, {3, 517}},     {{257, 33}, {33}},
    {{33}, {257, 33}},           {{129, 1}, {1, 131}},     {{7, 1, 61}, {5, 1}},
    {{2, 3, 4, 5, 6}, {3, 1, 5, 1}}, {{}, {999}},         {{1001}, {}},
    {{64, 1, 17}, {64, 9, 1}},   {{1, 2, 1, 2, 1, 2, 1, 3}, {2, 1, 2, 1, 2, 1, 7, 1}},
};

inline void check_arith_battery(int layout_seed) {
  std::uint64_t seed = 100;
  for (const ArithCase& c : kArithBattery) {
    const Floats av = values(nimbra::numel_of(c.a), ++seed, true);
    const Floats bv = values(nimbra::numel_of(c.b), ++seed, true);
    const U64s out = *ref_broadcast(c.a, c.b);
    Tensor a = make(av, c.a), b = make(bv, c.b);
    // Alternate plain operands with strided views of the same values.
    if (layout_seed % 2 == 1 && !c.a.empty()) a = with_layout(av, c.a, kLayouts[seed % kLayoutCount]);
    if (layout_seed % 3 == 2 && !c.b.empty()) b = with_layout(bv, c.b, kLayouts[(seed + 1) % kLayoutCount]);
    for (Op op : {Op::Add, Op::Sub, Op::Mul}) {
      nimbra::Result<Tensor> got = run(op, a, b);
      ASSERT_TRUE(got.ok()) << op_name(op) << " " << render(c.a) << " " << render(c.b);
      EXPECT_TRUE(same_tensor(out, ref_binary(op, av, c.a, bv, c.b, out), got.value()))
          << op_name(op) << " " << render(c.a) << " with " << render(c.b) << " layout seed " << layout_seed;
    }
  }
}

struct SoftmaxCase {
  U64s shape;
};
inline const SoftmaxCase kSoftmaxBattery[] = {
    {{300}}, {{97, 13}}, {{13, 97}}, {{5, 7, 67}}, {{4, 3, 2, 129}}, {{2, 1, 3, 1, 2, 1, 5}},
    // Large enough for the accurate slices to be shared out on the pool.
    {{70, 300}}, {{3, 300, 70}},
};

// The accurate slices of one (outer, L, inner) tensor, slice by slice through
// the kernels' scalar definition.
inline Floats ref_accurate_slices(const Floats& x, const U64s& shape, std::size_t dim, bool log) {
  std::uint64_t outer = 1, inner = 1;
  for (std::size_t d = 0; d < dim; ++d) outer *= shape[d];
  for (std::size_t d = dim + 1; d < shape.size(); ++d) inner *= shape[d];
  Floats y(x.size());
  for (std::uint64_t o = 0; o < outer; ++o)
    for (std::uint64_t j = 0; j < inner; ++j) {
      const std::uint64_t at = o * shape[dim] * inner + j;
      (log ? nimbra::kernels::accurate_log_softmax_scalar : nimbra::kernels::accurate_softmax_scalar)(
          x.data() + at, y.data() + at, shape[dim], inner);
    }
  return y;
}

inline void check_softmax_battery(int layout_seed) {
  std::uint64_t seed = 500;
  for (const SoftmaxCase& c : kSoftmaxBattery) {
    const Floats xv = values(nimbra::numel_of(c.shape), ++seed);
    Tensor x = layout_seed % 2 == 1 ? with_layout(xv, c.shape, kLayouts[seed % kLayoutCount]) : make(xv, c.shape);
    const auto r = static_cast<std::int32_t>(c.shape.size());
    for (std::int32_t dim = -r; dim < r; ++dim) {
      const std::size_t d = static_cast<std::size_t>(dim < 0 ? dim + r : dim);
      EXPECT_TRUE(same_tensor(c.shape, ref_softmax(xv, c.shape, d), nimbra::softmax(x, dim)))
          << render(c.shape) << " dim " << dim << " layout seed " << layout_seed;
      EXPECT_TRUE(same_tensor(c.shape, ref_accurate_slices(xv, c.shape, d, false), nimbra::accurate_softmax(x, d).value()));
      EXPECT_TRUE(same_tensor(c.shape, ref_accurate_slices(xv, c.shape, d, true), nimbra::accurate_log_softmax(x, d).value()));
    }
  }
}

// The accurate element-wise operations on an input large enough to be shared
// out on the pool, against their scalar definitions.
inline void check_accurate_battery(int layout_seed) {
  const U64s shape = {2, 150, 97};
  const Floats xv = values(nimbra::numel_of(shape), 900 + layout_seed, true);
  const Tensor x = layout_seed % 2 == 1 ? with_layout(xv, shape, kLayouts[layout_seed % kLayoutCount]) : make(xv, shape);
  namespace k = nimbra::kernels;
  const std::pair<Tensor, float (*)(float)> cases[] = {
      {nimbra::accurate_sigmoid(x), k::accurate_sigmoid_scalar},
      {nimbra::accurate_tanh(x), k::accurate_tanh_scalar},
      {nimbra::accurate_gelu(x, nimbra::GeluForm::Erf), k::accurate_gelu_erf_scalar},
      {nimbra::accurate_gelu(x, nimbra::GeluForm::Tanh), k::accurate_gelu_tanh_scalar}};
  for (const auto& [got, scalar] : cases) {
    Floats want(xv.size());
    for (std::size_t i = 0; i < xv.size(); ++i) want[i] = scalar(xv[i]);
    EXPECT_TRUE(same_tensor(shape, want, got)) << "layout seed " << layout_seed;
  }
}

}  // namespace tu
