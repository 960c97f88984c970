// corvel._core's parts, shared between its translation units.
#pragma once

#include <Python.h>

#include "messages.hpp"

#include <atomic>
#include <iterator>

namespace corvel {
class BatchSink;
class RowSink;
struct RescueOptions;
}  // namespace corvel

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
extern PyMethodDef kCorePlanRangesDef;
extern PyMethodDef kCoreDetectDef;
extern PyType_Spec kBatchesSpec;

// When `output` is a corvel._core.Batches, sets *out to the sink that takes a
// salvage's rows into it (once per object); otherwise to null. False with an
// exception set when the object was already filled. `stop`, when given, is
// set to the flag that the object's cancel() raises (null for no object).
bool batches_sink(CoreState* state, PyObject* output, const RescueOptions& options, BatchSink** out,
                  const std::atomic<bool>** stop = nullptr);

}  // namespace corvel::py
