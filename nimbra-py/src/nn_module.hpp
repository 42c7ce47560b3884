// The nn submodule with the layer classes. One module object per process,
// whether _nimbra attaches it or the library is imported under the name nn.
#pragma once

#include "registration.hpp"

namespace nimbra::py {

extern ModuleRecord nn_module;

}  // namespace nimbra::py
