// Binding arguments by position and keyword with CPython's messages, and converting them.
#include "binding/arg_binder.hpp"

#include <cstring>

#include "binding/raise.hpp"

namespace zavra::py {

namespace {

const char* plural(Py_ssize_t n, const char* one, const char* many) { return n == 1 ? one : many; }

std::string quoted_list(const Signature& sig, PyObject** out) {
    std::string names;
    int missing = 0;
    for (int i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
    int seen = 0;
    for (int i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        if (seen > 0) names += (missing == 2) ? " and " : (seen == missing - 1 ? ", and " : ", ");
        names += "'";
        names += sig.names[i];
        names += "'";
        ++seen;
    }
    return names;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    std::string msg = sig.display;
    if (sig.required < sig.count) {
        msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
    } else {
        msg += " takes " + std::to_string(sig.count);
    }
    msg += " positional arguments but " + std::to_string(given) + " " + plural(given, "was", "were") + " given";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

// Places one keyword argument; false with the error set when it does not fit.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    Py_ssize_t len = 0;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    for (int i = 0; i < sig.count; ++i) {
        if (std::strlen(sig.names[i]) == static_cast<std::size_t>(len) && std::memcmp(sig.names[i], name, len) == 0) {
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display, sig.names[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
    return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
    int missing = 0;
    for (int i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
    if (missing == 0) return true;
    std::string msg = std::string(sig.display) + " missing " + std::to_string(missing) + " required positional " +
                      plural(missing, "argument", "arguments") + ": " + quoted_list(sig, out);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
        }
    }
    return check_missing(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        // The dict belongs to this call alone, so iterating it needs no lock.
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, out)) return false;
        }
    }
    return check_missing(sig, out);
}

std::string type_qualname(PyObject* value) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        if (const char* text = PyUnicode_AsUTF8(name.get())) return text;
    }
    PyErr_Clear();
    return Py_TYPE(value)->tp_name;
}

Error cast_error(PyObject* value, const char* target) {
    std::string message = "'";
    if (value == Py_None) {
        message += "None' is not an instance of '";
    } else {
        message += type_qualname(value);
        message += "' object is not an instance of '";
    }
    message += target;
    message += "'";
    return Error::type(std::move(message));
}

Error with_note(Error error, const char* parameter) {
    raise(error);
    add_processing_note(parameter);
    return Error::python_set();
}

Result<std::size_t> to_size(PyObject* value) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return Error::python_set();
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        // CPython's own message stays for a negative value; a value that is merely
        // too large gets the size-type message.
        PyRef pending = PyRef::steal(take_raised_exception());
        PyRef zero = PyRef::steal(PyLong_FromLong(0));
        int negative = zero ? PyObject_RichCompareBool(index.get(), zero.get(), Py_LT) : -1;
        if (negative == 0) return Error{ErrorKind::OverflowError, "out of range integral type conversion attempted"};
        if (negative < 0) return Error::python_set();
        restore_raised_exception(pending.release());
        return Error::python_set();
    }
    if (v > static_cast<unsigned long long>(SIZE_MAX)) {
        return Error{ErrorKind::OverflowError, "out of range integral type conversion attempted"};
    }
    return static_cast<std::size_t>(v);
}

Result<Shape> to_shape(PyObject* value) {
    if (PyUnicode_Check(value)) {
        return Error::type("a str cannot be used as a list of extents; pass a sequence of integers");
    }
    if (!PySequence_Check(value)) return cast_error(value, "Sequence");
    PyRef iterator = PyRef::steal(PyObject_GetIter(value));
    if (!iterator) return Error::python_set();
    Shape shape;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        ZAVRA_TRY(extent, to_size(item.get()));
        shape.push_back(extent);
    }
    if (PyErr_Occurred()) return Error::python_set();
    return shape;
}

Result<bool> to_bool(PyObject* value) {
    if (PyBool_Check(value)) return value == Py_True;
    // NumPy's boolean scalar, recognised by name so that NumPy need not be loaded.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
    PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
    if (module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
        (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
        int truth = PyObject_IsTrue(value);
        if (truth < 0) return Error::python_set();
        return truth == 1;
    }
    PyErr_Clear();
    return cast_error(value, "bool");
}

Result<double> to_double(PyObject* value) {
    double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return Error::python_set();
    return v;
}

}  // namespace zavra::py
