// Error values (exception class + message) and the internal-failure exception.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace zavra {

// Which Python exception an error value becomes when the binding layer raises it.
// `PythonSet` means a Python exception is already set on the calling thread.
enum class ErrorKind { ValueError, TypeError, RuntimeError, OverflowError, PythonSet };

struct Error {
    ErrorKind kind;
    std::string message;

    static Error value(std::string m) { return {ErrorKind::ValueError, std::move(m)}; }
    static Error type(std::string m) { return {ErrorKind::TypeError, std::move(m)}; }
    static Error runtime(std::string m) { return {ErrorKind::RuntimeError, std::move(m)}; }
    static Error python_set() { return {ErrorKind::PythonSet, {}}; }
};

// Either a value or an Error. Small on purpose: the engine never needs more.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : data_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const noexcept { return data_.index() == 0; }
    bool ok() const noexcept { return data_.index() == 0; }

    T& operator*() & { return std::get<0>(data_); }
    T&& operator*() && { return std::get<0>(std::move(data_)); }
    T* operator->() { return &std::get<0>(data_); }
    const Error& error() const& { return std::get<1>(data_); }
    Error&& error() && { return std::get<1>(std::move(data_)); }

private:
    std::variant<T, Error> data_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    explicit operator bool() const noexcept { return !failed_; }
    bool ok() const noexcept { return !failed_; }
    const Error& error() const& { return error_; }
    Error&& error() && { return std::move(error_); }

private:
    Error error_{ErrorKind::RuntimeError, {}};
    bool failed_ = false;
};

// A violated precondition that is not an error value. It unwinds to the
// binding boundary, which raises the module's internal-failure exception.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void index_out_of_bounds(std::size_t len, std::size_t index) {
    throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                          " but the index is " + std::to_string(index));
}

}  // namespace zavra

// Propagates an error value out of the enclosing function.
#define ZAVRA_TRY(var, expr)                                  \
    auto var##_result_ = (expr);                              \
    if (!var##_result_) return std::move(var##_result_).error(); \
    auto var = std::move(*std::move(var##_result_))

#define ZAVRA_CHECK(expr)                                    \
    do {                                                     \
        auto zavra_check_result_ = (expr);                   \
        if (!zavra_check_result_)                            \
            return std::move(zavra_check_result_).error();   \
    } while (0)
