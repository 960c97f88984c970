// corvel._core.Batches: the accepted rows of a salvage gathered into Arrow
// batches, and handed out through the Arrow PyCapsule interface.
//
// A salvage given the object as its output parses every row straight into
// the object's BatchSink, on the salvage's thread and with that thread
// detached; each time batches are sealed they are handed over to the store.
// With a bound, the hand-over waits while that many batches are unread, so a
// reader that takes them one at a time (next_batch()) holds memory flat
// whatever the input's size. Without one, every batch is kept, for a whole
// table that is exported as a stream as often as asked.
//
// One mutex guards the store; it is only ever taken with the thread
// detached, and no Python object is touched while it is held, so threads
// of a free-threaded build can share the object. The sink itself belongs to
// the one salvage that claimed it; readers see only what it handed over.
#include "../common/binder.hpp"
#include "../common/classes.hpp"
#include "../common/ref.hpp"
#include "core.hpp"

#include "arrow.hpp"
#include "batches.hpp"
#include "infer.hpp"
#include "rescue.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::py {
namespace {

using arrow::RowBatch;

struct Store {
    Store(BatchLimits limits, std::uint64_t bound) : limits(limits), bound(bound) {}

    BatchLimits limits;
    std::atomic<bool> claimed = false;
    std::optional<BatchSink> sink;  // the claiming salvage's, used outside the lock

    std::mutex mu;
    std::condition_variable changed;
    // What the sink has handed over.
    std::deque<RowBatch> ready;  // sealed, not taken (with a bound) or all (without)
    std::uint64_t bound;         // 0: keep every batch
    std::uint64_t sealed_rows = 0;
    std::vector<std::string> header;
    bool has_header = false;
    std::uint64_t width = 0;
    bool mixed = false;
    std::vector<infer::ColumnType> types;  // empty: every column is text
    bool finished = false;
    bool cancelled = false;
    // `cancelled`, for a salvage that waits for input rather than on the
    // lock: it reads the flag between waits.
    std::atomic<bool> stop = false;
};

struct BatchesObject {
    PyObject_HEAD
    Store* store;
};

Store& store_of(PyObject* self) { return *reinterpret_cast<BatchesObject*>(self)->store; }

// Runs `body` with the thread detached and the store locked.
template <class Body>
auto locked(Store& s, Body&& body) {
    using R = decltype(body(std::declval<std::unique_lock<std::mutex>&>()));
    if constexpr (std::is_void_v<R>) {
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock lock(s.mu);
        body(lock);
        Py_END_ALLOW_THREADS
    } else {
        std::optional<R> out;
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock lock(s.mu);
        out.emplace(body(lock));
        Py_END_ALLOW_THREADS
        return std::move(*out);
    }
}

// The sink's hand-over, on the salvage's thread (detached): publishes what
// was sealed, then waits while the bound is reached.
Status hand_over(void* context, BatchSink& sink) noexcept {
    Store& s = *static_cast<Store*>(context);
    std::unique_lock lock(s.mu);
    if (s.cancelled) return SalvageError::from_errno(EPIPE);
    Status published = guard_memory([&]() -> Status {
        if (sink.has_header() && !s.has_header) {
            s.header = sink.header();
            s.has_header = true;
        }
        for (RowBatch& b : sink.take()) {
            s.sealed_rows += b.end - b.begin;
            s.ready.push_back(std::move(b));
        }
        return Done{};
    });
    s.width = sink.width();
    s.mixed = sink.mixed_widths();
    s.finished = s.finished || sink.ended();
    s.changed.notify_all();
    if (!published) return published;
    if (s.bound) s.changed.wait(lock, [&] { return s.cancelled || s.ready.size() < s.bound; });
    if (s.cancelled) return SalvageError::from_errno(EPIPE);
    return Done{};
}

// Runs `body`, which returns an optional ExportError, with memory that runs
// out inside it as ENOMEM: bodies run with the thread detached, where no
// exception may leave. The engine's own text allocates nothing.
template <class Body>
std::optional<arrow::ExportError> guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return arrow::ExportError{ENOMEM, SalvageError::out_of_memory().text()};
}

PyObject* raise_export(const arrow::ExportError& e) {
    PyObject* type = e.code == ENOMEM      ? PyExc_MemoryError
                     : e.code == EINVAL    ? PyExc_ValueError
                     : e.code == EOVERFLOW ? PyExc_OverflowError
                                           : PyExc_OSError;
    PyErr_SetString(type, e.text.c_str());
    return nullptr;
}

