// The vector exponential of softmax against the platform's expf, for every
// f32 argument it serves: all of [-88, -0], one bit pattern after another,
// on every ISA variant this CPU runs. Any difference, anywhere, fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "ops/elementwise_kernels.hpp"

#include "test_util.hpp"

namespace {

namespace k = nimbra::kernels;
using nimbra::cpu::Isa;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Instrumented builds take every 13th pattern; the plain build takes them all.
constexpr std::uint64_t kStride = 13;
#else
constexpr std::uint64_t kStride = 1;
#endif

// Mismatches in bit patterns [lo, hi) taken kStride apart; the first few are
// printed.
std::uint64_t mismatches(const k::ElementKernels& table, std::uint64_t lo, std::uint64_t hi) {
  constexpr std::size_t kBatch = 1 << 16;
  std::vector<float> x(kBatch), y(kBatch);
  std::uint64_t bad = 0;
  for (std::uint64_t base = lo; base < hi; base += kBatch * kStride) {
    std::size_t n = 0;
    for (std::uint64_t b = base; b < hi && n < kBatch; b += kStride) x[n++] = tu::from_bits(static_cast<std::uint32_t>(b));
    table.exp_shifted(x.data(), 0.0f, y.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
      const float want = expf(x[i]);
      if (tu::bits(want) != tu::bits(y[i]) && bad++ < 5) {
        std::printf("expf(%a) = %a, the kernel gave %a\n", static_cast<double>(x[i]), static_cast<double>(want),
                    static_cast<double>(y[i]));
      }
    }
  }
  return bad;
}

class ExpExhaustive : public ::testing::TestWithParam<Isa> {};

TEST_P(ExpExhaustive, EveryArgumentDownToMinus88) {
  const k::ElementKernels& table = k::element_kernels(GetParam());
  const std::uint64_t lo = tu::bits(-0.0f), hi = std::uint64_t{tu::bits(-88.0f)} + 1;
  const std::uint64_t mid = lo + (hi - lo) / 2 / kStride * kStride;
  std::atomic<std::uint64_t> bad{0};
  std::thread other([&] { bad += mismatches(table, mid, hi); });
  bad += mismatches(table, lo, mid);
  other.join();
  EXPECT_EQ(bad.load(), 0u);
}

std::vector<Isa> vector_isas() {
  std::vector<Isa> out;
  for (Isa isa : {Isa::Avx2, Isa::Avx512})
    if (nimbra::cpu::supports(isa)) out.push_back(isa);
  return out;
}

INSTANTIATE_TEST_SUITE_P(Isas, ExpExhaustive, ::testing::ValuesIn(vector_isas()),
                         [](const ::testing::TestParamInfo<Isa>& info) { return nimbra::cpu::isa_name(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ExpExhaustive);

}  // namespace
