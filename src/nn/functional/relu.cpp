// nn.functional.relu(py_tensor): binds its argument and runs the recorded relu.
#include "nn/functional/relu.hpp"

#include "binding/arg_binder.hpp"
#include "binding/raise.hpp"
#include "tensor/api/py_tensor.hpp"

namespace zavra::nn::functional {

namespace {

constexpr const char* kNames[] = {"py_tensor"};
constexpr py::Signature kSignature{"relu()", kNames, 1, 1};

PyObject* relu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> Result<py::PyRef> {
        PyObject* arg[1];
        if (!py::bind(kSignature, args, PyVectorcall_NARGS(nargs), kwnames, arg)) return Error::python_set();
        if (!api::is_tensor(arg[0])) return py::with_note(py::cast_error(arg[0], "Tensor"), "py_tensor");
        py::PyRef keep = py::PyRef::borrow(arg[0]);
        ZAVRA_TRY(input, api::SharedBorrow::take(keep.get()));
        ZAVRA_TRY(result, input->relu());
        return api::wrap(std::move(result));
    });
}

}  // namespace

PyMethodDef relu_def = {"relu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relu)),
                        METH_FASTCALL | METH_KEYWORDS, "relu(py_tensor)\n--\n\n"};

}  // namespace zavra::nn::functional
