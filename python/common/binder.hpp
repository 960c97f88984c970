// Argument binding and conversion, driven by one table per function.
//
// Every function and method describes its parameters once, as an array of
// Param (params.hpp), and calls one binder. The binder produces the module's
// own TypeError messages (too many positional arguments, unexpected or
// repeated keywords, missing arguments) and then converts each argument in
// declaration order; a failed conversion keeps its own exception and gains
// the note "while processing '<name>'".
#pragma once

#include <Python.h>

#include "params.hpp"

#include <span>

namespace corvel::py {

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS). `out` has one slot
// per parameter. Returns false with an exception set.
[[nodiscard]] bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, std::span<Value> out);
// Tuple-and-dict convention (tp_new).
[[nodiscard]] bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                              std::span<Value> out);

}  // namespace corvel::py
