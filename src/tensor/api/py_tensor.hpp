// PyTensor: the Python object holding one Tensor, its borrow counter and its type.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/py_ref.hpp"
#include "binding/python.hpp"
#include "support/result.hpp"
#include "tensor/core/tensor.hpp"

namespace zavra::api {

struct PyTensor {
    PyObject_HEAD
    Tensor tensor;
    // >= 0: number of shared borrows; -1: exclusively borrowed (never taken today).
    std::atomic<std::intptr_t> borrows;
};

// The Tensor type, created once per process on first use. Borrowed; null with an
// exception set if it cannot be created.
PyTypeObject* tensor_type();

inline bool is_tensor(PyObject* o) { return Py_TYPE(o) == tensor_type(); }

// Wraps a record in a new Python Tensor.
Result<py::PyRef> wrap(Tensor tensor);

// A shared borrow of a PyTensor for the duration of one call.
class SharedBorrow {
public:
    static Result<SharedBorrow> take(PyObject* object);
    SharedBorrow(SharedBorrow&& o) noexcept : object_(std::exchange(o.object_, nullptr)) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (object_) object_->borrows.fetch_sub(1, std::memory_order_release);
    }
    const Tensor& operator*() const noexcept { return object_->tensor; }
    const Tensor* operator->() const noexcept { return &object_->tensor; }

private:
    explicit SharedBorrow(PyTensor* o) : object_(o) {}
    PyTensor* object_;
};

// repr.cpp: NumPy-style text of the data with the element type.
PyObject* tensor_repr(PyObject* self);

// Defined in operators.cpp: the number and comparison slots and the reflected methods.
extern PyType_Slot operator_slots[];
extern PyMethodDef reflected_methods[];

}  // namespace zavra::api
