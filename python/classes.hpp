// The module's two classes and the functions that produce them.
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

// Creates a heap type from `spec`, whose name is "<module>.<Name>", and
// gives it the bare name <Name>; the interpreter takes __module__ from the
// dotted one. Created once per process under a lock; `slot` keeps it.
PyObject* cached_type(PyObject*& slot, PyType_Spec& spec);

// Slots both classes share: instances hold no Python references but their
// type's, and free themselves the same way once their members are destroyed.
int traverse_type(PyObject* self, visitproc visit, void* arg);
int clear_nothing(PyObject* self);
void free_instance(PyObject* self);  // after PyObject_GC_UnTrack and member destruction

extern PyMethodDef kSalvageFileDef;
extern PyMethodDef kOpenDef;

}  // namespace corvel::py
