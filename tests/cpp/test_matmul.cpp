// matmul at tensor level: the order of its checks and the fields of each
// error, the 2-D and batched paths against a plain dot-product reference,
// batched against per-matrix products, strided and transposed operands
// (batch dimensions included) against their contiguous copies, zero sizes
// and k = 0, signed zeros, NaN and infinity.
#include <gtest/gtest.h>

#include "test_util.hpp"

namespace {

using namespace tu;
using nimbra::ErrorKind;
using nimbra::Tensor;

// ---- reference ------------------------------------------------------------------------

struct Product {
  U64s shape;
  Floats values;
};

// Broadcast batch shapes, then for every output element one ascending chain
// of f32 products from +0.0, over row-major logical values.
Product ref_matmul(const Floats& av, const U64s& as, const Floats& bv, const U64s& bs) {
  const std::size_t ra = as.size(), rb = bs.size();
  const std::uint64_t m = as[ra - 2], k = as[ra - 1], n = bs[rb - 1];
  const U64s batch_a(as.begin(), as.end() - 2), batch_b(bs.begin(), bs.end() - 2);
  const U64s batch = *ref_broadcast(batch_a, batch_b);
  Product out;
  out.shape = batch;
  out.shape.push_back(m);
  out.shape.push_back(n);
  const std::uint64_t count = nimbra::numel_of(batch);
  out.values.assign(count * m * n, 0.0f);
  U64s index(batch.size(), 0);
  for (std::uint64_t t = 0; t < count; ++t) {
    auto matrix = [&](const U64s& own) {
      std::uint64_t q = 0;
      for (std::size_t j = 0; j < own.size(); ++j) q = q * own[j] + (own[j] == 1 ? 0 : index[batch.size() - own.size() + j]);
      return q;
    };
    const float* A = av.data() + matrix(batch_a) * m * k;
    const float* B = bv.data() + matrix(batch_b) * k * n;
    for (std::uint64_t i = 0; i < m; ++i) {
      for (std::uint64_t j = 0; j < n; ++j) {
        float acc = 0.0f;
        for (std::uint64_t p = 0; p < k; ++p) acc = acc + A[i * k + p] * B[p * n + j];
        out.values[(t * m + i) * n + j] = acc;
      }
    }
    for (std::size_t d = batch.size(); d-- > 0;) {
      if (++index[d] < batch[d]) break;
      index[d] = 0;
    }
  }
  return out;
}

// ---- validation ----------------------------------------------------------------------------

struct ErrorCase {
  U64s a, b;
  ErrorKind kind;
  U64s first, second;  // expected/got or the two batch shapes; unused for InvalidOperation
  const char* text;
};
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << render(c.a) << " @ " << render(c.b); }

class MatmulErrors : public ::testing::TestWithParam<ErrorCase> {};

// Rank first, then the inner sizes (last two dimensions only), then the batch
// shapes: the first failing check decides, whatever else is wrong.
TEST_P(MatmulErrors, FirstFailingCheckDecides) {
  const ErrorCase& c = GetParam();
  // Strided operands fail the same way.
  const Tensor plain_a = Tensor::ones(c.a), plain_b = Tensor::ones(c.b);
  const Tensor view_a = with_layout(Floats(nimbra::numel_of(c.a), 1.0f), c.a, kLayouts[0]);
  const Tensor view_b = with_layout(Floats(nimbra::numel_of(c.b), 1.0f), c.b, kLayouts[2]);
  for (int variant = 0; variant < 2; ++variant) {
    nimbra::Result<Tensor> r = nimbra::matmul(variant ? view_a : plain_a, variant ? view_b : plain_b);
    ASSERT_FALSE(r.ok()) << "variant " << variant;
    ASSERT_EQ(r.error().kind(), c.kind) << r.error().debug();
    if (const auto* e = r.error().get<nimbra::err::ShapeMismatch>()) {
      EXPECT_EQ(e->expected, c.first);
      EXPECT_EQ(e->got, c.second);
    }
    if (const auto* e = r.error().get<nimbra::err::BroadcastError>()) {
      EXPECT_EQ(e->a, c.first);
      EXPECT_EQ(e->b, c.second);
    }
    EXPECT_EQ(r.error().display(), c.text);
  }
}

const char* const kRank = "Invalid operation: matmul requires at least 2D tensors";

