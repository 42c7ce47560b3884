// The same bits on every CPU: one battery of operations on inputs made from a
// fixed integer hash (never from the OS-keyed generator), each result's shape
// and element bits digested and held to the digest recorded for it in
// bits_digests.txt. CTest runs this program under every NIMBRA_ISA cap and
// with 1, 2 and 3 workers; CI runs it on aarch64 too. NaNs are digested as
// one NaN: that a result is NaN is promised, its payload is not.
//
// A new operation is one row in kRows; then record its digest with
//   cmake --build build/tests --target test_bits &&
//     NIMBRA_BITS_RECORD=1 build/tests/tests/cpp/test_bits
// which rewrites bits_digests.txt from this machine's results (a row marked
// `pending` keeps its recorded digest). Check `git diff` before committing:
// only the new rows' lines may appear.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "cpu.hpp"
#include "nimbra/nn/linear.hpp"
#include "nimbra/ops.hpp"
#include "nimbra/random.hpp"
#include "nimbra/runtime/pool.hpp"
#include "random/sample.hpp"
#include "test_util.hpp"

namespace {

using nimbra::Tensor;
using tu::U64s;

// ---- inputs ----------------------------------------------------------------------

// A 32-bit integer hash with full avalanche (Wellons' lowbias32).
std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

enum class Kind {
  Plain,     // multiples of 2^-21 in [-4, 4)
  Wide,      // any sign, magnitudes from 2^-23 to 2^24, every mantissa
  Specials,  // Plain with every eighth value or so an IEEE special case
};

float hashed_value(std::uint32_t seed, std::uint64_t i, Kind kind) {
  static const float kSpecial[] = {0.0f,   -0.0f,  tu::kInf, -tu::kInf, tu::kNaN,    1e-40f,
                                   -1e-40f, 3e38f, -3e38f,   1.0f,      0x1p-149f, -65504.0f};
  const std::uint32_t h = mix(static_cast<std::uint32_t>(i) + seed * 0x9E3779B9U);
  if (kind == Kind::Wide) {
    const std::uint32_t g = mix(h);
    return tu::from_bits((h & 0x80000000U) | (104 + (g >> 24) % 48) << 23 | (g & 0x7fffffU));
  }
  if (kind == Kind::Specials && h % 8 == 0) return kSpecial[(h >> 3) % std::size(kSpecial)];
  return static_cast<float>(static_cast<std::int32_t>(h) >> 8) * 0x1p-21f;
}

Tensor hashed(const U64s& shape, std::uint32_t seed, Kind kind = Kind::Plain, float scale = 1.0f) {
  tu::Floats v(nimbra::numel_of(shape));
  for (std::uint64_t i = 0; i < v.size(); ++i) v[i] = hashed_value(seed, i, kind) * scale;
  return tu::make(v, shape);
}

// A transposed view of dims a, b of a hashed tensor whose shape is `stored`.
Tensor swapped(const U64s& stored, std::uint32_t seed, std::uint64_t a = 0, std::uint64_t b = 1) {
  return nimbra::transpose(hashed(stored, seed), a, b).value();
}

template <class T>
T ok(nimbra::Result<T> r) {
  if (!r) throw std::runtime_error(r.error().display());
  return std::move(r).value();
}

nimbra::random::Generator keyed(std::uint8_t fill) {
  nimbra::random::Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(fill + 37 * i);
  return nimbra::random::Generator(key, 7, nullptr);
}

template <void (*Fill)(nimbra::random::Generator&, float*, std::size_t)>
Tensor drawn(std::uint64_t n) {
  nimbra::random::Generator g = keyed(3);
  tu::Floats v(n);
  Fill(g, v.data(), n);
  return tu::make(v, {n});
}

// x[::-1, 1::3] (rows backwards, every third column): a view with a
// negative step.
Tensor reversed_rows(const U64s& shape, std::uint32_t seed) {
  using K = nimbra::IndexItem::Kind;
  const nimbra::IndexItem items[] = {{K::Slice, -1, INT64_MIN, -1}, {K::Slice, 1, INT64_MAX, 3}};
  return std::get<Tensor>(nimbra::index(hashed(shape, seed), items));
}

Tensor linear(const Tensor& weight, const Tensor& bias, const Tensor& x) {
  return ok(nimbra::nn::Linear::from_parameters(weight, bias)).forward(x);
}

// ---- the battery ----------------------------------------------------------------

struct Row {
  const char* name;  // letters, digits and underscores: the test's name
  std::function<Tensor()> run;
  // Why this row's recorded digest is not yet reached on every machine;
  // a mismatch then skips instead of failing.
  const char* pending = nullptr;
};

using namespace nimbra;

const Row kRows[] = {
    // element-wise, with broadcasting
    {"add_same_shape", [] { return ok(add(hashed({1000}, 1), hashed({1000}, 2))); }},
    {"sub_specials", [] { return ok(sub(hashed({4099}, 3, Kind::Specials), hashed({4099}, 4, Kind::Specials))); }},
    {"mul_wide", [] { return ok(mul(hashed({2053}, 5, Kind::Wide), hashed({2053}, 6, Kind::Wide))); }},
    {"add_row_broadcast", [] { return ok(add(hashed({257, 33}, 7), hashed({33}, 8))); }},
    {"mul_leading_broadcast", [] { return ok(mul(hashed({33}, 9), hashed({257, 33}, 10))); }},
    {"sub_outer_broadcast", [] { return ok(sub(hashed({129, 1}, 11), hashed({1, 131}, 12))); }},
    {"add_scalar", [] { return ok(add(hashed({}, 13), hashed({999}, 14, Kind::Specials))); }},
    {"mul_rank5", [] { return ok(mul(hashed({2, 3, 4, 5, 6}, 15), hashed({3, 1, 5, 1}, 16))); }},
    {"add_rank8", [] { return ok(add(hashed({1, 2, 1, 2, 1, 2, 1, 3}, 17), hashed({2, 1, 2, 1, 2, 1, 7, 1}, 18))); }},
    {"sub_transposed_view", [] { return ok(sub(swapped({37, 61}, 19), hashed({61, 37}, 20))); }},
    {"mul_large", [] { return ok(mul(hashed({300001}, 21, Kind::Wide), hashed({300001}, 22))); }},
    {"add_empty", [] { return ok(add(hashed({0, 5}, 23), hashed({5}, 24))); }},
    // matrix multiplication
    {"matmul_1x1", [] { return ok(matmul(hashed({1, 1}, 30), hashed({1, 1}, 31))); }},
    {"matmul_small", [] { return ok(matmul(hashed({3, 5}, 32), hashed({5, 7}, 33))); }},
    {"matmul_square_64", [] { return ok(matmul(hashed({64, 64}, 34), hashed({64, 64}, 35))); }},
    {"matmul_block_edges", [] { return ok(matmul(hashed({65, 129}, 36), hashed({129, 33}, 37))); }},
    {"matmul_dot", [] { return ok(matmul(hashed({1, 300}, 38), hashed({300, 1}, 39))); }},
    {"matmul_outer", [] { return ok(matmul(hashed({300, 1}, 40), hashed({1, 300}, 41))); }},
    {"matmul_tall", [] { return ok(matmul(hashed({517, 16}, 42), hashed({16, 9}, 43))); }},
    {"matmul_large", [] { return ok(matmul(hashed({192, 256}, 44), hashed({256, 160}, 45))); }},
    {"matmul_wide_values", [] { return ok(matmul(hashed({33, 65}, 46, Kind::Wide), hashed({65, 17}, 47, Kind::Wide))); }},
    {"matmul_specials", [] { return ok(matmul(hashed({9, 11}, 48, Kind::Specials), hashed({11, 13}, 49))); }},
    {"matmul_batched", [] { return ok(matmul(hashed({4, 17, 19}, 50), hashed({4, 19, 23}, 51))); }},
    {"matmul_batch_broadcast", [] { return ok(matmul(hashed({2, 1, 8, 9}, 52), hashed({3, 9, 5}, 53))); }},
    {"matmul_a_transposed", [] { return ok(matmul(swapped({40, 30}, 54), hashed({40, 20}, 55))); }},
    {"matmul_b_transposed", [] { return ok(matmul(hashed({30, 40}, 56), swapped({20, 40}, 57))); }},
    {"matmul_both_transposed_batched",
     [] { return ok(matmul(swapped({3, 40, 30}, 58, 1, 2), swapped({3, 20, 40}, 59, 1, 2))); }},
    {"matmul_empty_inner", [] { return ok(matmul(hashed({3, 0}, 60), hashed({0, 4}, 61))); }},
    // activations
    {"relu_specials", [] { return relu(hashed({5003}, 70, Kind::Specials)); }},
    {"sigmoid_specials", [] { return sigmoid(hashed({5003}, 71, Kind::Specials)); }},
    {"sigmoid_wide", [] { return sigmoid(hashed({5003}, 72, Kind::Wide)); }},
    {"gelu_specials", [] { return gelu(hashed({5003}, 73, Kind::Specials)); }},
    {"gelu_wide", [] { return gelu(hashed({5003}, 74, Kind::Wide)); }},
    {"relu_transposed_view", [] { return relu(swapped({31, 17}, 75)); }},
    {"softmax_1d", [] { return softmax(hashed({1000}, 80), 0); }},
    {"softmax_2d_dim0", [] { return softmax(hashed({97, 13}, 81), 0); }},
    {"softmax_2d_dim1", [] { return softmax(hashed({97, 13}, 81), 1); }},
    {"softmax_3d_dim0", [] { return softmax(hashed({5, 7, 67}, 82), 0); }},
    {"softmax_3d_dim1", [] { return softmax(hashed({5, 7, 67}, 82), 1); }},
    {"softmax_3d_dim2", [] { return softmax(hashed({5, 7, 67}, 82), 2); }},
    {"softmax_4d_dim0", [] { return softmax(hashed({4, 3, 2, 129}, 83), 0); }},
    {"softmax_4d_dim1", [] { return softmax(hashed({4, 3, 2, 129}, 83), 1); }},
    {"softmax_4d_dim2", [] { return softmax(hashed({4, 3, 2, 129}, 83), 2); }},
    {"softmax_4d_dim_last", [] { return softmax(hashed({4, 3, 2, 129}, 83), -1); }},
    {"softmax_wide_range", [] { return softmax(hashed({8, 1000}, 84, Kind::Plain, 25.0f), 1); }},
    {"softmax_specials", [] { return softmax(hashed({64, 33}, 85, Kind::Specials), 1); }},
    {"softmax_transposed_view", [] { return softmax(swapped({29, 41}, 86), 1); }},
    // (exp(-63.09946) rounds to 0x11fa2992, which one C library's expf misses.)
    {"softmax_edge_argument", [] { return softmax(tu::make({0.0f, tu::from_bits(0xc27c65d9U)}, {2}), 0); }},
    // the accurate activations
    {"accurate_sigmoid_specials", [] { return accurate_sigmoid(hashed({5003}, 120, Kind::Specials, 8.0f)); }},
    {"accurate_sigmoid_wide", [] { return accurate_sigmoid(hashed({5003}, 121, Kind::Wide)); }},
    {"accurate_tanh_specials", [] { return accurate_tanh(hashed({5003}, 122, Kind::Specials, 3.0f)); }},
    {"accurate_tanh_wide", [] { return accurate_tanh(hashed({5003}, 123, Kind::Wide)); }},
    {"accurate_gelu_erf_specials", [] { return accurate_gelu(hashed({5003}, 124, Kind::Specials, 4.0f), GeluForm::Erf); }},
    {"accurate_gelu_erf_wide", [] { return accurate_gelu(hashed({5003}, 125, Kind::Wide), GeluForm::Erf); }},
    {"accurate_gelu_tanh_specials", [] { return accurate_gelu(hashed({5003}, 126, Kind::Specials, 4.0f), GeluForm::Tanh); }},
    {"accurate_gelu_tanh_wide", [] { return accurate_gelu(hashed({5003}, 127, Kind::Wide), GeluForm::Tanh); }},
    {"accurate_sigmoid_pooled", [] { return accurate_sigmoid(hashed({3, 300, 70}, 128, Kind::Plain, 6.0f)); }},
    {"accurate_softmax_rows", [] { return ok(accurate_softmax(hashed({97, 13}, 130, Kind::Plain, 8.0f), 1)); }},
    {"accurate_softmax_columns", [] { return ok(accurate_softmax(hashed({5, 7, 67}, 131, Kind::Plain, 8.0f), 1)); }},
    {"accurate_softmax_specials", [] { return ok(accurate_softmax(hashed({64, 33}, 132, Kind::Specials), 1)); }},
    {"accurate_softmax_wide_range", [] { return ok(accurate_softmax(hashed({8, 1000}, 133, Kind::Plain, 60.0f), 1)); }},
    {"accurate_log_softmax_rows", [] { return ok(accurate_log_softmax(hashed({97, 13}, 134, Kind::Plain, 8.0f), 1)); }},
    {"accurate_log_softmax_columns", [] { return ok(accurate_log_softmax(hashed({4, 3, 2, 129}, 135), 0)); }},
    {"accurate_log_softmax_specials", [] { return ok(accurate_log_softmax(hashed({33, 64}, 136, Kind::Specials), 0)); }},
    {"accurate_log_softmax_pooled", [] { return ok(accurate_log_softmax(hashed({70, 300}, 137, Kind::Plain, 30.0f), 1)); }},
    // reductions
    {"sum_1d", [] { return sum(hashed({1000}, 90)); }},
    {"mean_1d", [] { return mean(hashed({1000}, 91)); }},
    {"sum_wide", [] { return sum(hashed({100003}, 92, Kind::Wide)); }},
    {"mean_specials", [] { return mean(hashed({4001}, 93, Kind::Specials)); }},
    {"sum_transposed_view", [] { return sum(swapped({3, 517}, 94)); }},
    {"mean_empty", [] { return mean(hashed({0}, 95)); }},
    {"sum_columns", [] { return ok(reduce(hashed({1000, 37}, 96), ReduceOp::Sum, 0, false)); }},
    {"mean_rows_keepdim", [] { return ok(reduce(hashed({37, 1000}, 97), ReduceOp::Mean, -1, true)); }},
    {"max_specials_middle", [] { return ok(reduce(hashed({7, 61, 9}, 98, Kind::Specials), ReduceOp::Max, 1, false)); }},
    {"min_specials_rows", [] { return ok(reduce(hashed({61, 67}, 99, Kind::Specials), ReduceOp::Min, 1, false)); }},
    {"argmax_columns", [] { return ok(reduce(hashed({300, 10}, 104, Kind::Wide), ReduceOp::ArgMax, 0, false)); }},
    {"argmin_rows_specials", [] { return ok(reduce(hashed({10, 300}, 105, Kind::Specials), ReduceOp::ArgMin, 1, false)); }},
    {"argmax_all", [] { return ok(reduce_all(swapped({33, 65}, 106), ReduceOp::ArgMax, false)); }},
    {"sum_reversed_view", [] { return ok(reduce(reversed_rows({41, 97}, 107), ReduceOp::Sum, 0, false)); }},
    // copies and views
    {"reshape_view", [] { return ok(reshape(hashed({6, 35}, 100), U64s{2, 3, 5, 7})); }},
    {"reshape_of_transposed", [] { return ok(reshape(swapped({35, 6}, 101), U64s{3, 70})); }},
    {"transpose_middle", [] { return swapped({4, 5, 6, 7}, 102, 1, 3); }},
    {"reversed_view_copy", [] { return relu(reversed_rows({41, 97}, 108)); }},
    {"matmul_reversed_view", [] { return ok(matmul(reversed_rows({23, 50}, 109), hashed({17, 9}, 138))); }},
    {"strided_layout", [] {
       return tu::with_layout(hashed({5, 6, 7}, 103).data_f32(), {5, 6, 7}, tu::kLayouts[3]);
     }},
    // layers and random draws from a known key
    {"linear_given_weights", [] { return linear(hashed({10, 20}, 110), hashed({10}, 111), hashed({8, 20}, 112)); }},
    {"linear_batched_input", [] { return linear(hashed({7, 33}, 113), hashed({7}, 114), hashed({2, 3, 33}, 115)); }},
    // one request and a few: the weight swept row by row (wide outputs) or
    // held in registers (narrow ones), and the short-rows tiles
    {"linear_one_row", [] { return linear(hashed({256, 784}, 117), hashed({256}, 118), hashed({1, 784}, 119)); }},
    {"linear_one_row_narrow", [] { return linear(hashed({10, 256}, 120), hashed({10}, 121), hashed({1, 256}, 122)); }},
    {"linear_few_rows", [] { return linear(hashed({256, 784}, 117), hashed({256}, 118), hashed({5, 784}, 123)); }},
    {"linear_from_known_key", [] {
       nimbra::random::Generator g = keyed(9);
       return nimbra::nn::Linear::create(20, 10, g).forward(hashed({8, 20}, 116));
     }},
    {"rand_known_key", [] { return drawn<nimbra::random::fill_rand>(4096); }},
    {"randn_known_key", [] { return drawn<nimbra::random::fill_randn>(1 << 16); }},
};

// ---- digests --------------------------------------------------------------------

// FNV-1a over the rank, the sizes and the elements' bits in row-major order.
std::uint64_t digest(const Tensor& t) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  auto eat = [&h](std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) h = (h ^ ((v >> (8 * i)) & 0xff)) * 0x100000001b3ULL;
  };
  eat(t.ndim(), 8);
  for (std::uint64_t d : t.shape()) eat(d, 8);
  for (float x : t.data_f32()) eat(x != x ? 0x7fc00000U : tu::bits(x), 4);
  return h;
}

