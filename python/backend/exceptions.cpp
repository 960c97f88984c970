#include "exceptions.hpp"

#include "../common/ref.hpp"
#include "messages.hpp"

#include <cerrno>
#include <string>

namespace corvel::py {
namespace {

PyObject* raise_as(PyObject* type, const SalvageError& error) {
    const std::string& text = error.text();
    // One argument only: OSError then picks no subclass of its own.
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

PyObject* class_for_code(int code) {
    switch (code) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case EPIPE: return PyExc_BrokenPipeError;
        case EEXIST: return PyExc_FileExistsError;
        case EAGAIN: return PyExc_BlockingIOError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EISDIR: return PyExc_IsADirectoryError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case EINTR: return PyExc_InterruptedError;
        case ENOMEM: return PyExc_MemoryError;
        default: return PyExc_OSError;
    }
}

}  // namespace

PyObject* raise_as_oserror(const SalvageError& error) {
    using K = SalvageError::Kind;
    switch (error.kind()) {
        case K::OutOfMemory: return raise_as(PyExc_MemoryError, error);
        case K::Cancelled:
            if (PyErr_Occurred()) return nullptr;  // what the signal handler raised
            break;
        case K::QuarantineIsInput:
            PyErr_SetString(PyExc_ValueError, msg::kQuarantineIsInput);
            return nullptr;
        case K::QuarantineIsOutput:
            PyErr_SetString(PyExc_ValueError, msg::kQuarantineIsOutput);
            return nullptr;
        case K::BadState:  // only a resumed range meets it, which this module has none of
        case K::Io: break;
    }
    return raise_as(PyExc_OSError, error);
}

PyObject* raise_as_errno_class(const SalvageError& error) {
    if (error.kind() != SalvageError::Kind::Io) return raise_as_oserror(error);
    return raise_as(class_for_code(error.os_code()), error);
}

}  // namespace corvel::py
