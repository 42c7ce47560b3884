#include "nimbra/shape.hpp"

#include <string>

#include "nimbra/error.hpp"
#include "nimbra/fault.hpp"

namespace nimbra {

std::uint64_t numel_of(std::span<const std::uint64_t> shape) noexcept {
  std::uint64_t n = 1;
  for (std::uint64_t d : shape) n *= d;
  return n;
}

std::uint64_t checked_numel(std::span<const std::uint64_t> shape) {
  for (std::uint64_t d : shape)
    if (d == 0) return 0;
  std::uint64_t n = 1;
  for (std::uint64_t d : shape) {
    if (__builtin_mul_overflow(n, d, &n)) {
      fail_precondition("shape " + render_sizes(shape.data(), shape.size()) +
                        " has more elements than fit in 64 bits");
    }
  }
  return n;
}

Strides default_strides(std::span<const std::uint64_t> shape) {
  Strides strides = Strides::zeros(shape.size());
  std::uint64_t acc = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    strides[i] = acc;
    acc *= shape[i];
  }
  return strides;
}

}  // namespace nimbra
