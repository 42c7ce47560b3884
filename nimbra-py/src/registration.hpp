// Module objects, each made at most once per process, and the classes and
// other attributes they export through __all__.
#pragma once

#include "classes.hpp"
#include "python.hpp"

namespace nimbra::py {

struct ModuleRecord {
  PyModuleDef def;
  bool (*init)(PyObject* module);
  const char* kind;   // named in the second-initialisation error
  PyObject* created;  // one strong reference, never released
};

// A borrowed reference to the module of `record`, made and initialised on the
// first call; any later call fails with ImportError. NULL with an error set
// on failure.
PyObject* create_module_once(ModuleRecord& record);
// What an extension entry point returns for `record`: a new reference to its
// module, or NULL with an error set. Only the main interpreter gets the
// module; a subinterpreter is refused with ImportError before anything is made.
PyObject* module_entry_point(ModuleRecord& record);
// Appends `name` to the module's __all__ and sets the attribute. Steals nothing.
bool export_attribute(PyObject* module, const char* name, PyObject* value);
// class_type of the class, then export_attribute under the class's name. The
// class of a submodule gets the qualified name "<scope>.<name>", its path
// from _nimbra, by which pickle finds it.
bool register_class(PyObject* module, ClassRecord& record, const char* scope = nullptr);

}  // namespace nimbra::py
