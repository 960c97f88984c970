// Engine errors become Python exceptions here and nowhere else. Either way
// the exception has the error's text as its one argument, so OSError leaves
// errno, strerror and filename None; memory that ran out is MemoryError.
// Each returns nullptr, so that a function can `return raise_...(error)`.
#pragma once

#include <Python.h>

#include "cancel.hpp"
#include "error.hpp"

namespace corvel::py {

// Lets Ctrl-C end a long engine call: the engine polls it, and the
// interpreter's signal handlers run inside. A handler that raises (SIGINT's
// KeyboardInterrupt) leaves its exception set and stops the call.
inline constexpr Cancel kSignals{[](void*) noexcept { return PyErr_CheckSignals() < 0; }, nullptr};

// OSError itself, whatever the OS code (salvage_file()). Besides: ValueError
// for a quarantine path that names the input or the output, and, for a call
// stopped by kSignals, the exception its signal handler raised.
PyObject* raise_as_oserror(const SalvageError& error);

// The OSError subclass for the error's OS code: FileNotFoundError for
// ENOENT, and so on, by the module's own table (SalvageReader, open()).
PyObject* raise_as_errno_class(const SalvageError& error);

}  // namespace corvel::py
