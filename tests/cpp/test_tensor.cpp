// The tensor value: DimVec storage, element counts and strides, from_slice,
// full/zeros/ones, the copy-out of plain and strided tensors, and the sharing
// of storage buffers.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "nimbra/error.hpp"
#include "nimbra/fault.hpp"
#include "nimbra/shape.hpp"
#include "nimbra/storage.hpp"
#include "nimbra/tensor.hpp"

#include "test_util.hpp"

namespace {

using nimbra::Buffer;
using nimbra::DimVec;
using nimbra::FaultKind;
using nimbra::InternalFault;
using nimbra::Shape;
using nimbra::Storage;
using nimbra::Strides;
using nimbra::Tensor;
using U64s = std::vector<std::uint64_t>;

constexpr std::uint64_t kMax = ~std::uint64_t{0};
// The stride entry of a backwards step of `s` elements.
constexpr std::uint64_t back(std::uint64_t s) { return 0 - s; }

using tu::bits;
using tu::from_bits;
std::vector<std::uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<std::uint32_t> out;
  for (float x : v) out.push_back(bits(x));
  return out;
}
U64s to_vec(const DimVec& d) { return U64s(d.begin(), d.end()); }
std::vector<float> iota(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i);
  return v;
}
Tensor make(const std::vector<float>& data, const U64s& shape) {
  auto r = Tensor::from_slice(data, shape);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().display());
  return std::move(r).value();
}

// Runs `body` and returns the kind of the InternalFault it throws; fails the
// test when it throws nothing or something else.
template <class F>
::testing::AssertionResult throws_fault(F&& body, FaultKind want) {
  try {
    body();
  } catch (const InternalFault& f) {
    if (f.kind() == want) return ::testing::AssertionSuccess() << f.what();
    return ::testing::AssertionFailure() << "fault of the other kind: " << f.what();
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "other exception: " << e.what();
  }
  return ::testing::AssertionFailure() << "nothing thrown";
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  const char* env = std::getenv("NIMBRA_SANITIZED");
  return env && std::string(env) == "1";
#endif
}

bool overcommits_always() {
  std::ifstream f("/proc/sys/vm/overcommit_memory");
  int mode = 0;
  return (f >> mode) && mode == 1;
}

// The row-major walk written out plainly: an odometer over the indices.
std::vector<float> reference_gather(const std::vector<float>& storage, const U64s& shape, const U64s& strides,
                                    std::uint64_t offset) {
  std::uint64_t n = 1;
  for (auto d : shape) n *= d;
  std::vector<float> out;
  if (n == 0) return out;
  U64s index(shape.size(), 0);
  for (;;) {
    std::uint64_t at = offset;
    for (std::size_t d = 0; d < shape.size(); ++d) at += index[d] * strides[d];
    out.push_back(storage.at(at));
    std::size_t d = shape.size();
    while (d > 0) {
      --d;
      if (++index[d] < shape[d]) break;
      index[d] = 0;
      if (d == 0) return out;
    }
    if (shape.empty()) return out;
  }
}

Tensor strided(const Tensor& base, const U64s& shape, const U64s& strides, std::uint64_t offset) {
  return Tensor(Shape(shape), Strides(strides), base.storage(), offset);
}

// ---- DimVec ----------------------------------------------------------------

