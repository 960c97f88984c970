// The engine's error value and the Result that carries it.
//
// Engine entry points never throw: they return Result<T>, which holds either
// the value or a SalvageError. Exhausted memory is an error like any other.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace corvel {

class SalvageError {
public:
    enum class Kind : std::uint8_t {
        Io,           // an operating-system input/output failure
        OutOfMemory,  // an allocation that could not be had, or was refused up front
        Cancelled,    // the caller's cancellation hook asked the call to stop
        QuarantineIsInput,   // the quarantine path names the input file
        QuarantineIsOutput,  // the quarantine path names the output file
        BadState,            // a byte range's state that no plan gave, for this input and these options
    };

    // An I/O error that carries an OS error code; its text is
    // "<strerror(code)> (os error <code>)".
    static SalvageError from_errno(int code);
    // An I/O error without an OS code, described by `text` alone.
    static SalvageError io(std::string text);
    static SalvageError out_of_memory(std::string text);
    // The same with the plain "out of memory", which allocates nothing.
    static SalvageError out_of_memory();
    static SalvageError cancelled();
    // An error of a kind that carries no OS code; its text is the engine's
    // fixed description of the kind.
    static SalvageError of_kind(Kind kind);

    Kind kind() const noexcept { return kind_; }
    // The OS error code, or 0 when there is none.
    int os_code() const noexcept { return os_code_; }
    const std::string& text() const noexcept { return text_; }

private:
    SalvageError(Kind kind, int os_code, std::string text)
        : kind_(kind), os_code_(os_code), text_(std::move(text)) {}

    Kind kind_;
    int os_code_;
    std::string text_;
};

// The text of an OS error code, as the C library describes it.
std::string os_error_text(int code);

// `format` with each "{}" replaced by the next of `args`.
std::string fill(std::string_view format, std::initializer_list<std::string_view> args);

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(SalvageError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const SalvageError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, SalvageError> v_;
};

// The success value of an operation that yields nothing else.
struct Done {};
using Status = Result<Done>;

// Runs `body` (which returns a Result) for a noexcept entry point: exhausted
// memory, or a size past what a container can index, becomes an error.
template <class Body>
auto guard_memory(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return SalvageError::out_of_memory();
}

}  // namespace corvel
