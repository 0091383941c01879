// NumPy exchange: building a CpuStorage from an array and handing one back.
#include <cstring>
#include <type_traits>

#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "engine/cpu/iter/elementwise.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zavra::cpu {

using py::PyRef;

namespace {

// Copies one element per position between two strided layouts of one shape.
template <std::size_t W>
void copy_elements(char* const* p, const std::ptrdiff_t* s, std::size_t n) {
    if (s[0] == static_cast<std::ptrdiff_t>(W) && s[1] == static_cast<std::ptrdiff_t>(W)) {
        std::memcpy(p[0], p[1], n * W);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::ptrdiff_t k = static_cast<std::ptrdiff_t>(i);
        std::memcpy(p[0] + k * s[0], p[1] + k * s[1], W);
    }
}

simd::Loop copy_loop(std::size_t width) {
    switch (width) {
        case 1: return copy_elements<1>;
        case 2: return copy_elements<2>;
        default: return copy_elements<4>;
    }
}

// The walk in logical order; byte strides of the source need not be multiples of
// the element width (NumPy allows unaligned arrays), so they are passed as bytes.
void strided_copy(const Shape& shape, char* dst, const Strides& dst_strides, std::size_t dst_unit, const char* src,
                  const Strides& src_strides, std::size_t src_unit, std::size_t width) {
    iter::Operand ops[2] = {{dst, dst_strides.data(), dst_unit}, {const_cast<char*>(src), src_strides.data(), src_unit}};
    iter::for_each(shape, ops, 2, copy_loop(width));
}

template <class T>
CpuStorage array_from_numpy(PyArrayObject* array) {
    const int nd = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    Shape shape(dims, dims + nd);
    NdArray<T> out = NdArray<T>::row_major(shape);
    const std::size_t n = out.size();
    if (n == 0) return CpuStorage(std::move(out));
    char* dst = reinterpret_cast<char*>(out.mutable_origin());
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        std::memcpy(dst, PyArray_DATA(array), n * sizeof(T));
    } else {
        const npy_intp* bs = PyArray_STRIDES(array);
        Strides src_strides(bs, bs + nd);
        strided_copy(shape, dst, out.strides(), sizeof(T), static_cast<const char*>(PyArray_DATA(array)),
                     src_strides, 1, sizeof(T));
    }
    if constexpr (std::is_same_v<T, bool>) {
        // NumPy copies bool arrays byte for byte, so a bool array viewed from other
        // bytes may hold values other than 0 and 1; the kernels rely on 0 and 1.
        auto* bytes = reinterpret_cast<unsigned char*>(dst);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = bytes[i] != 0;
    }
    return CpuStorage(std::move(out));
}

PyArray_Descr* descr_for(DType dtype) {
    switch (dtype) {
        case DType::F16: return PyArray_DescrFromType(NPY_FLOAT16);
        case DType::F32: return PyArray_DescrFromType(NPY_FLOAT32);
        case DType::Bool: return PyArray_DescrFromType(NPY_BOOL);
        case DType::BF16: {
            PyArray_Descr* d = py::bfloat16_descr();
            Py_XINCREF(d);
            return d;
        }
    }
    return nullptr;
}

template <class T>
Result<PyObject*> array_to_numpy(const NdArray<T>& a, DType dtype) {
    if (!py::ensure_numpy()) return Error::python_set();
    const std::size_t nd = a.ndim();
    SmallVector<npy_intp, 8> dims(a.shape().begin(), a.shape().end());
    const bool row_major = is_standard_layout(a.shape(), a.strides());
    const bool column_major = !row_major && is_column_major_layout(a.shape(), a.strides());
    PyArray_Descr* descr = descr_for(dtype);  // stolen below
    if (!descr) return Error::python_set();
    PyRef out = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(nd), dims.data(), nullptr,
                                                  nullptr, column_major ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr));
    if (!out) return Error::python_set();
    auto* arr = reinterpret_cast<PyArrayObject*>(out.get());
    const std::size_t n = a.size();
    if (n > 0) {
        char* dst = static_cast<char*>(PyArray_DATA(arr));
        if (row_major || column_major) {
            std::memcpy(dst, a.origin(), n * sizeof(T));
        } else {
            const npy_intp* bs = PyArray_STRIDES(arr);
            Strides dst_strides(bs, bs + nd);
            strided_copy(a.shape(), dst, dst_strides, 1, reinterpret_cast<const char*>(a.origin()), a.strides(),
                         sizeof(T), sizeof(T));
        }
    }
    return out.release();
}

}  // namespace

CpuStorage CpuStorage::from_numpy(PyObject* object, DType dtype) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    switch (dtype) {
        case DType::F16: return array_from_numpy<f16>(array);
        case DType::BF16: return array_from_numpy<bf16>(array);
        case DType::F32: return array_from_numpy<float>(array);
        case DType::Bool: return array_from_numpy<bool>(array);
    }
    throw InternalFailure("unknown element type");
}

Result<PyObject*> CpuStorage::to_numpy() const {
    DType t = dtype();
    return std::visit([t](const auto& a) { return array_to_numpy(a, t); }, data_);
}

}  // namespace zavra::cpu
