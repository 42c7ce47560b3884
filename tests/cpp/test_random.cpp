// The random generator (draw order, re-key budget, per-thread and fork
// behaviour), the rand / randn samplers, and the Ziggurat scan variants with
// their dispatch.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <latch>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "nimbra/fault.hpp"
#include "nimbra/random.hpp"
#include "cpu.hpp"
#include "ops/double_math.hpp"
#include "reference_math.hpp"
#include "random/chacha.hpp"
#include "random/sample.hpp"
#include "random/ziggurat.hpp"
#include "random/ziggurat_tables.hpp"

namespace nimbra::random {
namespace {

constexpr std::size_t kWordsPerKey = 65536 / 4;

KeyWords words_of(const Key& key) {
  KeyWords w{};
  for (int k = 0; k < 8; ++k) {
    for (int b = 3; b >= 0; --b) w[k] = w[k] << 8 | key[4 * k + b];
  }
  return w;
}

Key key_filled(std::uint8_t byte) {
  Key key;
  key.fill(byte);
  return key;
}

// The keystream as the scalar definition gives it.
std::vector<std::uint32_t> stream_words(const Key& key, std::uint64_t stream,
                                        std::uint64_t counter, std::size_t words) {
  std::vector<std::uint32_t> out((words + 15) / 16 * 16);
  chacha12_blocks_ref(words_of(key), stream, counter, out.size() / 16, out.data());
  out.resize(words);
  return out;
}

// An injectable key source: counts calls, hands out keys 0x40, 0x41, ... (all
// bytes equal), or fails when told to.
struct FakeSource {
  static inline int calls = 0;
  static inline bool works = true;
  static inline std::uint8_t next = 0x40;
  static void reset(bool working) {
    calls = 0;
    works = working;
    next = 0x40;
  }
  static bool get(Key& out) {
    ++calls;
    if (!works) return false;
    out = key_filled(next++);
    return true;
  }
};

const Key kKnownKey = key_filled(0x17);

// For twins that must re-key alike.
bool constant_source(Key& out) {
  out = key_filled(0x33);
  return true;
}

// ---------------------------------------------------------------------------
// Draw order

TEST(GeneratorDraws, ZeroKeyStartsAsPublished) {
  Generator a(Key{}, 0, nullptr);
  EXPECT_EQ(a.next_u32(), 0x6a9af49bu);
  EXPECT_EQ(a.next_u32(), 0x53f95507u);

  Generator b(Key{}, 0, nullptr);
  EXPECT_EQ(b.next_u64(), 0x53f955076a9af49bull);

  Generator c(Key{}, 0, nullptr);
  float v = -1.0f;
  fill_rand(c, &v, 1);
  EXPECT_EQ(v, 0.4164268970489502f);
  EXPECT_EQ(static_cast<double>(v), 0.4164268970489502);
}

// A 64-bit draw taken after `offset` words: low half word[offset], high half
// word[offset + 1], wherever the refill and re-key boundaries fall.
class U64Draw : public ::testing::TestWithParam<std::size_t> {};

TEST_P(U64Draw, IsTwoConsecutiveWordsLowFirst) {
  const std::size_t offset = GetParam();
  FakeSource::reset(true);
  Generator g(kKnownKey, 3, FakeSource::get);
  std::vector<std::uint32_t> expected = stream_words(kKnownKey, 3, 0, kWordsPerKey);
  const auto after_rekey = stream_words(key_filled(0x40), 0, 0, 64);
  expected.insert(expected.end(), after_rekey.begin(), after_rekey.end());

  for (std::size_t k = 0; k < offset; ++k) ASSERT_EQ(g.next_u32(), expected[k]) << k;
  const std::uint64_t want = expected[offset] | std::uint64_t{expected[offset + 1]} << 32;
  EXPECT_EQ(g.next_u64(), want);
  EXPECT_EQ(g.next_u32(), expected[offset + 2]);
}

// Odd offsets straddle a batch (64 words), a refill (up to 256) or the re-key.
INSTANTIATE_TEST_SUITE_P(Offsets, U64Draw,
                         ::testing::Values(0, 1, 63, 64, 127, 255, 257, kWordsPerKey - 1,
                                           kWordsPerKey));

// ---------------------------------------------------------------------------
// Keys and the byte budget

TEST(GeneratorKeys, RekeysAfterEvery65536Bytes) {
  FakeSource::reset(true);
  Generator g(kKnownKey, 7, FakeSource::get);

  // 256 batches from the known key and stream, block after block.
  const auto first = stream_words(kKnownKey, 7, 0, kWordsPerKey);
  for (std::size_t k = 0; k < kWordsPerKey; ++k) ASSERT_EQ(g.next_u32(), first[k]) << k;
  EXPECT_EQ(FakeSource::calls, 0);

  // Then a new key with counter and stream number 0, for another 65,536 bytes.
  const auto second = stream_words(key_filled(0x40), 0, 0, kWordsPerKey);
  for (std::size_t k = 0; k < kWordsPerKey; ++k) ASSERT_EQ(g.next_u32(), second[k]) << k;
  EXPECT_EQ(FakeSource::calls, 1);

  EXPECT_EQ(g.next_u32(), stream_words(key_filled(0x41), 0, 0, 1)[0]);
  EXPECT_EQ(FakeSource::calls, 2);
}

TEST(GeneratorKeys, FailedRekeyKeepsKeyAndPositionAndResetsBudget) {
  FakeSource::reset(false);
  Generator g(kKnownKey, 7, FakeSource::get);
  const auto expected = stream_words(kKnownKey, 7, 0, 2 * kWordsPerKey + 1);
  for (std::size_t k = 0; k < 2 * kWordsPerKey; ++k) {
    ASSERT_EQ(g.next_u32(), expected[k]) << k;
    ASSERT_EQ(FakeSource::calls, k < kWordsPerKey ? 0 : 1) << k;
  }
  EXPECT_EQ(g.next_u32(), expected[2 * kWordsPerKey]);
  EXPECT_EQ(FakeSource::calls, 2);
}

TEST(GeneratorKeys, SourceKeyedGeneratorStartsAtStreamZero) {
  FakeSource::reset(true);
  Generator g(FakeSource::get);
  EXPECT_EQ(FakeSource::calls, 1);
  const auto expected = stream_words(key_filled(0x40), 0, 0, 100);
  for (std::uint32_t want : expected) ASSERT_EQ(g.next_u32(), want);
}

TEST(GeneratorKeys, NeverRunsWithoutAFirstKey) {
  FakeSource::reset(false);
  for (KeySource source : {KeySource{FakeSource::get}, KeySource{nullptr}}) {
    try {
      Generator g(source);
      ADD_FAILURE() << "constructed without a key";
    } catch (const InternalFault& fault) {
      EXPECT_EQ(fault.kind(), FaultKind::Impossible);
      EXPECT_NE(std::string(fault.what()).find("random source"), std::string::npos);
    }
  }
}

TEST(GeneratorKeys, ExplicitRekeyRestartsOrLeavesStreamAlone) {
  FakeSource::reset(true);
  Generator g(kKnownKey, 5, FakeSource::get);
  const auto old_stream = stream_words(kKnownKey, 5, 0, 8);
  EXPECT_EQ(g.next_u32(), old_stream[0]);

  ASSERT_TRUE(g.rekey());  // buffered words of the old key are dropped
  for (std::uint32_t want : stream_words(key_filled(0x40), 0, 0, 3)) EXPECT_EQ(g.next_u32(), want);

  FakeSource::works = false;
  EXPECT_FALSE(g.rekey());
  EXPECT_EQ(g.next_u32(), stream_words(key_filled(0x40), 0, 0, 4)[3]);
}

TEST(OsKeySource, GivesDistinctKeys) {
  Key a{};
  Key b{};
  ASSERT_TRUE(os_key_source(a));
  ASSERT_TRUE(os_key_source(b));
  EXPECT_NE(a, b);
  EXPECT_NE(a, Key{});
}

// ---------------------------------------------------------------------------
// Per thread, and across fork()

TEST(ThreadGenerator, OnePerThreadWithIndependentStreams) {
  EXPECT_EQ(&thread_generator(), &thread_generator());

  std::latch both_alive(2);
  Generator* where[2] = {};
  std::uint32_t drawn[2][8] = {};
  auto body = [&](int t) {
    Generator& g = thread_generator();
    where[t] = &g;
    for (auto& w : drawn[t]) w = g.next_u32();
    both_alive.arrive_and_wait();  // keep both thread-locals alive at once
  };
  std::thread a(body, 0);
  std::thread b(body, 1);
  a.join();
  b.join();
  EXPECT_NE(where[0], where[1]);
  EXPECT_NE(where[0], &thread_generator());
  EXPECT_NE(std::memcmp(drawn[0], drawn[1], sizeof drawn[0]), 0);
}

TEST(ThreadGenerator, ForkedChildNeverRepeatsParentStream) {
  // The parent's generator exists and has words buffered when fork() happens.
  (void)thread_generator().next_u32();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  constexpr int kWords = 16;
  if (pid == 0) {
    std::uint32_t words[kWords];
    for (auto& w : words) w = thread_generator().next_u32();
    const bool ok = write(fds[1], words, sizeof words) == static_cast<ssize_t>(sizeof words);
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  std::uint32_t parent[kWords];
  for (auto& w : parent) w = thread_generator().next_u32();
  std::uint32_t child[kWords] = {};
  std::size_t got = 0;
  while (got < sizeof child) {
    const ssize_t r = read(fds[0], reinterpret_cast<char*>(child) + got, sizeof child - got);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, sizeof child);
  // Even one shared word in place would be a 2^-32 coincidence.
  for (int k = 0; k < kWords; ++k) EXPECT_NE(child[k], parent[k]) << k;
}

// ---------------------------------------------------------------------------
// rand

struct FillCase {
  std::size_t skip;  // words drawn before the fill
  std::size_t n;
};

void PrintTo(const FillCase& c, std::ostream* os) { *os << "skip " << c.skip << ", n " << c.n; }

class FillRand : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillRand, EachValueIsTopTwentyThreeBitsOfOneWord) {
  const auto [skip, n] = GetParam();
  Generator g(kKnownKey, 0, constant_source);
  Generator twin(kKnownKey, 0, constant_source);
  for (std::size_t k = 0; k < skip; ++k) {
    twin.next_u32();
    g.next_u32();
  }

