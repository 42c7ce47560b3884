// The matmul kernel variants against the plain reference loop, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ops/matmul_kernel.hpp"

#include "test_util.hpp"

namespace {

using nimbra::cpu::Isa;
using nimbra::kernels::MatView;

using tu::supported_isas;

using tu::bits;

// A matrix in its own exactly sized buffer (so reading past it trips ASan),
// row-major or column-major, with a leading dimension of at least its width.
struct Mat {
  std::size_t rows, cols;
  bool col_major;
  std::size_t ld;
  std::vector<float> buf;

  Mat(std::size_t r, std::size_t c, bool cm = false, std::size_t pad = 0)
      : rows(r), cols(c), col_major(cm), ld((cm ? r : c) + pad) {
    const std::size_t outer = cm ? c : r, inner = cm ? r : c;
    buf.assign(outer == 0 ? 0 : (outer - 1) * ld + inner, std::numeric_limits<float>::quiet_NaN());
  }
  float& at(std::size_t i, std::size_t j) { return buf[col_major ? j * ld + i : i * ld + j]; }
  MatView view() const {
    const auto l = static_cast<std::ptrdiff_t>(ld);
    return col_major ? MatView{buf.data(), 1, l} : MatView{buf.data(), l, 1};
  }
};

// Values over a wide range of magnitudes and both signs: sums then cancel and
// round differently in any other order of addition.
void fill_mixed(Mat& m, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> mant(1.0f, 2.0f);
  std::uniform_int_distribution<int> expo(-14, 14), sign(0, 1);
  for (std::size_t i = 0; i < m.rows; ++i)
    for (std::size_t j = 0; j < m.cols; ++j)
      m.at(i, j) = std::ldexp(sign(gen) ? -mant(gen) : mant(gen), expo(gen));
}

// Output buffer: (m, n) with row stride ldc; starts as garbage, and the cells
// between rows hold a sentinel that must survive.
struct Out {
  std::size_t m, n, ldc;
  std::vector<float> buf;
  static constexpr float kSentinel = -12345.0f;
  Out(std::size_t m_, std::size_t n_, std::size_t pad = 0) : m(m_), n(n_), ldc(n_ + pad) {
    buf.assign(m == 0 ? 0 : (m - 1) * ldc + n, kSentinel);
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < n; ++j) buf[i * ldc + j] = std::numeric_limits<float>::signaling_NaN();
  }
  float at(std::size_t i, std::size_t j) const { return buf[i * ldc + j]; }
};

// Bit equality of every output; NaN payloads are not part of the contract (IEEE
// leaves open which NaN operand propagates), so with nan_any any NaN matches any NaN.
::testing::AssertionResult same_bits(const Out& got, const Out& want, bool nan_any = false) {
  for (std::size_t i = 0; i < got.m; ++i) {
    for (std::size_t j = 0; j < got.n; ++j) {
      const float g = got.at(i, j), w = want.at(i, j);
      if (nan_any && std::isnan(g) && std::isnan(w)) continue;
      if (bits(g) != bits(w))
        return ::testing::AssertionFailure() << "C[" << i << ", " << j << "] = " << g << " (0x" << std::hex
                                             << bits(g) << "), want " << w << " (0x" << bits(w) << ")";
    }
    for (std::size_t j = got.n; i + 1 < got.m && j < got.ldc; ++j)
      if (bits(got.at(i, j)) != bits(Out::kSentinel))
        return ::testing::AssertionFailure() << "padding after row " << i << " was written";
  }
  return ::testing::AssertionSuccess();
}

Out reference(const Mat& a, const Mat& b, std::size_t pad = 0) {
  Out c(a.rows, b.cols, pad);
  nimbra::kernels::gemm_reference(a.rows, b.cols, a.cols, a.view(), b.view(), c.buf.data(), c.ldc);
  return c;
}

Out run(Isa isa, const Mat& a, const Mat& b, std::size_t pad = 0) {
  Out c(a.rows, b.cols, pad);
  nimbra::kernels::matmul_kernels(isa).gemm(a.rows, b.cols, a.cols, a.view(), b.view(), c.buf.data(), c.ldc);
  return c;
}

// Every variant on (a, b) against the reference.
void expect_all_variants_match(const Mat& a, const Mat& b, std::size_t pad = 0, bool nan_any = false) {
  const Out want = reference(a, b, pad);
  for (Isa isa : supported_isas())
    EXPECT_TRUE(same_bits(run(isa, a, b, pad), want, nan_any)) << "variant " << nimbra::cpu::isa_name(isa);
}

// ---- every edge of the tiles and cache blocks ---------------------------------
// 0 and 1 are the degenerate paths, 7 / 63 / 65 leave partial tiles and vectors,
// 129 and 257 cross the row cache block and switch to packed B.
const std::size_t kSizes[] = {0, 1, 7, 63, 64, 65, 129, 257};

