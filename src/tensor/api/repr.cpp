// Tensor.__repr__: the data in NumPy's array formatting, with the element type.
#include <cstdio>
#include <cstdlib>

#include "binding/numpy_api.hpp"
#include "binding/raise.hpp"
#include "tensor/api/py_tensor.hpp"

namespace zavra::api {

using py::PyRef;

namespace {

constexpr std::size_t kSummaryThreshold = 1000;
constexpr std::size_t kEdgeItems = 3;

// The float32 value of the shortest decimal that reads back to the same bfloat16,
// so that NumPy's float32 formatting prints exactly that decimal.
float shortest_bf16(uint16_t bits) {
    float value = half::bf16_bits_to_f32(bits);
    if (value != value || value - value != 0.0f) return value;  // NaN and infinities print as they are
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*e", digits - 1, static_cast<double>(value));
        float candidate = std::strtof(text, nullptr);
        if (half::f32_to_bf16_bits(candidate) == bits) return candidate;
    }
    return value;
}

// NumPy formats bfloat16 with a fixed number of digits; hand it float32 values that
// print as the shortest round-trip decimals instead.
Result<PyRef> printable(const cpu::CpuStorage& data) {
    const auto* array = data.get_if<bf16>();
    if (!array) {
        ZAVRA_TRY(out, data.to_numpy());
        return PyRef::steal(out);
    }
    cpu::NdArray<float> shortest = cpu::NdArray<float>::row_major(array->shape());
    float* out = shortest.mutable_origin();
    const Shape& shape = array->shape();
    const std::size_t total = array->size();
    // A summarised array shows only the first and last few items of each axis (NumPy's
    // default threshold and edge items); only those need the digit search.
    const bool summarised = total > kSummaryThreshold;
    SmallVector<std::size_t, 8> index(array->ndim(), 0);
    for (std::size_t i = 0; i < total; ++i) {
        std::ptrdiff_t offset = 0;
        bool shown = true;
        for (std::size_t d = 0; d < index.size(); ++d) {
            offset += static_cast<std::ptrdiff_t>(index[d]) * array->strides()[d];
            shown = shown && (index[d] < kEdgeItems || index[d] + kEdgeItems >= shape[d]);
        }
        const uint16_t bits = array->origin()[offset].bits;
        out[i] = (!summarised || shown) ? shortest_bf16(bits) : half::bf16_bits_to_f32(bits);
        for (std::size_t d = index.size(); d-- > 0;) {
            if (++index[d] < shape[d]) break;
            index[d] = 0;
        }
    }
    ZAVRA_TRY(result, cpu::CpuStorage(std::move(shortest)).to_numpy());
    return PyRef::steal(result);
}

}  // namespace

PyObject* tensor_repr(PyObject* self) {
    return py::guard([&]() -> Result<PyRef> {
        ZAVRA_TRY(t, SharedBorrow::take(self));
        const cpu::CpuStorage& data = t->data();
        ZAVRA_TRY(array, printable(data));
        PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
        if (!numpy) return Error::python_set();
        PyRef format = PyRef::steal(PyObject_GetAttrString(numpy.get(), "array2string"));
        PyRef args = PyRef::steal(PyTuple_Pack(1, array.get()));
        PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s,s:s}", "separator", ", ", "prefix", "Tensor("));
        if (!format || !args || !kwargs) return Error::python_set();
        PyRef body = PyRef::steal(PyObject_Call(format.get(), args.get(), kwargs.get()));
        if (!body) return Error::python_set();
        std::string_view dtype = python_name(data.dtype());
        PyRef shape;
        if (data.ndim() > 1 && element_count(data.shape()) == 0) {  // as NumPy's repr shows it
            shape = PyRef::steal(PyUnicode_FromFormat(", shape=%s", shape_text(data.shape()).c_str()));
        } else {
            shape = PyRef::steal(PyUnicode_FromString(""));
        }
        if (!shape) return Error::python_set();
        const std::string dtype_text(dtype);
        PyObject* text = PyUnicode_FromFormat("Tensor(%U%U, dtype=%s%s)", body.get(), shape.get(), dtype_text.c_str(),
                                              t->requires_grad() ? ", requires_grad=True" : "");
        if (!text) return Error::python_set();
        return PyRef::steal(text);
    });
}

}  // namespace zavra::api
