// The one assertion facility. A violated precondition or an impossible state
// is not a TensorError: it throws InternalFault, which the binding turns into
// ValueError (the caller broke a precondition) or RuntimeError (a bug or an
// environment failure). Core code never aborts the process.
#pragma once

#include <stdexcept>
#include <string>

namespace nimbra {

enum class FaultKind {
  Precondition,  // the caller asked for something outside the operation's limits
  Impossible,    // a state the code should never reach, or the platform failed us
};

class InternalFault : public std::runtime_error {
 public:
  InternalFault(FaultKind kind, const std::string& what)
      : std::runtime_error(what), kind_(kind) {}
  FaultKind kind() const noexcept { return kind_; }

 private:
  FaultKind kind_;
};

[[noreturn]] inline void fail_precondition(const std::string& what) {
  throw InternalFault(FaultKind::Precondition, what);
}
[[noreturn]] inline void fail_impossible(const std::string& what) {
  throw InternalFault(FaultKind::Impossible, what);
}

}  // namespace nimbra

#define NIMBRA_CHECK(cond, text)                                     \
  do {                                                               \
    if (!(cond)) ::nimbra::fail_impossible(std::string("internal error: ") + (text)); \
  } while (0)