INSTANTIATE_TEST_SUITE_P(
    Table, MatmulErrors,
    ::testing::Values(
        ErrorCase{{3}, {3, 4}, ErrorKind::InvalidOperation, {}, {}, kRank},
        ErrorCase{{2, 3}, {3}, ErrorKind::InvalidOperation, {}, {}, kRank},
        ErrorCase{{}, {}, ErrorKind::InvalidOperation, {}, {}, kRank},
        ErrorCase{{3}, {5}, ErrorKind::InvalidOperation, {}, {}, kRank},
        ErrorCase{{4}, {2, 9, 3, 4}, ErrorKind::InvalidOperation, {}, {}, kRank},
        ErrorCase{{2, 3}, {4, 5}, ErrorKind::ShapeMismatch, {2, 3}, {4, 5},
                  "Shape mismatch: expected [2, 3], got [4, 5]"},
        ErrorCase{{2, 3}, {2, 3}, ErrorKind::ShapeMismatch, {2, 3}, {2, 3},
                  "Shape mismatch: expected [2, 3], got [2, 3]"},
        ErrorCase{{2, 0}, {3, 4}, ErrorKind::ShapeMismatch, {2, 0}, {3, 4},
                  "Shape mismatch: expected [2, 0], got [3, 4]"},
        // Inner sizes are checked before the batch shapes, and only the last
        // two dimensions are reported.
        ErrorCase{{2, 2, 3}, {3, 4, 4}, ErrorKind::ShapeMismatch, {2, 3}, {4, 4},
                  "Shape mismatch: expected [2, 3], got [4, 4]"},
        ErrorCase{{7, 1, 5, 6}, {2, 7}, ErrorKind::ShapeMismatch, {5, 6}, {2, 7},
                  "Shape mismatch: expected [5, 6], got [2, 7]"},
        ErrorCase{{2, 2, 3}, {3, 3, 4}, ErrorKind::BroadcastError, {2}, {3},
                  "Cannot broadcast shapes [2] and [3]"},
        ErrorCase{{4, 2, 2, 3}, {3, 3, 4}, ErrorKind::BroadcastError, {4, 2}, {3},
                  "Cannot broadcast shapes [4, 2] and [3]"},
        ErrorCase{{5, 1, 2, 3}, {7, 6, 3, 4}, ErrorKind::BroadcastError, {5, 1}, {7, 6},
                  "Cannot broadcast shapes [5, 1] and [7, 6]"},
        ErrorCase{{0, 2, 3}, {2, 3, 4}, ErrorKind::BroadcastError, {0}, {2},
                  "Cannot broadcast shapes [0] and [2]"}));

// ---- values -----------------------------------------------------------------------------------

// Checks matmul of a and b (given by logical values and shapes) against the
// reference: plain operands, and the operands as views in other layouts.
void check_product(const Floats& av, const U64s& as, const Floats& bv, const U64s& bs, bool all_layouts) {
  const Product want = ref_matmul(av, as, bv, bs);
  const Tensor a = make(av, as), b = make(bv, bs);
  nimbra::Result<Tensor> r = nimbra::matmul(a, b);
  ASSERT_TRUE(r.ok()) << r.error().display();
  ASSERT_TRUE(same_tensor(want.shape, want.values, r.value())) << render(as) << " @ " << render(bs) << " plain";
  std::vector<std::pair<std::string, std::pair<Tensor, Tensor>>> variants;
  variants.push_back({"plain", {a, b}});
  variants.push_back({"transposed b", {a, transposed_view(bv, bs)}});
  variants.push_back({"transposed a", {transposed_view(av, as), b}});
  if (all_layouts) {
    for (const Layout& l : kLayouts) {
      variants.push_back({std::string(l.name) + " a", {with_layout(av, as, l), b}});
      variants.push_back({std::string(l.name) + " b", {a, with_layout(bv, bs, l)}});
      const Layout& other = kLayouts[(&l - kLayouts + 1) % kLayoutCount];
      variants.push_back({std::string(l.name) + " both", {with_layout(av, as, l), with_layout(bv, bs, other)}});
    }
  }
  for (const auto& [name, ops] : variants) {
    nimbra::Result<Tensor> v = nimbra::matmul(ops.first, ops.second);
    ASSERT_TRUE(v.ok()) << name;
    ASSERT_TRUE(same_tensor(want.shape, want.values, v.value())) << render(as) << " @ " << render(bs) << " " << name;
  }
}

// 2-D products over sizes that hit every block edge of 64; each uses plain
// operands and the transposed views, every fifth one every layout.
TEST(Matmul2D, SizesAcrossBlockEdges) {
  const std::uint64_t sizes[] = {0, 1, 7, 64, 65, 129};
  std::uint64_t seed = 1;
  for (std::uint64_t m : sizes)
    for (std::uint64_t n : sizes)
      for (std::uint64_t k : sizes) {
        ++seed;
        const Floats av = values(m * k, seed), bv = values(k * n, seed + 1000);
        check_product(av, {m, k}, bv, {k, n}, seed % 5 == 0);
        if (HasFatalFailure()) return;
      }
}

