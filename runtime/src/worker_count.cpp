// How many workers the global pool gets.
#include <cstdint>
#include <limits>

#include "nimbra/runtime/pool.hpp"

namespace nimbra::runtime {
namespace {

// Decimal digits with at most one leading '+', nothing else (no sign '-', no
// spaces), within 64 bits. Empty text and a lone '+' are not numbers.
bool parse_count(const char* text, std::uint64_t& value) noexcept {
  if (text == nullptr) return false;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return false;
  std::uint64_t v = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    const auto digit = static_cast<std::uint64_t>(*p - '0');
    if (v > (kMax - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

std::size_t to_size(std::uint64_t v) noexcept {
  constexpr auto kMax = std::numeric_limits<std::size_t>::max();
  return v > kMax ? kMax : static_cast<std::size_t>(v);
}

}  // namespace

std::size_t worker_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t processors) noexcept {
  std::uint64_t v = 0;
  if (parse_count(rayon_num_threads, v)) return v == 0 ? processors : to_size(v);
  if (parse_count(rayon_rs_num_cpus, v) && v >= 1) return to_size(v);
  return processors;
}

}  // namespace nimbra::runtime