TEST(DimVec, SixEntriesInlineSevenOnHeap) {
  DimVec six{1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(six.on_heap());
  EXPECT_EQ(six.size(), 6u);
  EXPECT_EQ(to_vec(six), (U64s{1, 2, 3, 4, 5, 6}));

  DimVec seven{1, 2, 3, 4, 5, 6, 7};
  EXPECT_TRUE(seven.on_heap());
  EXPECT_EQ(seven.size(), 7u);
  EXPECT_EQ(to_vec(seven), (U64s{1, 2, 3, 4, 5, 6, 7}));

  DimVec none;
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(none.on_heap());
  EXPECT_EQ(DimVec::zeros(9).size(), 9u);
  EXPECT_EQ(to_vec(DimVec::zeros(7)), U64s(7, 0));
}

TEST(DimVec, CopyIsDeepMoveSteals) {
  for (std::size_t n : {std::size_t{3}, std::size_t{8}}) {
    U64s values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = 10 + i;
    DimVec a{std::span<const std::uint64_t>(values)};
    DimVec b = a;
    EXPECT_EQ(a, b);
    EXPECT_NE(a.data(), b.data());
    b[0] = 99;
    EXPECT_EQ(a[0], 10u) << "copies share no entries";

    const std::uint64_t* heap = a.data();
    DimVec c = std::move(a);
    EXPECT_EQ(to_vec(c), values);
    EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty
    if (n > DimVec::kInline) {
      EXPECT_EQ(c.data(), heap) << "a heap block moves without copying";
    }

    DimVec d{1};
    d = c;  // copy-assign over a smaller one
    EXPECT_EQ(to_vec(d), values);
    d = d;  // self-assignment keeps the entries
    EXPECT_EQ(to_vec(d), values);
    DimVec e{1, 2, 3, 4, 5, 6, 7, 8, 9};
    e = std::move(d);  // move-assign over a heap one
    EXPECT_EQ(to_vec(e), values);
    e = DimVec{};  // back to empty
    EXPECT_TRUE(e.empty());
    EXPECT_FALSE(e.on_heap());
  }
}

TEST(DimVec, EqualityComparesSizeAndEntries) {
  EXPECT_EQ(DimVec({}), DimVec());
  EXPECT_NE(DimVec({1, 2}), DimVec({1, 2, 0}));
  EXPECT_NE(DimVec({1, 2}), DimVec({2, 1}));
  EXPECT_EQ(DimVec({1, 2, 3, 4, 5, 6, 7}), DimVec({1, 2, 3, 4, 5, 6, 7}));
}

// ---- numel and strides -----------------------------------------------------

TEST(Numel, PlainProduct) {
  EXPECT_EQ(nimbra::numel_of(U64s{}), 1u);
  EXPECT_EQ(nimbra::numel_of(U64s{2, 3, 4}), 24u);
  EXPECT_EQ(nimbra::numel_of(U64s{2, 0, 3}), 0u);
  EXPECT_EQ(nimbra::numel_of(U64s{1, 1, 1, 1, 1, 1, 1}), 1u);
}

TEST(Numel, CheckedRefusesOverflowAsPrecondition) {
  EXPECT_EQ(nimbra::checked_numel(U64s{}), 1u);
  EXPECT_EQ(nimbra::checked_numel(U64s{1ull << 32, (1ull << 32) - 1}), kMax - ((1ull << 32) - 1));
  EXPECT_EQ(nimbra::checked_numel(U64s{kMax}), kMax);
  EXPECT_EQ(nimbra::checked_numel(U64s{0, kMax}), 0u);
  EXPECT_EQ(nimbra::checked_numel(U64s{kMax, kMax, 0}), 0u) << "a zero anywhere means no elements";
  EXPECT_TRUE(throws_fault([] { (void)nimbra::checked_numel(U64s{1ull << 40, 1ull << 40}); },
                           FaultKind::Precondition));
  EXPECT_TRUE(throws_fault([] { (void)nimbra::checked_numel(U64s{1ull << 32, 1ull << 32}); },
                           FaultKind::Precondition))
      << "exactly 2**64 wraps to 0 and must not pass";
  EXPECT_TRUE(throws_fault([] { (void)nimbra::checked_numel(U64s{2, 2, 2, 2, 2, 2, 2, 1ull << 58}); },
                           FaultKind::Precondition));
}

TEST(DefaultStrides, RowMajor) {
  EXPECT_EQ(to_vec(nimbra::default_strides(U64s{2, 3, 4})), (U64s{12, 4, 1}));
  EXPECT_EQ(to_vec(nimbra::default_strides(U64s{5})), (U64s{1}));
  EXPECT_EQ(to_vec(nimbra::default_strides(U64s{2, 0, 3})), (U64s{0, 3, 1}));
  EXPECT_EQ(to_vec(nimbra::default_strides(U64s{0, 5})), (U64s{5, 1}));
  EXPECT_TRUE(nimbra::default_strides(U64s{}).empty());
  Strides seven = nimbra::default_strides(U64s{2, 1, 3, 1, 2, 2, 5});
  EXPECT_TRUE(seven.on_heap());
  EXPECT_EQ(to_vec(seven), (U64s{60, 60, 20, 20, 10, 5, 1}));
}

// ---- fresh tensors ---------------------------------------------------------

void expect_fresh(const Tensor& t, const U64s& shape) {
  std::uint64_t n = nimbra::numel_of(shape);
  EXPECT_EQ(to_vec(t.shape()), shape);
  EXPECT_EQ(t.ndim(), shape.size());
  EXPECT_EQ(t.numel(), n);
  EXPECT_EQ(to_vec(t.strides()), to_vec(nimbra::default_strides(shape)));
  EXPECT_EQ(t.strides().size(), t.shape().size());
  EXPECT_TRUE(t.is_contiguous());
  EXPECT_EQ(t.offset(), 0u);
  EXPECT_EQ(t.storage().len(), n);
  ASSERT_NE(t.storage().buffer(), nullptr);
  EXPECT_EQ(t.storage().buffer()->bytes(), 4 * n);
  EXPECT_EQ(t.storage().buffer()->ref_count(), 1u);
  EXPECT_EQ(t.storage().dtype(), nimbra::DType::F32);
  EXPECT_EQ(static_cast<int>(t.storage().dtype()), 2);
  EXPECT_FALSE(t.has_grad());
  EXPECT_FALSE(t.requires_grad());
  EXPECT_EQ(t.shape().on_heap(), shape.size() > 6);
  EXPECT_EQ(t.strides().on_heap(), shape.size() > 6);
}

class FreshShapes : public ::testing::TestWithParam<U64s> {};

TEST_P(FreshShapes, FromSliceInvariantsAndValues) {
  const U64s& shape = GetParam();
  std::vector<float> data = iota(nimbra::numel_of(shape));
  Tensor t = make(data, shape);
  expect_fresh(t, shape);
  EXPECT_EQ(bits_of(t.data_f32()), bits_of(data));
}

TEST_P(FreshShapes, FullZerosOnesInvariants) {
  const U64s& shape = GetParam();
  const std::size_t n = nimbra::numel_of(shape);
  Tensor z = Tensor::zeros(shape);
  Tensor o = Tensor::ones(shape);
  Tensor f = Tensor::full(shape, -2.5f);
  for (const Tensor* t : {&z, &o, &f}) expect_fresh(*t, shape);
  EXPECT_EQ(bits_of(z.data_f32()), std::vector<std::uint32_t>(n, 0u)) << "zeros are +0.0";
  EXPECT_EQ(bits_of(o.data_f32()), std::vector<std::uint32_t>(n, 0x3f800000u));
  EXPECT_EQ(bits_of(f.data_f32()), std::vector<std::uint32_t>(n, bits(-2.5f)));
}

INSTANTIATE_TEST_SUITE_P(Shapes, FreshShapes,
                         ::testing::Values(U64s{}, U64s{1}, U64s{5}, U64s{2, 3}, U64s{2, 3, 4}, U64s{0},
                                           U64s{0, 5}, U64s{3, 0, 2}, U64s{1, 1, 1, 1, 1, 1},
                                           U64s{1, 1, 1, 1, 1, 1, 1}, U64s{2, 1, 3, 1, 2, 1, 2},
                                           U64s{1, 2, 1, 2, 1, 2, 1, 2, 3}, U64s{1000, 3}));

TEST(FromSlice, ZeroDimensional) {
  Tensor t = make({5.0f}, {});
  EXPECT_EQ(t.ndim(), 0u);
  EXPECT_EQ(t.numel(), 1u);
  EXPECT_TRUE(t.strides().empty());
  EXPECT_EQ(t.data_f32(), std::vector<float>{5.0f});
}

TEST(FromSlice, EmptyDimensionGivesEmptyBuffer) {
  Tensor t = make({}, {0, 5});
  EXPECT_EQ(to_vec(t.strides()), (U64s{5, 1}));
  EXPECT_EQ(t.storage().len(), 0u);
  EXPECT_EQ(t.storage().buffer()->bytes(), 0u);
  EXPECT_TRUE(t.data_f32().empty());
}

TEST(FromSlice, CopiesEveryBitPattern) {
  // NaN payloads, signed zeros, subnormals and infinities all survive.
  std::vector<std::uint32_t> patterns = {0x00000000u, 0x80000000u, 0x00000001u, 0x807fffffu, 0x7f7fffffu,
                                         0x7f800000u, 0xff800000u, 0x7fc00000u, 0xffc00001u, 0x7f800001u,
                                         0x3dcccccdu, 0x3f800000u};
  std::vector<float> data;
  for (auto p : patterns) data.push_back(from_bits(p));
  Tensor t = make(data, {3, 4});
  data[0] = 42.0f;  // the tensor holds its own copy
  EXPECT_EQ(bits_of(t.data_f32()), patterns);
}

struct LengthCase {
  std::size_t length;
  U64s shape;
  std::string text;
};

class FromSliceLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(FromSliceLength, RefusedWithExactText) {
  const LengthCase& c = GetParam();
  std::vector<float> data(c.length, 1.0f);
  auto r = Tensor::from_slice(data, c.shape);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), nimbra::ErrorKind::InvalidShape);
  const auto* e = r.error().get<nimbra::err::InvalidShape>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->text, c.text);
  EXPECT_EQ(r.error().display(), "Invalid shape: " + c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FromSliceLength,
    ::testing::Values(LengthCase{3, {2, 2}, "Data length 3 doesn't match shape [2, 2] (numel=4)"},
                      LengthCase{0, {}, "Data length 0 doesn't match shape [] (numel=1)"},
                      LengthCase{2, {}, "Data length 2 doesn't match shape [] (numel=1)"},
                      LengthCase{1, {0, 5}, "Data length 1 doesn't match shape [0, 5] (numel=0)"},
                      LengthCase{7, {1, 1, 1, 1, 1, 1, 6},
                                 "Data length 7 doesn't match shape [1, 1, 1, 1, 1, 1, 6] (numel=6)"},
                      LengthCase{1, {1ull << 40},
                                 "Data length 1 doesn't match shape [1099511627776] (numel=1099511627776)"},
                      LengthCase{0, {kMax}, "Data length 0 doesn't match shape [18446744073709551615] "
                                            "(numel=18446744073709551615)"}));

