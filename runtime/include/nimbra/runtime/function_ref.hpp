// FunctionRef<R(Args...)>: a non-owning, non-allocating reference to a callable.
//
// The pool hands one body to many pieces of a job that all finish before the
// call returns, so it never needs to own or copy the callable: a pointer to it
// and a trampoline are enough, and the hot path stays free of allocation.
// The referenced callable must outlive every call through the reference.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace nimbra::runtime {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
             std::is_object_v<std::remove_reference_t<F>> &&
             std::is_invocable_r_v<R, std::remove_reference_t<F>&, Args...>)
  FunctionRef(F&& f) noexcept  // NOLINT: implicit, so lambdas pass straight in
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_(&invoke<std::remove_reference_t<F>>),
        copy_size_(std::is_trivially_copyable_v<std::remove_reference_t<F>>
                       ? sizeof(std::remove_reference_t<F>)
                       : 0) {}

  // The same callable object through the same trampoline.
  friend bool operator==(const FunctionRef&, const FunctionRef&) noexcept = default;

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

  // The callable's size if a byte copy of it behaves as it does (it is
  // trivially copyable), else 0.
  std::size_t copy_size() const noexcept { return copy_size_; }
  // Copies the callable's bytes to `place` (copy_size() bytes, aligned for
  // any callable) and returns a reference to the copy. Bytes already equal
  // are not written again: another core may hold that line from the last
  // call.
  FunctionRef copied_to(void* place) const noexcept {
    if (std::memcmp(place, object_, copy_size_) != 0) std::memcpy(place, object_, copy_size_);
    FunctionRef copy = *this;
    copy.object_ = place;
    return copy;
  }

 private:
  template <class F>
  static R invoke(void* object, Args... args) {
    return std::invoke(*static_cast<F*>(object), std::forward<Args>(args)...);
  }

  void* object_;
  R (*call_)(void*, Args...);
  std::size_t copy_size_;
};

}  // namespace nimbra::runtime
