// The Tensor type: constructor, read-only attributes and methods.
#include "tensor/api/py_tensor.hpp"

#include <vector>

#include "binding/arg_binder.hpp"
#include "binding/numpy_api.hpp"
#include "binding/raise.hpp"

namespace zavra::api {

using py::PyRef;

Result<SharedBorrow> SharedBorrow::take(PyObject* object) {
    auto* t = reinterpret_cast<PyTensor*>(object);
    std::intptr_t seen = t->borrows.load(std::memory_order_relaxed);
    do {
        if (seen < 0) return Error::runtime("Already mutably borrowed");
    } while (!t->borrows.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return SharedBorrow(t);
}

namespace {

PyTensor* as_tensor(PyObject* o) { return reinterpret_cast<PyTensor*>(o); }

Result<PyRef> wrap_as(PyTypeObject* type, Tensor tensor) {
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) return Error::python_set();
    PyTensor* t = as_tensor(object);
    std::construct_at(&t->tensor, std::move(tensor));
    std::construct_at(&t->borrows, 0);
    return PyRef::steal(object);
}

void tensor_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyTensor* t = as_tensor(object);
    std::destroy_at(&t->tensor);
    std::destroy_at(&t->borrows);
    type->tp_free(object);
    Py_DECREF(type);  // instances of heap types own a reference to the type
}

// ---- construction ----------------------------------------------------------------

// The element-type name as the caller spelled it, as a str object.
Result<PyRef> dtype_name(PyObject* dtype) {
    if (!dtype) {
        PyRef fallback = PyRef::steal(PyUnicode_FromString("float32"));
        if (!fallback) return Error::python_set();
        return fallback;
    }
    if (PyUnicode_Check(dtype)) return PyRef::borrow(dtype);
    PyRef name = PyRef::steal(PyObject_GetAttrString(dtype, "__name__"));
    if (name) {
        if (!PyUnicode_Check(name.get())) return py::cast_error(name.get(), "str");
        return name;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::python_set();
    PyErr_Clear();
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return Error::python_set();
    PyRef resolved = PyRef::steal(PyObject_CallMethod(numpy.get(), "dtype", "O", dtype));
    if (!resolved) return Error::python_set();
    PyRef resolved_name = PyRef::steal(PyObject_GetAttrString(resolved.get(), "name"));
    if (!resolved_name) return Error::python_set();
    if (!PyUnicode_Check(resolved_name.get())) return py::cast_error(resolved_name.get(), "str");
    return resolved_name;
}

// The element type a name stands for. The message quotes the name as given, which
// may hold characters that have no UTF-8 form, so it is formatted by Python.
Result<DType> dtype_from_object(PyObject* name) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &len);
    if (!text) PyErr_Clear();  // not encodable, so certainly none of the accepted names
    std::optional<DType> element =
        text ? dtype_from_name(std::string_view(text, static_cast<std::size_t>(len))) : std::nullopt;
    if (element) return *element;
    PyErr_Format(PyExc_ValueError, "Unsupported or invalid data type: '%U'", name);
    return Error::python_set();
}

// Whether `device` names the CPU in any letter case. A string that cannot be
// encoded names no device.
bool is_cpu_device(PyObject* device) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(device, &len);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    if (len != 3) return false;
    for (int i = 0; i < 3; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != "cpu"[i]) return false;
    }
    return true;
}

// Whether an array's elements are stored as `element` in native byte order.
bool has_element_type(PyArrayObject* array, DType element) {
    if (PyArray_ISBYTESWAPPED(array)) return false;
    switch (element) {
        case DType::F16: return PyArray_TYPE(array) == NPY_HALF;
        case DType::F32: return PyArray_TYPE(array) == NPY_FLOAT;
        case DType::Bool: return PyArray_TYPE(array) == NPY_BOOL;
        case DType::BF16: {
            PyArray_Descr* bf16 = py::bfloat16_descr();
            if (!bf16) PyErr_Clear();
            return bf16 && PyArray_EquivTypes(PyArray_DESCR(array), bf16);
        }
    }
    return false;
}

constexpr const char* kNewNames[] = {"data", "dtype", "device", "requires_grad"};
constexpr py::Signature kNewSignature{"Tensor.__new__()", kNewNames, 4, 1};

