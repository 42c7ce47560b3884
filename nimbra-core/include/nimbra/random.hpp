// The random generator: a ChaCha12 keystream handed out as 32-bit words in
// stream order, keyed from the operating system and re-keyed after every
// 65,536 bytes of output. One per thread via thread_generator(); the values are
// not reproducible from outside (no seeding API). Layers draw their parameters
// from it; the tensor constructors rand / randn are in ops.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nimbra::random {

using Key = std::array<std::uint8_t, 32>;
// Fills `out` with a fresh key; false when no key can be had.
using KeySource = bool (*)(Key& out);

// The operating system's cryptographic source (getrandom on Linux with a
// /dev/urandom fallback, arc4random_buf on the BSDs and macOS,
// BCryptGenRandom then RtlGenRandom on Windows).
bool os_key_source(Key& out);

class Generator {
 public:
  static constexpr std::size_t kBatchWords = 64;  // 4 blocks of 16 words
  static constexpr std::int64_t kRekeyBytes = 65536;

  // Keyed from `source`; throws InternalFault (fail_impossible) when the
  // source cannot supply the first key: the generator never runs unkeyed.
  explicit Generator(KeySource source = os_key_source);
  // A known key and stream number (for tests); later keys come from
  // `rekey_source` (nullptr: re-keys always fail, the stream just continues).
  Generator(const Key& key, std::uint64_t stream, KeySource rekey_source);

  // A copy would repeat this generator's stream.
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;

  std::uint32_t next_u32() {
    if (pos_ == end_) refill();
    return buf_[pos_++];
  }
  // Two consecutive words, the first as the low half (also across a refill).
  std::uint64_t next_u64() {
    if (end_ - pos_ >= 2) {
      const std::uint64_t v = buf_[pos_] | static_cast<std::uint64_t>(buf_[pos_ + 1]) << 32;
      pos_ += 2;
      return v;
    }
    const std::uint64_t lo = next_u32();
    return lo | static_cast<std::uint64_t>(next_u32()) << 32;
  }

  // Bulk use: the buffered words not yet handed out, in stream order (refills
  // first when none are left, so never empty). consume(k) hands out the first k.
  std::span<const std::uint32_t> available() {
    if (pos_ == end_) refill();
    return {buf_ + pos_, end_ - pos_};
  }
  void consume(std::size_t k) { pos_ += static_cast<std::uint32_t>(k); }

  // Takes a fresh key from the key source now: counter and stream 0, a full
  // byte budget, buffered words dropped. False (and nothing changed) when the
  // source has no key.
  bool rekey();

  // Moves to block `counter` of the current key and stream, dropping buffered
  // words; the budget is untouched. Lets tests reach far-away counters.
  void seek(std::uint64_t counter);

 private:
  static constexpr std::size_t kMaxBatches = 4;  // one refill: up to 16 blocks

  void set_key(const Key& key);
  void refill();

  std::array<std::uint32_t, 8> key_{};  // little-endian words, as the block function reads them
  std::uint64_t stream_ = 0;
  std::uint64_t counter_ = 0;   // next block to produce
  std::int64_t budget_ = kRekeyBytes;
  KeySource source_;
  std::uint32_t pos_ = 0;
  std::uint32_t end_ = 0;
  alignas(64) std::uint32_t buf_[kBatchWords * kMaxBatches];
};

// The calling thread's generator, keyed from the OS on first use. In a child
// made by fork() it is re-keyed before anything is drawn from it, so a child
// never repeats its parent's stream; fail_impossible when no key can be had.
// (Only generators reached through this function get that fork protection.)
Generator& thread_generator();

}  // namespace nimbra::random
