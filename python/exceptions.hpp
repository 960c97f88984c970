// Engine errors become Python exceptions here and nowhere else.
#pragma once

#include <Python.h>

#include "cancel.hpp"
#include "error.hpp"

namespace corvel::py {

// Lets Ctrl-C end a long engine call: the engine polls it, and the
// interpreter's signal handlers run inside. A handler that raises (SIGINT's
// KeyboardInterrupt) leaves its exception set and stops the call.
inline constexpr Cancel kSignals{[](void*) noexcept { return PyErr_CheckSignals() < 0; }, nullptr};

// OSError itself, with the error's text as its one argument (MemoryError
// when memory ran out, ValueError for a quarantine path that names the input
// or the output). A call stopped by kSignals keeps the exception its signal
// handler raised. Returns nullptr, so that a function can
// `return raise(result.error());`.
PyObject* raise(const SalvageError& error);

// The same, but an error with an OS code becomes the OSError subclass for
// that code (FileNotFoundError for ENOENT, and so on), still with the text
// as its one argument.
PyObject* raise_by_kind(const SalvageError& error);

}  // namespace corvel::py
