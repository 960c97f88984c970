// Engine errors become Python exceptions here and nowhere else.
#pragma once

#include <Python.h>

#include "error.hpp"

namespace corvel::py {

// Sets the Python exception for `error` and returns nullptr, so that a
// function can `return raise(result.error());`.
PyObject* raise(const SalvageError& error);

}  // namespace corvel::py