// ---- Construction ----

inline constexpr Param kNewParams[] = {
    {"batch_rows", Kind::OptionalCount, Default::Required, msg::kBatchRowsHelp},
    {"budget", Kind::OptionalCount, Default::Required, msg::kBudgetHelp},
    {"bound", Kind::OptionalCount, Default::Required, msg::kBoundHelp},
};
constexpr Signature kNewSignature{msg::kBatchesCallName, kNewParams};

PyObject* batches_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<Value, std::size(kNewParams)> v;
    if (!parse_args(kNewSignature, args, kwargs, v)) return nullptr;
    BatchLimits limits;
    if (v[0].present) limits.rows = v[0].count;
    if (v[1].present) limits.bytes = v[1].count;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    try {
        reinterpret_cast<BatchesObject*>(self.get())->store = new Store(limits, v[2].present ? v[2].count : 0);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void batches_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    delete std::exchange(reinterpret_cast<BatchesObject*>(self)->store, nullptr);
    free_instance(self);
}

// ---- The salvage's side ----

PyObject* batches_finish(PyObject* self, PyObject*) {
    Store& s = store_of(self);
    locked(s, [&](std::unique_lock<std::mutex>&) {
        s.finished = true;
        s.changed.notify_all();
    });
    Py_RETURN_NONE;
}

PyObject* batches_cancel(PyObject* self, PyObject*) {
    Store& s = store_of(self);
    std::deque<RowBatch> dropped;
    locked(s, [&](std::unique_lock<std::mutex>&) {
        s.cancelled = true;
        s.stop.store(true, std::memory_order_release);
        if (s.bound) dropped.swap(s.ready);
        s.changed.notify_all();
    });
    Py_BEGIN_ALLOW_THREADS
    dropped.clear();  // the tables go without the lock
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// ---- Export ----

// The layout argument: None, "view", "large", or the schema a consumer asks
// for, whose string columns decide (large_utf8 asked for anywhere: large).
bool to_layout(PyObject* o, arrow::StringLayout& out) {
    out = arrow::StringLayout::View;
    if (!o || o == Py_None) return true;
    if (PyUnicode_Check(o)) {
        if (PyUnicode_CompareWithASCIIString(o, msg::kLayoutLarge) == 0) {
            out = arrow::StringLayout::Large;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(o, msg::kLayoutView) == 0) return true;
    } else if (PyCapsule_IsValid(o, msg::kSchemaCapsule)) {
        const auto* schema = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(o, msg::kSchemaCapsule));
        for (int64_t i = 0; schema->children && i < schema->n_children; ++i) {
            const char* format = schema->children[i]->format;
            if (format && std::strcmp(format, arrow::format_of(arrow::StringLayout::Large)) == 0) {
                out = arrow::StringLayout::Large;
            }
        }
        return true;
    }
    PyErr_SetString(PyExc_ValueError, msg::kBadLayout);
    return false;
}

bool to_columns(PyObject* o, std::optional<std::vector<std::uint64_t>>& out) {
    if (!o || o == Py_None) return true;
    if (!PyList_Check(o)) {
        PyErr_SetString(PyExc_TypeError, msg::kBadColumns);
        return false;
    }
    std::vector<std::uint64_t> columns;
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            const unsigned long long c = PyLong_AsUnsignedLongLong(PyList_GET_ITEM(o, i));
            if (c == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
            columns.push_back(c);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    out = std::move(columns);
    return true;
}

// Under the lock: the export's column names, from the header.
std::optional<arrow::ExportError> plan_export(const Store& s, arrow::ExportOptions& o) {
    return guarded([&]() -> std::optional<arrow::ExportError> {
        std::vector<std::string_view> header(s.header.begin(), s.header.end());
        auto names = arrow::unique_column_names(header, s.width);
        if (!names) return std::move(names).error();
        o.names = std::move(names).value();
        o.types = s.types;
        return std::nullopt;
    });
}

inline constexpr Param kExportParams[] = {
    {"columns", Kind::Object, Default::None, msg::kColumnsHelp},
    {"layout", Kind::Object, Default::None, msg::kLayoutHelp},
    {"batch_rows", Kind::OptionalCount, Default::None, msg::kBatchRowsHelp},
};
constexpr Signature kStreamSignature{msg::kStreamCallName, kExportParams};
constexpr Signature kNextBatchSignature{msg::kNextBatchCallName, std::span(kExportParams).first(2)};
constexpr Signature kSchemaSignature{msg::kSchemaCallName, std::span(kExportParams).first(2)};

// Reads the export arguments; the names come later, under the lock.
bool export_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 arrow::ExportOptions& o, std::uint64_t* batch_rows) {
    std::array<Value, std::size(kExportParams)> v;
    if (!parse_args(sig, args, nargs, kwnames, std::span(v).first(sig.params.size()))) return false;
    if (!to_columns(v[0].object, o.columns) || !to_layout(v[1].object, o.layout)) return false;
    if (batch_rows) *batch_rows = v[2].present && v[2].count ? v[2].count : std::uint64_t{1} << 16;
    return true;
}

