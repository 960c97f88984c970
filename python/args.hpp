// Argument binding and conversion, driven by one table per function.
//
// Every function and method of the module describes its parameters once, as
// an array of Param, and calls one binder. The binder produces the module's
// own TypeError messages (too many positional arguments, unexpected or
// repeated keywords, missing arguments) and then converts each argument in
// declaration order; a failed conversion keeps its own exception and gains
// the note "while processing '<name>'".
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace corvel::py {

enum class Kind : std::uint8_t {
    Text,           // str, as its UTF-8 form
    OptionalText,   // None or str
    Flag,           // True or False (or a NumPy boolean scalar)
    OptionalCount,  // None or an integer index in [0, 2**64)
    Object,         // anything, left as is
};

enum class Default : std::uint8_t {
    Required,
    None,
    True,
    DoubleQuote,  // the text "\""
};

struct Param {
    const char* name;
    Kind kind;
    Default default_value;
};

struct Signature {
    const char* call_name;  // "f()" or "Type.method()", as messages show it
    std::span<const Param> params;
};

// One converted argument. Only the member that the parameter's kind fills is
// meaningful; `present` is false for an optional kind left at None.
struct Value {
    bool present = false;
    std::string_view text;  // borrowed from the argument's str object
    bool flag = false;
    std::uint64_t count = 0;
    PyObject* object = nullptr;  // borrowed
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS). `out` has one slot
// per parameter. Returns false with an exception set.
[[nodiscard]] bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, std::span<Value> out);
// Tuple-and-dict convention (tp_new).
[[nodiscard]] bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                              std::span<Value> out);

}  // namespace corvel::py
