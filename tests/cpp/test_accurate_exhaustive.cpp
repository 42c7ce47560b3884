// The accurate activations against independent references (reference_math.hpp)
// at every f32 argument, on every ISA variant this CPU runs: each result must
// be one of the two floats around the exact value (within one unit in the
// last place), and every variant must give the baseline's bits. The core
// ranges are taken float by float, the rest thinned (exhaustive.hpp). Prints
// how many results are not the correctly rounded one, and the largest error.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "ops/accurate_kernels.hpp"
#include "ops/elementwise_kernels.hpp"
#include "reference_math.hpp"
#include "test_util.hpp"

namespace {

namespace k = nimbra::kernels;
namespace ex = exhaustive;
using nimbra::cpu::Isa;

using tu::supported_isas;

struct Function {
  const char* name;
  k::AccurateUnaryFn k::AccurateKernels::*kernel;
  float (*scalar)(float);
  // The double reference of a batch; `scratch` holds whatever it needs.
  void (*batch)(const float* x, std::size_t n, double* value, double* bound, ex::GeluScratch& scratch);
  ex::ApproxQ (*quad)(float x);
  std::vector<ex::Range> ranges;
};

// How far results stray, over a whole run.
struct Tally {
  std::mutex lock;
  std::uint64_t checked = 0, not_nearest = 0;
  double worst_ulps = 0;
  float worst_x = 0;
  void add(std::uint64_t n, std::uint64_t off, double ulps, float x) {
    std::lock_guard<std::mutex> hold(lock);
    checked += n;
    not_nearest += off;
    if (ulps > worst_ulps) worst_ulps = ulps, worst_x = x;
  }
};

// |got - v| in units of the spacing of floats at v.
double ulps(float got, double v) {
  if (!(v == v) || got != got || std::fabs(v) > 3.4e38) return 0.0;
  const float f = static_cast<float>(std::fabs(v));
  const double spacing = static_cast<double>(ex::next_up(f)) - static_cast<double>(f);
  return std::fabs(static_cast<double>(got) - v) / spacing;
}

struct State {
  const Function& fn;
  Tally& tally;
  std::vector<Isa> isas = supported_isas();
  std::vector<std::vector<float>> out;
  std::vector<double> value, bound;
  ex::GeluScratch scratch;
  State(const Function& f, Tally& t, std::size_t batch)
      : fn(f), tally(t), out(isas.size(), std::vector<float>(batch)), value(batch), bound(batch), scratch(batch) {}