template <class T>
void free_capsule(PyObject* capsule, const char* name) {
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (!p) {
        PyErr_Clear();
        return;
    }
    if (p->release) p->release(p);
    delete p;
}
void free_schema_capsule(PyObject* c) { free_capsule<ArrowSchema>(c, msg::kSchemaCapsule); }
void free_array_capsule(PyObject* c) { free_capsule<ArrowArray>(c, msg::kArrayCapsule); }
void free_stream_capsule(PyObject* c) { free_capsule<ArrowArrayStream>(c, msg::kStreamCapsule); }

// A capsule that owns `p` (filled, with its release set): on failure `p` is released here.
template <class T>
PyObject* capsule_of(T* p, const char* name, PyCapsule_Destructor destructor) {
    PyObject* capsule = PyCapsule_New(p, name, destructor);
    if (!capsule) {
        p->release(p);
        delete p;
    }
    return capsule;
}

// Every sealed batch, once.
class Snapshot final : public arrow::BatchSource {
public:
    explicit Snapshot(std::vector<RowBatch> batches) noexcept : batches_(std::move(batches)) {}
    arrow::ArrowResult<RowBatch> next() noexcept override {
        if (at_ == batches_.size()) return RowBatch{};
        return std::move(batches_[at_++]);
    }

private:
    std::vector<RowBatch> batches_;
    std::size_t at_ = 0;
};

PyObject* batches_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    arrow::ExportOptions o;
    std::uint64_t batch_rows = 0;
    if (!export_args(kStreamSignature, args, nargs, kwnames, o, &batch_rows)) return nullptr;
    Store& s = store_of(self);
    auto* stream = new (std::nothrow) ArrowArrayStream{};
    if (!stream) return PyErr_NoMemory();
    bool mixed = false;
    std::optional<arrow::ExportError> error = locked(s, [&](std::unique_lock<std::mutex>&) {
        mixed = s.mixed;
        if (mixed) return std::optional<arrow::ExportError>();
        if (auto e = plan_export(s, o)) return e;
        return guarded([&] {
            std::vector<RowBatch> all(s.ready.begin(), s.ready.end());
            arrow::ExportStatus st =
                arrow::export_stream(std::make_unique<Snapshot>(std::move(all)), std::move(o), batch_rows, stream);
            return st ? std::optional<arrow::ExportError>() : std::optional(std::move(st).error());
        });
    });
    if (mixed || error) {
        delete stream;
        if (mixed) {
            PyErr_SetString(PyExc_ValueError, msg::kMixedWidths);
            return nullptr;
        }
        return raise_export(*error);
    }
    return capsule_of(stream, msg::kStreamCapsule, free_stream_capsule);
}

PyObject* batches_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    arrow::ExportOptions o;
    if (!export_args(kSchemaSignature, args, nargs, kwnames, o, nullptr)) return nullptr;
    Store& s = store_of(self);
    auto* schema = new (std::nothrow) ArrowSchema{};
    if (!schema) return PyErr_NoMemory();
    std::optional<arrow::ExportError> error = locked(s, [&](std::unique_lock<std::mutex>&) {
        if (auto e = plan_export(s, o)) return e;
        arrow::ExportStatus st = arrow::export_schema(o, schema);
        return st ? std::optional<arrow::ExportError>() : std::optional(std::move(st).error());
    });
    if (error) {
        delete schema;
        return raise_export(*error);
    }
    return capsule_of(schema, msg::kSchemaCapsule, free_schema_capsule);
}

