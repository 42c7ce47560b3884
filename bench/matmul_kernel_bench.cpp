// Timing of the matmul kernel variants, built with the tests (target
// matmul_kernel_bench); from the repository root:
//
//   cmake --build build/tests --target matmul_kernel_bench
//   build/tests/bench/matmul_kernel_bench [baseline|avx2|avx512]
//
// Prints the median time of each workload and its GFLOP/s. Times are the
// calling thread's CPU time, so other processes on a shared machine inflate
// them less than wall-clock time would. The output buffer is reused across
// repeats (its pages are already mapped).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <vector>

#include "ops/matmul_kernel.hpp"

using nimbra::kernels::MatView;

static double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Each sample times enough calls to last about 50 us: reading the clock
// costs up to a microsecond under a hypervisor, as much as a small product.
static double median_seconds(const std::function<void()>& f, int reps) {
  f();  // warm up: buffers, caches, page mappings
  int inner = 1;
  for (double t0 = thread_seconds(); thread_seconds() - t0 < 50e-6; inner *= 2)
    for (int i = 0; i < inner; ++i) f();
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    const double t0 = thread_seconds();
    for (int i = 0; i < inner; ++i) f();
    t.push_back((thread_seconds() - t0) / inner);
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

static std::vector<float> random_floats(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> d;
  std::vector<float> v(n);
  for (float& x : v) x = d(gen);
  return v;
}

static int reps_for(double flops) { return std::clamp(int(4e9 / (flops + 1e6)), 11, 400); }

int main(int argc, char** argv) {
  using nimbra::cpu::Isa;
  Isa isa = nimbra::cpu::best_isa();
  if (argc > 1 && !std::strcmp(argv[1], "baseline")) isa = Isa::Baseline;
  if (argc > 1 && !std::strcmp(argv[1], "avx2")) isa = Isa::Avx2;
  if (argc > 1 && !std::strcmp(argv[1], "avx512")) isa = Isa::Avx512;
  std::printf("variant %s\n", nimbra::cpu::isa_name(isa));
  auto gemm = [isa](std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                    std::size_t ldc) { nimbra::kernels::matmul_kernels(isa).gemm(m, n, k, a, b, c, ldc); };

  struct Case { const char* name; std::size_t m, k, n; bool bt; };
  const Case cases[] = {
      {"64x64x64", 64, 64, 64, false},        {"128^3", 128, 128, 128, false},
      {"256^3", 256, 256, 256, false},        {"512^3", 512, 512, 512, false},
      {"1024^3", 1024, 1024, 1024, false},    {"[256,1024]x[1024,1024]", 256, 1024, 1024, false},
      {"[1,1024]x[1024,1024]", 1, 1024, 1024, false}, {"[1024,1]x[1,1024]", 1024, 1, 1024, false},
      {"512^3 B transposed", 512, 512, 512, true},   {"[64,512]x[512,512]^T", 64, 512, 512, true},
      // The layers of the 784-256-10 and 64-128-10 networks on a few rows.
      {"[1,784]x[784,256]", 1, 784, 256, false},     {"[4,784]x[784,256]", 4, 784, 256, false},
      {"[16,784]x[784,256]", 16, 784, 256, false},   {"[64,784]x[784,256]", 64, 784, 256, false},
      {"[32,784]x[784,256]", 32, 784, 256, false},   {"[256,784]x[784,256]", 256, 784, 256, false},
      {"[1024,784]x[784,256]", 1024, 784, 256, false}, {"[1024,256]x[256,10]", 1024, 256, 10, false},
      {"[64,256]x[256,10]", 64, 256, 10, false},
      {"[1,256]x[256,10]", 1, 256, 10, false},       {"[1,64]x[64,128]", 1, 64, 128, false},
      {"[1,128]x[128,10]", 1, 128, 10, false},       {"[1,784]x[784,256]^T", 1, 784, 256, true},
  };
  for (const Case& cs : cases) {
    const auto a = random_floats(cs.m * cs.k, 1), b = random_floats(cs.k * cs.n, 2);
    std::vector<float> c(cs.m * cs.n);
    const MatView av{a.data(), std::ptrdiff_t(cs.k), 1};
    // B transposed: b holds B^T (n, k) row-major, so B(p, j) = b[j*k + p].
    const MatView bv = cs.bt ? MatView{b.data(), 1, std::ptrdiff_t(cs.k)} : MatView{b.data(), std::ptrdiff_t(cs.n), 1};
    const double flops = 2.0 * cs.m * cs.n * cs.k;
    const double t = median_seconds([&] { gemm(cs.m, cs.n, cs.k, av, bv, c.data(), cs.n); }, reps_for(flops));
    std::printf("%-28s %10.4f ms %8.1f GFLOP/s\n", cs.name, t * 1e3, flops / t * 1e-9);
  }

  // Batched: one call per output matrix.
  struct Batch { const char* name; std::size_t t, m, k, n; bool shared_b; };
  const Batch batches[] = {{"batch 64 x (64x64x64)", 64, 64, 64, 64, false},
                           {"batch 32 x (128x64x128)", 32, 128, 64, 128, true}};
  for (const Batch& bt : batches) {
    const auto a = random_floats(bt.t * bt.m * bt.k, 3);
    const auto b = random_floats((bt.shared_b ? 1 : bt.t) * bt.k * bt.n, 4);
    std::vector<float> c(bt.t * bt.m * bt.n);
    const double flops = 2.0 * bt.t * bt.m * bt.n * bt.k;
    const double t = median_seconds([&] {
      for (std::size_t q = 0; q < bt.t; ++q) {
        const MatView av{a.data() + q * bt.m * bt.k, std::ptrdiff_t(bt.k), 1};
        const MatView bv{b.data() + (bt.shared_b ? 0 : q * bt.k * bt.n), std::ptrdiff_t(bt.n), 1};
        gemm(bt.m, bt.n, bt.k, av, bv, c.data() + q * bt.m * bt.n, bt.n);
      }
    }, reps_for(flops));
    std::printf("%-28s %10.4f ms %8.1f GFLOP/s\n", bt.name, t * 1e3, flops / t * 1e-9);
  }
  return 0;
}