TEST(Matmul2D, SmallExample) {
  EXPECT_TRUE(same_tensor({2, 2}, {19, 22, 43, 50}, nimbra::matmul(make({1, 2, 3, 4}, {2, 2}), make({5, 6, 7, 8}, {2, 2})).value()));
  EXPECT_TRUE(same_tensor({2, 4}, Floats(8, 3.0f), nimbra::matmul(Tensor::ones(U64s{2, 3}), Tensor::ones(U64s{3, 4})).value()));
}

// Products are taken one by one, summed from +0.0: a sum of -0.0 products is
// +0.0, and k = 0 gives +0.0 everywhere.
TEST(Matmul2D, SignedZeros) {
  EXPECT_TRUE(same_tensor({1, 1}, {0.0f}, nimbra::matmul(make({-1}, {1, 1}), make({0}, {1, 1})).value()));
  EXPECT_TRUE(same_tensor({1, 1}, {0.0f}, nimbra::matmul(make({-0.0f, 2, -0.0f}, {1, 3}), make({1, -0.0f, 1}, {3, 1})).value()));
  EXPECT_TRUE(same_tensor({2, 1, 1}, {0.0f, 0.0f},
                          nimbra::matmul(make({-1, -0.0f}, {2, 1, 1}), make({0}, {1, 1})).value()));
  EXPECT_TRUE(same_tensor({2, 3}, Floats(6, 0.0f), nimbra::matmul(Tensor::zeros(U64s{2, 0}), Tensor::zeros(U64s{0, 3})).value()));
}

TEST(Matmul2D, NanAndInfinityStayInTheirOutputs) {
  // Row 0 of a meets an infinity times zero; row 1 only finite values.
  const Tensor a = make({0, 1, 1, 1}, {2, 2});
  const Tensor b = make({kInf, 1, 2, 3}, {2, 2});
  const Floats got = nimbra::matmul(a, b).value().data_f32();
  EXPECT_TRUE(std::isnan(got[0]));  // 0 * inf
  EXPECT_EQ(got[1], 3.0f);
  EXPECT_EQ(got[2], kInf);
  EXPECT_EQ(got[3], 4.0f);
  // A NaN anywhere in a row of a reaches that whole row of the result, nothing else.
  const Floats av = values(3 * 70, 5), bv = values(70 * 66, 6, true);
  Floats with_nan = av;
  with_nan[70 + 33] = kNaN;
  check_product(with_nan, {3, 70}, bv, {70, 66}, false);
  const Floats row1 = nimbra::matmul(make(with_nan, {3, 70}), make(values(70 * 66, 6), {70, 66})).value().data_f32();
  for (int j = 0; j < 66; ++j) {
    EXPECT_FALSE(std::isnan(row1[j])) << j;
    EXPECT_TRUE(std::isnan(row1[66 + j])) << j;
  }
}

// Operands that are the same tensor, or views of one buffer.
TEST(Matmul2D, OperandsSharingOneBuffer) {
  const Floats v = values(9 * 9, 12);
  const Tensor x = make(v, {9, 9});
  const Tensor xt = nimbra::transpose(x, 0, 1).value();
  const Floats tv = xt.data_f32();
  const Product xx = ref_matmul(v, {9, 9}, v, {9, 9});
  EXPECT_TRUE(same_tensor(xx.shape, xx.values, nimbra::matmul(x, x).value()));
  const Product xxt = ref_matmul(v, {9, 9}, tv, {9, 9});
  EXPECT_TRUE(same_tensor(xxt.shape, xxt.values, nimbra::matmul(x, xt).value()));
  EXPECT_TRUE(same_values(v, x.data_f32()));
}

// Views whose rows or columns repeat one storage element (stride 0) read
// like their copies.
TEST(Matmul2D, RepeatingViews) {
  const Floats storage = values(8, 99);
  const Tensor base = make(storage, {8});
  const Tensor rows_repeat(nimbra::Shape{5, 8}, nimbra::Strides{0, 1}, base.storage(), 0);  // every row the same
  const Tensor cols_repeat(nimbra::Shape{8, 3}, nimbra::Strides{1, 0}, base.storage(), 0);  // every column the same
  const Floats rv = rows_repeat.data_f32(), cv = cols_repeat.data_f32();
  const Product want = ref_matmul(rv, {5, 8}, cv, {8, 3});
  EXPECT_TRUE(same_tensor(want.shape, want.values, nimbra::matmul(rows_repeat, cols_repeat).value()));
}