  std::vector<float> out(n + 1, -7.0f);
  fill_rand(g, out.data(), n);
  for (std::size_t k = 0; k < n; ++k) {
    const float want = static_cast<float>(std::ldexp(static_cast<double>(twin.next_u32() >> 9), -23));
    ASSERT_EQ(std::bit_cast<std::uint32_t>(out[k]), std::bit_cast<std::uint32_t>(want)) << k;
  }
  EXPECT_EQ(out[n], -7.0f);                 // nothing written past the end
  EXPECT_EQ(g.next_u32(), twin.next_u32());  // exactly n words used
}

INSTANTIATE_TEST_SUITE_P(Sizes, FillRand,
                         ::testing::Values(FillCase{0, 0}, FillCase{0, 1}, FillCase{1, 63},
                                           FillCase{0, 256}, FillCase{3, 1000},
                                           FillCase{5, kWordsPerKey + 300}));

TEST(Rand, ValuesAreGridPointsOfTheUnitInterval) {
  std::vector<float> v(1 << 20);
  fill_rand(thread_generator(), v.data(), v.size());
  double sum = 0;
  for (float x : v) {
    ASSERT_GE(x, 0.0f);
    ASSERT_LT(x, 1.0f);
    const double scaled = static_cast<double>(x) * 8388608.0;  // 2^23
    ASSERT_EQ(scaled, std::floor(scaled)) << x;
    sum += x;
  }
  EXPECT_NEAR(sum / v.size(), 0.5, 0.003);  // about 10 standard errors
}

// ---------------------------------------------------------------------------
// randn

double open_unit(std::uint64_t c) {
  return std::bit_cast<double>(0x3FF0000000000000ull | c >> 12) - 0.9999999999999999;
}

// The algorithm exactly as written, one draw at a time through next_u64.
float plain_normal(Generator& g) {
  for (;;) {
    const std::uint64_t b = g.next_u64();
    const int i = static_cast<int>(b & 0xff);
    const double u = std::bit_cast<double>(0x4000000000000000ull | b >> 12) - 3.0;
    const double x = u * kZigX[i];
    if (std::fabs(x) < kZigX[i + 1]) return static_cast<float>(x) + 0.0f;
    if (i == 0) {
      double t;
      double y;
      do {
        t = std::log(open_unit(g.next_u64())) / kZigR;
        y = std::log(open_unit(g.next_u64()));
      } while (-2 * y < t * t);
      return static_cast<float>(u < 0 ? t - kZigR : kZigR - t) + 0.0f;
    }
    const double v = static_cast<double>(g.next_u64() >> 11) * 0x1.0p-53;
    if (kZigF[i + 1] + (kZigF[i] - kZigF[i + 1]) * v < std::exp(-x * x / 2)) {
      return static_cast<float>(x) + 0.0f;
    }
  }
}

// The sampler's own exp and log against an independent quad evaluation: the
// correctly rounded double wherever that evaluation decides it (always, in
// practice), over the arguments the sampler gives them and well beyond.
bool rounded_double(exhaustive::Quad q, double& out) {
  const exhaustive::Quad spread = (q < 0 ? -q : q) * exhaustive::Quad(0x1p-104);
  out = static_cast<double>(q - spread);
  return out == static_cast<double>(q + spread);
}

TEST(SamplerMath, ExpAndLogAreCorrectlyRounded) {
  std::mt19937_64 rng(2027);
  std::uniform_real_distribution<double> ziggurat_x(0.0, 3.92), wide(-350.0, 350.0), exponent(-1000.0, 1000.0);
  std::vector<double> exps, logs;
  for (int i = 0; i < 20000; ++i) {
    const double x = ziggurat_x(rng);
    exps.push_back(-x * x / 2.0);
    exps.push_back(wide(rng));
    logs.push_back(open_unit(rng()));
    logs.push_back(std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52, static_cast<int>(exponent(rng))));
    logs.push_back(1.0 - static_cast<double>(i + 1) * 0x1p-53);  // log x tiny beside 1
    logs.push_back(1.0 + static_cast<double>(i + 1) * 0x1p-52);
  }
  for (const double z : {0.0, -0.0, 1e-300, -1e-20, 350.0, -350.0}) exps.push_back(z);
  for (const double x : {1.0, 0x1p-53, 0.5, 2.0, 0x1p-1000, 0x1p1000}) logs.push_back(x);
  int undecided = 0;
  for (const double z : exps) {
    double want;
    if (!rounded_double(exhaustive::exp_q(z), want)) {
      std::printf("  undecided: exp(%a)\n", z);
      ++undecided;
      continue;
    }
    ASSERT_EQ(std::bit_cast<std::uint64_t>(dmath::exp(z)), std::bit_cast<std::uint64_t>(want)) << std::hexfloat << z;
  }
  for (const double x : logs) {
    double want;
    if (!rounded_double(exhaustive::log_q(x), want)) {
      std::printf("  undecided: log(%a)\n", x);
      ++undecided;
      continue;
    }
    ASSERT_EQ(std::bit_cast<std::uint64_t>(dmath::log(x)), std::bit_cast<std::uint64_t>(want)) << std::hexfloat << x;
  }
  // log(1 - 2^-52) = -2^-52 - 2^-105 - 2^-158/3 - ...: just past the midpoint
  // -2^-52 - 2^-105, closer than quad tells; worked out by hand.
  EXPECT_EQ(dmath::log(1.0 - 0x1p-52), -0x1.0000000000001p-52);
  EXPECT_LE(undecided, 1);
  EXPECT_NE(dmath::exp(std::nan("")), dmath::exp(std::nan("")));
  EXPECT_NE(dmath::log(std::nan("")), dmath::log(std::nan("")));
}

// The wedge test's comparison decides as a < exp(z) does: far from exp(z),
// within its margin, and on the doubles next to it.
TEST(SamplerMath, BelowExpDecidesAsExp) {
  std::mt19937_64 rng(2028);
  std::uniform_real_distribution<double> ziggurat_x(0.0, 3.92), around(0.0, 2.0);
  for (int i = 0; i < 20000; ++i) {
    const double x = ziggurat_x(rng);
    const double z = -x * x / 2.0;
    const double e = dmath::exp(z);
    std::vector<double> as = {e, e * around(rng), e * (1 + 0x1p-44), e * (1 - 0x1p-44), e * (1 + 0x1p-42),
                              e * (1 - 0x1p-42), 0.0};
    double up = e, down = e;
    for (int k = 0; k < 4; ++k) as.push_back(up = std::nextafter(up, 2.0)), as.push_back(down = std::nextafter(down, 0.0));
    for (const double a : as) ASSERT_EQ(dmath::below_exp(a, z), a < e) << std::hexfloat << a << " " << z;
  }
}

class FillRandn : public ::testing::TestWithParam<std::size_t> {};

// Odd skips put every 64-bit draw across a word pair of the buffer, so some
// straddle refills; calls of varying length start and stop mid-buffer.
TEST_P(FillRandn, MatchesThePlainAlgorithmBitForBit) {
  const std::size_t skip = GetParam();
  Generator g(kKnownKey, 0, constant_source);
  Generator twin(kKnownKey, 0, constant_source);
  for (std::size_t k = 0; k < skip; ++k) {
    g.next_u32();
    twin.next_u32();
  }

  std::vector<float> out(250000);
  std::size_t done = 0;
  for (std::size_t chunk = 1; done < out.size(); chunk = chunk * 3 + 1) {
    const std::size_t n = std::min(chunk, out.size() - done);
    fill_randn(g, out.data() + done, n);
    done += n;
  }
  for (std::size_t k = 0; k < out.size(); ++k) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(out[k]), std::bit_cast<std::uint32_t>(plain_normal(twin)))
        << "element " << k;
  }
  EXPECT_EQ(g.next_u32(), twin.next_u32());  // same number of draws used
}

