// The nn submodule and its functional namespace.
#pragma once

#include "binding/python.hpp"

namespace zavra::nn {

// Adds `value` to `module` under `name`, listing the name in the module's __all__.
int add_to_module(PyObject* module, const char* name, PyObject* value);

// Creates nn (with nn.functional) and adds it to `parent`. 0 or -1 with an exception.
int add_nn_module(PyObject* parent);

// Marks a module object created at run time as not needing the GIL.
int mark_gil_not_used(PyObject* module);

}  // namespace zavra::nn
