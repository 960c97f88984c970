#include "classes.hpp"

#include <cstring>

namespace corvel::py {

PyObject* cached_type(PyObject*& slot, PyType_Spec& spec) {
    static PyMutex lock = {};
    PyMutex_Lock(&lock);
    if (!slot) {
        PyObject* type = PyType_FromSpec(&spec);
        if (type) {
            // Before anyone else sees the type. The dotted name stays owned
            // by the type and is still freed with it; the bare one points
            // into the PyType_Spec's name, which lives as long as the process.
            reinterpret_cast<PyTypeObject*>(type)->tp_name = std::strrchr(spec.name, '.') + 1;
            PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
        }
        slot = type;  // never released: the class lives as long as the process
    }
    PyObject* type = slot;
    PyMutex_Unlock(&lock);
    return type;
}

int traverse_type(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // instances of heap types own a reference to their type
    return 0;
}

int clear_nothing(PyObject*) { return 0; }

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace corvel::py
