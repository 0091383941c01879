// The single path from error values and C++ exceptions to raised Python exceptions.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "binding/py_ref.hpp"
#include "binding/python.hpp"
#include "support/result.hpp"

namespace zavra::py {

// Sets the Python exception that `error` stands for (nothing for PythonSet).
void raise(const Error& error);

// Raises the exception for whatever C++ exception is in flight. Called only from a
// catch block at the boundary.
void raise_current_exception() noexcept;

// Adds "while processing '<name>'" to the currently raised exception.
void add_processing_note(const char* parameter);

// The class of internal failures: derived from BaseException, made once per process.
PyObject* internal_failure_type();

// Boundary for a function returning Result<PyRef>: nullptr with the exception set
// on failure. No C++ exception escapes.
template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        Result<PyRef> result = body();
        if (!result) {
            raise(result.error());
            return nullptr;
        }
        return std::move(*result).release();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// Boundary for an int-returning slot (0 success, -1 failure).
template <class F>
int guard_int(F&& body) noexcept {
    try {
        Result<void> result = body();
        if (!result) {
            raise(result.error());
            return -1;
        }
        return 0;
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

}  // namespace zavra::py