INSTANTIATE_TEST_SUITE_P(Skips, FillRandn, ::testing::Values(0, 1, 2, 255));

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Kolmogorov-Smirnov statistic D * sqrt(n) of sorted values against cdf.
template <class Cdf>
double ks_scaled(const std::vector<double>& sorted, Cdf cdf) {
  const double n = static_cast<double>(sorted.size());
  double d = 0;
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    const double f = cdf(sorted[k]);
    d = std::max({d, f - k / n, (k + 1) / n - f});
  }
  return d * std::sqrt(n);
}

TEST(Randn, StandardNormalStatistics) {
  // A fixed key keeps this deterministic; the bounds would hold for almost
  // any key (KS: P(D*sqrt(n) > 2) is about 7e-4 for a correct generator).
  Generator g(key_filled(0x5a), 0, nullptr);
  const std::size_t n = 1000000;
  std::vector<float> v(n);
  fill_randn(g, v.data(), n);

  double sum = 0;
  double sum_sq = 0;
  std::vector<double> sorted;
  sorted.reserve(n);
  std::vector<double> tail;  // |x| beyond R
  int negative_tail = 0;
  for (float x : v) {
    ASSERT_TRUE(std::isfinite(x));
    ASSERT_NE(std::bit_cast<std::uint32_t>(x), 0x80000000u) << "negative zero";
    sum += x;
    sum_sq += static_cast<double>(x) * x;
    sorted.push_back(x);
    if (std::fabs(x) > kZigR) {
      tail.push_back(std::fabs(x));
      negative_tail += x < 0;
    }
  }
  const double mean = sum / n;
  const double var = sum_sq / n - mean * mean;
  EXPECT_NEAR(mean, 0.0, 0.005);  // 5 standard errors
  EXPECT_NEAR(var, 1.0, 0.007);

  std::sort(sorted.begin(), sorted.end());
  EXPECT_LT(ks_scaled(sorted, normal_cdf), 2.0);

  // About 258 expected beyond +-R, on both sides, shaped like the normal's tail.
  ASSERT_GT(tail.size(), 150u);
  EXPECT_GT(negative_tail, 50);
  EXPECT_GT(static_cast<int>(tail.size()) - negative_tail, 50);
  std::sort(tail.begin(), tail.end());
  const double tail_mass = std::erfc(kZigR / std::sqrt(2.0));
  EXPECT_LT(ks_scaled(tail, [&](double y) { return 1 - std::erfc(y / std::sqrt(2.0)) / tail_mass; }),
            2.0);
}

