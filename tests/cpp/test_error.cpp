// TensorError: the display text and debug rendering of every kind, the
// rendering of size lists and the quoting of texts, and Result<T>.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "nimbra/error.hpp"

namespace {

using nimbra::ErrorKind;
using nimbra::Result;
using nimbra::TensorError;
namespace err = nimbra::err;

constexpr std::uint64_t kMax = ~std::uint64_t{0};

// ---- every kind: code, display text, debug rendering -----------------------

struct KindCase {
  const char* label;
  TensorError error;
  int code;
  std::string display;
  std::string debug;
};

std::vector<KindCase> kind_cases() {
  return {
      {"ShapeMismatch", err::ShapeMismatch{{2, 3}, {3, 2}}, 0, "Shape mismatch: expected [2, 3], got [3, 2]",
       "ShapeMismatch { expected: [2, 3], got: [3, 2] }"},
      {"ShapeMismatchEmpty", err::ShapeMismatch{{}, {1}}, 0, "Shape mismatch: expected [], got [1]",
       "ShapeMismatch { expected: [], got: [1] }"},
      {"InvalidShape", err::InvalidShape{"Data length 3 doesn't match shape [2, 2] (numel=4)"}, 1,
       "Invalid shape: Data length 3 doesn't match shape [2, 2] (numel=4)",
       "InvalidShape(\"Data length 3 doesn't match shape [2, 2] (numel=4)\")"},
      {"InvalidShapeEmptyText", err::InvalidShape{""}, 1, "Invalid shape: ", "InvalidShape(\"\")"},
      {"DimOutOfBounds", err::DimOutOfBounds{2, 2}, 2, "Dimension out of bounds: dim 2 for tensor with 2 dimensions",
       "DimOutOfBounds { dim: 2, ndim: 2 }"},
      {"DimOutOfBoundsWide", err::DimOutOfBounds{kMax, 0}, 2,
       "Dimension out of bounds: dim 18446744073709551615 for tensor with 0 dimensions",
       "DimOutOfBounds { dim: 18446744073709551615, ndim: 0 }"},
      {"IndexOutOfBounds", err::IndexOutOfBounds{5, 3}, 3, "Index out of bounds: index 5 for dimension of size 3",
       "IndexOutOfBounds { index: 5, size: 3 }"},
      {"DTypeMismatch", err::DTypeMismatch{"f32", "i64"}, 4, "Data type mismatch: expected \"f32\", got \"i64\"",
       "DTypeMismatch { expected: \"f32\", got: \"i64\" }"},
      {"DTypeMismatchEscaped", err::DTypeMismatch{"a\"b", "c\\d\n"}, 4,
       "Data type mismatch: expected \"a\\\"b\", got \"c\\\\d\\n\"",
       "DTypeMismatch { expected: \"a\\\"b\", got: \"c\\\\d\\n\" }"},
      {"DeviceMismatch", err::DeviceMismatch{}, 5, "Device mismatch: tensors on different devices", "DeviceMismatch"},
      {"BroadcastError", err::BroadcastError{{2, 3}, {4}}, 6, "Cannot broadcast shapes [2, 3] and [4]",
       "BroadcastError { a: [2, 3], b: [4] }"},
      {"BroadcastErrorEmpty", err::BroadcastError{{}, {0, 0}}, 6, "Cannot broadcast shapes [] and [0, 0]",
       "BroadcastError { a: [], b: [0, 0] }"},
      {"NoGradient", err::NoGradient{}, 7, "Operation requires gradient tracking", "NoGradient"},
      {"AllocationError", err::AllocationError{"out of pages"}, 8, "Memory allocation failed: out of pages",
       "AllocationError(\"out of pages\")"},
      {"CudaError", err::CudaError{"no device"}, 9, "CUDA error: no device", "CudaError(\"no device\")"},
      {"DeviceError", err::DeviceError{"lost"}, 10, "Device error: lost", "DeviceError(\"lost\")"},
      {"InvalidOperation", err::InvalidOperation{"matmul requires at least 2D tensors"}, 11,
       "Invalid operation: matmul requires at least 2D tensors",
       "InvalidOperation(\"matmul requires at least 2D tensors\")"},
      {"IOError", err::IOError{"disk"}, 12, "IO error: disk", "IOError(\"disk\")"},
      {"InvalidFormat", err::InvalidFormat{"bad header"}, 13, "Invalid format: bad header",
       "InvalidFormat(\"bad header\")"},
      {"NotImplemented", err::NotImplemented{"f16"}, 14, "Not implemented: f16", "NotImplemented(\"f16\")"},
      // One-text kinds insert their text unchanged in the display text and
      // quoted in the debug rendering.
      {"OneTextRawInDisplay", err::InvalidOperation{"say \"hi\"\\\n"}, 11, "Invalid operation: say \"hi\"\\\n",
       "InvalidOperation(\"say \\\"hi\\\"\\\\\\n\")"},
  };
}

class KindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(KindTest, CodeDisplayAndDebug) {
  const KindCase& c = GetParam();
  EXPECT_EQ(static_cast<int>(c.error.kind()), c.code);
  EXPECT_EQ(c.error.display(), c.display);
  EXPECT_EQ(c.error.debug(), c.debug);
}

TEST_P(KindTest, CopiesOwnTheirData) {
  // The copy must not point into the original's strings or arrays.
  auto original = std::make_unique<TensorError>(GetParam().error);
  TensorError copy = *original;
  original.reset();
  EXPECT_EQ(copy.display(), GetParam().display);
  EXPECT_EQ(copy.debug(), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, KindTest, ::testing::ValuesIn(kind_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ErrorKinds, CodesFollowDeclarationOrder) {
  EXPECT_EQ(static_cast<int>(ErrorKind::ShapeMismatch), 0);
  EXPECT_EQ(static_cast<int>(ErrorKind::InvalidShape), 1);
  EXPECT_EQ(static_cast<int>(ErrorKind::DTypeMismatch), 4);
  EXPECT_EQ(static_cast<int>(ErrorKind::NoGradient), 7);
  EXPECT_EQ(static_cast<int>(ErrorKind::InvalidOperation), 11);
  EXPECT_EQ(static_cast<int>(ErrorKind::NotImplemented), 14);
  EXPECT_EQ(std::variant_size_v<TensorError::Variant>, 15u);
}

TEST(ErrorKinds, OneTextKindsAreDistinct) {
  // The eight one-text kinds share a shape but must not collapse into one kind.
  TensorError a = err::IOError{"x"};
  TensorError b = err::InvalidFormat{"x"};
  EXPECT_EQ(a.kind(), ErrorKind::IOError);
  EXPECT_EQ(b.kind(), ErrorKind::InvalidFormat);
  EXPECT_NE(a.display(), b.display());
  EXPECT_EQ(a.get<err::InvalidFormat>(), nullptr);
  ASSERT_NE(b.get<err::InvalidFormat>(), nullptr);
  EXPECT_EQ(b.get<err::InvalidFormat>()->text, "x");
}

TEST(ErrorKinds, FieldsAreReadable) {
  TensorError e = err::BroadcastError{{2, 3}, {4}};
  const auto* b = e.get<err::BroadcastError>();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->a, (nimbra::Sizes{2, 3}));
  EXPECT_EQ(b->b, (nimbra::Sizes{4}));
  EXPECT_EQ(e.get<err::ShapeMismatch>(), nullptr);
  EXPECT_EQ(e.get<err::InvalidShape>(), nullptr);
}

// ---- size lists ------------------------------------------------------------

TEST(RenderSizes, Lists) {
  EXPECT_EQ(nimbra::render_sizes(nimbra::Sizes{}), "[]");
  EXPECT_EQ(nimbra::render_sizes(nimbra::Sizes{0}), "[0]");
  EXPECT_EQ(nimbra::render_sizes(nimbra::Sizes{2, 3}), "[2, 3]");
  EXPECT_EQ(nimbra::render_sizes(nimbra::Sizes{1, 10, 100, 1000000}), "[1, 10, 100, 1000000]");
  EXPECT_EQ(nimbra::render_sizes(nimbra::Sizes{kMax, 0}), "[18446744073709551615, 0]");
  const std::uint64_t raw[] = {7, 8, 9};
  EXPECT_EQ(nimbra::render_sizes(raw, 2), "[7, 8]");
  EXPECT_EQ(nimbra::render_sizes(raw, 0), "[]");
}

// ---- quoting ---------------------------------------------------------------

struct QuoteCase {
  const char* label;
  std::string in;
  std::string out;
};

class QuoteTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteTest, Quotes) {
  EXPECT_EQ(nimbra::quote_text(GetParam().in), GetParam().out);
  // The same rules apply inside the debug rendering of one-text kinds.
  TensorError e = err::NotImplemented{GetParam().in};
  EXPECT_EQ(e.debug(), "NotImplemented(" + GetParam().out + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Rules, QuoteTest,
    ::testing::Values(
        QuoteCase{"Empty", "", "\"\""},
        QuoteCase{"Plain", "f32", "\"f32\""},
        QuoteCase{"PrintableAsciiKept", " !#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}~",
                  "\" !#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}~\""},
        QuoteCase{"DoubleQuote", "a\"b", "\"a\\\"b\""},
        QuoteCase{"Backslash", "a\\b", "\"a\\\\b\""},
        QuoteCase{"BackslashThenQuote", "\\\"", "\"\\\\\\\"\""},
        QuoteCase{"Newline", "a\nb", "\"a\\nb\""},
        QuoteCase{"CarriageReturn", "\r", "\"\\r\""},
        QuoteCase{"Tab", "\t", "\"\\t\""},
        QuoteCase{"Nul", std::string("a\0b", 3), "\"a\\0b\""},
        QuoteCase{"OtherC0Control", "\x01\x1b\x1f", "\"\\u{1}\\u{1b}\\u{1f}\""},
        QuoteCase{"Delete", "\x7f", "\"\\u{7f}\""},
        QuoteCase{"C1Control", "\xc2\x85", "\"\\u{85}\""},      // U+0085
        QuoteCase{"Latin1Kept", "caf\xc3\xa9", "\"caf\xc3\xa9\""},  // U+00E9
        QuoteCase{"NbspKeptAfterC1", "\xc2\xa0", "\"\xc2\xa0\""},   // U+00A0 follows the C1 block
        QuoteCase{"CjkKept", "\xe6\x97\xa5\xe6\x9c\xac", "\"\xe6\x97\xa5\xe6\x9c\xac\""},
        QuoteCase{"AstralKept", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // U+1F600
        QuoteCase{"SingleQuoteKept", "it's", "\"it's\""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Quote, NonPrintableFormatAndSeparatorCharacters) {
  // U+2028 LINE SEPARATOR breaks a line and U+200B ZERO WIDTH SPACE is
  // invisible: both are non-printable and should come out as escapes.
  EXPECT_EQ(nimbra::quote_text("\xe2\x80\xa8"), "\"\\u{2028}\"");
  EXPECT_EQ(nimbra::quote_text("\xe2\x80\x8b"), "\"\\u{200b}\"");
}

TEST(Quote, TruncatedSequenceDoesNotReadPastTheEnd) {
  // A lead byte that promises more bytes than the text has must not be decoded.
  std::string out = nimbra::quote_text(std::string("a\xe6\x97", 3));
  EXPECT_EQ(out.front(), '"');
  EXPECT_EQ(out.back(), '"');
  EXPECT_EQ(out.substr(0, 2), "\"a");
  EXPECT_EQ(out.find('\xe6'), std::string::npos) << "a broken sequence is escaped, not copied";
}

// ---- Result ----------------------------------------------------------------

TEST(ResultType, HoldsValueOrError) {
  Result<int> good = 42;
  ASSERT_TRUE(good.ok());
  EXPECT_TRUE(static_cast<bool>(good));
  EXPECT_EQ(good.value(), 42);

  Result<int> bad = err::DimOutOfBounds{3, 2};
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), ErrorKind::DimOutOfBounds);
  EXPECT_EQ(bad.error().debug(), "DimOutOfBounds { dim: 3, ndim: 2 }");

  Result<std::string> moved = std::string("abc");
  std::string taken = std::move(moved).value();
  EXPECT_EQ(taken, "abc");
}

}  // namespace
