// Element-wise add / sub / mul at tensor level: the broadcast rule and its
// errors, both computation paths against a plain per-element reference and
// against each other, views against their contiguous copies, IEEE special
// values, zero sizes, and the pool battery with several workers.
#include <gtest/gtest.h>

#include <cstdlib>

#include "nimbra/runtime/pool.hpp"
#include "test_util.hpp"

namespace {

using namespace tu;
using nimbra::ErrorKind;
using nimbra::Tensor;

// This binary runs its pool with four workers (more than the two cores of
// the build machine, so pieces really are taken by other threads); the
// one-worker binary holds the same battery to the same references.
const bool kFourWorkers = [] { return setenv("RAYON_NUM_THREADS", "4", 1) == 0; }();

TEST(ArithmeticPool, RunsOnFourWorkers) {
  ASSERT_TRUE(kFourWorkers);
  EXPECT_EQ(nimbra::runtime::worker_count(), 4u);
}

// ---- broadcast_shape -----------------------------------------------------------

struct ShapeCase {
  U64s a, b;
  std::optional<U64s> want;  // nothing: BroadcastError
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << render(c.a) << " with " << render(c.b); }

class BroadcastShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(BroadcastShape, RightAligned) {
  const ShapeCase& c = GetParam();
  for (bool swapped : {false, true}) {
    const U64s& a = swapped ? c.b : c.a;
    const U64s& b = swapped ? c.a : c.b;
    nimbra::Result<nimbra::Shape> got = nimbra::broadcast_shape(a, b);
    if (c.want) {
      ASSERT_TRUE(got.ok()) << render(a) << " " << render(b) << ": " << got.error().display();
      EXPECT_EQ(to_vec(got.value()), *c.want) << render(a) << " " << render(b);
    } else {
      ASSERT_FALSE(got.ok()) << render(a) << " " << render(b);
      const auto* e = got.error().get<nimbra::err::BroadcastError>();
      ASSERT_NE(e, nullptr) << got.error().debug();
      EXPECT_EQ(e->a, a);  // the whole shapes, not the clashing entries
      EXPECT_EQ(e->b, b);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BroadcastShape,
    ::testing::Values(ShapeCase{{}, {}, U64s{}}, ShapeCase{{}, {2, 3}, U64s{2, 3}},
                      ShapeCase{{2, 3}, {3}, U64s{2, 3}}, ShapeCase{{2, 1}, {1, 3}, U64s{2, 3}},
                      ShapeCase{{2, 3}, {1, 2, 3}, U64s{1, 2, 3}}, ShapeCase{{4, 1, 3}, {5, 1}, U64s{4, 5, 3}},
                      ShapeCase{{0, 3}, {1, 3}, U64s{0, 3}}, ShapeCase{{0}, {1}, U64s{0}},
                      ShapeCase{{0}, {0}, U64s{0}}, ShapeCase{{1, 0}, {7, 1}, U64s{7, 0}},
                      ShapeCase{{1, 1, 1, 1, 1, 1, 1}, {2}, U64s{1, 1, 1, 1, 1, 1, 2}},
                      ShapeCase{{2, 3}, {2}, std::nullopt}, ShapeCase{{2, 3}, {3, 2}, std::nullopt},
                      ShapeCase{{0}, {5}, std::nullopt}, ShapeCase{{0}, {2}, std::nullopt},
                      ShapeCase{{3, 1, 4}, {2, 4}, U64s{3, 2, 4}}, ShapeCase{{3, 2, 4}, {3, 4}, std::nullopt},
                      ShapeCase{{2, 1, 1, 1, 1, 1, 1}, {3, 1, 1, 1, 1, 1, 1}, std::nullopt}));

TEST(BroadcastStrides, RowMajorStepsWithZerosWhereStretchedOrMissing) {
  struct Case {
    U64s operand, out, want;
  } cases[] = {
      {{2, 3}, {2, 3}, {3, 1}},       {{3}, {2, 3}, {0, 1}},         {{2, 1}, {2, 3}, {1, 0}},
      {{1, 3}, {2, 3}, {0, 1}},       {{}, {4, 5}, {0, 0}},          {{4, 1, 3}, {2, 4, 5, 3}, {0, 3, 0, 1}},
      {{1, 1}, {1, 1}, {1, 1}},       {{0, 3}, {0, 3}, {3, 1}},      {{5, 1, 2}, {5, 7, 2}, {2, 0, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_vec(nimbra::broadcast_strides(c.operand, c.out)), c.want)
        << render(c.operand) << " against " << render(c.out);
  }
}

// ---- errors ---------------------------------------------------------------------

TEST(ArithmeticErrors, BroadcastErrorCarriesBothWholeShapesInOperandOrder) {
  struct Case {
    U64s a, b;
    const char* text;
  } cases[] = {
      {{2, 3}, {2}, "Cannot broadcast shapes [2, 3] and [2]"},
      {{2}, {2, 3}, "Cannot broadcast shapes [2] and [2, 3]"},
      {{2, 3}, {3, 2}, "Cannot broadcast shapes [2, 3] and [3, 2]"},
      {{0}, {5}, "Cannot broadcast shapes [0] and [5]"},
      {{7, 2, 3, 4}, {5, 1, 1}, "Cannot broadcast shapes [7, 2, 3, 4] and [5, 1, 1]"},
  };
  for (const Case& c : cases) {
    Tensor a = Tensor::ones(c.a), b = Tensor::ones(c.b);
    for (Op op : {Op::Add, Op::Sub, Op::Mul}) {
      nimbra::Result<Tensor> r = run(op, a, b);
      ASSERT_FALSE(r.ok()) << op_name(op) << " " << c.text;
      ASSERT_EQ(r.error().kind(), ErrorKind::BroadcastError);
      const auto* e = r.error().get<nimbra::err::BroadcastError>();
      EXPECT_EQ(e->a, c.a);
      EXPECT_EQ(e->b, c.b);
      EXPECT_EQ(r.error().display(), c.text);
    }
  }
}

// ---- values against the per-element reference --------------------------------------

struct PairCase {
  U64s a, b;
};
std::string pair_name(const ::testing::TestParamInfo<PairCase>& info) {
  std::string s = "a";
  for (auto d : info.param.a) s += "_" + std::to_string(d);
  s += "_b";
  for (auto d : info.param.b) s += "_" + std::to_string(d);
  return s + "_" + std::to_string(info.index);
}

const PairCase kPairs[] = {
    {{2, 3}, {2, 3}},       {{2, 3}, {3}},          {{3}, {2, 3}},          {{2, 1}, {1, 3}},
    {{2, 3}, {1, 2, 3}},    {{1, 2, 3}, {2, 3}},    {{}, {2, 2}},           {{2, 2}, {}},
    {{}, {}},               {{4, 1, 3}, {5, 1}},    {{3, 1, 4}, {3, 5, 4}}, {{1, 4, 1, 5}, {3, 1, 2, 1}},
    {{6, 1}, {6, 7}},       {{1, 7}, {6, 7}},       {{1}, {9}},             {{9}, {1}},
    {{2, 2, 2, 2, 2, 2, 2}, {2}},  {{2, 1, 2, 1, 2, 1, 2}, {1, 2, 1, 2, 1, 2, 1}},
    {{1, 1, 1, 5}, {5, 1, 1, 1}},  {{70, 1}, {1, 70}},  {{3, 64, 1}, {1, 65}},
};
const PairCase kZeroPairs[] = {
    {{0, 3}, {1, 3}}, {{0}, {1}}, {{1}, {0}}, {{0}, {0}}, {{2, 0, 3}, {3}}, {{1, 0}, {5, 1}},
    {{0, 3}, {}},     {{4, 0}, {4, 0}}, {{3, 0}, {3, 1}}, {{}, {0, 2}},
};

void PrintTo(const PairCase& c, std::ostream* os) { *os << render(c.a) << " with " << render(c.b); }

class ArithmeticValues : public ::testing::TestWithParam<PairCase> {};

void check_pair(const PairCase& c, std::uint64_t seed) {
  const Floats av = values(nimbra::numel_of(c.a), seed, true);
  const Floats bv = values(nimbra::numel_of(c.b), seed + 7, true);
  const U64s out = *ref_broadcast(c.a, c.b);
  Tensor a = make(av, c.a), b = make(bv, c.b);
  for (Op op : {Op::Add, Op::Sub, Op::Mul}) {
    const Floats want = ref_binary(op, av, c.a, bv, c.b, out);
    nimbra::Result<Tensor> got = run(op, a, b);
    ASSERT_TRUE(got.ok()) << op_name(op) << ": " << got.error().display();
    EXPECT_TRUE(same_tensor(out, want, got.value())) << op_name(op) << " plain";
    // The same logical values in other layouts give the same bits.
    for (const Layout& la : kLayouts) {
      Tensor va = with_layout(av, c.a, la);
      Tensor vb = with_layout(bv, c.b, kLayouts[(&la - kLayouts + 1) % kLayoutCount]);
      EXPECT_TRUE(same_tensor(out, want, run(op, va, b).value())) << op_name(op) << " left " << la.name;
      EXPECT_TRUE(same_tensor(out, want, run(op, a, vb).value())) << op_name(op) << " right";
      EXPECT_TRUE(same_tensor(out, want, run(op, va, vb).value())) << op_name(op) << " both";
    }
  }
  // Operands are never changed, and results have storage of their own.
  EXPECT_TRUE(same_values(av, a.data_f32()));
  EXPECT_TRUE(same_values(bv, b.data_f32()));
}

TEST_P(ArithmeticValues, MatchReferenceInEveryLayout) { check_pair(GetParam(), 11); }

INSTANTIATE_TEST_SUITE_P(Shapes, ArithmeticValues, ::testing::ValuesIn(kPairs), pair_name);

class ArithmeticZeroSize : public ::testing::TestWithParam<PairCase> {};

TEST_P(ArithmeticZeroSize, EmptyResultOfTheBroadcastShape) {
  const PairCase& c = GetParam();
  // Unequal shapes take the broadcast path, whose row walker is also called
  // for an empty range and divides by the zero size (SIGFPE).
  check_pair(c, 3);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ArithmeticZeroSize, ::testing::ValuesIn(kZeroPairs), pair_name);

// Random shape pairs of rank 0 to 5: sizes 1 to 4, with dimensions dropped or
// set to 1 on one side, in random layouts.
TEST(ArithmeticValues, RandomBroadcastPairs) {
  Lcg g(2024);
  for (int iter = 0; iter < 250; ++iter) {
    const std::size_t r = g.next() % 6;
    U64s a(r), b(r);
    for (std::size_t d = 0; d < r; ++d) {
      a[d] = b[d] = 1 + g.next() % 4;
      const std::uint32_t pick = g.next() % 4;
      if (pick == 0) a[d] = 1;
      if (pick == 1) b[d] = 1;
    }
    a.erase(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(g.next() % 3, r)));
    const Floats av = values(nimbra::numel_of(a), g.next(), true);
    const Floats bv = values(nimbra::numel_of(b), g.next(), true);
    const U64s out = *ref_broadcast(a, b);
    const Op op = static_cast<Op>(g.next() % 3);
    Tensor ta = g.next() % 2 ? with_layout(av, a, kLayouts[g.next() % kLayoutCount]) : make(av, a);
    Tensor tb = g.next() % 2 ? with_layout(bv, b, kLayouts[g.next() % kLayoutCount]) : make(bv, b);
    nimbra::Result<Tensor> got = run(op, ta, tb);
    ASSERT_TRUE(got.ok()) << render(a) << " " << render(b);
    ASSERT_TRUE(same_tensor(out, ref_binary(op, av, a, bv, b, out), got.value()))
        << op_name(op) << " " << render(a) << " with " << render(b) << " (iteration " << iter << ")";
  }
}

// ---- facts the reference alone does not show --------------------------------------------

TEST(ArithmeticValues, WorkedExample) {
  Tensor a = make({1, 2}, {2, 1});
  Tensor b = make({10, 20, 30}, {3});
  EXPECT_TRUE(same_tensor({2, 3}, {11, 21, 31, 12, 22, 32}, nimbra::add(a, b).value()));
  EXPECT_TRUE(same_tensor({2, 3}, {-9, -19, -29, -8, -18, -28}, nimbra::sub(a, b).value()));
  EXPECT_TRUE(same_tensor({2, 3}, {10, 20, 30, 20, 40, 60}, nimbra::mul(a, b).value()));
  // The left operand is always the minuend, also when it is the smaller one.
  EXPECT_TRUE(same_tensor({2, 3}, {9, 19, 29, 8, 18, 28}, nimbra::sub(b, a).value()));
}

TEST(ArithmeticValues, EqualShapeAndBroadcastPathsGiveTheSameBits) {
  const Floats av = values(6, 1, true), bv = values(6, 2, true);
  for (Op op : {Op::Add, Op::Sub, Op::Mul}) {
    const Floats equal = run(op, make(av, {2, 3}), make(bv, {2, 3})).value().data_f32();
    EXPECT_TRUE(same_tensor({1, 2, 3}, equal, run(op, make(av, {2, 3}), make(bv, {1, 2, 3})).value()));
    EXPECT_TRUE(same_tensor({1, 2, 3}, equal, run(op, make(av, {1, 2, 3}), make(bv, {2, 3})).value()));
    EXPECT_TRUE(same_tensor({2, 1, 3}, equal, run(op, make(av, {2, 1, 3}), make(bv, {2, 1, 3})).value()));
  }
}

TEST(ArithmeticValues, ZeroDimensionalOperands) {
  Tensor s = nimbra::sum(make({1, 2, 3}, {3}));  // a 0-d 6.0
  Tensor m = make({1, -2, 3, -4}, {2, 2});
  EXPECT_TRUE(same_tensor({2, 2}, {7, 4, 9, 2}, nimbra::add(s, m).value()));
  EXPECT_TRUE(same_tensor({2, 2}, {-5, -8, -3, -10}, nimbra::sub(m, s).value()));
  EXPECT_TRUE(same_tensor({}, {36}, nimbra::mul(s, s).value()));
}

TEST(ArithmeticValues, IeeeSpecialsAndNoFlushToZero) {
  const float tiny = from_bits(0x00000123u);  // subnormals stay, nothing is flushed
  struct Case {
    Op op;
    float x, y, want;
  } cases[] = {
      {Op::Sub, kInf, kInf, kNaN},       {Op::Mul, 0.0f, kInf, kNaN},       {Op::Add, kInf, -kInf, kNaN},
      {Op::Add, -0.0f, -0.0f, -0.0f},    {Op::Add, -0.0f, 0.0f, 0.0f},      {Op::Sub, 0.0f, 0.0f, 0.0f},
      {Op::Sub, -0.0f, 0.0f, -0.0f},     {Op::Mul, -0.0f, 5.0f, -0.0f},     {Op::Mul, 3e38f, 3e38f, kInf},
      {Op::Add, tiny, tiny, from_bits(0x00000246u)}, {Op::Mul, 0x1p-70f, 0x1p-70f, 0x1p-140f}, {Op::Sub, tiny, 0.0f, tiny},
      {Op::Add, kNaN, 1.0f, kNaN},       {Op::Mul, kNaN, 0.0f, kNaN},       {Op::Add, 16777216.0f, 1.0f, 16777216.0f},
  };
  for (const Case& c : cases) {
    const Floats xs(9, c.x), ys(9, c.y);
    const Floats want(9, c.want);
    const Tensor x = make(xs, {9}), y = make(ys, {9});
    EXPECT_TRUE(same_tensor({9}, want, run(c.op, x, y).value())) << op_name(c.op) << " " << describe(c.x)
                                                                  << ", " << describe(c.y) << " equal shapes";
    EXPECT_TRUE(same_tensor({3, 9}, Floats(27, c.want), run(c.op, make(Floats(3, c.x), {3, 1}), y).value()))
        << op_name(c.op) << " " << describe(c.x) << ", " << describe(c.y) << " broadcast";
  }
}

TEST(ArithmeticValues, OperandsSharingOneBuffer) {
  const Floats v = values(12, 9, true);
  Tensor x = make(v, {3, 4});
  Tensor xt = nimbra::transpose(make(v, {4, 3}), 0, 1).value();
  for (Op op : {Op::Add, Op::Sub, Op::Mul}) {
    EXPECT_TRUE(same_tensor({3, 4}, ref_binary(op, v, {3, 4}, v, {3, 4}, {3, 4}), run(op, x, x).value()));
    const Floats tv = xt.data_f32();
    EXPECT_TRUE(same_tensor({3, 4}, ref_binary(op, v, {3, 4}, tv, {3, 4}, {3, 4}), run(op, x, xt).value()));
    // A result never shares its operands' storage.
    Tensor r = run(op, x, x).value();
    EXPECT_NE(r.storage().buffer(), x.storage().buffer());
  }
}

// A transposed view combined with a plain tensor of its shape follows the
// view's logical order, not its storage order.
TEST(ArithmeticValues, TransposedViewFollowsLogicalOrder) {
  Tensor src = make({0, 1, 2, 3, 4, 5}, {2, 3});
  Tensor view = nimbra::transpose(src, 0, 1).value();  // [[0, 3], [1, 4], [2, 5]]
  EXPECT_TRUE(same_tensor({3, 2}, {0, 30, 10, 40, 20, 50}, nimbra::mul(view, Tensor::full(U64s{3, 2}, 10.0f)).value()));
  EXPECT_TRUE(same_tensor({3, 2}, {0, 3, 1, 4, 2, 5}, nimbra::add(view, make({0, 0}, {2})).value()));
}

// ---- the pool battery, several workers ---------------------------------------------------

TEST(ArithmeticPool, BatteryMatchesReference) {
  for (int layout_seed = 0; layout_seed < 6; ++layout_seed) check_arith_battery(layout_seed);
}

TEST(ArithmeticPool, RepeatedRunsAreBitIdentical) {
  const Floats av = values(4099, 77, true), bv = values(4099, 78, true);
  Tensor a = make(av, {4099}), b = make(bv, {4099});
  Tensor col = make(values(97, 79, true), {97, 1}), row = make(values(89, 80, true), {1, 89});
  const Floats first = nimbra::mul(a, b).value().data_f32();
  const Floats first_bc = nimbra::sub(col, row).value().data_f32();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(same_values(first, nimbra::mul(a, b).value().data_f32())) << "run " << i;
    ASSERT_TRUE(same_values(first_bc, nimbra::sub(col, row).value().data_f32())) << "run " << i;
  }
}

}  // namespace
