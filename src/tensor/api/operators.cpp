// The operator protocol: number slots, rich comparison and the explicit reflected methods.
#include <variant>

#include "binding/arg_binder.hpp"
#include "binding/raise.hpp"
#include "tensor/api/py_tensor.hpp"

namespace zavra::api {

using py::PyRef;

namespace {

// The right operand: a Tensor (borrowed for the call) or a number as float32.
using ScalarOrTensor = std::variant<SharedBorrow, float>;

// Nothing when the operand is neither; the conversion's error is dropped, since
// the slot answers NotImplemented instead.
std::optional<ScalarOrTensor> scalar_or_tensor(PyObject* o) {
    if (is_tensor(o)) {
        auto borrow = SharedBorrow::take(o);
        if (!borrow) return std::nullopt;
        return ScalarOrTensor(std::move(*borrow));
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return ScalarOrTensor(static_cast<float>(v));
}

PyObject* not_implemented() { Py_RETURN_NOTIMPLEMENTED; }

Result<PyRef> wrap_result(Result<Tensor> r) {
    if (!r) return std::move(r).error();
    return wrap(std::move(*r));
}

using TensorOp = Result<Tensor> (Tensor::*)(const Tensor&) const;
using ScalarOp = Result<Tensor> (Tensor::*)(float) const;

// t op x with x a Tensor or a number; NotImplemented when x is neither.
PyObject* forward(PyObject* left, PyObject* right, TensorOp on_tensor, ScalarOp on_scalar) {
    auto self = SharedBorrow::take(left);
    if (!self) return not_implemented();
    auto other = scalar_or_tensor(right);
    if (!other) return not_implemented();
    return py::guard([&]() -> Result<PyRef> {
        if (auto* t = std::get_if<SharedBorrow>(&*other)) return wrap_result(((**self).*on_tensor)(**t));
        return wrap_result(((**self).*on_scalar)(std::get<float>(*other)));
    });
}

// A binary slot with a reflected form: s op u is computed by `reflected`.
template <class Reflected>
PyObject* binary_slot(PyObject* left, PyObject* right, TensorOp on_tensor, ScalarOp on_scalar, Reflected reflected) {
    if (is_tensor(left)) {
        PyObject* result = forward(left, right, on_tensor, on_scalar);
        if (result != Py_NotImplemented) return result;
        Py_DECREF(result);
    }
    if (!is_tensor(right)) return not_implemented();
    auto self = SharedBorrow::take(right);
    if (!self) return not_implemented();
    double v = PyFloat_AsDouble(left);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return not_implemented();
    }
    const float s = static_cast<float>(v);
    return py::guard([&] { return wrap_result(reflected(**self, s)); });
}

PyObject* nb_add(PyObject* a, PyObject* b) {
    return binary_slot(a, b, &Tensor::add, &Tensor::scalar_add, [](const Tensor& u, float s) { return u.scalar_add(s); });
}

PyObject* nb_multiply(PyObject* a, PyObject* b) {
    return binary_slot(a, b, &Tensor::mul, &Tensor::scalar_mul, [](const Tensor& u, float s) { return u.scalar_mul(s); });
}

// s / u: a tensor filled with s (no node, no grad) divided by u, so the gradient
// reaches u through the division rule.
Result<Tensor> reflected_div(const Tensor& u, float s) {
    ZAVRA_TRY(filled, u.ones_like().scalar_mul(s));
    return filled.div(u);
}

PyObject* nb_true_divide(PyObject* a, PyObject* b) {
    return binary_slot(a, b, &Tensor::div, &Tensor::scalar_div, reflected_div);
}

PyObject* nb_subtract(PyObject* a, PyObject* b) {
    if (!is_tensor(a)) return not_implemented();
    return forward(a, b, &Tensor::sub, &Tensor::scalar_sub);
}

// Operators that take tensors only, with no reflected form.
PyObject* tensor_only(PyObject* a, PyObject* b, TensorOp op) {
    if (!is_tensor(a) || !is_tensor(b)) return not_implemented();
    auto left = SharedBorrow::take(a);
    auto right = SharedBorrow::take(b);
    if (!left || !right) return not_implemented();
    return py::guard([&] { return wrap_result(((**left).*op)(**right)); });
}

PyObject* nb_matrix_multiply(PyObject* a, PyObject* b) { return tensor_only(a, b, &Tensor::matmul); }
PyObject* nb_and(PyObject* a, PyObject* b) { return tensor_only(a, b, &Tensor::logical_and); }
PyObject* nb_or(PyObject* a, PyObject* b) { return tensor_only(a, b, &Tensor::logical_or); }
PyObject* nb_xor(PyObject* a, PyObject* b) { return tensor_only(a, b, &Tensor::logical_xor); }

PyObject* nb_invert(PyObject* a) {
    return py::guard([&]() -> Result<PyRef> {
        ZAVRA_TRY(self, SharedBorrow::take(a));
        return wrap_result(self->logical_not());
    });
}

// != is element-wise: the negation of ==.
Result<Tensor> not_equal(const Tensor& t, const ScalarOrTensor& x) {
    Result<Tensor> equal = std::holds_alternative<SharedBorrow>(x) ? t.eq(*std::get<SharedBorrow>(x))
                                                                   : t.scalar_eq(std::get<float>(x));
    if (!equal) return equal;
    return equal->logical_not();
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    auto self = SharedBorrow::take(a);
    if (!self) return not_implemented();
    auto other = scalar_or_tensor(b);
    if (!other) return not_implemented();
    return py::guard([&]() -> Result<PyRef> {
        const Tensor& t = **self;
        if (op == Py_NE) return wrap_result(not_equal(t, *other));
        TensorOp on_tensor;
        ScalarOp on_scalar;
        switch (op) {
            case Py_LT: on_tensor = &Tensor::lt, on_scalar = &Tensor::scalar_lt; break;
            case Py_LE: on_tensor = &Tensor::le, on_scalar = &Tensor::scalar_le; break;
            case Py_EQ: on_tensor = &Tensor::eq, on_scalar = &Tensor::scalar_eq; break;
            case Py_GT: on_tensor = &Tensor::gt, on_scalar = &Tensor::scalar_gt; break;
            case Py_GE: on_tensor = &Tensor::ge, on_scalar = &Tensor::scalar_ge; break;
            default: throw InternalFailure("invalid compareop: " + std::to_string(op));
        }
        if (auto* u = std::get_if<SharedBorrow>(&*other)) return wrap_result((t.*on_tensor)(**u));
        return wrap_result((t.*on_scalar)(std::get<float>(*other)));
    });
}

// __req__, __rlt__, __rgt__: ordinary methods taking `other` as a float.
constexpr const char* kOtherNames[] = {"other"};

template <ScalarOp Op, const char* Display>
PyObject* reflected_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> Result<PyRef> {
        ZAVRA_TRY(t, SharedBorrow::take(self));
        static constexpr py::Signature sig{Display, kOtherNames, 1, 1};
        PyObject* arg[1];
        if (!py::bind(sig, args, PyVectorcall_NARGS(nargs), kwnames, arg)) return Error::python_set();
        auto value = py::to_double(arg[0]);
        if (!value) return py::with_note(std::move(value).error(), "other");
        return wrap_result(((*t).*Op)(static_cast<float>(*value)));
    });
}