TEST(FromSlice, ElementCountBeyond64BitsIsAPreconditionFault) {
  EXPECT_TRUE(throws_fault([] { (void)Tensor::from_slice({}, U64s{1ull << 40, 1ull << 40}); },
                           FaultKind::Precondition));
  EXPECT_TRUE(throws_fault([] { (void)Tensor::from_slice({}, U64s{1ull << 32, 1ull << 32}); },
                           FaultKind::Precondition))
      << "2**64 elements must not wrap to an empty tensor";
  auto ok = Tensor::from_slice({}, U64s{0, kMax});
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value().numel(), 0u);
}

// ---- full ------------------------------------------------------------------

TEST(Full, KeepsTheValueBits) {
  for (std::uint32_t pattern : {0x80000000u, 0x7fc12345u, 0xff800000u, 0x00000001u, 0x7f7fffffu}) {
    Tensor t = Tensor::full(U64s{3, 5}, from_bits(pattern));
    EXPECT_EQ(bits_of(t.data_f32()), std::vector<std::uint32_t>(15, pattern)) << std::hex << pattern;
  }
}

TEST(Full, LargeZerosAreZeroBits) {
  // Large enough to come from fresh pages rather than a recycled block.
  const std::uint64_t n = std::uint64_t{3} << 20;
  {
    // Leave dirty memory behind for the allocator to hand out again.
    Tensor dirty = Tensor::full(U64s{n}, -1.0f);
    ASSERT_EQ(dirty.numel(), n);
  }
  Tensor z = Tensor::zeros(U64s{n});
  std::vector<float> v = z.data_f32();
  std::size_t nonzero = 0;
  for (float x : v) nonzero += bits(x) != 0;
  EXPECT_EQ(nonzero, 0u);
  Tensor neg = Tensor::full(U64s{n}, -0.0f);
  v = neg.data_f32();
  std::size_t wrong = 0;
  for (float x : v) wrong += bits(x) != 0x80000000u;
  EXPECT_EQ(wrong, 0u) << "-0.0 is written, not taken from zeroed memory";
}

