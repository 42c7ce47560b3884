// Module objects: each made at most once per process, with their attributes
// exported through __all__.
#pragma once

#include "classes.hpp"
#include "python.hpp"

namespace nimbra::py {

// Registers the classes of the nn submodule on `module` (defined with the layers).
bool init_nn_module(PyObject* module);
// Appends `name` to the module's __all__ and sets the attribute. Steals nothing.
bool export_attribute(PyObject* module, const char* name, PyObject* value);
// class_type of the class, then export_attribute under the class's name.
bool register_class(PyObject* module, ClassRecord& record);

}  // namespace nimbra::py
