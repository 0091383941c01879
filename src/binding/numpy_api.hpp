// Access to NumPy's C API, bound once per process on first use.
#pragma once

#include "binding/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL zavra_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#ifndef ZAVRA_NUMPY_API_DEFINE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace zavra::py {

// Imports NumPy's multiarray module and binds its C API, with NumPy's version
// checks. False with a Python exception set on failure.
bool ensure_numpy();

// NumPy's dtype named "bfloat16", looked up once and kept for the process.
// Borrowed; null with an exception set when NumPy knows no such dtype.
PyArray_Descr* bfloat16_descr();

}  // namespace zavra::py
