// corvel._core's parts, shared between its translation units.
#pragma once

#include <Python.h>

#include "messages.hpp"

#include <iterator>

namespace corvel::py {

inline constexpr std::size_t kCountKeyCount = std::size(msg::kCountKeys);

// Module state: one per interpreter that imports the module, so that no
// object is ever shared between interpreters.
struct CoreState {
    PyObject* count_keys[kCountKeyCount];  // interned str, strong
    PyObject* batches_type;                 // corvel._core.Batches, strong
};

inline CoreState* core_state(PyObject* module) { return static_cast<CoreState*>(PyModule_GetState(module)); }

extern PyMethodDef kCoreSalvageDef;
extern PyMethodDef kCoreDetectDef;
extern PyType_Spec kBatchesSpec;

}  // namespace corvel::py
