// rand and randn: a fresh tensor filled from the calling thread's generator,
// element 0 first.
#include "nimbra/ops.hpp"
#include "nimbra/random.hpp"
#include "random/sample.hpp"

namespace nimbra {

Tensor rand(std::span<const std::uint64_t> shape) {
  FreshBuffer out(checked_numel(shape));
  random::fill_rand(random::thread_generator(), out.data(), out.size());
  return Tensor::from_fresh(std::move(out), shape);
}

Tensor randn(std::span<const std::uint64_t> shape) {
  FreshBuffer out(checked_numel(shape));
  random::fill_randn(random::thread_generator(), out.data(), out.size());
  return Tensor::from_fresh(std::move(out), shape);
}

}  // namespace nimbra