constexpr char kReqName[] = "Tensor.__req__()";
constexpr char kRltName[] = "Tensor.__rlt__()";
constexpr char kRgtName[] = "Tensor.__rgt__()";

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef reflected_methods[] = {
    {"__req__", as_cfunction(reflected_method<&Tensor::scalar_eq, kReqName>), METH_FASTCALL | METH_KEYWORDS,
     "__req__($self, other)\n--\n\n"},
    {"__rlt__", as_cfunction(reflected_method<&Tensor::scalar_gt, kRltName>), METH_FASTCALL | METH_KEYWORDS,
     "__rlt__($self, other)\n--\n\n"},
    {"__rgt__", as_cfunction(reflected_method<&Tensor::scalar_lt, kRgtName>), METH_FASTCALL | METH_KEYWORDS,
     "__rgt__($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot operator_slots[] = {
    {Py_nb_add, reinterpret_cast<void*>(nb_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(nb_subtract)},
    {Py_nb_multiply, reinterpret_cast<void*>(nb_multiply)},
    {Py_nb_true_divide, reinterpret_cast<void*>(nb_true_divide)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(nb_matrix_multiply)},
    {Py_nb_and, reinterpret_cast<void*>(nb_and)},
    {Py_nb_or, reinterpret_cast<void*>(nb_or)},
    {Py_nb_xor, reinterpret_cast<void*>(nb_xor)},
    {Py_nb_invert, reinterpret_cast<void*>(nb_invert)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {0, nullptr},
};

}  // namespace zavra::api