std::string hex(std::uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

std::map<std::string, std::string> recorded() {
  std::map<std::string, std::string> digests;
  std::ifstream in(NIMBRA_BITS_DIGESTS);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name, value;
    if (line.empty() || line[0] == '#' || !(fields >> name >> value)) continue;
    digests[name] = value;
  }
  return digests;
}

const bool kRecording = std::getenv("NIMBRA_BITS_RECORD") != nullptr;

class Bits : public ::testing::TestWithParam<const Row*> {};

TEST_P(Bits, DigestIsTheRecordedOne) {
  if (kRecording) GTEST_SKIP() << "recording";
  const Row& row = *GetParam();
  const auto digests = recorded();
  const auto want = digests.find(row.name);
  ASSERT_NE(want, digests.end()) << row.name << " has no recorded digest: record it (see test_bits.cpp)";
  const std::string got = hex(digest(row.run()));
  if (got != want->second && row.pending) GTEST_SKIP() << row.name << " differs here until " << row.pending;
  EXPECT_EQ(got, want->second) << row.name << " gives other bits under NIMBRA_ISA="
                               << nimbra::cpu::isa_name(nimbra::cpu::best_isa()) << " with "
                               << nimbra::runtime::worker_count() << " workers";
}

INSTANTIATE_TEST_SUITE_P(Battery, Bits, ::testing::ValuesIn([] {
                           std::vector<const Row*> rows;
                           for (const Row& r : kRows) rows.push_back(&r);
                           return rows;
                         }()),
                         [](const ::testing::TestParamInfo<const Row*>& info) { return std::string(info.param->name); });

TEST(BitsRecord, EveryRecordedDigestHasItsRow) {
  std::map<std::string, std::string> digests = recorded();
  if (!kRecording) {
    ASSERT_FALSE(digests.empty()) << "no digests read from " << NIMBRA_BITS_DIGESTS;
    for (const Row& r : kRows) digests.erase(r.name);
    for (const auto& [name, value] : digests) ADD_FAILURE() << "recorded digest of a row that is gone: " << name;
    return;
  }
  std::ofstream out(NIMBRA_BITS_DIGESTS);
  out << "# Digests of the bits battery (tests/cpp/test_bits.cpp), one row a line.\n";
  for (const Row& r : kRows) {
    const auto kept = digests.find(r.name);
    out << r.name << ' ' << (r.pending && kept != digests.end() ? kept->second : hex(digest(r.run()))) << '\n';
  }
  ASSERT_TRUE(out.good()) << "cannot write " << NIMBRA_BITS_DIGESTS;
}

}  // namespace
