// ChaCha12 keystream: published vectors through the generator, and every
// vector variant of the block function against the scalar definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "nimbra/random.hpp"
#include "cpu.hpp"
#include "random/chacha.hpp"

namespace nimbra::random {
namespace {

std::vector<std::uint8_t> hex_bytes(const std::string& hex) {
  std::vector<std::uint8_t> out;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits += c;
  }
  for (std::size_t k = 0; k + 1 < digits.size(); k += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(k, 2), nullptr, 16)));
  }
  return out;
}

// J. Strombergson, draft-strombergson-chacha-test-vectors-01, 12 rounds,
// 256-bit keys: keystream blocks 0 and 1.
struct Vector {
  const char* name;
  const char* key;
  const char* nonce;
  const char* blocks;
};

const Vector kVectors[] = {
    {"TC1", "0000000000000000000000000000000000000000000000000000000000000000",
     "0000000000000000",
     "9bf49a6a0755f953811fce125f2683d5 0429c3bb49e074147e0089a52eae155f "
     "0564f879d27ae3c02ce82834acfa8c79 3a629f2ca0de6919610be82f411326be "
     "0bd58841203e74fe86fc71338ce0173d c628ebb719bdcbcc151585214cc089b4 "
     "42258dcda14cf111c602b8971b8cc843 e91e46ca905151c02744a6b017e69316"},
    {"TC2", "0100000000000000000000000000000000000000000000000000000000000000",
     "0000000000000000",
     "12056e595d56b0f6eef090f0cd25a209 49248c2790525d0f930218ff0b4ddd10 "
     "a6002239d9a454e29e107a7d06fefdfe f0210feba044f9f29b1772c960dc29c0 "
     "0c7366c5cbc604240e665eb02a69372a 7af979b26fbb78092ac7c4b88029a7c8 "
     "54513bc217bbfc7d90432e308eba15af c65aeb48ef100d5601e6afba257117a9"},
    {"TC3", "0000000000000000000000000000000000000000000000000000000000000000",
     "0100000000000000",
     "64b8bdf87b828c4b6dbaf7ef698de03d f8b33f635714418f9836ade59be12969 "
     "46c953a0f38ecffc9ecb98e81d5d99a5 edfc8f9a0a45b9e41ef3b31f028f1d0f "
     "559db4a7f222c442fe23b9a2596a8828 5122ee4f1363896ea77ca150912ac723 "
     "bff04b026a2f807e03b29c02077d7b06 fc1ab9827c13c8013a6d83bd3b52a26f"},
    {"TC7", "00112233445566778899aabbccddeeffffeeddccbbaa99887766554433221100",
     "0f1e2d3c4b5a6978",
     "7ed12a3a63912ae941ba6d4c0d5e862e 568b0e5589346935505f064b8c2698db "
     "f7d850667d8e67be639f3b4f6a16f92e 65ea80f6c7429445da1fc2c1b9365040 "
     "e32e50c4106f3b3da1ce7ccb1e7140b1 53493c0f3ad9a9bcff077ec4596f1d0f "
     "29bf9cbaa502820f732af5a93c49eee3 3d1c4f12af3b4297af91fe41ea9e94a2"},
    {"TC8", "c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d",
     "1ada31d5cf688221",
     "1482072784bc6d06b4e73bdc118bc010 3c7976786ca918e06986aa251f7e9cc1 "
     "b2749a0a16ee83b4242d2e99b08d7c20 092b80bc466c87283b61b1b39d0ffbab "
     "d94b116bc1ebdb329b9e4f620db69554 4a8e3d9b68473d0c975a46ad966ed631 "
     "e42aff530ad5eac7d8047adfa1e5113c 91f3e3b883f1d189ac1c8fe07ba5a42b"},
};

class PublishedVectors : public ::testing::TestWithParam<Vector> {};

