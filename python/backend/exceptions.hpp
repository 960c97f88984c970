// Engine errors become Python exceptions here and nowhere else. Either way
// the exception has the error's text as its one argument, so OSError leaves
// errno, strerror and filename None; memory that ran out is MemoryError.
// Each returns nullptr, so that a function can `return raise_...(error)`.
#pragma once

#include <Python.h>

#include "error.hpp"

namespace corvel::py {

// OSError itself, whatever the OS code (salvage_file()).
PyObject* raise_as_oserror(const SalvageError& error);

// The OSError subclass for the error's OS code: FileNotFoundError for
// ENOENT, and so on, by the module's own table (SalvageReader, open()).
PyObject* raise_as_errno_class(const SalvageError& error);

}  // namespace corvel::py
