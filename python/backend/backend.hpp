// What the units of _corvel_backend hand each other: its classes, and the
// functions that module.cpp adds to the module.
#pragma once

#include <Python.h>

#include "salvage.hpp"

namespace corvel::py {

// The class objects, created on first use and kept for the rest of the
// process. Borrowed; nullptr with an exception set on failure.
PyObject* summary_type();
PyObject* reader_type();

// A new SalvageSummary holding `stats`.
PyObject* new_summary(const SalvageStats& stats);

extern PyMethodDef kSalvageFileDef;  // salvage_file.cpp
extern PyMethodDef kOpenDef;         // reader.cpp

}  // namespace corvel::py
