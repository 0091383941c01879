// Raising error values, notes and internal failures as Python exceptions.
#include "binding/raise.hpp"

#include <atomic>

namespace zavra::py {

PyObject* internal_failure_type() {
    static std::atomic<PyObject*> type{nullptr};
    PyObject* current = type.load(std::memory_order_acquire);
    if (current) return current;
    PyObject* made = PyErr_NewExceptionWithDoc(
        "zavra.InternalFailure", "A violated internal precondition of zavra_core.", PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (!type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);  // another thread won; keep one class per process
        return expected;
    }
    return made;  // kept for the life of the process
}

void raise(const Error& error) {
    PyObject* cls = nullptr;
    switch (error.kind) {
        case ErrorKind::PythonSet:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception");
            return;
        case ErrorKind::ValueError: cls = PyExc_ValueError; break;
        case ErrorKind::TypeError: cls = PyExc_TypeError; break;
        case ErrorKind::RuntimeError: cls = PyExc_RuntimeError; break;
        case ErrorKind::OverflowError: cls = PyExc_OverflowError; break;
    }
    // Sized, so that a message quoting a name with an embedded NUL keeps all of it.
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    if (text) PyErr_SetObject(cls, text.get());
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        if (PyObject* cls = internal_failure_type()) PyErr_SetString(cls, failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        if (PyObject* cls = internal_failure_type()) PyErr_SetString(cls, other.what());
    } catch (...) {
        if (PyObject* cls = internal_failure_type()) PyErr_SetString(cls, "unknown internal failure");
    }
}

void add_processing_note(const char* parameter) {
    PyObject* exc = take_raised_exception();
    if (!exc) return;
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    if (note) {
        PyRef result = PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        if (!result) {
            // A failure to annotate must not replace the original error.
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    restore_raised_exception(exc);
}

}  // namespace zavra::py
