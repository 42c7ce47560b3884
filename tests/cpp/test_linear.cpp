// The Linear layer: the 2-D transpose t(), construction from a generator with
// a known key (every weight and bias is the value the sampler recipe gives
// for the next ChaCha word, weights first), the bounds, the refused sizes,
// and forward as add(matmul(x, t(weight)), bias) bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

#include "nimbra/nn/init.hpp"
#include "nimbra/nn/linear.hpp"
#include "nimbra/random.hpp"
#include "test_util.hpp"

namespace {

using namespace tu;
using nimbra::ErrorKind;
using nimbra::FaultKind;
using nimbra::Tensor;
using nimbra::nn::Linear;
using nimbra::random::Generator;
using nimbra::random::Key;

// Published ChaCha12 key cases: the all-zero key, and a patterned one.
Key zero_key() { return Key{}; }
Key patterned_key() {
  const std::uint8_t bytes[32] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                  0xbb, 0xcc, 0xdd, 0xee, 0xff, 0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa,
                                  0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
  Key k;
  std::copy(std::begin(bytes), std::end(bytes), k.begin());
  return k;
}

float next_down(float x) { return from_bits(bits(x) - 1); }

// The sampler recipe on [low, high), written out: scale = high - low, shrunk
// while the largest draw would reach high; a word becomes
// (u + -1) * scale + low with u in [1, 2) carrying the word's top 23 bits.
struct RefSampler {
  float low, scale;
  RefSampler(float lo, float hi) : low(lo), scale(hi - lo) {
    while (scale * 0.99999988f + low >= hi) scale = next_down(scale);
  }
  float operator()(std::uint32_t word) const {
    const float u = from_bits((word >> 9) | 0x3F800000u);
    return (u + -1.0f) * scale + low;
  }
};

float weight_bound(std::uint64_t in) { return std::sqrt(6.0f / static_cast<float>(in)); }
float bias_bound(std::uint64_t in) { return 1.0f / std::sqrt(static_cast<float>(in)); }

// ---- t() -----------------------------------------------------------------------------------

TEST(TwoDTranspose, IsATransposeViewOfTwoDimensionalTensors) {
  const Tensor x = make(iota(6), {2, 3});
  nimbra::Result<Tensor> r = nimbra::nn::t(x);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(to_vec(r.value().shape()), (U64s{3, 2}));
  EXPECT_EQ(to_vec(r.value().strides()), (U64s{1, 3}));
  EXPECT_EQ(r.value().storage().buffer(), x.storage().buffer());
  EXPECT_TRUE(same_values({0, 3, 1, 4, 2, 5}, r.value().data_f32()));
  // Of a view: back to the original layout.
  const Tensor back = nimbra::nn::t(r.value()).value();
  EXPECT_EQ(to_vec(back.strides()), (U64s{3, 1}));
  EXPECT_TRUE(same_values(iota(6), back.data_f32()));
  EXPECT_EQ(to_vec(nimbra::nn::t(Tensor::zeros(U64s{0, 4})).value().shape()), (U64s{4, 0}));
}

TEST(TwoDTranspose, OtherRanksAreInvalidOperations) {
  for (const U64s& shape : {U64s{}, U64s{3}, U64s{2, 3, 4}, U64s{0}, U64s{1, 1, 1, 1, 1, 1, 1}}) {
    nimbra::Result<Tensor> r = nimbra::nn::t(Tensor::ones(shape));
    ASSERT_FALSE(r.ok()) << render(shape);
    ASSERT_EQ(r.error().kind(), ErrorKind::InvalidOperation) << render(shape);
    EXPECT_EQ(r.error().get<nimbra::err::InvalidOperation>()->text, "t() only works on 2D tensors");
    EXPECT_EQ(r.error().display(), "Invalid operation: t() only works on 2D tensors");
  }
}

// ---- the sampler ------------------------------------------------------------------------------

// Bounds of the two initialisers in single precision for a few fan-ins.
TEST(LinearInit, BoundsInSinglePrecision) {
  struct Case {
    std::uint64_t in;
    float w, c;
  } cases[] = {{1, 2.4494898f, 1.0f}, {3, 1.4142135f, 0.57735026f}, {4, 1.2247449f, 0.5f}, {64, 0.30618623f, 0.125f}};
  for (const Case& c : cases) {
    EXPECT_EQ(bits(weight_bound(c.in)), bits(c.w)) << c.in;
    EXPECT_EQ(bits(bias_bound(c.in)), bits(c.c)) << c.in;
  }
}

TEST(LinearInit, SamplerScaleAndExtremeWords) {
  // Symmetric ranges of the initialisers, and lopsided ones where the
  // shrinking loop has work to do.
  std::vector<std::pair<float, float>> ranges;
  for (std::uint64_t in : {1ull, 2ull, 3ull, 4ull, 7ull, 64ull, 1000ull, 1ull << 20, 1ull << 40}) {
    ranges.push_back({-weight_bound(in), weight_bound(in)});
    ranges.push_back({-bias_bound(in), bias_bound(in)});
  }
  ranges.insert(ranges.end(), {{1.0f, 1.5f}, {-3.0f, 1.0f}, {100.0f, 101.0f}, {0.0f, 1e-30f}, {-1.0f, 1e-7f}});
  int shrunk = 0;
  for (const auto& [lo, hi] : ranges) {
    const RefSampler ref(lo, hi);
    const nimbra::nn::UniformSampler s(lo, hi);
    shrunk += bits(ref.scale) != bits(hi - lo);
    EXPECT_EQ(bits(s.scale()), bits(ref.scale)) << lo << " " << hi;
    EXPECT_EQ(bits(s(0u)), bits(lo)) << "the smallest word gives low exactly";
    EXPECT_LT(s(0xFFFFFFFFu), hi) << "no word reaches high";
    for (std::uint32_t w : {0x6a9af49bu, 0x80000000u, 0x000001FFu, 0x00000200u, 0xFFFFFE00u, 0x12345678u})
      EXPECT_EQ(bits(s(w)), bits(ref(w))) << lo << " " << hi << " word " << w;
  }
  EXPECT_GT(shrunk, 0) << "the table should include ranges where the scale shrinks";
}

TEST(LinearInit, SamplerRefusesEmptyOrInfiniteRanges) {
  for (const auto& [lo, hi] : {std::pair{1.0f, 1.0f}, std::pair{2.0f, 1.0f}, std::pair{-kInf, 0.0f},
                               std::pair{0.0f, kInf}, std::pair{-3e38f, 3e38f}, std::pair{kNaN, 1.0f}}) {
    EXPECT_TRUE(faults(FaultKind::Precondition, [&] { (void)nimbra::nn::UniformSampler(lo, hi); }))
        << lo << " " << hi;
  }
}

// ---- construction from a known key -------------------------------------------------------------

// The generator keyed with the all-zero key hands out the published keystream.
TEST(LinearConstruction, KnownKeyStreamStartsAsPublished) {
  Generator g(zero_key(), 0, nullptr);
  EXPECT_EQ(g.next_u32(), 0x6a9af49bu);
  EXPECT_EQ(g.next_u32(), 0x53f95507u);
  // The uniform recipe's first value for that word.
  EXPECT_EQ(from_bits((0x6a9af49bu >> 9) | 0x3F800000u) - 1.0f, 0.4164268970489502f);
}

struct DrawCase {
  std::uint64_t in, out;
};
void PrintTo(const DrawCase& c, std::ostream* os) { *os << "in " << c.in << " out " << c.out; }

class LinearDraws : public ::testing::TestWithParam<DrawCase> {};

// Weights fill [out, in] row-major from the next out*in words, then the bias
// takes the next out words; nothing else is drawn.
TEST_P(LinearDraws, ParametersAreTheSamplerValuesOfTheNextWords) {
  const DrawCase& c = GetParam();
  for (const Key& key : {zero_key(), patterned_key()}) {
    Generator g(key, 0, nullptr), g2(key, 0, nullptr);
    const Linear layer = Linear::create(c.in, c.out, g);
    const float w = weight_bound(c.in), b = bias_bound(c.in);
    const RefSampler wdraw(-w, w), bdraw(-b, b);
    Floats want_w(c.out * c.in), want_b(c.out);
    for (float& v : want_w) v = wdraw(g2.next_u32());
    for (float& v : want_b) v = bdraw(g2.next_u32());
    EXPECT_TRUE(same_tensor({c.out, c.in}, want_w, layer.weight()));
    ASSERT_TRUE(layer.bias().has_value());
    EXPECT_TRUE(same_tensor({c.out}, want_b, *layer.bias()));
    EXPECT_EQ(layer.in_features(), c.in);
    EXPECT_EQ(layer.out_features(), c.out);
    // Every value inside its bound.
    for (float v : want_w) ASSERT_TRUE(v >= -w && v < w) << v;
    for (float v : want_b) ASSERT_TRUE(v >= -b && v < b) << v;
    // The stream continues right after the last bias value.
    EXPECT_EQ(g.next_u32(), g2.next_u32());
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LinearDraws,
                         ::testing::Values(DrawCase{1, 1}, DrawCase{3, 2}, DrawCase{4, 5}, DrawCase{64, 3},
                                           DrawCase{1, 70}, DrawCase{64, 40}, DrawCase{3, 0}));

TEST(LinearConstruction, FirstWeightOfTheZeroKey) {
  Generator g(zero_key(), 0, nullptr);
  const Linear layer = Linear::create(1, 1, g);
  // u - 1 = 0.4164268970489502 for the first word; w = 2.4494898.
  const float w = 2.4494898f;
  EXPECT_EQ(bits(layer.weight().data_f32()[0]), bits(0.4164268970489502f * (w + w) + -w));
}

TEST(LinearConstruction, ConsecutiveLayersContinueTheStream) {
  Generator g(patterned_key(), 0, nullptr), g2(patterned_key(), 0, nullptr);
  const Linear first = Linear::create(3, 2, g);
  const Linear second = Linear::create(3, 2, g);
  const Linear first_again = Linear::create(3, 2, g2);
  EXPECT_TRUE(same_tensor(first.weight(), first_again.weight()));
  EXPECT_FALSE(same_values(first.weight().data_f32(), second.weight().data_f32()));
  // From the calling thread's own generator: different parameters each time.
  const Linear a = Linear::create(8, 8), b = Linear::create(8, 8);
  EXPECT_FALSE(same_values(a.weight().data_f32(), b.weight().data_f32()));
  EXPECT_EQ(to_vec(a.weight().shape()), (U64s{8, 8}));
}

// in_features 0 makes the weight range infinite: refused before anything is
// drawn, whatever out_features is.
TEST(LinearConstruction, ZeroInputsIsAPreconditionAndDrawsNothing) {
  for (std::uint64_t out : {0ull, 1ull, 5ull}) {
    Generator g(zero_key(), 0, nullptr), g2(zero_key(), 0, nullptr);
    EXPECT_TRUE(faults(FaultKind::Precondition, [&] { (void)Linear::create(0, out, g); })) << out;
    EXPECT_EQ(g.next_u32(), g2.next_u32()) << "a refused layer must not advance the stream";
  }
}

TEST(LinearConstruction, SizesBeyond64BitsArePreconditionsAndDrawNothing) {
  Generator g(zero_key(), 0, nullptr), g2(zero_key(), 0, nullptr);
  EXPECT_TRUE(faults(FaultKind::Precondition, [&] { (void)Linear::create(1ull << 33, 1ull << 33, g); }));
  EXPECT_TRUE(faults(FaultKind::Precondition, [&] { (void)Linear::create(3, ~0ull, g); }));
  EXPECT_EQ(g.next_u32(), g2.next_u32());
}

TEST(LinearConstruction, ZeroOutputsIsAnEmptyLayer) {
  for (std::uint64_t in : {3ull, 1ull << 40, ~0ull}) {
    Generator g(zero_key(), 0, nullptr), g2(zero_key(), 0, nullptr);
    const Linear layer = Linear::create(in, 0, g);
    EXPECT_TRUE(same_tensor({0, in}, {}, layer.weight()));
    EXPECT_TRUE(same_tensor({0}, {}, *layer.bias()));
    EXPECT_EQ(g.next_u32(), g2.next_u32()) << "nothing is drawn for no parameters";
  }
}

TEST(LinearForward, ZeroOutputsGivesAnEmptyResult) {
  Generator g(zero_key(), 0, nullptr);
  const Linear layer = Linear::create(3, 0, g);
  // add([4, 0], [0]) takes the broadcast path with an empty result.
  EXPECT_TRUE(same_tensor({4, 0}, {}, layer.forward(Tensor::ones(U64s{4, 3}))));
}

// ---- forward --------------------------------------------------------------------------------

struct ForwardCase {
  std::uint64_t in, out;
  U64s input;
};
void PrintTo(const ForwardCase& c, std::ostream* os) { *os << c.in << "->" << c.out << " on " << render(c.input); }

class LinearForward : public ::testing::TestWithParam<ForwardCase> {};

// forward(x) is add(matmul(x, t(weight)), bias), bit for bit, for plain and
// strided inputs of any batch rank; repeated calls agree and change nothing.
TEST_P(LinearForward, IsMatmulWithTransposedWeightPlusBias) {
  const ForwardCase& c = GetParam();
  Generator g(patterned_key(), 0, nullptr);
  const Linear layer = Linear::create(c.in, c.out, g);
  const Floats weight_before = layer.weight().data_f32();
  const Floats xv = values(nimbra::numel_of(c.input), 17 + c.in, true);
  U64s out_shape = c.input;
  out_shape.back() = c.out;

  const Tensor x = make(xv, c.input);
  const Tensor wt = nimbra::nn::t(layer.weight()).value();
  const Tensor want = nimbra::add(nimbra::matmul(x, wt).value(), *layer.bias()).value();
  ASSERT_EQ(to_vec(want.shape()), out_shape);

  // The same with a plain dot-product chain and a scalar bias add.
  const Floats w = layer.weight().data_f32(), b = layer.bias()->data_f32();
  Floats manual(nimbra::numel_of(out_shape));
  for (std::uint64_t row = 0; row < manual.size() / std::max<std::uint64_t>(c.out, 1); ++row)
    for (std::uint64_t o = 0; o < c.out; ++o) {
      float acc = 0.0f;
      for (std::uint64_t i = 0; i < c.in; ++i) acc = acc + xv[row * c.in + i] * w[o * c.in + i];
      manual[row * c.out + o] = acc + b[o];
    }
  EXPECT_TRUE(same_values(manual, want.data_f32()));

  EXPECT_TRUE(same_tensor(want, layer.forward(x)));
  EXPECT_TRUE(same_tensor(want, layer.forward(x))) << "a second call gives the same bits";
  for (const Layout& l : kLayouts) EXPECT_TRUE(same_tensor(want, layer.forward(with_layout(xv, c.input, l)))) << l.name;
  EXPECT_TRUE(same_tensor(want, layer.forward(transposed_view(xv, c.input))));
  EXPECT_TRUE(same_values(weight_before, layer.weight().data_f32()));
}

INSTANTIATE_TEST_SUITE_P(Shapes, LinearForward,
                         ::testing::Values(ForwardCase{3, 2, {4, 3}}, ForwardCase{3, 2, {1, 3}},
                                           ForwardCase{3, 2, {5, 4, 3}}, ForwardCase{3, 2, {2, 3, 4, 3}},
                                           ForwardCase{1, 1, {7, 1}}, ForwardCase{64, 10, {33, 64}},
                                           ForwardCase{70, 66, {3, 5, 70}}, ForwardCase{4, 5, {0, 4}},
                                           ForwardCase{4, 5, {2, 0, 4}},
                                           // the layers of small networks on a few rows
                                           ForwardCase{784, 256, {1, 784}}, ForwardCase{784, 256, {3, 784}},
                                           ForwardCase{256, 10, {1, 256}}, ForwardCase{64, 128, {1, 64}},
                                           ForwardCase{128, 10, {2, 128}}, ForwardCase{300, 97, {1, 300}}));

// forward multiplies by weightᵀ in row-major order: the weight's own storage
// when the weight is the transpose of a row-major matrix, else a copy made
// once, with the layer.
TEST(LinearForward, RowMajorTransposeIsSharedOrCopiedOnce) {
  const Floats bv = values(4, 6);
  const Linear plain = Linear::from_parameters(make(values(12, 5), {4, 3}), make(bv, {4})).value();
  EXPECT_EQ(to_vec(plain.weight_t().strides()), (U64s{4, 1}));
  EXPECT_NE(plain.weight_t().storage().buffer(), plain.weight().storage().buffer());
  EXPECT_TRUE(same_tensor(nimbra::nn::t(plain.weight()).value(), plain.weight_t()));

  const Tensor rows = make(values(12, 7), {3, 4});
  const Linear shared = Linear::from_parameters(nimbra::transpose(rows, 0, 1).value(), make(bv, {4})).value();
  EXPECT_EQ(shared.weight_t().storage().buffer(), rows.storage().buffer());
  EXPECT_TRUE(same_tensor(rows, shared.weight_t()));
}

TEST(LinearForwardErrors, WrongInputsArePreconditionsNamingTheSizes) {
  Generator g(zero_key(), 0, nullptr);
  const Linear layer = Linear::create(3, 2, g);
  const Floats weight_before = layer.weight().data_f32();
  struct Case {
    U64s input;
    const char* shape_text;
  } cases[] = {{{3}, "[3]"}, {{}, "[]"}, {{4, 5}, "[4, 5]"}, {{2, 3, 2}, "[2, 3, 2]"}, {{3, 0}, "[3, 0]"}};
  for (const Case& c : cases) {
    try {
      (void)layer.forward(Tensor::ones(c.input));
      ADD_FAILURE() << render(c.input) << " was accepted";
    } catch (const nimbra::InternalFault& e) {
      EXPECT_EQ(e.kind(), FaultKind::Precondition) << e.what();
      const std::string what = e.what();
      EXPECT_NE(what.find("3"), std::string::npos) << what;  // the expected in_features
      EXPECT_NE(what.find(c.shape_text), std::string::npos) << what;
    }
  }
  EXPECT_TRUE(same_values(weight_before, layer.weight().data_f32())) << "a failed call changes nothing";
}

}  // namespace