Result<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* arg[4];
    if (!py::bind(kNewSignature, args, kwargs, arg)) return Error::python_set();
    PyObject* data = arg[0];
    PyObject* dtype = arg[1] == Py_None ? nullptr : arg[1];

    if (arg[2] && !PyUnicode_Check(arg[2])) return py::with_note(py::cast_error(arg[2], "str"), "device");
    bool requires_grad = false;
    if (arg[3]) {
        auto r = py::to_bool(arg[3]);
        if (!r) return py::with_note(std::move(r).error(), "requires_grad");
        requires_grad = *r;
    }
    if (arg[2] && !is_cpu_device(arg[2])) return Error::value("The device string is invalid or not supported.");

    ZAVRA_TRY(name, dtype_name(dtype));
    ZAVRA_TRY(element, dtype_from_object(name.get()));

    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return Error::python_set();
    PyRef array_fn = PyRef::steal(PyObject_GetAttrString(numpy.get(), "array"));
    if (!array_fn) return Error::python_set();
    PyRef call_args = PyRef::steal(PyTuple_Pack(1, data));
    PyRef call_kwargs = PyRef::steal(Py_BuildValue("{s:s}", "dtype", std::string(numpy_name(element)).c_str()));
    if (!call_args || !call_kwargs) return Error::python_set();
    PyRef array = PyRef::steal(PyObject_Call(array_fn.get(), call_args.get(), call_kwargs.get()));
    if (!array) return Error::python_set();
    if (!py::ensure_numpy()) return Error::python_set();
    // numpy.array is looked up on every call and may have been replaced; the copy
    // below reads the buffer by the requested element type, so check it first.
    if (!PyArray_Check(array.get()) || !has_element_type(reinterpret_cast<PyArrayObject*>(array.get()), element)) {
        throw InternalFailure("numpy.array did not return an array of the requested element type");
    }

    // The buffer is copied while the new array is private to this call.
    cpu::CpuStorage storage = cpu::CpuStorage::from_numpy(array.get(), element);
    return wrap_as(type, Tensor::leaf(std::move(storage), requires_grad));
}

PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard([&] { return construct(type, args, kwargs); });
}

// ---- attributes --------------------------------------------------------------------

template <class F>
PyObject* with_borrow(PyObject* self, F&& body) {
    return py::guard([&]() -> Result<PyRef> {
        ZAVRA_TRY(t, SharedBorrow::take(self));
        return body(*t);
    });
}

