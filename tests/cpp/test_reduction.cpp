// sum and mean: one left-to-right f32 chain from -0.0 over the row-major
// elements, returned as a fresh 0-d tensor; views reduce like their copies.
// The reductions along a dimension: every dimension of ranks 0 to 4, every
// layout, against the slice-by-slice scalar definition, and their errors.
#include <gtest/gtest.h>

#include "ops/reduction_kernels.hpp"
#include "test_util.hpp"

namespace {

using namespace tu;
using nimbra::Tensor;

float chain(const Floats& v) {
  float acc = -0.0f;
  for (float x : v) acc = acc + x;
  return acc;
}

struct Case {
  const char* name;
  Floats values;
  U64s shape;
  float sum, mean;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Reduction : public ::testing::TestWithParam<Case> {};

TEST_P(Reduction, SumAndMean) {
  const Case& c = GetParam();
  const Tensor x = make(c.values, c.shape);
  EXPECT_TRUE(same_tensor({}, {c.sum}, nimbra::sum(x)));
  EXPECT_TRUE(same_tensor({}, {c.mean}, nimbra::mean(x)));
  // The same values in other layouts reduce to the same bits.
  for (const Layout& l : kLayouts) {
    const Tensor v = with_layout(c.values, c.shape, l);
    EXPECT_TRUE(same_tensor({}, {c.sum}, nimbra::sum(v))) << l.name;
    EXPECT_TRUE(same_tensor({}, {c.mean}, nimbra::mean(v))) << l.name;
  }
  // Reducing every element gives the methods' bits, in any shape kept.
  const U64s ones(c.shape.size(), 1);
  EXPECT_TRUE(same_tensor({}, {c.sum}, nimbra::reduce_all(x, nimbra::ReduceOp::Sum, false).value()));
  EXPECT_TRUE(same_tensor(ones, {c.mean}, nimbra::reduce_all(x, nimbra::ReduceOp::Mean, true).value()));
}

const float k24 = 16777216.0f;  // 2^24: adding 1.0 to it rounds back to it

INSTANTIATE_TEST_SUITE_P(
    Table, Reduction,
    ::testing::Values(
        Case{"ones_2x3", Floats(6, 1.0f), {2, 3}, 6.0f, 1.0f},
        Case{"empty_0", {}, {0}, -0.0f, kNaN},
        Case{"empty_2x0", {}, {2, 0}, -0.0f, kNaN},
        Case{"all_negative_zero", Floats(5, -0.0f), {5}, -0.0f, -0.0f},
        Case{"single_positive_zero", {0.0f}, {1}, 0.0f, 0.0f},
        Case{"zero_d", {-3.5f}, {}, -3.5f, -3.5f},
        Case{"zero_d_negative_zero", {-0.0f}, {}, -0.0f, -0.0f},
        Case{"big_first", {k24, 1.0f, 1.0f}, {3}, k24, k24 / 3.0f},
        Case{"big_last", {1.0f, 1.0f, k24}, {3}, 16777218.0f, 16777218.0f / 3.0f},
        Case{"one_to_four", {1, 2, 3, 4}, {2, 2}, 10.0f, 2.5f},
        // 7 / 3 is 2.3333333f; 7 * (1 / 3) would give 2.3333335f.
        Case{"divides_not_by_reciprocal", {7, 0, 0}, {3}, 7.0f, 2.3333333f},
        Case{"cancellation", {1e20f, 1.0f, -1e20f, 1.0f}, {2, 2}, 1.0f, 0.25f},
        Case{"overflow_to_inf", {3e38f, 3e38f, -3e38f}, {3}, kInf, kInf},
        Case{"inf_minus_inf", {kInf, -kInf}, {2}, kNaN, kNaN},
        Case{"nan", {1.0f, kNaN, 2.0f}, {3}, kNaN, kNaN},
        Case{"subnormals", {1e-45f, 1e-45f, 1e-45f}, {3}, 4e-45f, 1e-45f},
        Case{"seven_dims", Floats(8, 0.5f), {2, 1, 2, 1, 2, 1, 1}, 4.0f, 0.5f}),
    [](const auto& info) { return std::string(info.param.name); });

// Random data in random layouts: bit-identical to the sequential chain in
// row-major logical order (any other order or a wider accumulator would
// differ on data like this).
TEST(Reduction, SequentialChainInLogicalOrder) {
  const U64s shapes[] = {{1000}, {31, 33}, {4, 5, 6, 7}, {2, 3, 1, 4, 1, 5, 2}};
  std::uint64_t seed = 40;
  for (const U64s& shape : shapes) {
    Floats v = values(nimbra::numel_of(shape), ++seed);
    // Magnitudes spread over many binades so the order matters.
    for (std::size_t i = 0; i < v.size(); ++i) v[i] *= static_cast<float>(1u << (i % 20));
    const float want = chain(v);
    const float want_mean = want / static_cast<float>(v.size());
    EXPECT_TRUE(same_tensor({}, {want}, nimbra::sum(make(v, shape)))) << render(shape);
    EXPECT_TRUE(same_tensor({}, {want_mean}, nimbra::mean(make(v, shape)))) << render(shape);
    for (const Layout& l : kLayouts) {
      EXPECT_TRUE(same_tensor({}, {want}, nimbra::sum(with_layout(v, shape, l)))) << render(shape) << l.name;
    }
    // A transposed view reduces in its own logical order, not in storage order.
    const Floats tv = nimbra::transpose(make(v, shape), 0, shape.size() - 1).value().data_f32();
    EXPECT_TRUE(same_tensor({}, {chain(tv)}, nimbra::sum(nimbra::transpose(make(v, shape), 0, shape.size() - 1).value())));
  }
}

// The count is converted to the nearest f32 before the one division:
// 2^24 + 1 ones sum to 2^24 and the count rounds to 2^24, so the mean is
// exactly 1 (a division in wider precision would give 0.99999994).
TEST(Reduction, MeanDividesByTheCountRoundedToFloat) {
  const Tensor x = Tensor::ones(U64s{(1u << 24) + 1});
  EXPECT_TRUE(same_tensor({}, {k24}, nimbra::sum(x)));
  EXPECT_TRUE(same_tensor({}, {1.0f}, nimbra::mean(x)));
}

TEST(Reduction, ResultIsAFreshTensorAndTheSourceIsUntouched) {
  const Floats v = {1, 2, 3};
  const Tensor x = make(v, {3});
  const Tensor s = nimbra::sum(x);
  EXPECT_EQ(s.ndim(), 0u);
  EXPECT_EQ(s.numel(), 1u);
  EXPECT_EQ(s.storage().len(), 1u);
  EXPECT_NE(s.storage().buffer(), x.storage().buffer());
  // Reducing a 0-d result again keeps its value.
  EXPECT_TRUE(same_tensor({}, {6.0f}, nimbra::sum(s)));
  EXPECT_TRUE(same_tensor({}, {6.0f}, nimbra::mean(s)));
  EXPECT_TRUE(same_values(v, x.data_f32()));
}

// ---- along a dimension ------------------------------------------------------------

using nimbra::ReduceOp;
const ReduceOp kOps[] = {ReduceOp::Sum,    ReduceOp::Mean,   ReduceOp::Max,
                         ReduceOp::Min,    ReduceOp::ArgMax, ReduceOp::ArgMin};
const char* label(ReduceOp op) {
  static const char* const kNames[] = {"sum", "mean", "max", "min", "argmax", "argmin"};
  return kNames[static_cast<int>(op)];
}
bool seeks(ReduceOp op) { return op != ReduceOp::Sum && op != ReduceOp::Mean; }

// `values` (row-major, `shape`) reduced along d slice by slice, each slice
// gathered and handed to the scalar definition.
Floats ref_along(ReduceOp op, const Floats& values, const U64s& shape, std::size_t d) {
  using nimbra::kernels::Reduce;
  static constexpr Reduce kKernel[] = {Reduce::Sum, Reduce::Sum, Reduce::Max, Reduce::Min, Reduce::ArgMax,
                                       Reduce::ArgMin};
  const std::uint64_t outer = nimbra::numel_of({shape.data(), d}), L = shape[d];
  const std::uint64_t inner = nimbra::numel_of({shape.data() + d + 1, shape.size() - d - 1});
  Floats out(outer * inner);
  for (std::uint64_t o = 0; o < outer; ++o) {
    for (std::uint64_t j = 0; j < inner; ++j) {
      Floats slice(L);
      for (std::uint64_t k = 0; k < L; ++k) slice[k] = values[(o * L + k) * inner + j];
      float r = L ? nimbra::kernels::reduce_scalar(kKernel[static_cast<int>(op)], slice.data(), L, 1) : -0.0f;
      if (op == ReduceOp::Mean) r = r / static_cast<float>(L);
      out[o * inner + j] = r;
    }
  }
  return out;
}

// Values with ties, both zeros, infinities and a few NaNs.
Floats tied_values(std::size_t n, std::uint64_t seed) {
  static const float kPick[] = {0.0f, -0.0f, 1.0f, -1.0f, 2.0f, 2.0f, -2.0f, kInf, -kInf, 0.5f, 3.0f, kNaN};
  Lcg g(seed);
  Floats v(n);
  for (float& x : v) {
    const std::uint32_t r = g.next();
    x = r % 4 ? kPick[(r >> 8) % 11] : g.uniform(-4.0f, 4.0f);  // NaN only where r >> 8 hits the last slot
    if ((r >> 20) % 23 == 0) x = kNaN;
  }
  return v;
}

TEST(ReductionAlongDim, EveryDimensionOfRanksZeroToFour) {
  const U64s shapes[] = {{},        {1},          {7},       {0},          {3, 5},
                         {1, 17},   {17, 1},      {0, 4},    {4, 0},       {2, 3, 4},
                         {5, 1, 33}, {3, 0, 2},   {2, 3, 4, 5}, {4, 1, 6, 17}, {2, 2, 0, 3}};
  std::uint64_t seed = 70;
  for (const U64s& shape : shapes) {
    const Floats v = tied_values(nimbra::numel_of(shape), ++seed);
    std::vector<Tensor> sources = {make(v, shape)};
    for (const Layout& l : kLayouts) sources.push_back(with_layout(v, shape, l));
    const auto nd = static_cast<std::int64_t>(shape.size());
    const std::int64_t span = std::max<std::int64_t>(nd, 1);
    for (std::int64_t dim = -span; dim < span; ++dim) {
      // A 0-d tensor reduces its one element as the slice [1].
      const U64s slices = nd ? shape : U64s{1};
      const auto d = static_cast<std::size_t>(dim < 0 ? dim + span : dim);
      for (bool keepdim : {false, true}) {
        U64s out_shape = slices;
        if (keepdim)
          out_shape[d] = 1;
        else
          out_shape.erase(out_shape.begin() + static_cast<std::ptrdiff_t>(d));
        if (nd == 0) out_shape = {};
        for (ReduceOp op : kOps) {
          const Floats want = ref_along(op, v, slices, d);
          for (const Tensor& src : sources) {
            nimbra::Result<Tensor> got = nimbra::reduce(src, op, dim, keepdim);
            const std::string where = std::string(label(op)) + " of " + render(shape) + " along " +
                                      std::to_string(dim) + (keepdim ? " keepdim" : "");
            if (seeks(op) && slices[d] == 0) {
              ASSERT_FALSE(got.ok()) << where;
              EXPECT_EQ(got.error().kind(), nimbra::ErrorKind::InvalidOperation) << where;
              continue;
            }
            ASSERT_TRUE(got.ok()) << where << ": " << got.error().display();
            EXPECT_TRUE(same_tensor(out_shape, want, got.value())) << where;
          }
        }
      }
    }
    // Every element as one slice: row-major positions, every dimension kept.
    for (ReduceOp op : kOps) {
      if (seeks(op) && v.empty()) continue;
      const Floats want = ref_along(op, v, {v.size()}, 0);
      for (const Tensor& src : sources) {
        EXPECT_TRUE(same_tensor({}, want, nimbra::reduce_all(src, op, false).value())) << label(op) << render(shape);
        EXPECT_TRUE(same_tensor(U64s(shape.size(), 1), want, nimbra::reduce_all(src, op, true).value()));
      }
    }
  }
}

TEST(ReductionAlongDim, Errors) {
  auto text = [](const nimbra::Result<Tensor>& r) { return r.ok() ? std::string("(no error)") : r.error().display(); };
  const Tensor x = Tensor::zeros(U64s{2, 3});
  EXPECT_EQ(text(nimbra::reduce(x, ReduceOp::Sum, 2, false)),
            "Invalid operation: dim 2 is out of range for a tensor with 2 dimensions (expected -2 to 1)");
  EXPECT_EQ(text(nimbra::reduce(x, ReduceOp::ArgMax, -3, true)),
            "Invalid operation: dim -3 is out of range for a tensor with 2 dimensions (expected -2 to 1)");
  EXPECT_EQ(text(nimbra::reduce(Tensor::zeros(U64s{}), ReduceOp::Max, 1, false)),
            "Invalid operation: dim 1 is out of range for a tensor with 0 dimensions (expected -1 to 0)");
  const Tensor empty = Tensor::zeros(U64s{0, 3});
  EXPECT_EQ(text(nimbra::reduce(empty, ReduceOp::Max, 0, false)),
            "Invalid operation: max of no elements: dim 0 of shape [0, 3] is empty");
  EXPECT_EQ(text(nimbra::reduce_all(empty, ReduceOp::ArgMin, false)),
            "Invalid operation: argmin of no elements: shape [0, 3] is empty");
  // Along the other dimension the slices have elements, and there are none of them.
  EXPECT_TRUE(same_tensor({0}, {}, nimbra::reduce(empty, ReduceOp::Max, 1, false).value()));
  // Positions are f32 values: at most 2^24 of them.
  const std::uint64_t k24 = std::uint64_t{1} << 24;
  EXPECT_TRUE(nimbra::reduce(Tensor::zeros(U64s{0, k24}), ReduceOp::ArgMax, 1, false).ok());
  EXPECT_TRUE(nimbra::reduce(Tensor::zeros(U64s{0, k24 + 1}), ReduceOp::Max, 1, false).ok());
  EXPECT_EQ(text(nimbra::reduce(Tensor::zeros(U64s{0, k24 + 1}), ReduceOp::ArgMax, 1, false)),
            "Invalid operation: argmax over 16777217 elements (dim 1 of shape [0, 16777217]): positions from "
            "2^24 on are not exact in float32");
}

}  // namespace