class GemmShapes : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(GemmShapes, VariantsMatchReference) {
  const auto [m, n, k] = GetParam();
  Mat a(m, k), b(k, n);
  fill_mixed(a, 1 + static_cast<std::uint32_t>(m * 7 + k));
  fill_mixed(b, 2 + static_cast<std::uint32_t>(k * 11 + n));
  expect_all_variants_match(a, b);
}

INSTANTIATE_TEST_SUITE_P(AllSizes, GemmShapes,
                         ::testing::Combine(::testing::ValuesIn(kSizes), ::testing::ValuesIn(kSizes),
                                            ::testing::ValuesIn(kSizes)),
                         [](const auto& info) {
                           return "m" + std::to_string(std::get<0>(info.param)) + "_n" +
                                  std::to_string(std::get<1>(info.param)) + "_k" +
                                  std::to_string(std::get<2>(info.param));
                         });

// Shapes the size grid misses: every short A below the tile height (wide tiles
// straight on the operands, or the row sweep for m = 1 across its column
// chunks), one row on either side of each variant's wide-tile width (96 and
// 256 columns), the layers of small networks on a few rows, inner dimensions
// crossing the inner cache block (512) with A packed and in place and B packed
// and in place, more columns than one B panel, and outputs large enough for
// streaming stores at unaligned row starts.
TEST(GemmShapes, BlockBoundariesAndSpecialPaths) {
  const std::tuple<std::size_t, std::size_t, std::size_t, std::size_t> cases[] = {
      {1, 1000, 300, 0}, {1, 4500, 9, 2},   {2, 333, 70, 0},    {3, 513, 9, 0},   {5, 260, 2, 3},
      {6, 17, 400, 0},   {7, 300, 33, 1},   {33, 70, 1030, 0},  {40, 30, 600, 1}, {12, 50, 700, 0},
      {9, 4100, 260, 0}, {2048, 2056, 1, 1}, {4300, 1000, 0, 3}, {40, 8000, 1, 0},
      {1, 95, 40, 0},    {1, 96, 40, 1},    {1, 255, 40, 0},    {1, 256, 40, 0},  {1, 784, 256, 0},
      {1, 256, 784, 0},  {1, 10, 256, 0},   {1, 128, 64, 0},    {3, 256, 784, 0}, {16, 10, 128, 0}};
  for (const auto& [m, n, k, pad] : cases) {
    SCOPED_TRACE("m=" + std::to_string(m) + " n=" + std::to_string(n) + " k=" + std::to_string(k));
    Mat a(m, k), b(k, n);
    fill_mixed(a, 3);
    fill_mixed(b, 4);
    expect_all_variants_match(a, b, pad);
  }
}

// ---- operand layouts ------------------------------------------------------------
// Transposed (column-major) operands and row strides wider than the rows give the
// bits of their contiguous copies.
class GemmLayouts : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(GemmLayouts, ViewsMatchContiguousCopies) {
  const auto [m, n, k] = GetParam();
  Mat a(m, k), b(k, n);
  fill_mixed(a, 5);
  fill_mixed(b, 6);
  const Out want = reference(a, b);
  for (bool a_cm : {false, true})
    for (bool b_cm : {false, true})
      for (std::size_t pad : {std::size_t(0), std::size_t(5)}) {
        if (!a_cm && !b_cm && pad == 0) continue;  // the contiguous case itself
        Mat av(m, k, a_cm, pad), bv(k, n, b_cm, pad + 3);
        for (std::size_t i = 0; i < m; ++i)
          for (std::size_t p = 0; p < k; ++p) av.at(i, p) = a.at(i, p);
        for (std::size_t p = 0; p < k; ++p)
          for (std::size_t j = 0; j < n; ++j) bv.at(p, j) = b.at(p, j);
        for (Isa isa : supported_isas())
          EXPECT_TRUE(same_bits(run(isa, av, bv, pad), want))
              << nimbra::cpu::isa_name(isa) << " a_col_major=" << a_cm << " b_col_major=" << b_cm
              << " pad=" << pad;
      }
}

INSTANTIATE_TEST_SUITE_P(Selected, GemmLayouts,
                         ::testing::Values(std::make_tuple(1, 65, 129), std::make_tuple(7, 63, 257),
                                           std::make_tuple(65, 1, 64), std::make_tuple(129, 257, 65),
                                           std::make_tuple(257, 129, 300), std::make_tuple(64, 64, 1),
                                           // k x row stride large enough to pack A, and
                                           // more columns than four micro-panels of any variant
                                           std::make_tuple(70, 140, 520),
                                           // a few rows times a transposed B: the
                                           // transposed product, across inner blocks
                                           std::make_tuple(40, 70, 600)));

