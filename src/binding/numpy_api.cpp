// Binding NumPy's C API without a data race, and finding the bfloat16 dtype.
#define ZAVRA_NUMPY_API_DEFINE
#include "binding/numpy_api.hpp"

#include <atomic>

#include "binding/py_ref.hpp"

namespace zavra::py {

namespace {

std::atomic<bool> numpy_ready{false};

#ifdef Py_GIL_DISABLED
PyMutex numpy_lock = {0};
#endif

}  // namespace

bool ensure_numpy() {
    if (numpy_ready.load(std::memory_order_acquire)) return true;
    // NumPy's importer writes process globals. With the GIL it is serialised by the
    // interpreter; without it, a PyMutex (which detaches the thread while waiting)
    // keeps the writes to one thread at a time.
#ifdef Py_GIL_DISABLED
    PyMutex_Lock(&numpy_lock);
#endif
    bool ok = numpy_ready.load(std::memory_order_acquire) || PyArray_ImportNumPyAPI() == 0;
    if (ok) numpy_ready.store(true, std::memory_order_release);
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&numpy_lock);
#endif
    return ok;
}

PyArray_Descr* bfloat16_descr() {
    static std::atomic<PyArray_Descr*> cached{nullptr};
    if (PyArray_Descr* d = cached.load(std::memory_order_acquire)) return d;
    if (!ensure_numpy()) return nullptr;
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    PyRef dtype = PyRef::steal(PyObject_CallMethod(numpy.get(), "dtype", "s", "bfloat16"));
    if (!dtype) return nullptr;
    if (!PyArray_DescrCheck(dtype.get())) {
        PyErr_SetString(PyExc_TypeError, "numpy.dtype('bfloat16') did not return a dtype");
        return nullptr;
    }
    PyArray_Descr* expected = nullptr;
    auto* made = reinterpret_cast<PyArray_Descr*>(dtype.release());
    if (!cached.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;  // kept for the life of the process
}

}  // namespace zavra::py
