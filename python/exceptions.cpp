#include "exceptions.hpp"

#include <string>

namespace corvel::py {

PyObject* raise(const SalvageError& error) {
    const std::string& text = error.text();
    PyObject* type = error.kind() == SalvageError::Kind::OutOfMemory ? PyExc_MemoryError : PyExc_OSError;
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!message) return nullptr;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
    return nullptr;
}

}  // namespace corvel::py