TEST(Full, ByteCountBeyondSigned64IsAPreconditionFault) {
  EXPECT_TRUE(throws_fault([] { (void)Tensor::zeros(U64s{1ull << 62}); }, FaultKind::Precondition));
  EXPECT_TRUE(throws_fault([] { (void)Tensor::ones(U64s{1ull << 61}); }, FaultKind::Precondition));
  EXPECT_TRUE(throws_fault([] { (void)Tensor::zeros(U64s{kMax}); }, FaultKind::Precondition));
  EXPECT_TRUE(throws_fault([] { (void)Tensor::zeros(U64s{1ull << 40, 1ull << 40}); }, FaultKind::Precondition));
  EXPECT_TRUE(throws_fault([] { (void)Buffer::allocate(std::uint64_t{1} << 61, true); }, FaultKind::Precondition));
}

TEST(Full, UnobtainableMemoryIsBadAlloc) {
  if (sanitized()) GTEST_SKIP() << "the sanitizer allocator aborts on huge requests";
  // 2**61 - 1 elements: the byte count fits in int64 but no machine has it.
  EXPECT_THROW((void)Buffer::allocate((std::uint64_t{1} << 61) - 1, false), std::bad_alloc);
  EXPECT_THROW((void)Buffer::allocate((std::uint64_t{1} << 61) - 1, true), std::bad_alloc);
  if (overcommits_always()) GTEST_SKIP() << "vm.overcommit_memory=1 grants 4 TiB of address space";
  EXPECT_THROW((void)Tensor::zeros(U64s{1ull << 40}), std::bad_alloc);
  EXPECT_THROW((void)Tensor::ones(U64s{1ull << 40}), std::bad_alloc);
}

