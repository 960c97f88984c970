// The corvel._core module: definition, state and body. The entry point is
// the only exported symbol.
#include <Python.h>

#include "../common/ref.hpp"
#include "core.hpp"

namespace corvel::py {
namespace {

int core_exec(PyObject* module) {
    CoreState* state = core_state(module);
    for (std::size_t i = 0; i < kCountKeyCount; ++i) {
        state->count_keys[i] = PyUnicode_InternFromString(msg::kCountKeys[i]);
        if (!state->count_keys[i]) return -1;
    }
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return -1;
    for (PyMethodDef* def : {&kCoreSalvageDef, &kCoreDetectDef, &kCorePlanRangesDef}) {
        Ref fn = Ref::steal(PyCFunction_NewEx(def, module, name.get()));
        if (!fn || PyModule_AddObjectRef(module, def->ml_name, fn.get()) < 0) return -1;
    }
    state->batches_type = PyType_FromModuleAndSpec(module, &kBatchesSpec, nullptr);
    if (!state->batches_type) return -1;
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(state->batches_type));
}

int core_traverse(PyObject* module, visitproc visit, void* arg) {
    CoreState* state = core_state(module);
    if (!state) return 0;
    for (PyObject* key : state->count_keys) Py_VISIT(key);
    Py_VISIT(state->batches_type);
    return 0;
}

int core_clear(PyObject* module) {
    CoreState* state = core_state(module);
    if (!state) return 0;
    for (PyObject*& key : state->count_keys) Py_CLEAR(key);
    Py_CLEAR(state->batches_type);
    return 0;
}

void core_free(void* module) { (void)core_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kCoreSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
    // Everything the module keeps is in its state, so each interpreter,
    // with a GIL of its own, gets a module of its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    // Without this slot a free-threaded interpreter turns the GIL back on at import.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kCoreDef = {
    PyModuleDef_HEAD_INIT,
    msg::kCoreModuleName,
    msg::kCoreModuleDoc,
    sizeof(CoreState),
    nullptr,  // the function is added by the module body
    kCoreSlots,
    core_traverse,
    core_clear,
    core_free,
};

}  // namespace
}  // namespace corvel::py

extern "C" PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&corvel::py::kCoreDef); }