template <class Seq>
Result<PyRef> int_list(const Seq& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return Error::python_set();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item;
        if constexpr (std::is_signed_v<std::decay_t<decltype(values[i])>>) {
            item = PyLong_FromSsize_t(values[i]);
        } else {
            item = PyLong_FromSize_t(values[i]);
        }
        if (!item) return Error::python_set();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

Result<PyRef> new_ref(PyObject* o) {
    if (!o) return Error::python_set();
    return PyRef::steal(o);
}

PyObject* get_shape(PyObject* self, void*) {
    return with_borrow(self, [](const Tensor& t) { return int_list(t.data().shape()); });
}
PyObject* get_ndim(PyObject* self, void*) {
    return with_borrow(self, [](const Tensor& t) { return new_ref(PyLong_FromSize_t(t.data().ndim())); });
}
PyObject* get_strides(PyObject* self, void*) {
    return with_borrow(self, [](const Tensor& t) { return int_list(t.data().strides()); });
}
PyObject* get_dtype(PyObject* self, void*) {
    return with_borrow(self, [](const Tensor& t) {
        std::string_view name = python_name(t.data().dtype());
        return new_ref(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    });
}
PyObject* get_device(PyObject* self, void*) {
    return with_borrow(self, [](const Tensor&) { return new_ref(PyUnicode_FromString(Storage::device())); });
}
PyObject* get_requires_grad(PyObject* self, void*) {
    return with_borrow(self, [](const Tensor& t) { return new_ref(PyBool_FromLong(t.requires_grad())); });
}

PyGetSetDef tensor_getset[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods -------------------------------------------------------------------------

Result<PyRef> storage_to_numpy(const cpu::CpuStorage& data) {
    ZAVRA_TRY(array, data.to_numpy());
    return PyRef::steal(array);
}

PyObject* method_to_numpy(PyObject* self, PyObject*) {
    return with_borrow(self, [](const Tensor& t) { return storage_to_numpy(t.data()); });
}

PyObject* method_grad(PyObject* self, PyObject*) {
    return with_borrow(self, [](const Tensor& t) -> Result<PyRef> {
        StoragePtr grad = t.grad();
        if (!grad) return PyRef::borrow(Py_None);
        return storage_to_numpy(grad->cpu);
    });
}

PyObject* method_backward(PyObject* self, PyObject*) {
    return with_borrow(self, [](const Tensor& t) -> Result<PyRef> {
        ZAVRA_CHECK(t.backward());
        return PyRef::borrow(Py_None);
    });
}

PyObject* method_clear_graph(PyObject*, PyObject*) {
    return py::guard([]() -> Result<PyRef> {
        Tensor::clear_graph();
        return PyRef::borrow(Py_None);
    });
}

PyObject* method_zeros_like(PyObject* self, PyObject*) {
    return with_borrow(self, [](const Tensor& t) { return wrap(t.zeros_like()); });
}

PyObject* method_ones_like(PyObject* self, PyObject*) {
    return with_borrow(self, [](const Tensor& t) { return wrap(t.ones_like()); });
}

Result<PyRef> wrap_result(Result<Tensor> r) {
    if (!r) return std::move(r).error();
    return wrap(std::move(*r));
}

constexpr const char* kReshapeNames[] = {"shape"};
constexpr py::Signature kReshapeSignature{"Tensor.reshape()", kReshapeNames, 1, 1};

PyObject* method_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_borrow(self, [&](const Tensor& t) -> Result<PyRef> {
        PyObject* arg[1];
        if (!py::bind(kReshapeSignature, args, PyVectorcall_NARGS(nargs), kwnames, arg)) return Error::python_set();
        auto shape = py::to_shape(arg[0]);
        if (!shape) return py::with_note(std::move(shape).error(), "shape");
        return wrap_result(t.reshape(*shape));
    });
}

constexpr const char* kTransposeNames[] = {"dim0", "dim1"};
constexpr py::Signature kTransposeSignature{"Tensor.transpose()", kTransposeNames, 2, 2};

PyObject* method_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_borrow(self, [&](const Tensor& t) -> Result<PyRef> {
        PyObject* arg[2];
        if (!py::bind(kTransposeSignature, args, PyVectorcall_NARGS(nargs), kwnames, arg)) return Error::python_set();
        auto dim0 = py::to_size(arg[0]);
        if (!dim0) return py::with_note(std::move(dim0).error(), "dim0");
        auto dim1 = py::to_size(arg[1]);
        if (!dim1) return py::with_note(std::move(dim1).error(), "dim1");
        return wrap_result(t.transpose(*dim0, *dim1));
    });
}

std::vector<PyMethodDef> all_methods() {
    std::vector<PyMethodDef> methods = {
        {"to_numpy", method_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
        {"grad", method_grad, METH_NOARGS, "grad($self)\n--\n\n"},
        {"backward", method_backward, METH_NOARGS, "backward($self)\n--\n\n"},
        {"clear_graph", method_clear_graph, METH_NOARGS | METH_STATIC, "clear_graph()\n--\n\n"},
        {"zeros_like", method_zeros_like, METH_NOARGS, "zeros_like($self)\n--\n\n"},
        {"ones_like", method_ones_like, METH_NOARGS, "ones_like($self)\n--\n\n"},
        {"reshape", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_reshape)),
         METH_FASTCALL | METH_KEYWORDS, "reshape($self, shape)\n--\n\n"},
        {"transpose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_transpose)),
         METH_FASTCALL | METH_KEYWORDS, "transpose($self, dim0, dim1)\n--\n\n"},
    };
    for (PyMethodDef* m = reflected_methods; m->ml_name; ++m) methods.push_back(*m);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

PyTypeObject* create_type() {
    // CPython keeps pointers into these tables for the life of the type.
    static std::vector<PyMethodDef> methods = all_methods();
    static std::vector<PyType_Slot> slots = [] {
        std::vector<PyType_Slot> s = {
            {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(tensor_repr)},
            {Py_tp_getset, tensor_getset},
            {Py_tp_methods, methods.data()},
            {Py_tp_doc, const_cast<char*>("Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n")},
        };
        for (PyType_Slot* slot = operator_slots; slot->slot; ++slot) s.push_back(*slot);
        s.push_back({0, nullptr});
        return s;
    }();
    static PyType_Spec type_spec = {
        "zavra.Tensor",
        static_cast<int>(sizeof(PyTensor)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots.data(),
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace

PyTypeObject* tensor_type() {
    static std::atomic<PyTypeObject*> type{nullptr};
    if (PyTypeObject* t = type.load(std::memory_order_acquire)) return t;
    PyTypeObject* made = create_type();
    if (!made) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);  // another thread made it first; one type per process
        return expected;
    }
    return made;  // kept for the life of the process
}

Result<PyRef> wrap(Tensor tensor) {
    PyTypeObject* type = tensor_type();
    if (!type) return Error::python_set();
    return wrap_as(type, std::move(tensor));
}

}  // namespace zavra::api
