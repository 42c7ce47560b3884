// Element-wise kernels and the accurate kernels: every ISA variant against
// the scalar definitions, bit for bit, over every float class, awkward lengths
// and unaligned pointers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ops/accurate_kernels.hpp"
#include "ops/elementwise_kernels.hpp"
#include "ops/exp_exact.hpp"
#include "ops/slice_max.hpp"

#include "test_util.hpp"

namespace {

namespace k = nimbra::kernels;
using nimbra::cpu::Isa;

using tu::bits;
using tu::from_bits;

// NaN payloads are not part of the contract; everything else is compared by bits.
::testing::AssertionResult same_float(float want, float got) {
  if (std::isnan(want) ? std::isnan(got) : bits(want) == bits(got)) return ::testing::AssertionSuccess();
  char text[96];
  std::snprintf(text, sizeof text, "want %.9g (0x%08x), got %.9g (0x%08x)", want, bits(want), got, bits(got));
  return ::testing::AssertionFailure() << text;
}

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Every float class, plus dense windows where a clamp or a branch switches.
std::vector<float> edge_values() {
  std::vector<float> v = {0.0f, -0.0f, 1.0f, -1.0f, 2.0f, -2.0f, 3.0f, -3.0f, 100.0f, -100.0f,
                          FLT_MIN, -FLT_MIN, FLT_MAX, -FLT_MAX, FLT_TRUE_MIN, -FLT_TRUE_MIN,
                          from_bits(0x007FFFFFu), from_bits(0x80012345u), 1e-20f, -1e20f,
                          kInf, -kInf, kNaN, -kNaN, from_bits(0x7FA00001u) /* signalling */};
  const auto window = [&v](float centre, int half_width) {
    float lo = centre, hi = centre;
    v.push_back(centre);
    for (int i = 0; i < half_width; ++i) {
      v.push_back(lo = std::nextafter(lo, -kInf));
      v.push_back(hi = std::nextafter(hi, kInf));
    }
  };
  // sigmoid clamps -x to [-88, 88]; a < 0 switches at the zeros.
  window(88.0f, 8);
  window(-88.0f, 8);
  // gelu clamps u = (x^3*0.044715 + x)*0.7978846 to [-3, 3]: find where u
  // crosses 3 (Newton in double; u is odd) and cover the f32 rounding there.
  double x = 3.0;
  for (int i = 0; i < 50; ++i) {
    x -= ((x * x * x * 0.044715 + x) * 0.7978846 - 3.0) / ((3.0 * x * x * 0.044715 + 1.0) * 0.7978846);
  }
  window(static_cast<float>(x), 64);
  window(static_cast<float>(-x), 64);
  return v;
}

// Edge values, then random bit patterns (every exponent, NaNs and infinities)
// and plain values in the ranges the clamps care about.
std::vector<float> value_pool() {
  std::vector<float> v = edge_values();
  std::mt19937 rng(12345);
  std::uniform_int_distribution<std::uint32_t> any_bits;
  std::uniform_real_distribution<float> small(-10.0f, 10.0f), medium(-120.0f, 120.0f);
  for (int i = 0; i < 1500; ++i) {
    v.push_back(from_bits(any_bits(rng)));
    v.push_back(small(rng));
    v.push_back(medium(rng));
  }
  return v;
}

const std::vector<std::size_t> kLengths = {0, 1, 3, 4, 5, 7, 8, 15, 16, 17, 31, 33, 1000};
// 0..15 floats: every position in a 64-byte line, so every aligning head.
constexpr std::size_t kOffsets = 16;
constexpr std::size_t kGuard = 20;  // sentinels past the end, wider than a vector
constexpr std::uint32_t kSentinel = 0x7F8DEAD1u;

using tu::supported_isas;
std::string isa_label(const ::testing::TestParamInfo<Isa>& info) { return nimbra::cpu::isa_name(info.param); }

#if defined(__x86_64__) && !defined(NIMBRA_PORTABLE) && defined(__GNUC__) && !defined(__clang__)
// The CPU and operating-system probe against g++'s own.
TEST(CpuDetection, AgreesWithTheCompiler) {
  const bool avx2 = __builtin_cpu_supports("avx2");
  EXPECT_EQ(nimbra::cpu::supports(Isa::Avx2), avx2);
  EXPECT_EQ(nimbra::cpu::supports(Isa::Avx512), avx2 && __builtin_cpu_supports("avx512f") &&
                                                    __builtin_cpu_supports("avx512vl") &&
                                                    __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq"));
}
#endif

// An output at a misalignment, with sentinels before and after it.
struct Output {
  std::vector<float> buf;
  std::size_t off, n;
  Output(std::size_t off_, std::size_t n_) : buf(off_ + n_ + kGuard, from_bits(kSentinel)), off(off_), n(n_) {}
  float* data() { return buf.data() + off; }
  bool guards_intact() const {
    for (std::size_t i = 0; i < buf.size(); ++i) {
      if ((i < off || i >= off + n) && bits(buf[i]) != kSentinel) return false;
    }
    return true;
  }
};

// values[start, start + n) (wrapping) at a misalignment, in a buffer ending at
// the last element, so an overread leaves the allocation.
std::vector<float> placed(const std::vector<float>& values, std::size_t start, std::size_t off, std::size_t n) {
  std::vector<float> buf(off + n, 0.0f);
  for (std::size_t i = 0; i < n; ++i) buf[off + i] = values[(start + i) % values.size()];
  return buf;
}

// An element-wise kernel of either family: its variant for an ISA and its
// scalar definition.
struct ActCase {
  const char* name;
  k::UnaryFn (*kernel)(Isa);
  float (*scalar)(float);
};
template <k::UnaryFn k::ElementKernels::*F>
k::UnaryFn element(Isa isa) { return k::element_kernels(isa).*F; }
template <k::AccurateUnaryFn k::AccurateKernels::*F>
k::UnaryFn accurate(Isa isa) { return k::accurate_kernels(isa).*F; }
const ActCase kActs[] = {{"relu", element<&k::ElementKernels::relu>, k::relu_scalar},
                         {"sigmoid", element<&k::ElementKernels::sigmoid>, k::sigmoid_scalar},
                         {"gelu", element<&k::ElementKernels::gelu>, k::gelu_scalar},
                         {"accurate sigmoid", accurate<&k::AccurateKernels::sigmoid>, k::accurate_sigmoid_scalar},
                         {"accurate tanh", accurate<&k::AccurateKernels::tanh>, k::accurate_tanh_scalar},
                         {"accurate gelu erf", accurate<&k::AccurateKernels::gelu_erf>, k::accurate_gelu_erf_scalar},
                         {"accurate gelu tanh", accurate<&k::AccurateKernels::gelu_tanh>, k::accurate_gelu_tanh_scalar}};

class ActivationVariant : public ::testing::TestWithParam<Isa> {};

TEST_P(ActivationVariant, MatchesScalarAtEveryLengthAndAlignment) {
  const std::vector<float> pool = value_pool();
  std::vector<std::size_t> lengths = kLengths;
  lengths.push_back(pool.size());
  for (const ActCase& act : kActs) {
    const k::UnaryFn kernel = act.kernel(GetParam());
    for (std::size_t n : lengths) {
      for (std::size_t off = 0; off < kOffsets; ++off) {
        const std::vector<float> in = placed(pool, n == pool.size() ? 0 : 7 * n + off, off, n);
        Output out((5 * off + 3) % kOffsets, n);
        kernel(in.data() + off, out.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
          const float x = in[off + i];
          ASSERT_TRUE(same_float(act.scalar(x), out.data()[i]))
              << act.name << "(" << x << ", bits 0x" << std::hex << bits(x) << std::dec << ") n=" << n
              << " off=" << off << " i=" << i;
        }
        ASSERT_TRUE(out.guards_intact()) << act.name << " wrote outside n=" << n << " off=" << off;
      }
    }
  }
}

// The reference values of the definitions, through the scalar form and the variant.
TEST_P(ActivationVariant, ReferenceValues) {
  struct Anchor {
    float x, y;
  };
  const float hi = 0.99999964f, lo = 3.8222333e-07f;
  const std::vector<Anchor> anchors[] = {
      {{-1.0f, 0.0f}, {-0.0f, 0.0f}, {0.0f, 0.0f}, {2.0f, 2.0f}, {kNaN, 0.0f}, {-kNaN, 0.0f}, {kInf, kInf},
       {-kInf, 0.0f}, {FLT_TRUE_MIN, FLT_TRUE_MIN}, {-FLT_TRUE_MIN, 0.0f}},
      {{0.0f, 0.5f}, {-0.0f, 0.5f}, {1.0f, 0.7303371f}, {-2.0f, 0.125f}, {2.0f, 0.87499994f}, {88.0f, hi},
       {100.0f, hi}, {FLT_MAX, hi}, {kInf, hi}, {-88.0f, lo}, {-100.0f, lo}, {-FLT_MAX, lo}, {-kInf, lo},
       {kNaN, kNaN}},
      {{0.0f, 0.0f}, {1.0f, 0.8471124f}, {-1.0f, -0.15288758f}, {3.0f, 3.0f}, {10.0f, 10.0f},
       {FLT_MAX, FLT_MAX}, {-3.0f, -0.0f}, {-10.0f, -0.0f}, {-FLT_MAX, -0.0f}, {kInf, kInf}, {-kInf, kNaN},
       {kNaN, kNaN}}};
  for (int a = 0; a < 3; ++a) {
    std::vector<float> xs, ys(anchors[a].size());
    for (const Anchor& p : anchors[a]) xs.push_back(p.x);
    kActs[a].kernel(GetParam())(xs.data(), ys.data(), xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) {
      EXPECT_TRUE(same_float(anchors[a][i].y, kActs[a].scalar(xs[i]))) << kActs[a].name << "(" << xs[i] << ") scalar";
      EXPECT_TRUE(same_float(anchors[a][i].y, ys[i])) << kActs[a].name << "(" << xs[i] << ") vector";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Isas, ActivationVariant, ::testing::ValuesIn(supported_isas()), isa_label);

struct OpCase {
  k::BinaryOp op;
  const char* name;
  float (*scalar)(float, float);
};
const OpCase kOps[] = {{k::BinaryOp::Add, "add", [](float x, float y) { return x + y; }},
                       {k::BinaryOp::Sub, "sub", [](float x, float y) { return x - y; }},
                       {k::BinaryOp::Mul, "mul", [](float x, float y) { return x * y; }}};

class BinaryVariant : public ::testing::TestWithParam<Isa> {};

// All four held/streamed combinations, every length, misaligned operands and
// output, held values from every float class; through `binary` and through
// the loop that binary_loop_of looks up (alternating by offset).
TEST_P(BinaryVariant, MatchesScalarForEveryShapeOfCall) {
  const std::vector<float> pool = value_pool();
  const float held[] = {0.0f, -0.0f, 1.5f, -3.25f, FLT_TRUE_MIN, FLT_MAX, kInf, -kInf, kNaN};
  const k::ElementKernels& table = k::element_kernels(GetParam());
  for (const OpCase& oc : kOps) {
    for (int combo = 0; combo < 4; ++combo) {
      const bool a_scalar = combo & 1, b_scalar = combo & 2;
      for (std::size_t n : kLengths) {
        for (std::size_t off = 0; off < kOffsets; ++off) {
          const float ha = held[(n + off) % 9], hb = held[(n + 2 * off + 3) % 9];
          const std::vector<float> a = a_scalar ? std::vector<float>(off + 1, ha) : placed(pool, 3 * n + off, off, n);
          const std::vector<float> b = b_scalar ? std::vector<float>(1, hb) : placed(pool, 5 * n + 11, 0, n);
          Output out((3 * off + 1) % kOffsets, n);
          if (off % 2 == 0) {
            table.binary(oc.op, a.data() + off, a_scalar, b.data(), b_scalar, out.data(), n);
          } else {
            table.binary_loop_of(oc.op, a_scalar, b_scalar)(a.data() + off, b.data(), out.data(), n);
          }
          for (std::size_t i = 0; i < n; ++i) {
            const float x = a[a_scalar ? off : off + i], y = b[b_scalar ? 0 : i];
            ASSERT_TRUE(same_float(oc.scalar(x, y), out.data()[i]))
                << oc.name << " a_scalar=" << a_scalar << " b_scalar=" << b_scalar << " n=" << n << " off=" << off
                << " i=" << i << " x=" << x << " y=" << y;
          }
          ASSERT_TRUE(out.guards_intact()) << oc.name << " wrote outside n=" << n;
        }
      }
    }
  }
}

// Every ordered pair of edge values, and the IEEE corner cases by name.
TEST_P(BinaryVariant, EdgeValuePairs) {
  const std::vector<float> edges = edge_values();
  std::vector<float> xs, ys;
  for (float x : edges) {
    for (float y : edges) {
      xs.push_back(x);
      ys.push_back(y);
    }
  }
  const k::ElementKernels& table = k::element_kernels(GetParam());
  std::vector<float> out(xs.size());
  for (const OpCase& oc : kOps) {
    table.binary(oc.op, xs.data(), false, ys.data(), false, out.data(), xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) {
      ASSERT_TRUE(same_float(oc.scalar(xs[i], ys[i]), out[i])) << oc.name << "(" << xs[i] << ", " << ys[i] << ")";
    }
  }
  const float infs[5] = {kInf, kInf, kInf, kInf, kInf}, zeros[5] = {0.0f, -0.0f, 0.0f, -0.0f, 0.0f};
  const float one = 1.0f, row[5] = {2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
  float r[5];
  table.binary(k::BinaryOp::Sub, infs, false, infs, true, r, 5);
  for (float v : r) EXPECT_TRUE(std::isnan(v)) << "inf - inf";
  table.binary(k::BinaryOp::Mul, zeros, false, infs, true, r, 5);
  for (float v : r) EXPECT_TRUE(std::isnan(v)) << "0 * inf";
  table.binary(k::BinaryOp::Sub, &one, true, row, false, r, 5);  // a held on the left: 1 - b
  for (int i = 0; i < 5; ++i) EXPECT_EQ(r[i], -1.0f - static_cast<float>(i));
}

INSTANTIATE_TEST_SUITE_P(Isas, BinaryVariant, ::testing::ValuesIn(supported_isas()), isa_label);

// Outputs of 4 Mi elements and more are written with streaming stores, which
// need their own aligned head; an odd length and a misaligned output cover both ends.
TEST(ElementLargeOutputs, EveryVariantMatchesScalar) {
  const std::vector<float> pool = value_pool();
  const std::size_t n = (std::size_t{4} << 20) + 37;
  std::vector<float> x(n), b(n), want_add(n), want_sub(n), want_gelu(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = pool[i % pool.size()];
    b[i] = pool[(i * 7 + 3) % pool.size()];
    want_add[i] = x[i] + b[i];
    want_sub[i] = x[0] - b[i];
    want_gelu[i] = k::gelu_scalar(x[i]);
  }
  for (Isa isa : supported_isas()) {
    const k::ElementKernels& table = k::element_kernels(isa);
    const auto check = [&](const char* what, const std::vector<float>& want, auto run) {
      Output out(5, n);
      run(out.data());
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same_float(want[i], out.data()[i])) << what << " " << nimbra::cpu::isa_name(isa) << " i=" << i;
      }
      ASSERT_TRUE(out.guards_intact()) << what << " " << nimbra::cpu::isa_name(isa);
    };
    check("add", want_add, [&](float* y) { table.binary(k::BinaryOp::Add, x.data(), false, b.data(), false, y, n); });
    check("sub", want_sub, [&](float* y) { table.binary(k::BinaryOp::Sub, x.data(), true, b.data(), false, y, n); });
    check("gelu", want_gelu, [&](float* y) { table.gelu(x.data(), y, n); });
  }
}

// ---- softmax kernels -------------------------------------------------------

// exp_shifted against exp_exact(x - m), for maxima that make arguments from
// tiny to far past the vector path's domain, at every length and alignment.
TEST_P(ActivationVariant, ExpShiftedIsTheExactExp) {
  const k::ElementKernels& table = k::element_kernels(GetParam());
  const std::vector<float> pool = value_pool();
  for (const float m : {0.0f, 1.0f, -3.5f, 88.0f, 1e-6f, 150.0f, kInf, -kInf, kNaN}) {
    for (const std::size_t n : kLengths) {
      for (std::size_t off = 0; off < kOffsets; off += 5) {
        const std::vector<float> x = placed(pool, n * 3 + off, off, n);
        Output out(off, n);
        table.exp_shifted(x.data() + off, m, out.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_TRUE(same_float(k::exp_exact(x[off + i] - m), out.data()[i])) << "m " << m << " n " << n << " i " << i;
        }
        ASSERT_TRUE(out.guards_intact()) << "n " << n << " off " << off;
      }
    }
  }
}

// Rows of `values`-style data: mostly ordinary, with NaN, +-inf, slices of
// only -inf, and spreads wide enough that many arguments leave the vector
// path's domain; or, mild, only values whose exponentials all take the short
// path.
std::vector<float> softmax_input(std::size_t n, std::uint32_t seed, bool mild = false) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> narrow(-4.0f, 4.0f), wide(-300.0f, 300.0f);
  std::uniform_int_distribution<int> pick(0, 99);
  std::vector<float> x(n);
  for (float& v : x) {
    const int p = mild ? 0 : pick(rng);
    v = p < 60 ? narrow(rng) : p < 96 ? wide(rng) : p == 96 ? -kInf : p == 97 ? kNaN : p == 98 ? kInf : 0.0f;
  }
  return x;
}

// The definition: (L, I) blocks one after another, slice j of a block running
// down its column; the largest value, the exact exponentials summed in order,
// each divided by the sum.
std::vector<float> softmax_definition(const std::vector<float>& x, std::size_t L, std::size_t I) {
  std::vector<float> y(x.size());
  for (std::size_t o = 0; o < x.size(); o += L * I) {
    for (std::size_t j = 0; j < I; ++j) {
      float m = -kInf, sum = 0.0f;
      for (std::size_t q = 0; q < L; ++q) m = x[o + q * I + j] > m ? x[o + q * I + j] : m;
      for (std::size_t q = 0; q < L; ++q) sum = sum + (y[o + q * I + j] = k::exp_exact(x[o + q * I + j] - m));
      for (std::size_t q = 0; q < L; ++q) y[o + q * I + j] = y[o + q * I + j] / sum;
    }
  }
  return y;
}

// A slice's extent decides whether softmax takes the short exponential: the
// largest and smallest non-NaN values and whether a NaN was met, wherever in
// the vectors or the tail each sits.
TEST(SliceExtent, LargestSmallestAndNaNAnywhere) {
  struct Case {
    const char* name;
    std::vector<float> x;
    float largest, smallest;
    bool nan;
  };
  std::vector<float> ramp(37);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i) - 20.0f;
  std::vector<float> nan_in_vectors = ramp, nan_in_tail = ramp, infinities = ramp;
  nan_in_vectors[5] = kNaN;
  nan_in_tail[36] = -kNaN;
  infinities[3] = -kInf, infinities[30] = kInf;
  const Case cases[] = {
      {"empty", {}, -kInf, kInf, false},
      {"tail only", {2.0f, -1.0f, 0.5f}, 2.0f, -1.0f, false},
      {"ramp", ramp, 16.0f, -20.0f, false},
      {"NaN in the vectors", nan_in_vectors, 16.0f, -20.0f, true},
      {"NaN in the tail", nan_in_tail, 15.0f, -20.0f, true},
      {"infinities", infinities, kInf, -kInf, false},
      {"only NaN", std::vector<float>(19, kNaN), -kInf, kInf, true},
  };
  for (const Case& c : cases) {
    const k::SliceExtent e = k::slice_extent<nimbra::simd::sse::Vec>(c.x.data(), c.x.size());
    EXPECT_EQ(e.largest, c.largest) << c.name;
    EXPECT_EQ(e.smallest, c.smallest) << c.name;
    EXPECT_EQ(e.nan, c.nan) << c.name;
  }
}

// Rows: groups of 8 and of a vector's lanes, strips of 256, tails of each;
// short rows by the block (up to 64 rows) turned into columns.
TEST_P(ActivationVariant, SoftmaxRowsAreTheDefinition) {
  const k::ElementKernels& table = k::element_kernels(GetParam());
  for (const bool mild : {false, true}) {
    for (const std::size_t L : {1, 2, 3, 15, 16, 17, 24, 25, 100, 300, 1000}) {
      for (const std::size_t rows : {1, 4, 7, 8, 9, 16, 17, 33, 64, 150}) {
        std::vector<float> x = softmax_input(rows * L, static_cast<std::uint32_t>(rows * 1000 + L), mild);
        if (L > 1 && !mild) std::fill(x.begin(), x.begin() + L, -kInf);  // a slice of only -inf: NaN throughout
        std::vector<float> got(x.size());
        table.softmax_rows(x.data(), got.data(), rows, L);
        const std::vector<float> want = softmax_definition(x, L, 1);
        for (std::size_t i = 0; i < x.size(); ++i)
          ASSERT_TRUE(same_float(want[i], got[i])) << "rows " << rows << " L " << L << " mild " << mild << " i " << i;
      }
    }
  }
}

TEST_P(ActivationVariant, SoftmaxColumnsAreTheDefinition) {
  const k::ElementKernels& table = k::element_kernels(GetParam());
  for (const bool mild : {false, true}) {
    for (const std::size_t L : {1, 2, 5, 16, 33, 300}) {
      for (const std::size_t I : {2, 3, 15, 16, 17, 63, 64, 65, 130}) {
        std::vector<float> x = softmax_input(L * I, static_cast<std::uint32_t>(L * 977 + I), mild);
        // One wild value in the last column: its block takes the general path,
        // the first block (64 columns on AVX-512) the short one.
        if (mild && I > 64) x[(L - 1) * I + I - 1] = -200.0f;
        std::vector<float> got(x.size());
        table.softmax_columns(x.data(), got.data(), L, I);
        const std::vector<float> want = softmax_definition(x, L, I);
        for (std::size_t i = 0; i < x.size(); ++i)
          ASSERT_TRUE(same_float(want[i], got[i])) << "L " << L << " I " << I << " mild " << mild << " i " << i;
      }
    }
  }
}

// The accurate slices of every variant against their scalar definition, as
// rows and as columns: a slice gives the same bits whichever way it lies.
TEST_P(ActivationVariant, AccurateSlicesMatchTheDefinitionAsRowsAndColumns) {
  const k::AccurateKernels& table = k::accurate_kernels(GetParam());
  struct Family {
    const char* name;
    k::AccurateRowsFn rows;
    k::AccurateColumnsFn columns;
    void (*scalar)(const float*, float*, std::size_t, std::size_t);
  } families[] = {{"softmax", table.softmax_rows, table.softmax_columns, k::accurate_softmax_scalar},
                  {"log_softmax", table.log_softmax_rows, table.log_softmax_columns, k::accurate_log_softmax_scalar}};
  for (const Family& f : families) {
    for (const std::size_t L : {1, 2, 3, 15, 16, 17, 24, 25, 100, 300, 700}) {
      for (const std::size_t n : {1, 7, 8, 9, 17, 33, 64, 150}) {
        std::vector<float> x = softmax_input(n * L, static_cast<std::uint32_t>(n * 1000 + L));
        if (L > 1) std::fill(x.begin(), x.begin() + L, -kInf);  // a slice of only -inf: NaN throughout
        std::vector<float> want(x.size()), rows(x.size()), xt(x.size()), cols(x.size());
        // n slices of length L: as rows, and transposed as the columns of an (L, n) block.
        for (std::size_t r = 0; r < n; ++r) {
          f.scalar(x.data() + r * L, want.data() + r * L, L, 1);
          for (std::size_t q = 0; q < L; ++q) xt[q * n + r] = x[r * L + q];
        }
        f.rows(x.data(), rows.data(), n, L);
        f.columns(xt.data(), cols.data(), L, n);
        for (std::size_t r = 0; r < n; ++r) {
          for (std::size_t q = 0; q < L; ++q) {
            ASSERT_TRUE(same_float(want[r * L + q], rows[r * L + q])) << f.name << " rows n " << n << " L " << L;
            ASSERT_TRUE(same_float(want[r * L + q], cols[q * n + r])) << f.name << " columns n " << n << " L " << L;
          }
        }
      }
    }
  }
}

// The argument where one C library's expf misrounds: every variant gives the
// correctly rounded exponential (the true value lies at 0.49988 of the gap),
// alone and in a softmax slice, in rows and in columns.
TEST(SoftmaxExp, CorrectlyRoundedWhereAPlatformMisrounds) {
  const float x = from_bits(0xc27c65d9u);  // -63.09946
  EXPECT_EQ(bits(k::exp_exact(x)), 0x11fa2992u);
  const float pair[2] = {0.0f, x};
  for (Isa isa : supported_isas()) {
    const k::ElementKernels& table = k::element_kernels(isa);
    float e[2], rows[2], cols[2];
    table.exp_shifted(pair, 0.0f, e, 2);
    table.softmax_rows(pair, rows, 1, 2);
    table.softmax_columns(pair, cols, 2, 1);
    for (const float* y : {e, rows, cols}) {
      EXPECT_EQ(bits(y[0]), bits(1.0f)) << nimbra::cpu::isa_name(isa);
      EXPECT_EQ(bits(y[1]), 0x11fa2992u) << nimbra::cpu::isa_name(isa);
    }
  }
}

// A variant this CPU cannot run (in a portable build: every wider one) is a
// precondition fault.
TEST(ElementDispatch, UnsupportedVariantIsAPrecondition) {
  for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
    if (nimbra::cpu::supports(isa)) continue;
    EXPECT_TRUE(tu::faults(nimbra::FaultKind::Precondition, [&] { (void)k::element_kernels(isa); }))
        << nimbra::cpu::isa_name(isa);
    EXPECT_TRUE(tu::faults(nimbra::FaultKind::Precondition, [&] { (void)k::accurate_kernels(isa); }))
        << nimbra::cpu::isa_name(isa);
  }
}

TEST(ElementDispatch, FreeFunctionsMatchScalar) {
  const std::vector<float> pool = value_pool();
  const std::size_t n = 1001;
  std::vector<float> y(n), b(pool.rbegin(), pool.rbegin() + n);
  const k::UnaryFn dispatched[] = {k::relu, k::sigmoid, k::gelu};
  for (int a = 0; a < 3; ++a) {
    dispatched[a](pool.data(), y.data(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same_float(kActs[a].scalar(pool[i]), y[i])) << kActs[a].name;
  }
  k::binary(k::BinaryOp::Sub, pool.data(), false, b.data(), false, y.data(), n);
  for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same_float(pool[i] - b[i], y[i]));
}

}  // namespace
