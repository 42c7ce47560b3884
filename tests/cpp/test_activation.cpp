// relu, sigmoid, gelu and softmax at tensor level, and the ReLU / Sigmoid
// layers: every element against the kernels' scalar definitions,
// views against their contiguous copies, reference values, IEEE special
// values, the limits of softmax, and the pool battery with several workers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "nimbra/nn/activation.hpp"
#include "nimbra/runtime/pool.hpp"
#include "ops/accurate_kernels.hpp"
#include "ops/elementwise_kernels.hpp"
#include "test_util.hpp"

namespace {

using namespace tu;
using nimbra::FaultKind;
using nimbra::Tensor;

const bool kFourWorkers = [] { return setenv("RAYON_NUM_THREADS", "4", 1) == 0; }();

TEST(ActivationPool, RunsOnFourWorkers) {
  ASSERT_TRUE(kFourWorkers);
  EXPECT_EQ(nimbra::runtime::worker_count(), 4u);
}

// ---- the references: the kernels' scalar definitions ------------------------------------

namespace k = nimbra::kernels;
const auto ref_relu = k::relu_scalar;
const auto ref_sigmoid = k::sigmoid_scalar;
const auto ref_gelu = k::gelu_scalar;

// Every float class, dense windows where a clamp or branch switches, then
// random bit patterns and random ordinary values.
Floats activation_inputs() {
  Floats v = {0.0f, -0.0f, 1.0f, -1.0f, 2.0f, -2.0f, 3.0f, -3.0f, 0.5f, -0.5f, 100.0f, -100.0f,
              FLT_MIN, -FLT_MIN, FLT_TRUE_MIN, -FLT_TRUE_MIN, from_bits(0x007FFFFFu), from_bits(0x807FFFFFu),
              FLT_MAX, -FLT_MAX, kInf, -kInf, kNaN, -kNaN, 1e-30f, -1e-30f, 1e30f, -1e30f};
  auto window = [&v](float centre, int half) {
    float lo = centre, hi = centre;
    v.push_back(centre);
    for (int i = 0; i < half; ++i) {
      lo = std::nextafter(lo, -kInf);
      hi = std::nextafter(hi, kInf);
      v.push_back(lo);
      v.push_back(hi);
    }
  };
  window(88.0f, 6);
  window(-88.0f, 6);
  // Where gelu's scaled argument reaches the clamp at +-3 (about x = 2.9).
  float x = 2.5f;
  while (ref_gelu(x) != x && x < 4.0f) x += 1.0f / 1024;
  window(x, 40);
  window(-x, 40);
  Lcg g(77);
  for (int i = 0; i < 600; ++i) v.push_back(from_bits(g.next()));
  for (int i = 0; i < 600; ++i) v.push_back(g.uniform(-12.0f, 12.0f));
  return v;
}

struct Unary {
  const char* name;
  Tensor (*op)(const Tensor&);
  float (*ref)(float);
};
const Unary kUnary[] = {
    {"relu", nimbra::relu, ref_relu},
    {"sigmoid", nimbra::sigmoid, ref_sigmoid},
    {"gelu", nimbra::gelu, ref_gelu},
    {"accurate_sigmoid", nimbra::accurate_sigmoid, k::accurate_sigmoid_scalar},
    {"accurate_tanh", nimbra::accurate_tanh, k::accurate_tanh_scalar},
    {"accurate_gelu_erf", [](const Tensor& x) { return nimbra::accurate_gelu(x, nimbra::GeluForm::Erf); },
     k::accurate_gelu_erf_scalar},
    {"accurate_gelu_tanh", [](const Tensor& x) { return nimbra::accurate_gelu(x, nimbra::GeluForm::Tanh); },
     k::accurate_gelu_tanh_scalar},
};

class Elementwise : public ::testing::TestWithParam<Unary> {};

std::string unary_name(const ::testing::TestParamInfo<Unary>& info) { return info.param.name; }

Floats apply_ref(const Unary& f, const Floats& x) {
  Floats y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = f.ref(x[i]);
  return y;
}

TEST_P(Elementwise, EveryInputClassMatchesTheFormula) {
  const Unary& f = GetParam();
  const Floats x = activation_inputs();
  EXPECT_TRUE(same_tensor({x.size()}, apply_ref(f, x), f.op(make(x, {x.size()}))));
}

// Lengths around the vector widths (4, 8, 16 lanes) leave every possible tail.
TEST_P(Elementwise, EveryTailLength) {
  const Unary& f = GetParam();
  const Floats pool = activation_inputs();
  for (std::size_t n = 0; n <= 35; ++n) {
    const Floats x(pool.begin() + static_cast<std::ptrdiff_t>(3 * n), pool.begin() + static_cast<std::ptrdiff_t>(4 * n));
    ASSERT_TRUE(same_tensor({x.size()}, apply_ref(f, x), f.op(make(x, {x.size()})))) << "n = " << n;
  }
}

TEST_P(Elementwise, ShapeIsKeptAndViewsMatchCopies) {
  const Unary& f = GetParam();
  const Floats pool = activation_inputs();
  const U64s shapes[] = {{}, {0, 3}, {3, 0}, {7}, {3, 5}, {2, 3, 7}, {2, 1, 3, 1, 2, 1, 3}, {17, 9}};
  for (const U64s& shape : shapes) {
    const std::uint64_t n = nimbra::numel_of(shape);
    const Floats x(pool.end() - static_cast<std::ptrdiff_t>(n) - 5, pool.end() - 5);
    const Floats want = apply_ref(f, x);
    EXPECT_TRUE(same_tensor(shape, want, f.op(make(x, shape)))) << render(shape);
    for (const Layout& l : kLayouts)
      EXPECT_TRUE(same_tensor(shape, want, f.op(with_layout(x, shape, l)))) << render(shape) << " " << l.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, Elementwise, ::testing::ValuesIn(kUnary), unary_name);

// Known values of the approximations, at their clamps and beyond.
TEST(Activations, ReferenceValues) {
  struct Case {
    Tensor (*op)(const Tensor&);
    float x, want;
  } cases[] = {
      {nimbra::sigmoid, 0.0f, 0.5f},          {nimbra::sigmoid, -2.0f, 0.125f},
      {nimbra::sigmoid, 1.0f, 0.7303371f},    {nimbra::sigmoid, 2.0f, 0.87499994f},
      {nimbra::sigmoid, 100.0f, 0.99999964f}, {nimbra::sigmoid, -100.0f, 3.8222333e-07f},
      {nimbra::sigmoid, 88.0f, 0.99999964f},  {nimbra::sigmoid, -88.0f, 3.8222333e-07f},
      {nimbra::sigmoid, kInf, 0.99999964f},   {nimbra::sigmoid, -kInf, 3.8222333e-07f},
      {nimbra::sigmoid, kNaN, kNaN},          {nimbra::gelu, 0.0f, 0.0f},
      {nimbra::gelu, 1.0f, 0.8471124f},       {nimbra::gelu, -1.0f, -0.15288758f},
      {nimbra::gelu, 3.0f, 3.0f},             {nimbra::gelu, 10.0f, 10.0f},
      {nimbra::gelu, -3.0f, -0.0f},           {nimbra::gelu, -10.0f, -0.0f},
      {nimbra::gelu, kInf, kInf},             {nimbra::gelu, -kInf, kNaN},
      {nimbra::gelu, kNaN, kNaN},             {nimbra::relu, -0.0f, 0.0f},
      {nimbra::relu, kNaN, 0.0f},             {nimbra::relu, kInf, kInf},
  };
  for (const Case& c : cases) {
    // Alone, and at every lane of a vector-sized run.
    EXPECT_TRUE(same_tensor({}, {c.want}, c.op(make({c.x}, {})))) << describe(c.x);
    EXPECT_TRUE(same_tensor({19}, Floats(19, c.want), c.op(make(Floats(19, c.x), {19})))) << describe(c.x);
  }
  EXPECT_TRUE(same_tensor({6}, {0, 0, 0, 2, 0, kInf}, nimbra::relu(make({-1, -0.0f, 0, 2, kNaN, kInf}, {6}))));
}

// ---- layers ---------------------------------------------------------------------------

TEST(ActivationLayers, ForwardIsTheTensorOperationBitForBit) {
  const nimbra::nn::ReLU relu_layer, other_relu;
  const nimbra::nn::Sigmoid sigmoid_layer, other_sigmoid;
  EXPECT_TRUE(same_tensor({2, 2}, {0, 0, 2, 0}, relu_layer.forward(make({-1, 0, 2, -3}, {2, 2}))));
  EXPECT_TRUE(same_tensor({1}, {0.5f}, sigmoid_layer.forward(make({0}, {1}))));
  const Floats x = activation_inputs();
  const Tensor in = make(x, {x.size()});
  EXPECT_TRUE(same_tensor(nimbra::relu(in), relu_layer.forward(in)));
  EXPECT_TRUE(same_tensor(nimbra::sigmoid(in), sigmoid_layer.forward(in)));
  EXPECT_TRUE(same_tensor(relu_layer.forward(in), other_relu.forward(in)));
  EXPECT_TRUE(same_tensor(sigmoid_layer.forward(in), other_sigmoid.forward(in)));
  for (const U64s& shape : {U64s{0, 3}, U64s{}, U64s{2, 1, 2, 1, 2, 1, 2}}) {
    const Floats v(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(nimbra::numel_of(shape)));
    const Tensor t = with_layout(v, shape, kLayouts[2]);
    EXPECT_TRUE(same_tensor(shape, apply_ref(kUnary[0], v), relu_layer.forward(t))) << render(shape);
    EXPECT_TRUE(same_tensor(shape, apply_ref(kUnary[1], v), sigmoid_layer.forward(t))) << render(shape);
  }
  // The input is left as it was.
  EXPECT_TRUE(same_values(x, in.data_f32()));
}

// ---- softmax ----------------------------------------------------------------------------

struct SoftmaxShape {
  U64s shape;
};
void PrintTo(const SoftmaxShape& c, std::ostream* os) { *os << render(c.shape); }

class Softmax : public ::testing::TestWithParam<SoftmaxShape> {};

// Every dimension, named from the front and from the back, in every layout,
// against the slice-by-slice reference (same exact exponential, so same bits).
TEST_P(Softmax, EveryDimensionMatchesReference) {
  const U64s& shape = GetParam().shape;
  const Floats x = values(nimbra::numel_of(shape), 31 + shape.size());
  const auto r = static_cast<std::int32_t>(shape.size());
  for (std::int32_t dim = -r; dim < r; ++dim) {
    const std::size_t d = static_cast<std::size_t>(dim < 0 ? dim + r : dim);
    const Floats want = ref_softmax(x, shape, d);
    EXPECT_TRUE(same_tensor(shape, want, nimbra::softmax(make(x, shape), dim))) << "dim " << dim;
    for (const Layout& l : kLayouts)
      EXPECT_TRUE(same_tensor(shape, want, nimbra::softmax(with_layout(x, shape, l), dim)))
          << "dim " << dim << " " << l.name;
  }
}

// The accurate softmax and log_softmax along every dimension, in every layout,
// against their scalar slice definition; a dimension past the last is
// DimOutOfBounds, and a tensor without elements gives an empty result.
TEST_P(Softmax, AccurateFamiliesMatchTheirDefinition) {
  const U64s& shape = GetParam().shape;
  const Floats x = values(nimbra::numel_of(shape), 41 + shape.size(), true);
  struct Family {
    const char* name;
    nimbra::Result<Tensor> (*op)(const Tensor&, std::uint64_t);
    void (*slice)(const float*, float*, std::size_t, std::size_t);
  } families[] = {{"softmax", nimbra::accurate_softmax, k::accurate_softmax_scalar},
                  {"log_softmax", nimbra::accurate_log_softmax, k::accurate_log_softmax_scalar}};
  for (const Family& f : families) {
    for (std::size_t d = 0; d < shape.size(); ++d) {
      std::uint64_t outer = 1, inner = 1;
      for (std::size_t e = 0; e < d; ++e) outer *= shape[e];
      for (std::size_t e = d + 1; e < shape.size(); ++e) inner *= shape[e];
      Floats want(x.size());
      for (std::uint64_t o = 0; o < outer; ++o)
        for (std::uint64_t j = 0; j < inner; ++j)
          f.slice(x.data() + o * shape[d] * inner + j, want.data() + o * shape[d] * inner + j, shape[d], inner);
      EXPECT_TRUE(same_tensor(shape, want, f.op(make(x, shape), d).value())) << f.name << " dim " << d;
      for (const Layout& l : kLayouts)
        EXPECT_TRUE(same_tensor(shape, want, f.op(with_layout(x, shape, l), d).value())) << f.name << " " << l.name;
    }
    const nimbra::Result<Tensor> past = f.op(make(x, shape), shape.size());
    ASSERT_FALSE(past.ok()) << f.name;
    EXPECT_EQ(past.error().kind(), nimbra::ErrorKind::DimOutOfBounds) << f.name;
  }
}

TEST(AccurateSoftmax, TensorsWithoutElementsGiveEmptyResults) {
  for (const U64s& shape : {U64s{0, 3}, U64s{3, 0}, U64s{2, 0, 4}}) {
    for (std::uint64_t d = 0; d < shape.size(); ++d) {
      EXPECT_TRUE(same_tensor(shape, {}, nimbra::accurate_softmax(Tensor::zeros(shape), d).value())) << render(shape);
      EXPECT_TRUE(same_tensor(shape, {}, nimbra::accurate_log_softmax(Tensor::zeros(shape), d).value()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Softmax,
                         ::testing::Values(SoftmaxShape{{1}}, SoftmaxShape{{5}}, SoftmaxShape{{2, 2}},
                                           SoftmaxShape{{2, 3, 4}}, SoftmaxShape{{3, 1, 5}},
                                           SoftmaxShape{{2, 65}}, SoftmaxShape{{3, 130, 2}},
                                           SoftmaxShape{{1, 2, 1, 2, 1, 2, 3}}));

TEST(SoftmaxValues, KnownValues) {
  EXPECT_TRUE(same_tensor({1}, {1.0f}, nimbra::softmax(make({-7.5f}, {1}), 0)));
  EXPECT_TRUE(same_tensor({4}, Floats(4, 0.25f), nimbra::softmax(make(Floats(4, 3.25f), {4}), 0)));
  // [1, 2, 3] against decimals worked out elsewhere (rounded once each, so
  // the sum and divisions may differ from them in the last place).
  const Floats got = nimbra::softmax(make({1, 2, 3}, {3}), 0).data_f32();
  const float want[] = {0.09003057f, 0.24472848f, 0.66524094f};
  for (int i = 0; i < 3; ++i) {
    const auto ulps = std::abs(static_cast<std::int64_t>(bits(got[i])) - static_cast<std::int64_t>(bits(want[i])));
    EXPECT_LE(ulps, 4) << i << ": " << describe(got[i]);
  }

  Tensor m = make({1, 2, 3, 4}, {2, 2});
  const Floats rows = nimbra::softmax(m, 1).data_f32();
  EXPECT_EQ(bits(rows[0]), bits(rows[2]));  // [1, 2] and [3, 4] differ from their max alike
  EXPECT_EQ(bits(rows[1]), bits(rows[3]));
  EXPECT_NEAR(rows[0] + rows[1], 1.0f, 2e-7f);
  EXPECT_TRUE(same_tensor({2, 2}, rows, nimbra::softmax(m, -1)));
  const Floats cols = nimbra::softmax(m, 0).data_f32();
  EXPECT_NEAR(cols[0] + cols[2], 1.0f, 2e-7f);
  EXPECT_NEAR(cols[1] + cols[3], 1.0f, 2e-7f);
  EXPECT_EQ(bits(cols[0]), bits(cols[1]));
  EXPECT_TRUE(same_tensor({2, 2}, cols, nimbra::softmax(m, -2)));
}

// Large values are safe because the slice maximum is subtracted first:
// [1000, 1001, 1002] gives exactly the bits of [0, 1, 2].
TEST(SoftmaxValues, MaximumIsSubtractedFirst) {
  const Floats small = nimbra::softmax(make({0, 1, 2}, {3}), 0).data_f32();
  EXPECT_TRUE(same_tensor({3}, small, nimbra::softmax(make({1000, 1001, 1002}, {3}), 0)));
  EXPECT_TRUE(same_tensor({3}, small, nimbra::softmax(make({-1e4f - 2, -1e4f - 1, -1e4f}, {3}), 0)));
}

// Rows long enough for the vector maximum, whose maximum is +0, -0 or both,
// beside NaN and -inf: the same bits as the one-by-one reference maximum.
TEST(SoftmaxValues, ZeroMaximaOfEitherSignInLongRows) {
  const std::uint64_t L = 70;
  Floats x = values(5 * L, 7);
  for (float& v : x) v = -std::fabs(v);  // NaN stays NaN; every finite value <= 0
  for (std::uint64_t r = 0; r < 5; ++r) {
    x[r * L + 3 + 11 * r] = r % 2 == 0 ? 0.0f : -0.0f;
    x[r * L + 60 - r] = r < 2 ? -0.0f : 0.0f;
  }
  x[4 * L + 9] = -kInf;
  x[3 * L + 33] = kNaN;
  EXPECT_TRUE(same_tensor({5, L}, ref_softmax(x, {5, L}, 1), nimbra::softmax(make(x, {5, L}), 1)));
}

TEST(SoftmaxValues, SpecialValuesPoisonOnlyTheirSlice) {
  // Rows are slices along dim 1: each row's fate is its own.
  Tensor x = make({1, kNaN, 2,          // NaN anywhere: the whole row is NaN
                   1, kInf, 2,          // +inf: inf - inf in the row gives NaN
                   -kInf, -kInf, -kInf, // all -inf: 0 / 0
                   -kInf, 0, 0,         // -inf among finite values: exactly +0 there
                   1, 2, 3},
                  {5, 3});
  const Floats y = nimbra::softmax(x, 1).data_f32();
  for (int j = 0; j < 9; ++j) EXPECT_TRUE(std::isnan(y[j])) << j;
  EXPECT_EQ(bits(y[9]), 0u);
  EXPECT_EQ(bits(y[10]), bits(0.5f));
  EXPECT_EQ(bits(y[11]), bits(0.5f));
  EXPECT_TRUE(same_values(nimbra::softmax(make({1, 2, 3}, {3}), 0).data_f32(), Floats(y.begin() + 12, y.end())));
}

TEST(SoftmaxLimits, DimensionOutsideTheTensorIsAPrecondition) {
  struct Case {
    U64s shape;
    std::int32_t dim;
  } cases[] = {
      {{2, 2}, 2},  {{2, 2}, -3}, {{}, 0},   {{}, -1}, {{5}, 1},
      {{5}, INT32_MAX}, {{5}, INT32_MIN}, {{2, 2, 2, 2, 2, 2, 2}, 7},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(faults(FaultKind::Precondition, [&] { (void)nimbra::softmax(Tensor::ones(c.shape), c.dim); }))
        << render(c.shape) << " dim " << c.dim;
  }
}

TEST(SoftmaxLimits, ZeroSizeAtOrAfterTheDimensionIsAPrecondition) {
  struct Case {
    U64s shape;
    std::int32_t dim;
  } cases[] = {{{3, 0}, 0}, {{3, 0}, 1}, {{3, 0}, -1}, {{0, 3}, 0}, {{0}, 0}, {{2, 0, 3}, 1}, {{2, 0, 3}, 0}};
  for (const Case& c : cases) {
    EXPECT_TRUE(faults(FaultKind::Precondition, [&] { (void)nimbra::softmax(Tensor::zeros(c.shape), c.dim); }))
        << render(c.shape) << " dim " << c.dim;
  }
}

TEST(SoftmaxLimits, ZeroSizeBeforeTheDimensionGivesAnEmptyResult) {
  EXPECT_TRUE(same_tensor({0, 3}, {}, nimbra::softmax(Tensor::zeros(U64s{0, 3}), 1)));
  EXPECT_TRUE(same_tensor({0, 3}, {}, nimbra::softmax(Tensor::zeros(U64s{0, 3}), -1)));
  EXPECT_TRUE(same_tensor({2, 0, 3, 4}, {}, nimbra::softmax(Tensor::zeros(U64s{2, 0, 3, 4}), 2)));
  // The sizes from dim 1 on multiply to 2^64, which wraps to 0.
  const U64s huge = {0, 3, std::uint64_t{1} << 32, std::uint64_t{1} << 32};
  EXPECT_TRUE(same_tensor(huge, {}, nimbra::softmax(Tensor::zeros(huge), 1)));
}

// ---- the pool battery, several workers ----------------------------------------------------

TEST(ActivationPool, SoftmaxBatteryMatchesReference) {
  for (int layout_seed = 0; layout_seed < 4; ++layout_seed) {
    check_softmax_battery(layout_seed);
    check_accurate_battery(layout_seed);
  }
}

// Several outside threads using the pool at once each get their own right
// answers.
TEST(ActivationPool, ConcurrentCallersEachGetTheirOwnResult) {
  const U64s shape = {40, 33};
  std::vector<Floats> inputs, wants;
  for (int t = 0; t < 3; ++t) {
    inputs.push_back(values(nimbra::numel_of(shape), 900 + t));
    wants.push_back(ref_softmax(inputs.back(), shape, t % 2));
  }
  std::vector<int> bad(3, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      const Tensor x = make(inputs[t], shape);
      for (int i = 0; i < 20; ++i) {
        const Floats got = nimbra::softmax(x, t % 2).data_f32();
        if (!same_values(wants[t], got)) ++bad[t];
        const Floats sum = nimbra::add(x, x).value().data_f32();
        for (std::size_t k = 0; k < sum.size(); ++k)
          if (bits(sum[k]) != bits(inputs[t][k] + inputs[t][k])) ++bad[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < 3; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

}  // namespace