TEST(FromFresh, LengthMismatchIsImpossible) {
  EXPECT_TRUE(throws_fault(
      [] {
        nimbra::FreshBuffer values(3);
        (void)Tensor::from_fresh(std::move(values), U64s{2, 2});
      },
      FaultKind::Impossible));
  nimbra::FreshBuffer values(4, true);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(bits(values.data()[i]), 0u);
  values.data()[2] = 7.0f;
  Tensor t = Tensor::from_fresh(std::move(values), U64s{2, 2});
  expect_fresh(t, {2, 2});
  EXPECT_EQ(t.data_f32(), (std::vector<float>{0, 0, 7, 0}));
  EXPECT_EQ(values.size(), 0u);  // NOLINT(bugprone-use-after-move): handed over
}

// ---- data_f32 of strided views ---------------------------------------------

struct ViewCase {
  const char* label;
  std::size_t storage_len;
  U64s shape;
  U64s strides;
  std::uint64_t offset;
  std::vector<float> want;  // empty with want_reference: compare against the plain walk
  bool want_reference = false;
};

class StridedView : public ::testing::TestWithParam<ViewCase> {};

TEST_P(StridedView, CopyOutInLogicalOrder) {
  const ViewCase& c = GetParam();
  std::vector<float> values = iota(c.storage_len);
  Tensor base = make(values, {c.storage_len});
  Tensor v = strided(base, c.shape, c.strides, c.offset);
  std::vector<float> want = c.want_reference ? reference_gather(values, c.shape, c.strides, c.offset) : c.want;
  if (c.want_reference) {
    ASSERT_EQ(want.size(), nimbra::numel_of(c.shape));
  }

  EXPECT_EQ(v.data_f32(), want);

  // Every read path agrees.
  std::vector<float> out(v.numel() + 1, -7.0f);
  v.copy_elements_to(out.data());
  EXPECT_EQ(std::vector<float>(out.begin(), out.end() - 1), want);
  EXPECT_EQ(out.back(), -7.0f) << "wrote past numel";
  nimbra::ElementsView ev = v.elements();
  ASSERT_EQ(ev.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(ev[i], want[i]) << i;

  // A view against its contiguous copy.
  Tensor copy = make(want, c.shape);
  EXPECT_EQ(copy.data_f32(), v.data_f32());

  // The view shares the buffer and leaves the source alone.
  EXPECT_EQ(v.storage().buffer(), base.storage().buffer());
  EXPECT_EQ(base.data_f32(), values);
}

INSTANTIATE_TEST_SUITE_P(
    Views, StridedView,
    ::testing::Values(
        ViewCase{"Transpose2x3", 6, {3, 2}, {1, 3}, 0, {0, 3, 1, 4, 2, 5}},
        ViewCase{"Transpose3x2", 6, {2, 3}, {1, 2}, 0, {0, 2, 4, 1, 3, 5}},
        ViewCase{"RowsWithGap", 6, {2, 2}, {3, 1}, 1, {1, 2, 4, 5}},
        ViewCase{"ContiguousAtOffset", 6, {2}, {1}, 3, {3, 4}},
        ViewCase{"ZeroDimAtOffset", 6, {}, {}, 4, {4}},
        ViewCase{"ZeroDimAtLastElement", 6, {}, {}, 5, {5}},
        ViewCase{"RepeatedRows", 3, {3, 2}, {0, 1}, 1, {1, 2, 1, 2, 1, 2}},
        ViewCase{"RepeatedColumns", 3, {3, 2}, {1, 0}, 0, {0, 0, 1, 1, 2, 2}},
        ViewCase{"Reversed", 4, {2, 2}, {1, 2}, 0, {0, 2, 1, 3}},
        ViewCase{"StepTwo", 9, {4}, {2}, 1, {1, 3, 5, 7}},
        ViewCase{"SingletonDimsOddStrides", 6, {1, 3, 1}, {100, 2, 7}, 0, {0, 2, 4}},
        ViewCase{"EmptyNonContiguous", 0, {3, 0}, {1, 3}, 0, {}},
        ViewCase{"EmptyFirstDim", 6, {0, 3}, {1, 1}, 0, {}},
        ViewCase{"EmptyInStorage", 6, {2, 0, 2}, {1, 1, 1}, 5, {}},
        ViewCase{"ThreeDPermuted", 24, {4, 2, 3}, {1, 12, 4}, 0, {}, true},
        ViewCase{"SixDPermuted", 64, {2, 2, 2, 2, 2, 2}, {1, 32, 2, 16, 4, 8}, 0, {}, true},
        ViewCase{"SevenDPermuted", 72, {3, 1, 2, 2, 1, 3, 2}, {1, 36, 3, 6, 36, 12, 36}, 0, {}, true},
        ViewCase{"SevenDReversedWithOffset", 130, {2, 2, 2, 2, 2, 2, 2}, {1, 2, 4, 8, 16, 32, 64}, 1, {}, true},
        ViewCase{"SevenDInnerContiguous", 300, {2, 1, 3, 1, 2, 1, 5}, {150, 7, 40, 1, 12, 3, 1}, 3, {}, true},
        // Transposed trailing pairs, larger than one copy tile and not a
        // multiple of it, alone, batched and behind unit dimensions.
        ViewCase{"TransposeLarge", 3150, {45, 70}, {1, 45}, 0, {}, true},
        ViewCase{"TransposeTallThin", 99, {1, 99}, {1, 1}, 0, {}, true},
        ViewCase{"TransposeBatched", 3960, {3, 40, 33}, {1320, 1, 40}, 0, {}, true},
        ViewCase{"TransposeBatchedAtOffset", 3970, {3, 40, 33}, {1320, 1, 40}, 7, {}, true},
        ViewCase{"TransposeSevenD", 840, {2, 1, 2, 1, 2, 35, 3}, {420, 1, 210, 1, 105, 1, 35}, 0, {}, true},
        ViewCase{"TransposeOuterPermuted", 3960, {40, 3, 33}, {1, 1320, 40}, 0, {}, true},
        ViewCase{"TransposeRepeatedColumns", 40, {40, 70}, {1, 0}, 0, {}, true},
        ViewCase{"TransposeStepped", 200, {33, 3}, {1, 66}, 1, {}, true},
        ViewCase{"EightDTranspose", 256, {2, 2, 2, 2, 2, 2, 2, 2}, {1, 128, 64, 32, 16, 8, 4, 2}, 0, {}, true},
        // Negative strides (kept in two's complement), as slices with a
        // negative step make them.
        ViewCase{"Flipped", 6, {6}, {back(1)}, 5, {5, 4, 3, 2, 1, 0}},
        ViewCase{"FlippedRows", 6, {2, 3}, {back(3), 1}, 3, {3, 4, 5, 0, 1, 2}},
        ViewCase{"FlippedTransposeLarge", 3150, {45, 70}, {1, back(45)}, 45 * 69, {}, true},
        ViewCase{"FlippedSteppedBatched", 3960, {3, 40, 33}, {back(1320), 1, back(40)}, 3920, {}, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(StridedView, TransposedOnesAreOnes) {
  Tensor ones = Tensor::ones(U64s{2, 3});
  Tensor t = strided(ones, {3, 2}, {1, 3}, 0);
  EXPECT_FALSE(t.is_contiguous());
  EXPECT_EQ(bits_of(t.data_f32()), std::vector<std::uint32_t>(6, 0x3f800000u));
}

TEST(StridedView, TransposeOfEmptyZeros) {
  Tensor zeros = Tensor::zeros(U64s{0, 3});
  Tensor t = strided(zeros, {3, 0}, {1, 3}, 0);
  EXPECT_FALSE(t.is_contiguous());
  EXPECT_TRUE(t.data_f32().empty());
  EXPECT_EQ(t.elements().size(), 0u);
}

TEST(StridedView, ReachingBeyondStorageIsImpossible) {
  Tensor base = make(iota(6), {6});
  EXPECT_TRUE(throws_fault([&] { (void)strided(base, {2, 3}, {3, 1}, 1).data_f32(); }, FaultKind::Impossible));
  EXPECT_TRUE(throws_fault([&] { (void)strided(base, {}, {}, 6).data_f32(); }, FaultKind::Impossible));
  EXPECT_TRUE(throws_fault([&] { (void)strided(base, {4}, {2}, 0).data_f32(); }, FaultKind::Impossible));
  EXPECT_TRUE(throws_fault([&] { (void)strided(base, {2, 2}, {1, 5}, 1).elements(); }, FaultKind::Impossible));
  EXPECT_TRUE(throws_fault([&] { (void)strided(base, {3}, {back(1)}, 1).data_f32(); }, FaultKind::Impossible))
      << "steps back before the storage";
  EXPECT_TRUE(throws_fault([&] { (void)strided(base, {2, 2}, {back(2), 3}, 1).data_f32(); }, FaultKind::Impossible));
  // The buffer's lock is released again after the fault.
  EXPECT_EQ(base.data_f32(), iota(6));
}

TEST(StridedView, BoundCheckSurvivesWrappingArithmetic) {
  // offset + (size - 1) * stride can wrap past 2**64 to a small index; such a
  // view still reaches beyond its storage and must be refused, not read.
  Tensor base = make(iota(6), {6});
  EXPECT_TRUE(throws_fault([&] { (void)strided(base, {2}, {1}, kMax).data_f32(); }, FaultKind::Impossible));
  EXPECT_TRUE(throws_fault([&] { (void)strided(base, {3}, {1ull << 63}, 0).data_f32(); }, FaultKind::Impossible));
}

TEST(StridedView, IsContiguousFollowsStridesOnly) {
  Tensor base = make(iota(12), {12});
  EXPECT_TRUE(strided(base, {3, 4}, {4, 1}, 0).is_contiguous());
  EXPECT_TRUE(strided(base, {2, 4}, {4, 1}, 4).is_contiguous()) << "offset does not count";
  EXPECT_FALSE(strided(base, {4, 3}, {1, 4}, 0).is_contiguous());
  EXPECT_FALSE(strided(base, {3, 4}, {4, 2}, 0).is_contiguous());
  EXPECT_TRUE(strided(base, {}, {}, 3).is_contiguous());
}

// ---- views and the elements view --------------------------------------------

TEST(View, SharesStorageKeepsOffsetEmptyGrad) {
  Tensor base = make(iota(6), {2, 3});
  Tensor offset_view = strided(base, {2}, {1}, 2);
  Tensor v = offset_view.view(Shape{2, 1}, Strides{1, 1});
  EXPECT_EQ(v.offset(), 2u);
  EXPECT_EQ(v.storage().buffer(), base.storage().buffer());
  EXPECT_EQ(v.storage().len(), 6u);
  EXPECT_FALSE(v.has_grad());
  EXPECT_FALSE(v.requires_grad());
  EXPECT_EQ(v.data_f32(), (std::vector<float>{2, 3}));
  EXPECT_EQ(base.storage().buffer()->ref_count(), 3u);
}

TEST(ElementsView, PlainIsTheBufferStridedIsACopy) {
  Tensor t = make(iota(6), {2, 3});
  {
    nimbra::ElementsView ev = t.elements();
    EXPECT_FALSE(ev.is_copy());
    EXPECT_EQ(ev.data(), t.storage().buffer()->data());
    EXPECT_EQ(ev.size(), 6u);
    // Readers never wait for each other: a copy-out while the view reads works.
    EXPECT_EQ(t.data_f32(), iota(6));
  }
  Tensor tr = strided(t, {3, 2}, {1, 3}, 0);
  nimbra::ElementsView ev = tr.elements();
  EXPECT_TRUE(ev.is_copy());
  EXPECT_NE(ev.data(), t.storage().buffer()->data());
  EXPECT_EQ(std::vector<float>(ev.data(), ev.data() + ev.size()), (std::vector<float>{0, 3, 1, 4, 2, 5}));

  Tensor at_offset = strided(t, {3}, {1}, 3);
  EXPECT_TRUE(at_offset.elements().is_copy()) << "an offset view is not plain";

  Tensor zero_d = Tensor::full(U64s{}, 3.0f);
  nimbra::ElementsView z = zero_d.elements();
  EXPECT_FALSE(z.is_copy());
  ASSERT_EQ(z.size(), 1u);
  EXPECT_EQ(z[0], 3.0f);

  Tensor empty = Tensor::zeros(U64s{0, 4});
  EXPECT_EQ(empty.elements().size(), 0u);
  EXPECT_FALSE(empty.elements().is_copy());
}

TEST(ElementsView, OutlivesTheTensorItCameFrom) {
  nimbra::ElementsView ev;
  {
    Tensor t = make(iota(4), {2, 2});
    Tensor tr = strided(t, {2, 2}, {1, 2}, 0);
    ev = tr.elements();
  }
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(std::vector<float>(ev.data(), ev.data() + 4), (std::vector<float>{0, 2, 1, 3}));
}

// ---- storage sharing -------------------------------------------------------

TEST(Storage, CopiesShareTheBufferAndCountReferences) {
  Tensor t = make(iota(4), {4});
  Buffer* buffer = t.storage().buffer();
  EXPECT_EQ(buffer->ref_count(), 1u);
  {
    Storage a = t.storage();
    EXPECT_EQ(a.buffer(), buffer);
    EXPECT_EQ(a.len(), 4u);
    EXPECT_EQ(a.dtype(), nimbra::DType::F32);
    EXPECT_EQ(buffer->ref_count(), 2u);
    Storage b = std::move(a);
    EXPECT_EQ(buffer->ref_count(), 2u) << "a move takes no reference";
    EXPECT_EQ(a.buffer(), nullptr);  // NOLINT(bugprone-use-after-move)
    Storage c;
    c = b;
    EXPECT_EQ(buffer->ref_count(), 3u);
    c = Storage();
    EXPECT_EQ(buffer->ref_count(), 2u);
    {
      Tensor copy = t;
      EXPECT_EQ(buffer->ref_count(), 3u);
      EXPECT_EQ(copy.data_f32(), iota(4));
      Tensor moved = std::move(copy);
      EXPECT_EQ(buffer->ref_count(), 3u);
    }
    EXPECT_EQ(buffer->ref_count(), 2u);
  }
  EXPECT_EQ(buffer->ref_count(), 1u);
}

TEST(Storage, ViewKeepsBufferAliveAfterSource) {
  std::vector<Tensor> keep;
  {
    Tensor t = make(iota(6), {2, 3});
    keep.push_back(strided(t, {3, 2}, {1, 3}, 0));
  }
  EXPECT_EQ(keep[0].storage().buffer()->ref_count(), 1u);
  EXPECT_EQ(keep[0].data_f32(), (std::vector<float>{0, 3, 1, 4, 2, 5}));
}

TEST(Storage, ConcurrentCopiesAndReads) {
  Tensor t = make(iota(1000), {10, 100});
  Tensor tr = strided(t, {100, 10}, {1, 100}, 0);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        Tensor c = (i & 1) ? t : tr;
        std::vector<float> v = c.data_f32();
        if (v.size() != 1000 || v[1] != ((i & 1) ? 1.0f : 100.0f)) ++bad;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(t.storage().buffer()->ref_count(), 2u);
}

}  // namespace