// ---- batched ----------------------------------------------------------------------------------

struct BatchCase {
  U64s a, b;
};
void PrintTo(const BatchCase& c, std::ostream* os) { *os << render(c.a) << " @ " << render(c.b); }

const BatchCase kBatchCases[] = {
    {{5, 2, 3}, {3, 4}},       {{2, 3}, {5, 3, 4}},          {{2, 1, 2, 3}, {3, 3, 4}},
    {{3, 1, 4, 5}, {1, 2, 5, 6}}, {{4, 3, 7}, {4, 7, 2}},     {{1, 2, 3}, {3, 4}},
    {{2, 3, 70}, {70, 66}},    {{3, 65, 9}, {1, 9, 130}},     {{2, 1, 2, 1, 3, 2}, {1, 2, 1, 2, 2, 3}},
    {{1, 1, 1, 1, 1, 2, 3}, {3, 3}}, {{3, 1, 1}, {1, 1, 5}}, {{2, 2, 1, 1}, {2, 1, 1, 1}},
};

class MatmulBatched : public ::testing::TestWithParam<BatchCase> {};

TEST_P(MatmulBatched, MatchesReferenceInEveryLayout) {
  const BatchCase& c = GetParam();
  const Floats av = values(nimbra::numel_of(c.a), 300, true), bv = values(nimbra::numel_of(c.b), 301, true);
  check_product(av, c.a, bv, c.b, true);
}

