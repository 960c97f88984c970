// Engine errors become Python exceptions here and nowhere else.
#pragma once

#include <Python.h>

#include "error.hpp"

namespace corvel::py {

// OSError itself, with the error's text as its one argument (MemoryError
// when memory ran out). Returns nullptr, so that a function can
// `return raise(result.error());`.
PyObject* raise(const SalvageError& error);

// The same, but an error with an OS code becomes the OSError subclass for
// that code (FileNotFoundError for ENOENT, and so on), still with the text
// as its one argument.
PyObject* raise_by_kind(const SalvageError& error);

}  // namespace corvel::py