// Zero strides repeat one row or column (a broadcast view).
TEST(GemmLayouts, ZeroStrides) {
  Mat row(1, 70), col(70, 1);
  fill_mixed(row, 7);
  fill_mixed(col, 8);
  const std::size_t m = 33, n = 41, k = 70;
  const MatView a{row.buf.data(), 0, 1};  // every row of A is `row`
  const MatView b{col.buf.data(), 1, 0};  // every column of B is `col`
  Out want(m, n);
  nimbra::kernels::gemm_reference(m, n, k, a, b, want.buf.data(), want.ldc);
  for (Isa isa : supported_isas()) {
    Out got(m, n);
    nimbra::kernels::matmul_kernels(isa).gemm(m, n, k, a, b, got.buf.data(), got.ldc);
    EXPECT_TRUE(same_bits(got, want)) << nimbra::cpu::isa_name(isa);
  }
}

// ---- IEEE special values --------------------------------------------------------

// Rows of 2053 floats put most row starts of the 16 MB output off the vector
// alignment, so the scalar heads of the streamed path run too.
const std::size_t kSpecialShapes[][3] = {{1, 300, 40}, {5, 37, 1},   {70, 70, 300},
                                         {9, 33, 0},   {64, 64, 64}, {2048, 2053, 1}};

// Products that are all -0.0 sum to +0.0 (the chain starts at +0.0), on every path.
TEST(GemmSpecials, NegativeZeroProductsSumToPositiveZero) {
  for (const auto& s : kSpecialShapes) {
    Mat a(s[0], s[2]), b(s[2], s[1]);
    for (float& x : a.buf) x = -1.0f;
    for (float& x : b.buf) x = 0.0f;
    for (Isa isa : supported_isas()) {
      const Out c = run(isa, a, b);
      for (std::size_t i = 0; i < c.m; ++i)
        for (std::size_t j = 0; j < c.n; ++j)
          ASSERT_EQ(bits(c.at(i, j)), 0u) << nimbra::cpu::isa_name(isa) << " C[" << i << ", " << j << "]";
    }
  }
}

// 0 * inf makes its output NaN; inf + -inf too; a lone inf stays inf; a NaN operand
// spreads along its row of A / column of B.
TEST(GemmSpecials, NanAndInfinityPropagate) {
  const float inf = std::numeric_limits<float>::infinity();
  for (const auto& s : kSpecialShapes) {
    const std::size_t m = s[0], n = s[1], k = s[2];
    if (k == 0) continue;
    Mat a(m, k), b(k, n);
    fill_mixed(a, 9);
    fill_mixed(b, 10);
    a.at(0, 0) = inf;                      // row 0: inf * b(0, j)
    b.at(0, n - 1) = 0.0f;                 //   -> NaN in C[0, n-1]
    a.at(m - 1, k - 1) = std::nanf("");    // row m-1: NaN everywhere
    if (n > 1) b.at(k - 1, 1) = -inf;      // column 1: -inf, and with row 0's +inf
    expect_all_variants_match(a, b, 0, /*nan_any=*/true);
    const Out c = run(nimbra::cpu::best_isa(), a, b);
    EXPECT_TRUE(std::isnan(c.at(0, n - 1)));
    EXPECT_TRUE(std::isnan(c.at(m - 1, 0)));
  }
}

// ---- the dispatching entry point ----------------------------------------------

TEST(GemmDispatch, GemmIsTheBestVariant) {
  Mat a(70, 90), b(90, 50);
  fill_mixed(a, 11);
  fill_mixed(b, 12);
  Out got(70, 50);
  nimbra::kernels::gemm(70, 50, 90, a.view(), b.view(), got.buf.data(), got.ldc);
  EXPECT_TRUE(same_bits(got, run(nimbra::cpu::best_isa(), a, b)));
  EXPECT_TRUE(same_bits(got, reference(a, b)));
}

// A variant this CPU cannot run (in a portable build: every wider one) is a
// precondition fault.
TEST(GemmDispatch, UnsupportedVariantIsAPrecondition) {
  for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
    if (nimbra::cpu::supports(isa)) continue;
    EXPECT_TRUE(tu::faults(nimbra::FaultKind::Precondition, [&] { (void)nimbra::kernels::matmul_kernels(isa); }))
        << nimbra::cpu::isa_name(isa);
  }
}

// Repeated calls on one thread reuse its packing buffers; calls on another
// thread get their own.
TEST(GemmDispatch, RepeatedAndOtherThread) {
  Mat a(200, 300), b(300, 150, /*col_major=*/true);
  fill_mixed(a, 13);
  fill_mixed(b, 14);
  const Out want = reference(a, b);
  for (int r = 0; r < 3; ++r) EXPECT_TRUE(same_bits(run(nimbra::cpu::best_isa(), a, b), want));
  Out other(200, 150);
  std::thread t([&] {
    nimbra::kernels::gemm(200, 150, 300, a.view(), b.view(), other.buf.data(), other.ldc);
  });
  t.join();
  EXPECT_TRUE(same_bits(other, want));
}

}  // namespace
