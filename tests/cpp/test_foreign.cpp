// Tensors from foreign element buffers: strided walks (negative, zero,
// transposed, padded, merged) against a per-element reference, and the
// descriptions that must be refused. The element kinds and byte orders are
// held to the Python constructor's conversion by the Python suite.
#include <gtest/gtest.h>

#include "nimbra/foreign.hpp"
#include "test_util.hpp"

namespace {

using namespace tu;
using nimbra::ElementKind;
using nimbra::ForeignElements;
using I64s = std::vector<std::int64_t>;

Tensor import_ok(const ForeignElements& source) {
  nimbra::Result<Tensor> r = nimbra::import_elements(source);
  if (!r) throw std::runtime_error(r.error().display());
  return std::move(r).value();
}

// Element (i, j, k) of a [2, 3, 4] view over a storage of doubles, walked
// with byte strides from a start element.
struct StridedCase {
  const char* name;
  I64s strides;  // in elements
  std::int64_t start;
  I64s shape = {2, 3, 4};
};

TEST(Foreign, StridedWalksMatchPerElementReads) {
  const StridedCase cases[] = {
      {"packed", {12, 4, 1}, 0},          {"reversed", {-12, -4, -1}, 23},  {"transposed", {1, 2, 6}, 0},
      {"padded_rows", {20, 5, 1}, 0},     {"broadcast", {0, 4, 0}, 3},      {"mixed_signs", {12, -4, 2}, 8},
      {"zero_dim", {1, 1, 1}, 0, {2, 0, 4}}, {"ones_merge", {7, 4, 1}, 0, {1, 3, 4}},
  };
  std::vector<double> storage(64);
  for (std::size_t i = 0; i < storage.size(); ++i) storage[i] = 0.1 * static_cast<double>(i) - 2.0;
  for (const StridedCase& c : cases) {
    I64s byte_strides;
    for (std::int64_t s : c.strides) byte_strides.push_back(s * 8);
    U64s shape(c.shape.begin(), c.shape.end());
    Floats want;
    for (std::int64_t i = 0; i < c.shape[0]; ++i)
      for (std::int64_t j = 0; j < c.shape[1]; ++j)
        for (std::int64_t k = 0; k < c.shape[2]; ++k)
          want.push_back(static_cast<float>(storage[c.start + i * c.strides[0] + j * c.strides[1] + k * c.strides[2]]));
    const Tensor t = import_ok({storage.data() + c.start, ElementKind::F64, false, c.shape, byte_strides,
                                nimbra::numel_of(shape) * 8});
    EXPECT_TRUE(same_tensor(shape, want, t)) << c.name;
  }
}

TEST(Foreign, RefusesDescriptionsItCannotTrust) {
  const float data[4] = {1, 2, 3, 4};
  const I64s s2{2, 2}, st{8, 4};
  auto kind_of = [](const ForeignElements& f) { return nimbra::import_elements(f).error().kind(); };
  EXPECT_EQ(kind_of({data, ElementKind::F32, false, I64s{2, -2}, st, 16}), nimbra::ErrorKind::InvalidShape);
  EXPECT_EQ(kind_of({data, ElementKind::F32, false, s2, st, 15}), nimbra::ErrorKind::InvalidShape);
  EXPECT_EQ(kind_of({nullptr, ElementKind::F32, false, s2, st, 16}), nimbra::ErrorKind::InvalidShape);
  // Element counts whose byte size wraps around 64 bits cannot match a length.
  const I64s huge{std::int64_t{1} << 62, 2}, huge_st{16, 8};
  EXPECT_EQ(kind_of({data, ElementKind::F64, false, huge, huge_st, 0}), nimbra::ErrorKind::InvalidShape);
  EXPECT_EQ(nimbra::import_elements({data, ElementKind::F32, false, I64s{2, -2}, st, 16}).error().display(),
            "Invalid shape: negative size -2 in shape [2, -2]");
  const I64s over{std::int64_t{1} << 40, std::int64_t{1} << 40}, over_st{0, 0};
  EXPECT_TRUE(faults(nimbra::FaultKind::Precondition,
                     [&] { (void)nimbra::import_elements({data, ElementKind::F32, false, over, over_st, 16}); }));
}

}  // namespace
