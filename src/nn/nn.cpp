// Building the nn and nn.functional module objects.
#include "nn/nn.hpp"

#include "binding/py_ref.hpp"
#include "nn/functional/relu.hpp"

namespace zavra::nn {

using py::PyRef;

int add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

int mark_gil_not_used(PyObject* module) {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
    return 0;
#endif
}

namespace {

// The last dotted component of a module's __name__.
PyRef short_name(PyObject* module) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(module, "__name__"));
    if (!name) return name;
    PyRef parts = PyRef::steal(PyUnicode_RSplit(name.get(), PyRef::steal(PyUnicode_FromString(".")).get(), 1));
    if (!parts) return parts;
    return PyRef::borrow(PyList_GET_ITEM(parts.get(), PyList_GET_SIZE(parts.get()) - 1));
}

int add_submodule(PyObject* parent, PyObject* child) {
    PyRef name = short_name(child);
    if (!name) return -1;
    const char* text = PyUnicode_AsUTF8(name.get());
    return text ? add_to_module(parent, text, child) : -1;
}

}  // namespace

int add_nn_module(PyObject* parent) {
    PyRef nn = PyRef::steal(PyModule_New("nn"));
    if (!nn || mark_gil_not_used(nn.get()) < 0) return -1;
    PyRef functional = PyRef::steal(PyModule_New("functional"));
    if (!functional || mark_gil_not_used(functional.get()) < 0) return -1;

    PyRef relu = PyRef::steal(PyCFunction_NewEx(&functional::relu_def, functional.get(), nullptr));
    if (!relu) return -1;
    PyRef relu_name = PyRef::steal(PyObject_GetAttrString(relu.get(), "__name__"));
    const char* relu_text = relu_name ? PyUnicode_AsUTF8(relu_name.get()) : nullptr;
    if (!relu_text || add_to_module(functional.get(), relu_text, relu.get()) < 0) return -1;

    if (add_submodule(nn.get(), functional.get()) < 0) return -1;
    return add_submodule(parent, nn.get());
}

}  // namespace zavra::nn
