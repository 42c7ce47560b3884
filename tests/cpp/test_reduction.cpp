// sum and mean: one left-to-right f32 chain from -0.0 over the row-major
// elements, returned as a fresh 0-d tensor; views reduce like their copies.
#include <gtest/gtest.h>

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

}  // namespace
