// The one argument binder and the conversions every Python-visible function uses.
#pragma once

#include <cstddef>
#include <string>

#include "binding/py_ref.hpp"
#include "binding/python.hpp"
#include "support/result.hpp"
#include "support/shape.hpp"

namespace zavra::py {

// A function's parameters: all positional-or-keyword, the first `required` of them
// required. `display` is the name used in messages, such as "Tensor.reshape()".
struct Signature {
    const char* display;
    const char* const* names;
    int count;
    int required;
};

// Binds vectorcall-style arguments into out[0..count) (borrowed; null when absent).
// On failure a TypeError with CPython's wording is set and false returned.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a positional tuple and a keyword dict (tp_new).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// "'<type>' object is not an instance of '<target>'" (or the None form).
Error cast_error(PyObject* value, const char* target);

// Raises `error` (if it is not already raised) and adds the note for `parameter`.
Error with_note(Error error, const char* parameter);

std::string type_qualname(PyObject* value);

// Conversions; their errors carry no note yet.
Result<std::size_t> to_size(PyObject* value);   // an index that fits the size type
Result<Shape> to_shape(PyObject* value);        // a sequence of sizes, not a str
Result<bool> to_bool(PyObject* value);          // bool or NumPy bool scalar
Result<double> to_double(PyObject* value);

}  // namespace zavra::py