// ---------------------------------------------------------------------------
// Kernel variants and their dispatch

std::string isa_param_name(const ::testing::TestParamInfo<cpu::Isa>& info) {
  return cpu::isa_name(info.param);
}

// Every variant of the fast step stops where the scalar one does and writes
// the same bits, including draws forced to fail (layer 255 always does) at
// every lane position and right at the end.
class ScanVariants : public ::testing::TestWithParam<cpu::Isa> {};

TEST_P(ScanVariants, MatchScalarBitForBit) {
  const cpu::Isa isa = GetParam();
  if (!cpu::supports(isa)) GTEST_SKIP() << cpu::isa_name(isa) << " not available";
  Generator g(kKnownKey, 0, nullptr);
  std::vector<std::uint32_t> words(2 * 4099);
  for (auto& w : words) w = g.next_u32();
  for (std::size_t draw : {0u, 7u, 9u, 18u, 27u, 36u, 45u, 54u, 63u, 100u, 4098u}) {
    words[2 * draw] |= 0xff;
  }
  const std::size_t draws = words.size() / 2;

  std::vector<float> want(draws);
  std::vector<float> got(draws);
  std::size_t stops = 0;
  for (std::size_t at = 0; at < draws; ++stops) {
    const std::size_t w = zig_scan_scalar(words.data() + 2 * at, draws - at, want.data() + at);
    const std::size_t v = zig_scan_for(isa)(words.data() + 2 * at, draws - at, got.data() + at);
    ASSERT_EQ(v, w) << "from draw " << at;
    // Slots from the stop on are scratch; the ones taken must agree.
    ASSERT_EQ(std::memcmp(got.data() + at, want.data() + at, w * sizeof(float)), 0) << at;
    at += w + 1;  // step over the draw that needs the slow path
  }
  EXPECT_GE(stops, 11u);
}