  template <class Fail>
  void check(const float* x, std::size_t n, Fail&& fail) {
    for (std::size_t v = 0; v < isas.size(); ++v) (k::accurate_kernels(isas[v]).*fn.kernel)(x, out[v].data(), n);
    fn.batch(x, n, value.data(), bound.data(), scratch);
    std::uint64_t off = 0;
    double worst = 0;
    float worst_x = 0;
    const float* base = out[0].data();
    for (std::size_t i = 0; i < n; ++i) {
      // Every variant gives the baseline's bits (any NaN for a NaN).
      for (std::size_t v = 1; v < isas.size(); ++v) {
        const float got = out[v][i];
        if (ex::bits(got) != ex::bits(base[i]) && !(got != got && base[i] != base[i]))
          fail(x[i], std::string(nimbra::cpu::isa_name(isas[v])) + " gave " + ex::describe(got) + ", the baseline " +
                         ex::describe(base[i]));
      }
      if (i % 4096 == 0 && ex::bits(fn.scalar(x[i])) != ex::bits(base[i]) && base[i] == base[i])
        fail(x[i], "the scalar reference gave " + ex::describe(fn.scalar(x[i])));
      ex::Verdict verdict = ex::faithful(base[i], value[i], bound[i]);
      float nearest;
      bool decided = ex::rounded(value[i], bound[i], nearest);
      if (verdict == ex::Verdict::Undecided || !decided) {
        const ex::ApproxQ q = fn.quad(x[i]);
        if (verdict == ex::Verdict::Undecided) verdict = ex::faithful(base[i], q.value, q.bound);
        if (!decided) decided = ex::rounded(q.value, q.bound, nearest);
      }
      if (verdict != ex::Verdict::Pass) {
        fail(x[i], std::string(fn.name) + " gave " + ex::describe(base[i]) + (verdict == ex::Verdict::Fail ? ", more than one ulp from " : ", the references cannot place it near ") +
                       std::to_string(value[i]));
        continue;
      }
      if (decided && ex::bits(nearest) != ex::bits(base[i]) && nearest == nearest) ++off;
      const double u = ulps(base[i], value[i]);
      if (u > worst) worst = u, worst_x = x[i];
    }
    tally.add(n, off, worst, worst_x);
  }
};

void check_function(const Function& fn) {
  Tally tally;
  ex::Driver d;
  d.ranges = fn.ranges;
  const std::uint64_t failures = d.go([&] { return State(fn, tally, d.batch); });
  std::printf("  %s: %llu arguments, %llu results not the nearest float, largest error %.4f ulp (x = %a)\n", fn.name,
              static_cast<unsigned long long>(tally.checked), static_cast<unsigned long long>(tally.not_nearest),
              tally.worst_ulps, static_cast<double>(tally.worst_x));
  EXPECT_EQ(failures, 0u) << fn.name;
}

// The references take their scratch in one type; the plain ones need one array.
template <void (*Batch)(const float*, std::size_t, double*, double*, double*)>
void with_scratch(const float* x, std::size_t n, double* value, double* bound, ex::GeluScratch& s) {
  Batch(x, n, value, bound, s.z.data());
}

// Outside the core the results are constants or x itself (every 61st float
// there; NIMBRA_EXHAUSTIVE_RANGE=all takes them all).
constexpr std::uint32_t kThin = 61;

TEST(AccurateExhaustive, Sigmoid) {
  // Below -104 the result rounds to 0, above 17.5 to 1, within 2^-26 of 0 to 1/2.
  check_function({"sigmoid", &k::AccurateKernels::sigmoid, k::accurate_sigmoid_scalar, with_scratch<ex::sigmoid_batch>,
                  ex::sigmoid_q, ex::every_float(-104.0f, -0x1p-26f, 0x1p-26f, 17.5f, kThin)});
}

TEST(AccurateExhaustive, Tanh) {
  // Beyond 9.1 the result rounds to +-1, within 2^-13 of 0 to x.
  check_function({"tanh", &k::AccurateKernels::tanh, k::accurate_tanh_scalar, with_scratch<ex::tanh_batch>, ex::tanh_q,
                  ex::every_float(-9.1f, -0x1p-13f, 0x1p-13f, 9.1f, kThin)});
}

TEST(AccurateExhaustive, GeluErf) {
  // Below -15 the result rounds to -0, above 6 to x, within 2^-26 of 0 to x/2.
  check_function({"gelu (erf)", &k::AccurateKernels::gelu_erf, k::accurate_gelu_erf_scalar, ex::gelu_erf_batch,
                  ex::gelu_erf_q, ex::every_float(-15.0f, -0x1p-26f, 0x1p-26f, 6.0f, kThin)});
}

TEST(AccurateExhaustive, GeluTanh) {
  // Below -11 the result rounds to -0, above 6 to x, within 2^-26 of 0 to x/2.
  check_function({"gelu (tanh)", &k::AccurateKernels::gelu_tanh, k::accurate_gelu_tanh_scalar,
                  with_scratch<ex::gelu_tanh_batch>, ex::gelu_tanh_q, ex::every_float(-11.0f, -0x1p-26f, 0x1p-26f, 6.0f, kThin)});
}

// The values at the ends, bit for bit on every variant.
TEST(AccurateExhaustive, SpecialValues) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    k::AccurateUnaryFn k::AccurateKernels::*kernel;
    float x, y;
  } cases[] = {
      {&k::AccurateKernels::sigmoid, 0.0f, 0.5f},     {&k::AccurateKernels::sigmoid, -0.0f, 0.5f},
      {&k::AccurateKernels::sigmoid, inf, 1.0f},      {&k::AccurateKernels::sigmoid, -inf, 0.0f},
      {&k::AccurateKernels::tanh, 0.0f, 0.0f},        {&k::AccurateKernels::tanh, -0.0f, -0.0f},
      {&k::AccurateKernels::tanh, inf, 1.0f},         {&k::AccurateKernels::tanh, -inf, -1.0f},
      {&k::AccurateKernels::gelu_erf, 0.0f, 0.0f},    {&k::AccurateKernels::gelu_erf, -0.0f, -0.0f},
      {&k::AccurateKernels::gelu_erf, inf, inf},      {&k::AccurateKernels::gelu_erf, -inf, -0.0f},
      {&k::AccurateKernels::gelu_erf, -3e38f, -0.0f}, {&k::AccurateKernels::gelu_tanh, 0.0f, 0.0f},
      {&k::AccurateKernels::gelu_tanh, -0.0f, -0.0f}, {&k::AccurateKernels::gelu_tanh, inf, inf},
      {&k::AccurateKernels::gelu_tanh, -inf, -0.0f},  {&k::AccurateKernels::gelu_tanh, 3e38f, 3e38f},
  };
  for (Isa isa : supported_isas()) {
    for (const Case& c : cases) {
      float y;
      (k::accurate_kernels(isa).*c.kernel)(&c.x, &y, 1);
      EXPECT_EQ(ex::bits(y), ex::bits(c.y)) << nimbra::cpu::isa_name(isa) << " at " << ex::describe(c.x);
    }
    for (const auto kernel : {&k::AccurateKernels::sigmoid, &k::AccurateKernels::tanh, &k::AccurateKernels::gelu_erf,
                              &k::AccurateKernels::gelu_tanh}) {
      float y;
      (k::accurate_kernels(isa).*kernel)(&nan, &y, 1);
      EXPECT_NE(y, y) << nimbra::cpu::isa_name(isa);
    }
  }
}

}  // namespace