TEST_P(PublishedVectors, GeneratorHandsOutTheKeystreamInOrder) {
  const Vector& v = GetParam();
  const auto key_bytes = hex_bytes(v.key);
  const auto nonce = hex_bytes(v.nonce);
  const auto expected = hex_bytes(v.blocks);
  ASSERT_EQ(key_bytes.size(), 32u);
  ASSERT_EQ(expected.size(), 128u);
  Key key;
  std::copy(key_bytes.begin(), key_bytes.end(), key.begin());
  std::uint64_t stream = 0;
  for (int k = 7; k >= 0; --k) stream = stream << 8 | nonce[k];  // little-endian

  Generator g(key, stream, nullptr);
  std::vector<std::uint8_t> got;
  for (int w = 0; w < 32; ++w) {
    const std::uint32_t word = g.next_u32();
    for (int s = 0; s < 32; s += 8) got.push_back(static_cast<std::uint8_t>(word >> s));
  }
  EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Strombergson, PublishedVectors, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Vector variants against the scalar definition.

struct VariantCase {
  cpu::Isa isa;
  std::uint64_t counter;
  std::size_t blocks;
};

void PrintTo(const VariantCase& c, std::ostream* os) {
  *os << cpu::isa_name(c.isa) << ", counter " << c.counter << ", " << c.blocks << " blocks";
}

std::string case_name(const ::testing::TestParamInfo<VariantCase>& info) {
  return std::string(cpu::isa_name(info.param.isa)) + "_c" + std::to_string(info.param.counter) +
         "_n" + std::to_string(info.param.blocks);
}

class BlockVariants : public ::testing::TestWithParam<VariantCase> {};

TEST_P(BlockVariants, MatchScalarDefinitionBitForBit) {
  const VariantCase& c = GetParam();
  if (!cpu::supports(c.isa)) GTEST_SKIP() << cpu::isa_name(c.isa) << " not available";
  const KeyWords key = {0x03020100u, 0x07060504u, 0xdeadbeefu, 0x01234567u,
                        0x89abcdefu, 0xfedcba98u, 0x76543210u, 0xffffffffu};
  for (std::uint64_t stream : {std::uint64_t{0}, std::uint64_t{0xfedcba9876543210ull}}) {
    std::vector<std::uint32_t> want(16 * c.blocks + 16, 0xa5a5a5a5u);
    std::vector<std::uint32_t> got(want);
    chacha12_blocks_ref(key, stream, c.counter, c.blocks, want.data());
    chacha12_blocks_for(c.isa)(key, stream, c.counter, c.blocks, got.data());
    EXPECT_EQ(got, want) << "stream " << stream;  // includes the untouched guard block
  }
}

std::vector<VariantCase> variant_cases() {
  std::vector<VariantCase> cases;
  // Counters that cross 2^32 inside a call (the carry into word 13 per lane),
  // and one that wraps 2^64; block counts that leave remainders for the
  // narrower variant.
  for (cpu::Isa isa : {cpu::Isa::Baseline, cpu::Isa::Avx2, cpu::Isa::Avx512}) {
    for (std::uint64_t counter : {std::uint64_t{0}, std::uint64_t{0xfffffff6ull},
                                  std::uint64_t{0x2fffffffdull}, ~std::uint64_t{0} - 5}) {
      for (std::size_t blocks : {4u, 12u, 16u, 28u, 36u}) cases.push_back({isa, counter, blocks});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllIsas, BlockVariants, ::testing::ValuesIn(variant_cases()), case_name);

TEST(BlockCounter, CarriesIntoTheHighWord) {
  // A 32-bit counter would make block 2^32 repeat block 0.
  const KeyWords key = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint32_t zero[16];
  std::uint32_t high[16];
  chacha12_blocks_ref(key, 0, 0, 1, zero);
  chacha12_blocks_ref(key, 0, std::uint64_t{1} << 32, 1, high);
  EXPECT_FALSE(std::equal(zero, zero + 16, high));

  // The generator's batches cross 2^32 block by block.
  Key key_bytes{};
  key_bytes[0] = 1;
  key_bytes[7] = 0x80;  // little-endian words: 1, 0x80000000, 0, ...
  const KeyWords words = {1, 0x80000000u, 0, 0, 0, 0, 0, 0};
  Generator g(key_bytes, 9, nullptr);
  g.seek((std::uint64_t{1} << 32) - 2);
  for (std::uint64_t block = (std::uint64_t{1} << 32) - 2; block < (std::uint64_t{1} << 32) + 6;
       ++block) {
    std::uint32_t want[16];
    chacha12_blocks_ref(words, 9, block, 1, want);
    for (int k = 0; k < 16; ++k) ASSERT_EQ(g.next_u32(), want[k]) << "block " << block;
  }
}

}  // namespace
}  // namespace nimbra::random
