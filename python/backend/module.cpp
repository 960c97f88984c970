// The _corvel_backend module: definition, body and sniff(). The entry point
// is the only exported symbol.
#include <Python.h>

#include "../common/binder.hpp"
#include "../common/classes.hpp"
#include "../common/ref.hpp"
#include "backend.hpp"
#include "exceptions.hpp"
#include "messages.hpp"
#include "signatures.hpp"

#include "heuristics.hpp"

#include <array>
#include <iterator>

namespace corvel::py {
namespace {

constexpr Signature kSniffSignature{msg::kSniffCallName, kSniffParams};

PyObject* sniff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<Value, std::size(kSniffParams)> v;
    if (!parse_args(kSniffSignature, args, nargs, kwnames, v)) return nullptr;
    Result<std::uint8_t> delimiter = sniff_delimiter(v[0].text);
    if (!delimiter) return raise_as_oserror(delimiter.error());
    return PyUnicode_FromOrdinal(delimiter.value());
}

PyMethodDef kSniffDef = {msg::kSniffName, as_method(sniff), METH_FASTCALL | METH_KEYWORDS, kSniffDoc.data()};

int add_function(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return -1;
    Ref fn = Ref::steal(PyCFunction_NewEx(def, module, name.get()));
    if (!fn) return -1;
    return PyModule_AddObjectRef(module, def->ml_name, fn.get());
}

// Registered under the type's own (bare) name.
int add_class(PyObject* module, PyObject* type) {
    if (!type) return -1;
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
}

int module_exec(PyObject* module) {
    if (PyModule_AddStringConstant(module, "__version__", msg::kVersion) < 0) return -1;
    Ref doc = Ref::steal(PyUnicode_FromString(msg::kModuleDoc));
    if (!doc || PyModule_AddObjectRef(module, "__doc__", doc.get()) < 0) return -1;
    Ref all = Ref::steal(PyList_New(0));
    if (!all) return -1;
    for (const char* name : msg::kAll) {
        Ref s = Ref::steal(PyUnicode_FromString(name));
        if (!s || PyList_Append(all.get(), s.get()) < 0) return -1;
    }
    if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
    if (add_function(module, &kSalvageFileDef) < 0) return -1;
    if (add_function(module, &kSniffDef) < 0) return -1;
    if (add_function(module, &kOpenDef) < 0) return -1;
    if (add_class(module, summary_type()) < 0) return -1;
    if (add_class(module, reader_type()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Without this slot a free-threaded interpreter turns the GIL back on at import.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    msg::kModuleName,
    msg::kModuleDefDoc,
    0,        // no per-module state
    nullptr,  // functions are added by the module body
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvel::py

extern "C" PyMODINIT_FUNC PyInit__corvel_backend(void) {
    return PyModuleDef_Init(&corvel::py::kModuleDef);
}