// Waits, in slices so that Ctrl-C is heard, for a batch or the end.
PyObject* batches_next(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    arrow::ExportOptions o;
    if (!export_args(kNextBatchSignature, args, nargs, kwnames, o, nullptr)) return nullptr;
    Store& s = store_of(self);
    std::optional<RowBatch> batch;
    bool ended = false, mixed = false;
    std::optional<arrow::ExportError> error;
    while (!batch && !ended) {
        locked(s, [&](std::unique_lock<std::mutex>& lock) {
            s.changed.wait_for(lock, std::chrono::milliseconds(100),
                               [&] { return !s.ready.empty() || s.finished || s.cancelled; });
            mixed = s.mixed;
            if (!s.ready.empty()) {
                batch = std::move(s.ready.front());
                s.ready.pop_front();
                s.changed.notify_all();
                error = plan_export(s, o);
            } else {
                ended = s.finished || s.cancelled;
            }
        });
        if (!batch && !ended && PyErr_CheckSignals() < 0) return nullptr;
    }
    if (mixed) {
        PyErr_SetString(PyExc_ValueError, msg::kMixedWidths);
        return nullptr;
    }
    if (error) return raise_export(*error);
    if (!batch) Py_RETURN_NONE;
    auto* schema = new (std::nothrow) ArrowSchema{};
    auto* array = new (std::nothrow) ArrowArray{};
    if (!schema || !array) {
        delete schema;
        delete array;
        return PyErr_NoMemory();
    }
    arrow::ExportStatus st = arrow::export_schema(o, schema);
    if (st) {
        Py_BEGIN_ALLOW_THREADS
        st = arrow::export_batch(*batch, o, array);
        Py_END_ALLOW_THREADS
        if (!st) schema->release(schema);
    }
    if (!st) {
        delete schema;
        delete array;
        return raise_export(st.error());
    }
    Ref s_cap = Ref::steal(capsule_of(schema, msg::kSchemaCapsule, free_schema_capsule));
    if (!s_cap) {
        array->release(array);
        delete array;
        return nullptr;
    }
    Ref a_cap = Ref::steal(capsule_of(array, msg::kArrayCapsule, free_array_capsule));
    if (!a_cap) return nullptr;
    return PyTuple_Pack(2, s_cap.get(), a_cap.get());
}

// ---- Types ----

