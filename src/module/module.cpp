// The zavra_core module definition, its exec step and its init entry points.
#include "binding/py_ref.hpp"
#include "binding/python.hpp"
#include "nn/nn.hpp"
#include "tensor/api/py_tensor.hpp"

namespace zavra::module {

namespace {

int exec_module(PyObject* module) {
    // Any exception stops here: the import fails cleanly instead of unwinding into CPython.
    try {
        PyTypeObject* type = api::tensor_type();
        if (!type) return -1;
        if (nn::add_to_module(module, "Tensor", reinterpret_cast<PyObject*>(type)) < 0) return -1;
        if (nn::add_nn_module(module) < 0) return -1;
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return -1;
    }
}

#if defined(Py_mod_abi)
PyABIInfo_VAR(abi_info);
#endif

PyModuleDef_Slot def_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if defined(Py_mod_abi)
    {Py_mod_abi, &abi_info},
#endif
#if defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "zavra_core",
    "",
    0,
    nullptr,
    def_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

#if defined(PyMODEXPORT_FUNC) && defined(Py_mod_name)
// Interpreters with export hooks read the module from this slot array alone.
PyModuleDef_Slot export_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if defined(Py_mod_abi)
    {Py_mod_abi, &abi_info},
#endif
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_name, const_cast<char*>("zavra_core")},
    {Py_mod_doc, const_cast<char*>("")},
    {0, nullptr},
};
#endif

}  // namespace zavra::module

extern "C" {

PyMODINIT_FUNC PyInit_zavra_core(void) { return PyModuleDef_Init(&zavra::module::definition); }

#if defined(PyMODEXPORT_FUNC) && defined(Py_mod_name)
PyMODEXPORT_FUNC PyModExport_zavra_core(void) { return zavra::module::export_slots; }
#endif

}