INSTANTIATE_TEST_SUITE_P(AllIsas, ScanVariants,
                         ::testing::Values(cpu::Isa::Baseline, cpu::Isa::Avx2, cpu::Isa::Avx512),
                         isa_param_name);

// A dispatch never hands out a variant this CPU cannot run. Only a CPU (or a
// portable build) without the wider ISAs can show it.
class DispatchRefuses : public ::testing::TestWithParam<cpu::Isa> {};

TEST_P(DispatchRefuses, AnIsaThisCpuLacks) {
  const cpu::Isa isa = GetParam();
  if (cpu::supports(isa)) GTEST_SKIP() << "this CPU runs " << cpu::isa_name(isa);
  const std::pair<std::string, std::function<void()>> families[] = {
      {"chacha12_blocks", [isa] { (void)chacha12_blocks_for(isa); }},
      {"zig_scan", [isa] { (void)zig_scan_for(isa); }},
  };
  for (const auto& [family, dispatch] : families) {
    try {
      dispatch();
      ADD_FAILURE() << family << " handed out the " << cpu::isa_name(isa) << " variant";
    } catch (const InternalFault& fault) {
      EXPECT_EQ(fault.kind(), FaultKind::Precondition);
      EXPECT_EQ(std::string(fault.what()),
                family + ": this CPU cannot run the " + cpu::isa_name(isa) + " variant");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(WiderIsas, DispatchRefuses,
                         ::testing::Values(cpu::Isa::Avx2, cpu::Isa::Avx512), isa_param_name);

// ---------------------------------------------------------------------------
// Ziggurat tables

TEST(ZigguratTables, PublishedRows) {
  EXPECT_EQ(kZigX[1], kZigR);
  EXPECT_EQ(kZigX[2], 3.4492782985609645);
  EXPECT_EQ(kZigX[3], 3.320244733839166);
  EXPECT_EQ(kZigX[128], 1.5353425714388431);
  EXPECT_EQ(kZigX[255], 0.2152418959132738);
  EXPECT_EQ(kZigX[256], 0.0);
  EXPECT_EQ(kZigF[1], 0.001260285930498598);
  EXPECT_EQ(kZigF[255], 0.9771017012827313);
  EXPECT_EQ(kZigF[256], 1.0);
  // These two are published to 15 significant digits.
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", kZigX[0]);
  EXPECT_STREQ(text, "3.91075795953709");
  std::snprintf(text, sizeof text, "%.15g", kZigF[0]);
  EXPECT_STREQ(text, "0.000477467764586655");
}

TEST(ZigguratTables, LayersHaveEqualArea) {
  const double v = kZigX[0] * kZigF[1];  // the base layer's rectangle
  for (std::size_t k = 0; k < kZigLayers; ++k) {
    ASSERT_GT(kZigX[k], kZigX[k + 1]) << k;
    ASSERT_LT(kZigF[k], kZigF[k + 1]) << k;
    ASSERT_NEAR(kZigF[k], std::exp(-kZigX[k] * kZigX[k] / 2), 4e-16 * kZigF[k]) << k;
    if (k >= 1 && k < kZigLayers - 1) {
      ASSERT_NEAR(kZigX[k] * (kZigF[k + 1] - kZigF[k]), v, 1e-10 * v) << k;
    }
  }
}

}  // namespace
}  // namespace nimbra::random