// Decided over a snapshot of the batches, without the lock: the rows of a
// finished table don't change, and readers go on meanwhile.
PyObject* batches_infer_types(PyObject* self, PyObject*) {
    Store& s = store_of(self);
    if (s.bound) {
        PyErr_SetString(PyExc_ValueError, msg::kInferNeedsTable);
        return nullptr;
    }
    std::vector<RowBatch> batches;
    std::uint64_t width = 0;
    bool mixed = false;
    std::optional<arrow::ExportError> error = locked(s, [&](std::unique_lock<std::mutex>&) {
        mixed = s.mixed;
        width = s.width;
        return guarded([&] {
            batches.assign(s.ready.begin(), s.ready.end());
            return std::optional<arrow::ExportError>();
        });
    });
    if (error) return raise_export(*error);
    std::vector<infer::ColumnType> types;
    if (!mixed) {
        Py_BEGIN_ALLOW_THREADS
        error = guarded([&] {
            types = infer::infer_types(batches, width);
            return std::optional<arrow::ExportError>();
        });
        batches.clear();
        Py_END_ALLOW_THREADS
        if (error) return raise_export(*error);
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(types.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < types.size(); ++i) {
        const char* format = infer::format_of(types[i]);
        PyObject* item = format ? PyUnicode_FromString(format) : Py_NewRef(Py_None);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    locked(s, [&](std::unique_lock<std::mutex>&) { s.types = std::move(types); });
    return list.release();
}

// ---- Looking at the rows ----

PyObject* batches_column_names(PyObject* self, PyObject*) {
    Store& s = store_of(self);
    arrow::ExportOptions o;
    std::optional<arrow::ExportError> error =
        locked(s, [&](std::unique_lock<std::mutex>&) { return plan_export(s, o); });
    if (error) return raise_export(*error);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(o.names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < o.names.size(); ++i) {
        PyObject* name = PyUnicode_FromStringAndSize(o.names[i].data(), static_cast<Py_ssize_t>(o.names[i].size()));
        if (!name) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

inline constexpr Param kRowsParams[] = {
    {"start", Kind::OptionalCount, Default::Required, msg::kStartHelp},
    {"stop", Kind::OptionalCount, Default::Required, msg::kStopHelp},
};
constexpr Signature kRowsSignature{msg::kRowsCallName, kRowsParams};

PyObject* batches_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<Value, std::size(kRowsParams)> v;
    if (!parse_args(kRowsSignature, args, nargs, kwnames, v)) return nullptr;
    const std::uint64_t start = v[0].count, stop = std::max(v[0].count, v[1].count);
    Store& s = store_of(self);
    std::vector<RowBatch> batches;
    std::optional<arrow::ExportError> error = locked(s, [&](std::unique_lock<std::mutex>&) {
        return guarded([&] {
            batches.assign(s.ready.begin(), s.ready.end());
            return std::optional<arrow::ExportError>();
        });
    });
    if (error) return raise_export(*error);
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    std::uint64_t first = 0;  // data row number of each batch's first row
    for (const RowBatch& b : batches) {
        const std::uint64_t n = b.end - b.begin;
        for (std::uint64_t i = std::max(start, first); i < std::min(stop, first + n); ++i) {
            const std::uint64_t r = b.begin + (i - first);
            Ref row = Ref::steal(PyList_New(static_cast<Py_ssize_t>(b.table->width(r))));
            if (!row) return nullptr;
            for (std::uint64_t f = 0; f < b.table->width(r); ++f) {
                const std::string_view cell = b.table->field(r, f);
                PyObject* text = PyUnicode_DecodeUTF8(cell.data(), static_cast<Py_ssize_t>(cell.size()), nullptr);
                if (!text) return nullptr;
                PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(f), text);
            }
            if (PyList_Append(out.get(), row.get()) < 0) return nullptr;
        }
        first += n;
        if (first >= stop) break;
    }
    return out.release();
}

PyObject* get_num_rows(PyObject* self, void*) {
    Store& s = store_of(self);
    const std::uint64_t n = locked(s, [&](std::unique_lock<std::mutex>&) { return s.sealed_rows; });
    return PyLong_FromUnsignedLongLong(n);
}

PyObject* get_width(PyObject* self, void*) {
    Store& s = store_of(self);
    const std::uint64_t n = locked(s, [&](std::unique_lock<std::mutex>&) { return s.width; });
    return PyLong_FromUnsignedLongLong(n);
}

PyObject* get_has_header(PyObject* self, void*) {
    Store& s = store_of(self);
    const bool h = locked(s, [&](std::unique_lock<std::mutex>&) { return s.has_header; });
    return PyBool_FromLong(h);
}

PyMethodDef kBatchesMethods[] = {
    {"finish", batches_finish, METH_NOARGS, msg::kFinishDoc},
    {"cancel", batches_cancel, METH_NOARGS, msg::kCancelDoc},
    {"next_batch", as_method(batches_next), METH_FASTCALL | METH_KEYWORDS, msg::kNextBatchDoc},
    {"stream", as_method(batches_stream), METH_FASTCALL | METH_KEYWORDS, msg::kStreamDoc},
    {"schema", as_method(batches_schema), METH_FASTCALL | METH_KEYWORDS, msg::kSchemaDoc},
    {"column_names", batches_column_names, METH_NOARGS, msg::kColumnNamesDoc},
    {"infer_types", batches_infer_types, METH_NOARGS, msg::kInferTypesDoc},
    {"rows", as_method(batches_rows), METH_FASTCALL | METH_KEYWORDS, msg::kRowsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kBatchesGetSet[] = {
    {"num_rows", get_num_rows, nullptr, msg::kNumRowsDoc, nullptr},
    {"width", get_width, nullptr, msg::kWidthDoc, nullptr},
    {"has_header", get_has_header, nullptr, msg::kHasHeaderDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBatchesSlots[] = {
    {Py_tp_doc, const_cast<char*>(msg::kBatchesDoc)},
    {Py_tp_new, reinterpret_cast<void*>(batches_new)},
    {Py_tp_methods, kBatchesMethods},
    {Py_tp_getset, kBatchesGetSet},
    {Py_tp_dealloc, reinterpret_cast<void*>(batches_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_type)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_nothing)},
    {0, nullptr},
};

}  // namespace

bool batches_sink(CoreState* state, PyObject* output, const RescueOptions& options, BatchSink** out,
                  const std::atomic<bool>** stop) {
    *out = nullptr;
    if (stop) *stop = nullptr;
    if (!PyObject_TypeCheck(output, reinterpret_cast<PyTypeObject*>(state->batches_type))) return true;
    Store& s = store_of(output);
    if (stop) *stop = &s.stop;
    if (s.claimed.exchange(true)) {
        PyErr_SetString(PyExc_ValueError, msg::kBatchesTaken);
        return false;
    }
    s.sink.emplace(s.limits, options.quote.value_or('"') == '"', BatchHandoff{hand_over, &s});
    *out = &*s.sink;
    return true;
}

PyType_Spec kBatchesSpec = {
    msg::kBatchesTypeName,
    sizeof(BatchesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kBatchesSlots,
};

}  // namespace corvel::py