// Every output matrix equals the 2-D product of the two matrices it was made
// from, each taken as a 2-D view into its operand's storage.
TEST_P(MatmulBatched, EqualsPerMatrixProducts) {
  const BatchCase& c = GetParam();
  const Floats av = values(nimbra::numel_of(c.a), 310, true), bv = values(nimbra::numel_of(c.b), 311, true);
  for (const Layout& l : {kLayouts[0], kLayouts[2]}) {
    const Tensor a = with_layout(av, c.a, l), b = with_layout(bv, c.b, l);
    const Tensor out = nimbra::matmul(a, b).value();
    const U64s shape = to_vec(out.shape());
    const std::size_t rb = shape.size() - 2;
    const std::uint64_t m = shape[rb], n = shape[rb + 1];
    const Floats got = out.data_f32();
    U64s index(rb, 0);
    for (std::uint64_t t = 0; t < nimbra::numel_of(U64s(shape.begin(), shape.end() - 2)); ++t) {
      auto matrix = [&](const Tensor& x) {
        const std::size_t r = x.ndim();
        std::uint64_t offset = x.offset();
        for (std::size_t j = 0; j + 2 < r; ++j)
          if (x.shape()[j] != 1) offset += index[rb - (r - 2) + j] * x.strides()[j];
        return Tensor(nimbra::Shape{x.shape()[r - 2], x.shape()[r - 1]},
                      nimbra::Strides{x.strides()[r - 2], x.strides()[r - 1]}, x.storage(), offset);
      };
      const Floats one = nimbra::matmul(matrix(a), matrix(b)).value().data_f32();
      ASSERT_TRUE(same_values(one, Floats(got.begin() + static_cast<std::ptrdiff_t>(t * m * n),
                                          got.begin() + static_cast<std::ptrdiff_t>((t + 1) * m * n))))
          << "output matrix " << t << ", " << l.name;
      for (std::size_t d = rb; d-- > 0;) {
        if (++index[d] < shape[d]) break;
        index[d] = 0;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MatmulBatched, ::testing::ValuesIn(kBatchCases));

TEST(MatmulBatched, BroadcastBatchShapesAndMatrixPairing) {
  struct Case {
    U64s a, b, out;
  } cases[] = {
      {{5, 2, 3}, {3, 4}, {5, 2, 4}},   {{2, 3}, {5, 3, 4}, {5, 2, 4}},
      {{2, 1, 2, 3}, {3, 3, 4}, {2, 3, 2, 4}}, {{0, 2, 3}, {3, 4}, {0, 2, 4}},
  };
  for (const Case& c : cases) {
    const Tensor r = nimbra::matmul(Tensor::ones(c.a), Tensor::ones(c.b)).value();
    EXPECT_TRUE(same_tensor(c.out, Floats(nimbra::numel_of(c.out), 3.0f), r)) << render(c.a) << " @ " << render(c.b);
  }
  // Output matrix (x, y) of [2, 1, 2, 3] @ [3, 3, 4] is A[x, 0] @ B[y].
  const Floats av = iota(12), bv = iota(36, -10.0f);
  const Tensor r = nimbra::matmul(make(av, {2, 1, 2, 3}), make(bv, {3, 3, 4})).value();
  const Floats got = r.data_f32();
  for (std::uint64_t x = 0; x < 2; ++x)
    for (std::uint64_t y = 0; y < 3; ++y) {
      const Product one = ref_matmul(Floats(av.begin() + 6 * x, av.begin() + 6 * x + 6), {2, 3},
                                     Floats(bv.begin() + 12 * y, bv.begin() + 12 * y + 12), {3, 4});
      EXPECT_TRUE(same_values(one.values, Floats(got.begin() + 8 * (3 * x + y), got.begin() + 8 * (3 * x + y) + 8)))
          << x << ", " << y;
    }
}

// The batched path gives the bits of the 2-D path for the same matrices.
TEST(MatmulBatched, SameBitsAsTheTwoDimensionalPath) {
  for (const auto& [m, k, n] : {std::tuple{3, 5, 7}, std::tuple{9, 70, 66}, std::tuple{65, 129, 1}}) {
    const auto um = static_cast<std::uint64_t>(m), uk = static_cast<std::uint64_t>(k), un = static_cast<std::uint64_t>(n);
    const Floats av = values(um * uk, 7, true), bv = values(uk * un, 8, true);
    const Floats flat = nimbra::matmul(make(av, {um, uk}), make(bv, {uk, un})).value().data_f32();
    EXPECT_TRUE(same_tensor({1, um, un}, flat, nimbra::matmul(make(av, {1, um, uk}), make(bv, {uk, un})).value()));
    EXPECT_TRUE(same_tensor({1, um, un}, flat, nimbra::matmul(make(av, {um, uk}), make(bv, {1, uk, un})).value()));
    EXPECT_TRUE(same_tensor({1, 1, um, un}, flat, nimbra::matmul(make(av, {1, um, uk}), make(bv, {1, 1, uk, un})).value()));
  }
}

// A batch dimension of size 1 is broadcast by repeating its one matrix; its
// stride is never used, whatever it is.
TEST(MatmulBatched, StretchedDimensionStrideIsNeverApplied) {
  const Floats av = values(2 * 3, 21), bv = values(4 * 3 * 5, 22);
  const Tensor base = make(av, {6});
  const Tensor a(nimbra::Shape{1, 2, 3}, nimbra::Strides{std::uint64_t{1} << 40, 3, 1}, base.storage(), 0);
  const Product want = ref_matmul(av, {1, 2, 3}, bv, {4, 3, 5});
  EXPECT_TRUE(same_tensor(want.shape, want.values, nimbra::matmul(a, make(bv, {4, 3, 5})).value()));
}

TEST(MatmulBatched, ZeroSizes) {
  struct Case {
    U64s a, b, out;
  } cases[] = {
      {{0, 2, 3}, {3, 4}, {0, 2, 4}},     {{2, 0, 3}, {3, 4}, {2, 0, 4}},   {{2, 2, 3}, {3, 0}, {2, 2, 0}},
      {{3, 2, 0}, {0, 4}, {3, 2, 4}},     {{2, 1, 2, 0}, {3, 0, 5}, {2, 3, 2, 5}},
      {{1, 2, 3}, {0, 3, 4}, {0, 2, 4}},  {{0, 3}, {3, 4}, {0, 4}},         {{2, 3}, {3, 0}, {2, 0}},
      {{4, 0, 1, 2}, {1, 2, 2}, {4, 0, 1, 2}},
  };
  for (const Case& c : cases) {
    check_product(values(nimbra::numel_of(c.a), 1), c.a, values(nimbra::numel_of(c.b), 2), c.b, true);
    const Tensor r = nimbra::matmul(Tensor::ones(c.a), Tensor::ones(c.b)).value();
    EXPECT_EQ(to_vec(r.shape()), c.out) << render(c.a) << " @ " << render(c.b);
  }
}

TEST(MatmulBatched, OperandsAreUntouchedAndResultsOwnTheirStorage) {
  const Floats av = values(2 * 3 * 4, 1), bv = values(4 * 5, 2);
  const Tensor a = transposed_view(av, {2, 3, 4}), b = make(bv, {4, 5});
  const Tensor r = nimbra::matmul(a, b).value();
  EXPECT_NE(r.storage().buffer(), a.storage().buffer());
  EXPECT_NE(r.storage().buffer(), b.storage().buffer());
  EXPECT_EQ(to_vec(a.strides()), (U64s{12, 1, 3}));
  EXPECT_TRUE(same_values(av, a.data_f32()));
  EXPECT_TRUE(same_values(bv, b.data_f32()));
}

}  // namespace
