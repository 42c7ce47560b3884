// transpose, reshape and basic indexing: views that share storage (shape,
// strides, offset), gathered copies of non-row-major sources, and their
// errors.
#include <gtest/gtest.h>

#include <variant>

#include "test_util.hpp"

namespace {

using namespace tu;
using nimbra::ErrorKind;
using nimbra::FaultKind;
using nimbra::Tensor;

// Element (multi-index) of a row-major array of `shape`.
std::uint64_t flat(const U64s& shape, const U64s& index) {
  std::uint64_t p = 0;
  for (std::size_t d = 0; d < shape.size(); ++d) p = p * shape[d] + index[d];
  return p;
}

// The row-major values of `values` (shape `shape`) with dimensions d0 and d1
// swapped, computed index by index.
Floats ref_transpose(const Floats& values, const U64s& shape, std::size_t d0, std::size_t d1) {
  U64s out = shape;
  std::swap(out[d0], out[d1]);
  const std::uint64_t n = nimbra::numel_of(out);
  Floats result(n);
  U64s index(out.size(), 0);
  for (std::uint64_t i = 0; i < n; ++i) {
    U64s src = index;
    std::swap(src[d0], src[d1]);
    result[i] = values[flat(shape, src)];
    for (std::size_t d = out.size(); d-- > 0;) {
      if (++index[d] < out[d]) break;
      index[d] = 0;
    }
  }
  return result;
}

void expect_view_of(const Tensor& view, const Tensor& source, const U64s& shape, const U64s& strides) {
  EXPECT_EQ(to_vec(view.shape()), shape);
  EXPECT_EQ(to_vec(view.strides()), strides);
  EXPECT_EQ(view.storage().buffer(), source.storage().buffer()) << "a view shares its source's buffer";
  EXPECT_EQ(view.storage().len(), source.storage().len());
  EXPECT_EQ(view.offset(), source.offset());
  EXPECT_FALSE(view.has_grad());
}

// ---- transpose ---------------------------------------------------------------------

struct TransposeCase {
  U64s shape;
  std::uint64_t d0, d1;
};
void PrintTo(const TransposeCase& c, std::ostream* os) { *os << render(c.shape) << " " << c.d0 << "<->" << c.d1; }

class Transpose : public ::testing::TestWithParam<TransposeCase> {};

TEST_P(Transpose, SwapsShapeAndStridesWithoutCopying) {
  const TransposeCase& c = GetParam();
  const Floats v = iota(nimbra::numel_of(c.shape));
  // A plain source and the same values in strided layouts (with offsets):
  // the swap uses the source's actual strides, so views of views compose.
  std::vector<Tensor> sources = {make(v, c.shape)};
  for (const Layout& l : kLayouts) sources.push_back(with_layout(v, c.shape, l));
  for (const Tensor& src : sources) {
    nimbra::Result<Tensor> r = nimbra::transpose(src, c.d0, c.d1);
    ASSERT_TRUE(r.ok()) << r.error().display();
    U64s shape = c.shape, strides = to_vec(src.strides());
    std::swap(shape[c.d0], shape[c.d1]);
    std::swap(strides[c.d0], strides[c.d1]);
    expect_view_of(r.value(), src, shape, strides);
    EXPECT_TRUE(same_values(ref_transpose(v, c.shape, c.d0, c.d1), r.value().data_f32()));
    // The same pair again gives back the first geometry and values.
    Tensor back = nimbra::transpose(r.value(), c.d1, c.d0).value();
    expect_view_of(back, src, c.shape, to_vec(src.strides()));
    EXPECT_TRUE(same_values(v, back.data_f32()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Transpose,
    ::testing::Values(TransposeCase{{2, 3}, 0, 1}, TransposeCase{{2, 3}, 1, 0}, TransposeCase{{2, 3}, 1, 1},
                      TransposeCase{{4}, 0, 0}, TransposeCase{{2, 3, 4}, 0, 2}, TransposeCase{{2, 3, 4}, 1, 2},
                      TransposeCase{{5, 1, 3}, 0, 1}, TransposeCase{{0, 3}, 0, 1}, TransposeCase{{3, 0, 2}, 2, 0},
                      TransposeCase{{2, 1, 3, 1, 2, 2, 3}, 0, 6}, TransposeCase{{2, 2, 2, 2, 2, 2, 2, 2}, 3, 5}));

TEST(Transpose, TwoByThreeExample) {
  Tensor src = make(iota(6), {2, 3});
  Tensor t = nimbra::transpose(src, 0, 1).value();
  expect_view_of(t, src, {3, 2}, {1, 3});
  EXPECT_TRUE(same_values({0, 3, 1, 4, 2, 5}, t.data_f32()));
  EXPECT_FALSE(t.is_contiguous());
  // Dropping the source leaves the view intact.
  src = Tensor::zeros(U64s{1});
  EXPECT_TRUE(same_values({0, 3, 1, 4, 2, 5}, t.data_f32()));
}

TEST(Transpose, OutOfRangeNamesTheLargerIndex) {
  struct Case {
    U64s shape;
    std::uint64_t d0, d1, dim;
    const char* text;
  } cases[] = {
      {{2, 3}, 0, 2, 2, "Dimension out of bounds: dim 2 for tensor with 2 dimensions"},
      {{2, 3}, 0, 5, 5, "Dimension out of bounds: dim 5 for tensor with 2 dimensions"},
      {{2, 3}, 7, 1, 7, "Dimension out of bounds: dim 7 for tensor with 2 dimensions"},
      {{2, 3}, 9, 4, 9, "Dimension out of bounds: dim 9 for tensor with 2 dimensions"},
      {{}, 0, 0, 0, "Dimension out of bounds: dim 0 for tensor with 0 dimensions"},
      {{4}, 1, 0, 1, "Dimension out of bounds: dim 1 for tensor with 1 dimensions"},
      {{2, 2, 2, 2, 2, 2, 2}, 7, 7, 7, "Dimension out of bounds: dim 7 for tensor with 7 dimensions"},
      {{2, 3}, 0, ~std::uint64_t{0}, ~std::uint64_t{0},
       "Dimension out of bounds: dim 18446744073709551615 for tensor with 2 dimensions"},
  };
  for (const Case& c : cases) {
    nimbra::Result<Tensor> r = nimbra::transpose(Tensor::ones(c.shape), c.d0, c.d1);
    ASSERT_FALSE(r.ok()) << c.text;
    const auto* e = r.error().get<nimbra::err::DimOutOfBounds>();
    ASSERT_NE(e, nullptr) << r.error().debug();
    EXPECT_EQ(e->dim, c.dim);
    EXPECT_EQ(e->ndim, c.shape.size());
    EXPECT_EQ(r.error().display(), c.text);
  }
}

// ---- reshape -------------------------------------------------------------------------

struct ReshapeCase {
  U64s from, to;
};
void PrintTo(const ReshapeCase& c, std::ostream* os) { *os << render(c.from) << " -> " << render(c.to); }

class ReshapeView : public ::testing::TestWithParam<ReshapeCase> {};

// A row-major source gives a view: same buffer and offset, the row-major
// strides of the new shape, the same elements in the same order.
TEST_P(ReshapeView, RowMajorSourceGivesAView) {
  const ReshapeCase& c = GetParam();
  const Floats v = iota(nimbra::numel_of(c.from), 1.0f);
  Tensor plain = make(v, c.from);
  // A row-major view that starts inside its storage keeps its offset.
  const Layout at_offset{"row_major_at_offset", Layout::RowMajor, 0, 4};
  for (const Tensor& src : {plain, with_layout(v, c.from, at_offset)}) {
    nimbra::Result<Tensor> r = nimbra::reshape(src, c.to);
    ASSERT_TRUE(r.ok()) << r.error().display();
    expect_view_of(r.value(), src, c.to, to_vec(nimbra::default_strides(c.to)));
    EXPECT_TRUE(same_values(v, r.value().data_f32()));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ReshapeView,
                         ::testing::Values(ReshapeCase{{2, 3}, {3, 2}}, ReshapeCase{{2, 3}, {6}},
                                           ReshapeCase{{2, 3}, {1, 6, 1}}, ReshapeCase{{2, 3}, {2, 3}},
                                           ReshapeCase{{}, {1}}, ReshapeCase{{}, {1, 1}}, ReshapeCase{{1}, {}},
                                           ReshapeCase{{0, 3}, {3, 0}}, ReshapeCase{{0, 3}, {0}},
                                           ReshapeCase{{4, 0}, {0, 7, 2}}, ReshapeCase{{24}, {2, 1, 3, 1, 2, 1, 2}},
                                           ReshapeCase{{2, 1, 3, 1, 2, 1, 2}, {4, 6}}));

class ReshapeCopy : public ::testing::TestWithParam<ReshapeCase> {};

// A source that is not row-major is gathered in logical order into a new
// tensor with storage of its own.
TEST_P(ReshapeCopy, StridedSourceGivesAGatheredCopy) {
  const ReshapeCase& c = GetParam();
  const Floats v = values(nimbra::numel_of(c.from), 5, true);
  for (const Layout& l : kLayouts) {
    Tensor src = with_layout(v, c.from, l);
    if (src.is_contiguous()) continue;  // a row-major view at an offset is covered above
    nimbra::Result<Tensor> r = nimbra::reshape(src, c.to);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_TRUE(same_tensor(c.to, v, r.value())) << l.name;
    EXPECT_NE(r.value().storage().buffer(), src.storage().buffer()) << l.name;
    EXPECT_EQ(r.value().storage().len(), v.size()) << l.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ReshapeCopy,
                         ::testing::Values(ReshapeCase{{2, 3}, {6}}, ReshapeCase{{2, 3}, {3, 2}},
                                           ReshapeCase{{3, 4, 5}, {60}}, ReshapeCase{{3, 4, 5}, {5, 3, 4}},
                                           ReshapeCase{{2, 2, 2, 2, 2, 2, 2}, {128}}));

TEST(Reshape, TransposedTwoByThreeIsCopiedInLogicalOrder) {
  Tensor src = make(iota(6), {2, 3});
  Tensor t = nimbra::transpose(src, 0, 1).value();
  Tensor r = nimbra::reshape(t, U64s{6}).value();
  EXPECT_TRUE(same_tensor({6}, {0, 3, 1, 4, 2, 5}, r));
  EXPECT_NE(r.storage().buffer(), src.storage().buffer());
  // Back to [3, 2] it is row-major now, so a further reshape is a view.
  Tensor again = nimbra::reshape(r, U64s{3, 2}).value();
  EXPECT_EQ(again.storage().buffer(), r.storage().buffer());
}

// Transposing a [1, 1] (or any shape whose swapped strides still equal the
// row-major ones) leaves it row-major: reshape stays a view.
TEST(Reshape, TransposeThatStaysRowMajorIsAView) {
  Tensor src = make({42}, {1, 1});
  Tensor t = nimbra::transpose(src, 0, 1).value();
  Tensor r = nimbra::reshape(t, U64s{1}).value();
  EXPECT_EQ(r.storage().buffer(), src.storage().buffer());
  EXPECT_TRUE(same_values({42}, r.data_f32()));
}

TEST(Reshape, ZeroDimensionalSourceIsAlwaysAView) {
  // A 0-d view inside a larger storage: reshape keeps its offset.
  Tensor base = make(iota(5), {5});
  Tensor scalar(nimbra::Shape{}, nimbra::Strides{}, base.storage(), 3);
  Tensor r = nimbra::reshape(scalar, U64s{1, 1}).value();
  expect_view_of(r, scalar, {1, 1}, {1, 1});
  EXPECT_TRUE(same_values({3}, r.data_f32()));
}

TEST(Reshape, ElementCountMismatchText) {
  struct Case {
    U64s from, to;
    const char* text;
  } cases[] = {
      {{2, 3}, {4}, "Cannot reshape tensor of 6 elements to shape [4]"},
      {{2, 3}, {}, "Cannot reshape tensor of 6 elements to shape []"},
      {{}, {0}, "Cannot reshape tensor of 1 elements to shape [0]"},
      {{0, 3}, {1}, "Cannot reshape tensor of 0 elements to shape [1]"},
      {{2, 3}, {7, 1, 1, 1, 1, 1, 1}, "Cannot reshape tensor of 6 elements to shape [7, 1, 1, 1, 1, 1, 1]"},
  };
  for (const Case& c : cases) {
    for (bool strided : {false, true}) {
      Tensor src = strided && c.from.size() > 1 ? transposed_view(iota(nimbra::numel_of(c.from)), c.from)
                                                : Tensor::ones(c.from);
      nimbra::Result<Tensor> r = nimbra::reshape(src, c.to);
      ASSERT_FALSE(r.ok()) << c.text;
      ASSERT_EQ(r.error().kind(), ErrorKind::InvalidShape);
      EXPECT_EQ(r.error().get<nimbra::err::InvalidShape>()->text, c.text);
      EXPECT_EQ(r.error().display(), std::string("Invalid shape: ") + c.text);
    }
  }
}

// A requested shape whose product wraps around 64 bits must not pass for an
// empty tensor (2^63 * 2 wraps to 0) or any other count.
TEST(Reshape, ShapeBeyond64BitsIsRefused) {
  const std::uint64_t big = std::uint64_t{1} << 63;
  EXPECT_TRUE(faults(FaultKind::Precondition, [&] { (void)nimbra::reshape(Tensor::zeros(U64s{0}), U64s{big, 2}); }));
  EXPECT_TRUE(faults(FaultKind::Precondition,
                     [&] { (void)nimbra::reshape(Tensor::zeros(U64s{1}), U64s{big + 1, big + 1}); }));
}

TEST(Reshape, SourceIsUntouched) {
  Tensor src = make(iota(6), {2, 3});
  Tensor t = nimbra::transpose(src, 0, 1).value();
  (void)nimbra::reshape(src, U64s{3, 2}).value();
  (void)nimbra::reshape(t, U64s{6}).value();
  EXPECT_EQ(to_vec(src.shape()), (U64s{2, 3}));
  EXPECT_EQ(to_vec(src.strides()), (U64s{3, 1}));
  EXPECT_EQ(to_vec(t.shape()), (U64s{3, 2}));
  EXPECT_EQ(to_vec(t.strides()), (U64s{1, 3}));
  EXPECT_TRUE(same_values(iota(6), src.data_f32()));
}

// ---- basic indexing ----------------------------------------------------------------

using nimbra::IndexItem;
using Kind = IndexItem::Kind;
constexpr std::int64_t kBig = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kSmall = std::numeric_limits<std::int64_t>::min();

IndexItem at(std::int64_t i) { return {Kind::Integer, i}; }
// A slice as Python fills in its defaults: absent bounds are the far ends.
IndexItem span(std::int64_t start, std::int64_t stop, std::int64_t step = 1) { return {Kind::Slice, start, stop, step}; }
IndexItem backwards(std::int64_t step = -1) { return span(kBig, kSmall, step); }
const IndexItem kAll = span(0, kBig), kDots{Kind::Ellipsis}, kNew{Kind::NewAxis};

Tensor view_of(const Tensor& x, std::vector<IndexItem> items) {
  auto r = nimbra::index(x, items);
  if (auto* failure = std::get_if<nimbra::IndexFailure>(&r)) throw std::runtime_error(failure->text);
  return std::get<Tensor>(std::move(r));
}

// On a fresh [4, 5, 6] tensor (strides [30, 6, 1]): the view's shape,
// strides (two's complement for steps back) and offset.
struct IndexCase {
  const char* label;
  std::vector<IndexItem> items;
  U64s shape, strides;
  std::uint64_t offset;
};
void PrintTo(const IndexCase& c, std::ostream* os) { *os << c.label; }

class Index : public ::testing::TestWithParam<IndexCase> {};

TEST_P(Index, ViewGeometryAndValues) {
  const IndexCase& c = GetParam();
  const U64s source = {4, 5, 6};
  const Floats v = iota(120);
  const Tensor plain = make(v, source);
  const Tensor got = view_of(plain, c.items);
  EXPECT_EQ(to_vec(got.shape()), c.shape);
  EXPECT_EQ(to_vec(got.strides()), c.strides);
  EXPECT_EQ(got.offset(), c.offset);
  EXPECT_EQ(got.storage().buffer(), plain.storage().buffer());
  // The elements the geometry names, read from every layout of the same
  // values: a view of a view composes.
  Floats want(nimbra::numel_of(c.shape));
  U64s index(c.shape.size(), 0);
  for (float& w : want) {
    std::uint64_t pos = c.offset;
    for (std::size_t d = 0; d < index.size(); ++d) pos += index[d] * c.strides[d];
    w = v[pos];
    for (std::size_t d = index.size(); d-- > 0;) {
      if (++index[d] < c.shape[d]) break;
      index[d] = 0;
    }
  }
  for (const Layout& l : kLayouts) {
    const Tensor src = with_layout(v, source, l);
    const Tensor view = view_of(src, c.items);
    EXPECT_EQ(view.storage().buffer(), src.storage().buffer()) << l.name;
    EXPECT_TRUE(same_values(want, view.data_f32())) << l.name;
  }
}

const std::uint64_t kBack2 = 0 - std::uint64_t{2}, kBack30 = 0 - std::uint64_t{30};

INSTANTIATE_TEST_SUITE_P(
    Table, Index,
    ::testing::Values(
        IndexCase{"integer", {at(1)}, {5, 6}, {6, 1}, 30},
        IndexCase{"integer_from_the_end", {at(-1)}, {5, 6}, {6, 1}, 90},
        IndexCase{"every_dimension", {at(2), at(-2), at(3)}, {}, {}, 81},
        IndexCase{"nothing", {}, {4, 5, 6}, {30, 6, 1}, 0},
        IndexCase{"ellipsis_alone", {kDots}, {4, 5, 6}, {30, 6, 1}, 0},
        IndexCase{"slice", {span(1, 3)}, {2, 5, 6}, {30, 6, 1}, 30},
        IndexCase{"backwards", {backwards()}, {4, 5, 6}, {kBack30, 6, 1}, 90},
        IndexCase{"last_backwards_by_two", {kDots, backwards(-2)}, {4, 5, 3}, {30, 6, kBack2}, 5},
        IndexCase{"ellipsis_between", {at(1), kDots, span(2, kBig)}, {5, 4}, {6, 1}, 32},
        IndexCase{"ellipsis_standing_for_none", {at(0), kDots, at(0), at(0)}, {}, {}, 0},
        IndexCase{"new_axes", {kNew, at(0), kNew, kDots, kNew}, {1, 1, 5, 6, 1}, {0, 0, 6, 1, 0}, 0},
        IndexCase{"bounds_beyond_the_ends", {span(-100, 100, 3)}, {2, 5, 6}, {90, 6, 1}, 0},
        IndexCase{"extreme_bounds", {kAll, span(kSmall, kBig, 2)}, {4, 3, 6}, {30, 12, 1}, 0},
        IndexCase{"step_past_the_end", {backwards(-7)}, {1, 5, 6}, {0 - std::uint64_t{210}, 6, 1}, 90},
        // A step so long that its stride wraps: one element, whose stride
        // is never used (30 * (2^63 - 1) wraps to -30).
        IndexCase{"longest_step", {span(1, kBig, kBig)}, {1, 5, 6}, {kBack30, 6, 1}, 30},
        // No elements: the view stays at its source's position.
        IndexCase{"empty_past_the_end", {span(10, 20)}, {0, 5, 6}, {30, 6, 1}, 0},
        IndexCase{"empty_backwards_keeps_its_stride", {at(3), span(0, 4, -1)}, {0, 6}, {6, 1}, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Index, Failures) {
  const Tensor x = Tensor::zeros(U64s{4, 5, 6});
  auto failure = [](const Tensor& t, std::vector<IndexItem> items) {
    auto r = nimbra::index(t, items);
    return std::holds_alternative<nimbra::IndexFailure>(r) ? std::get<nimbra::IndexFailure>(r).text : "(a view)";
  };
  EXPECT_EQ(failure(x, {at(4)}), "index 4 is out of bounds for dimension 0 with size 4");
  EXPECT_EQ(failure(x, {at(0), at(-6)}), "index -6 is out of bounds for dimension 1 with size 5");
  EXPECT_EQ(failure(x, {kDots, at(6)}), "index 6 is out of bounds for dimension 2 with size 6");
  EXPECT_EQ(failure(x, {at(kSmall)}), "index -9223372036854775808 is out of bounds for dimension 0 with size 4");
  EXPECT_EQ(failure(x, {at(0), kNew, at(0), at(0), at(0)}),
            "too many indices for tensor: tensor is 3-dimensional, but 4 were indexed");
  EXPECT_EQ(failure(x, {kDots, kNew, kDots}), "an index can only have a single ellipsis ('...')");
  EXPECT_EQ(failure(Tensor::zeros(U64s{}), {at(0)}),
            "too many indices for tensor: tensor is 0-dimensional, but 1 were indexed");
  EXPECT_EQ(failure(Tensor::zeros(U64s{0, 3}), {at(0)}), "index 0 is out of bounds for dimension 0 with size 0");
}

TEST(Index, ZeroDimensionalAndHugeEmptySources) {
  const Tensor scalar = make({2.5f}, {});
  const Tensor lifted = view_of(scalar, {kNew, kDots, kNew});
  expect_view_of(lifted, scalar, {1, 1}, {0, 0});
  EXPECT_TRUE(same_values({2.5f}, lifted.data_f32()));
  // Sizes beyond the signed 64-bit range exist in empty tensors; positions
  // and lengths there must not overflow.
  const std::uint64_t huge = (std::uint64_t{1} << 63) + 5;
  const Tensor empty = Tensor::zeros(U64s{0, huge});
  expect_view_of(view_of(empty, {kAll, at(-1)}), empty, {0}, {huge});
  expect_view_of(view_of(empty, {kAll, backwards()}), empty, {0, huge}, {huge, 0 - std::uint64_t{1}});
  expect_view_of(view_of(empty, {kAll, span(kSmall, kBig, 2)}), empty, {0, huge / 2 + 1}, {huge, 2});
}

}  // namespace
