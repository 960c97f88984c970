// Helpers for the native classes of either module: how a heap type is
// created and kept, and the garbage-collector and deallocation slots of
// instances that hold no Python references.
#pragma once

#include <Python.h>

namespace corvel::py {

// Creates a heap type from `spec`, whose name is "<module>.<Name>", and
// gives it the bare name <Name>; the interpreter takes __module__ from the
// dotted one. Created once per process under a lock; `slot` keeps it.
// Borrowed; nullptr with an exception set on failure.
PyObject* cached_type(PyObject*& slot, PyType_Spec& spec);

// Slots for instances that hold no Python references but their type's, and
// free themselves the same way once their members are destroyed.
int traverse_type(PyObject* self, visitproc visit, void* arg);
int clear_nothing(PyObject* self);
void free_instance(PyObject* self);  // after PyObject_GC_UnTrack and member destruction

// A vectorcall function (METH_FASTCALL | METH_KEYWORDS) as PyMethodDef holds it.
template <class F>
PyCFunction as_method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace corvel::py
