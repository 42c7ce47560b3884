// The reduction kernels: the scalar definition on hand-made slices (first
// NaN, first of ties, both zeros, the order of the sum), then every variant
// against it at lengths and widths around each vector width and the column
// chunk.
#include <gtest/gtest.h>

#include "ops/reduction_kernels.hpp"
#include "test_util.hpp"

namespace {

namespace k = nimbra::kernels;
using namespace tu;
using nimbra::cpu::Isa;
using k::Reduce;

const Reduce kOps[] = {Reduce::Sum, Reduce::Max, Reduce::Min, Reduce::ArgMax, Reduce::ArgMin};
const char* label(Reduce op) {
  static const char* const kNames[] = {"sum", "max", "min", "argmax", "argmin"};
  return kNames[static_cast<int>(op)];
}

struct SliceCase {
  Floats v;
  float sum, max, min, argmax, argmin;
};

TEST(ReduceScalar, Definition) {
  const float k24 = 16777216.0f;
  const SliceCase cases[] = {
      {{2.5f}, 2.5f, 2.5f, 2.5f, 0, 0},
      {{-0.0f}, -0.0f, -0.0f, -0.0f, 0, 0},
      {{-0.0f, 0.0f}, 0.0f, -0.0f, -0.0f, 0, 0},  // equal values: the first stays
      {{0.0f, -0.0f}, 0.0f, 0.0f, 0.0f, 0, 0},
      {{-0.0f, -0.0f}, -0.0f, -0.0f, -0.0f, 0, 0},
      {{1, 3, 3, 1}, 8, 3, 1, 1, 0},
      {{1, kNaN, 3, kNaN}, kNaN, kNaN, kNaN, 1, 1},  // the first NaN wins
      {{kNaN, 5}, kNaN, kNaN, kNaN, 0, 0},
      {{-kInf, -kInf}, -kInf, -kInf, -kInf, 0, 0},
      {{kInf, -kInf, 2}, kNaN, kInf, -kInf, 0, 1},
      {{k24, 1, 1}, k24, k24, 1, 0, 1},  // each partial sum is an f32
      {{1, 1, k24}, 16777218.0f, k24, 1, 2, 0},
  };
  for (const SliceCase& c : cases) {
    const float want[] = {c.sum, c.max, c.min, c.argmax, c.argmin};
    for (Reduce op : kOps) {
      EXPECT_TRUE(same_float(want[static_cast<int>(op)], k::reduce_scalar(op, c.v.data(), c.v.size(), 1)))
          << label(op) << " of " << ::testing::PrintToString(c.v);
    }
  }
  // A stride picks every step-th element.
  const Floats strided = {4, 9, 3, kNaN, 7, 9};
  EXPECT_TRUE(same_float(7.0f, k::reduce_scalar(Reduce::Max, strided.data(), 3, 2)));
  EXPECT_TRUE(same_float(2.0f, k::reduce_scalar(Reduce::ArgMax, strided.data(), 3, 2)));
}

// Ties (small integers), both zeros, infinities, NaNs one in `nan_every`
// (none for 0), and magnitudes across binades so that any other order of a
// sum gives other bits.
Floats mixed(std::size_t n, std::uint64_t seed, std::uint32_t nan_every) {
  Lcg g(seed);
  Floats v(n);
  for (float& x : v) {
    const std::uint32_t r = g.next();
    if (nan_every && r % nan_every == 0) {
      x = kNaN;
      continue;
    }
    switch ((r >> 8) % 8) {
      case 0: x = (r >> 16) % 2 ? 0.0f : -0.0f; break;
      case 1: x = (r >> 16) % 9 ? static_cast<float>(static_cast<int>((r >> 20) % 7) - 3) : kInf; break;
      case 2: x = (r >> 16) % 9 ? static_cast<float>(static_cast<int>((r >> 20) % 5) - 2) : -kInf; break;
      default: x = g.uniform(-4.0f, 4.0f) * static_cast<float>(1u << ((r >> 16) % 24)); break;
    }
  }
  return v;
}

using tu::supported_isas;

constexpr float kSentinel = 1234.5f;

class ReductionVariant : public ::testing::TestWithParam<Isa> {};

TEST_P(ReductionVariant, ColumnsMatchScalar) {
  const k::ReductionKernels& table = k::reduction_kernels(GetParam());
  std::uint64_t seed = 0;
  for (std::size_t L : {1, 2, 3, 7, 16, 33}) {
    for (std::size_t I : {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 33, 100, 1023, 1024, 1025, 2100}) {
      for (std::uint32_t nan_every : {0u, 5u}) {
        const Floats src = mixed(L * I, ++seed, nan_every);
        for (Reduce op : kOps) {
          Floats out(I + 17, kSentinel);  // sentinels past the end, wider than a vector
          table.columns(op, src.data(), L, I, out.data());
          for (std::size_t j = 0; j < I; ++j) {
            ASSERT_TRUE(same_float(k::reduce_scalar(op, src.data() + j, L, I), out[j]))
                << label(op) << " L=" << L << " I=" << I << " column " << j;
          }
          for (std::size_t j = I; j < out.size(); ++j) ASSERT_EQ(bits(out[j]), bits(kSentinel)) << "written past";
        }
      }
    }
  }
}

TEST_P(ReductionVariant, RowsMatchScalar) {
  const k::ReductionKernels& table = k::reduction_kernels(GetParam());
  std::uint64_t seed = 100;
  for (std::size_t R : {1, 3, 4, 5, 8, 15, 16, 17, 33, 40}) {
    for (std::size_t L : {1, 2, 3, 5, 8, 15, 16, 17, 31, 33, 100}) {
      for (std::uint32_t nan_every : {0u, 7u}) {
        const Floats src = mixed(R * L, ++seed, nan_every);
        for (Reduce op : kOps) {
          Floats out(R + 17, kSentinel);
          table.rows(op, src.data(), R, L, out.data());
          for (std::size_t r = 0; r < R; ++r) {
            ASSERT_TRUE(same_float(k::reduce_scalar(op, src.data() + r * L, L, 1), out[r]))
                << label(op) << " R=" << R << " L=" << L << " row " << r;
          }
          for (std::size_t r = R; r < out.size(); ++r) ASSERT_EQ(bits(out[r]), bits(kSentinel)) << "written past";
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Isas, ReductionVariant, ::testing::ValuesIn(supported_isas()),
                         [](const auto& info) { return std::string(nimbra::cpu::isa_name(info.param)); });

TEST(ReductionDispatch, UnsupportedVariantIsAPrecondition) {
  for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
    if (nimbra::cpu::supports(isa)) continue;
    EXPECT_TRUE(faults(nimbra::FaultKind::Precondition, [&] { (void)k::reduction_kernels(isa); }))
        << nimbra::cpu::isa_name(isa);
  }
}

}  // namespace
