// salvage(): the engine's streaming salvage, with the GIL released while it
// works.
#include "../common/binder.hpp"
#include "../common/classes.hpp"
#include "../common/ref.hpp"
#include "core.hpp"

#include "batches.hpp"
#include "rescue.hpp"
#include "split.hpp"
#include "target.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace corvel::py {
namespace {

inline constexpr Param kParams[] = {
    {"reader", Kind::Object, Default::Required, msg::kReaderHelp},
    {"head", Kind::Object, Default::Required, msg::kHeadHelp},
    {"source_name", Kind::OptionalText, Default::Required, msg::kSourceNameHelp},
    {"output", Kind::Object, Default::Required, msg::kOutputHelp},
    {"header", Kind::Flag, Default::Required, msg::kHeaderHelp},
    {"skip_initial_space", Kind::Flag, Default::Required, msg::kSkipSpaceHelp},
    {"quarantine", Kind::OptionalText, Default::None, msg::kQuarantineHelp},
    {"audit", Kind::OptionalText, Default::None, msg::kAuditHelp},
    {"total", Kind::OptionalCount, Default::None, msg::kTotalHelp},
    {"progress", Kind::Object, Default::None, msg::kProgressHelp},
    {"delimiter", Kind::OptionalText, Default::None, msg::kDelimiterArgHelp},
    {"quote_char", Kind::OptionalText, Default::DoubleQuote, msg::kQuoteArgHelp},
    {"skip_blank_lines", Kind::Flag, Default::True, msg::kSkipBlankHelp},
    {"fill_ragged_rows", Kind::Flag, Default::True, msg::kFillHelp},
    {"merge_overflow", Kind::Flag, Default::True, msg::kMergeHelp},
    {"expected_columns", Kind::OptionalCount, Default::None, msg::kExpectedHelp},
    {"repair_quotes", Kind::Flag, Default::True, msg::kRepairHelp},
    {"output_delimiter", Kind::OptionalText, Default::None, msg::kOutputDelimiterHelp},
    {"legacy", Kind::Object, Default::None, msg::kLegacyHelp},
    {"shape", Kind::Object, Default::None, msg::kShapeHelp},
    {"escape_char", Kind::OptionalText, Default::None, msg::kEscapeArgHelp},
    {"threads", Kind::OptionalCount, Default::None, msg::kThreadsHelp},
    {"range_bytes", Kind::OptionalCount, Default::None, msg::kRangeBytesHelp},
    {"resume", Kind::Object, Default::None, msg::kResumeHelp},
};
template <std::size_t N>
consteval std::size_t at(const char (&name)[N]) {
    return param_index(kParams, name);
}
constexpr Signature kSignature{msg::kCoreSalvageCallName, kParams};
inline constexpr auto kDoc = frozen<[] { return documented(msg::kCoreSalvageName, msg::kCoreSalvageDoc, kParams); }>();
// plan_ranges() takes salvage()'s arguments, to plan the very run it stands for.
constexpr Signature kPlanSignature{msg::kCorePlanRangesCallName, kParams};
inline constexpr auto kPlanDoc =
    frozen<[] { return documented(msg::kCorePlanRangesName, msg::kCorePlanRangesDoc, kParams); }>();

// The thread's hold on the interpreter, let go while the engine works and
// taken back only for as long as Python code must run.
class Detached {
public:
    void detach() noexcept { ts_ = PyEval_SaveThread(); }
    void attach() noexcept { PyEval_RestoreThread(std::exchange(ts_, nullptr)); }
    bool detached() const noexcept { return ts_ != nullptr; }

private:
    PyThreadState* ts_ = nullptr;
};

// Attaches for a scope when the thread is detached.
class [[nodiscard]] WithPython {
public:
    explicit WithPython(Detached& d) noexcept : d_(d), was_(d.detached()) {
        if (was_) d_.attach();
    }
    ~WithPython() {
        if (was_) d_.detach();
    }
    WithPython(const WithPython&) = delete;
    WithPython& operator=(const WithPython&) = delete;

private:
    Detached& d_;
    bool was_;
};

// One call's link to Python: its thread state, its progress callable, and
// whether a Python exception is waiting to be raised.
struct Call {
    Detached thread;
    PyObject* progress = nullptr;  // borrowed; null for none
    PyObject* total = nullptr;     // borrowed int or None
    bool python_error = false;
    // Only the main thread of the main interpreter runs signal handlers.
    // Other threads never take the interpreter back just to look, which
    // keeps two salvages in two threads from waiting on each other.
    bool handles_signals = true;
    // Raised from another thread when the rows' consumer has gone (a
    // closed BatchReader); null for none.
    const std::atomic<bool>* stop = nullptr;

    bool stopped() const noexcept { return stop != nullptr && stop->load(std::memory_order_acquire); }

    // Runs signal handlers (Ctrl-C); true when one raised, or the run is to stop.
    bool signalled() noexcept {
        if (python_error || stopped()) return true;
        if (!handles_signals) return false;
        WithPython with(thread);
        if (PyErr_CheckSignals() < 0) python_error = true;
        return python_error;
    }
};

bool poll_cancel(void* context) noexcept { return static_cast<Call*>(context)->signalled(); }

// Whether the calling thread is the main thread of the main interpreter.
int on_main_thread() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return 0;
    Ref threading = Ref::steal(PyImport_ImportModule(msg::kThreading));
    if (!threading) return -1;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), msg::kMainThread, nullptr));
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), msg::kIdent)) : Ref();
    if (!ident) return -1;
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    return id == PyThread_get_thread_ident() ? 1 : 0;
}

bool poll_progress(void* context, std::uint64_t done) noexcept {
    auto* call = static_cast<Call*>(context);
    if (call->signalled()) return true;
    if (!call->progress) return false;
    WithPython with(call->thread);
    Ref n = Ref::steal(PyLong_FromUnsignedLongLong(done));
    PyObject* args[] = {n.get(), call->total};
    Ref r = n ? Ref::steal(PyObject_Vectorcall(call->progress, args, 2, nullptr)) : Ref();
    if (!r) call->python_error = true;
    return call->python_error;
}

// A Python error standing in an engine result; the exception itself waits
// in the thread state.
SalvageError python_failed(Call& call) {
    call.python_error = true;
    return SalvageError::from_errno(EIO);
}

// The bytes already taken from the source, then the source itself.
class HeadThen final : public ByteSource {
public:
    HeadThen(std::string_view head, ByteSource& rest) noexcept : head_(head), rest_(rest) {}
    Result<std::size_t> read(char* buffer, std::size_t size) noexcept override {
        if (head_.empty()) return rest_.read(buffer, size);
        const std::size_t n = std::min(size, head_.size());
        std::memcpy(buffer, head_.data(), n);
        head_.remove_prefix(n);
        return n;
    }

private:
    std::string_view head_;
    ByteSource& rest_;
};

// A Python object's read(), called with the thread attached.
class PyReader final : public ByteSource {
public:
    PyReader(PyObject* reader, Call& call) noexcept : reader_(reader), call_(call) {}
    // A stopped run is seen when the object's read() returns; one that never
    // returns holds the run, since nothing can end a call into it from outside.
    Result<std::size_t> read(char* buffer, std::size_t size) noexcept override {
        if (call_.stopped()) return SalvageError::from_errno(EINTR);
        WithPython with(call_.thread);
        if (call_.python_error || PyErr_CheckSignals() < 0) return python_failed(call_);
        Ref name = Ref::steal(PyUnicode_InternFromString(msg::kRead));
        Ref want = Ref::steal(PyLong_FromSize_t(size));
        if (!name || !want) return python_failed(call_);
        PyObject* args[] = {reader_, want.get()};
        Ref got = Ref::steal(PyObject_VectorcallMethod(name.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!got) return python_failed(call_);
        if (got.get() == Py_None) {
            // A non-blocking stream with nothing yet: taking it for the end would lose the rest.
            PyErr_SetString(PyExc_BlockingIOError, msg::kReadWouldBlock);
            return python_failed(call_);
        }
        Py_buffer view;
        if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) {
            PyErr_Format(PyExc_TypeError, msg::kReadNotBytes, Py_TYPE(got.get())->tp_name);
            return python_failed(call_);
        }
        const auto n = static_cast<std::size_t>(view.len);
        if (n > size) {
            PyBuffer_Release(&view);
            PyErr_SetString(PyExc_ValueError, msg::kReadTooMuch);
            return python_failed(call_);
        }
        std::memcpy(buffer, view.buf, n);
        PyBuffer_Release(&view);
        return n;
    }

private:
    PyObject* reader_;
    Call& call_;
};

// A Python object's write(), called with the thread attached, until every
// byte is taken.
class PyWriter final : public ByteSink {
public:
    PyWriter(PyObject* writer, Call& call) noexcept : writer_(writer), call_(call) {}
    Status write(std::string_view bytes) noexcept override {
        WithPython with(call_.thread);
        if (call_.python_error) return python_failed(call_);
        Ref name = Ref::steal(PyUnicode_InternFromString(msg::kWrite));
        if (!name) return python_failed(call_);
        while (!bytes.empty()) {
            Ref data = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
            if (!data) return python_failed(call_);
            PyObject* args[] = {writer_, data.get()};
            Ref r = Ref::steal(PyObject_VectorcallMethod(name.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!r) return python_failed(call_);
            // Raw streams may take part of it and say how much.
            std::size_t took = bytes.size();
            if (PyLong_Check(r.get())) {
                const Py_ssize_t n = PyLong_AsSsize_t(r.get());
                if (n < 0 && PyErr_Occurred()) return python_failed(call_);
                if (n >= 0 && static_cast<std::size_t>(n) < took) took = static_cast<std::size_t>(n);
            }
            if (took == 0) return SalvageError::from_errno(EIO);
            bytes.remove_prefix(took);
        }
        return Done{};
    }

private:
    PyObject* writer_;
    Call& call_;
};

// One optional ASCII character from a text argument.
bool to_char(const Value& v, const char* name, std::optional<std::uint8_t>& out) {
    if (!v.present) return true;
    if (v.text.size() != 1 || static_cast<std::uint8_t>(v.text[0]) >= 0x80) {
        PyErr_Format(PyExc_ValueError, msg::kBadChar, name);
        return false;
    }
    out = static_cast<std::uint8_t>(v.text[0]);
    return true;
}

bool to_legacy(PyObject* o, std::optional<LegacyTable>& out) {
    if (o == nullptr || o == Py_None) return true;
    Ref seq = Ref::steal(PySequence_Fast(o, msg::kBadLegacy));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 128) {
        PyErr_SetString(PyExc_ValueError, msg::kBadLegacy);
        return false;
    }
    std::array<std::string_view, 128> entries;
    for (Py_ssize_t i = 0; i < 128; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyBytes_Check(item)) {
            PyErr_SetString(PyExc_TypeError, msg::kBadLegacy);
            return false;
        }
        entries[static_cast<std::size_t>(i)] =
            std::string_view(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    }
    out = LegacyTable::from_entries(entries);
    if (!out) {
        PyErr_SetString(PyExc_ValueError, msg::kBadLegacy);
        return false;
    }
    return true;
}

// The table's shape from a tuple (preamble_rows, header_rows, find_footer,
// find_tables, column_types), the types by name.
bool to_shape(PyObject* o, RescueOptions& out) {
    if (o == nullptr || o == Py_None) return true;
    Py_ssize_t preamble = 0;
    Py_ssize_t header_rows = 0;
    int footer = 0;
    int tables = 0;
    PyObject* types = nullptr;
    if (!PyTuple_Check(o) || !PyArg_ParseTuple(o, "nnppO", &preamble, &header_rows, &footer, &tables, &types) ||
        preamble < 0 || header_rows < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, msg::kBadShape);
        return false;
    }
    Ref seq = Ref::steal(PySequence_Fast(types, msg::kBadShape));
    if (!seq) return false;
    out.column_types.clear();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        const char* name = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
        if (!name) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, msg::kBadCellType, item);
            return false;
        }
        std::size_t t = 0;
        while (t < std::size(msg::kCellTypeNames) && std::strcmp(msg::kCellTypeNames[t], name) != 0) ++t;
        if (t == std::size(msg::kCellTypeNames)) {
            PyErr_Format(PyExc_ValueError, msg::kBadCellType, item);
            return false;
        }
        out.column_types.push_back(static_cast<CellType>(t));
    }
    out.preamble_rows = static_cast<std::uint64_t>(preamble);
    out.header_rows = static_cast<std::uint64_t>(header_rows);
    out.find_footer = footer != 0;
    out.find_tables = tables != 0;
    return true;
}

// An engine error as Python raises it: MemoryError; ValueError for a resume
// state that no plan gave (corrupt, cut short, or planned with other
// options), a wrong argument rather than a failure to read the input; or the
// OSError subclass for its code with errno, strerror and the path that failed.
PyObject* raise_engine_error(const SalvageError& error, std::optional<std::string_view> path) {
    if (error.kind() == SalvageError::Kind::OutOfMemory) {
        PyErr_SetString(PyExc_MemoryError, error.text().c_str());
        return nullptr;
    }
    if (error.kind() == SalvageError::Kind::BadState) {
        PyErr_SetString(PyExc_ValueError, msg::kBadResumeState);
        return nullptr;
    }
    const int code = error.os_code();
    if (code == 0) {
        PyErr_SetString(PyExc_OSError, error.text().c_str());
        return nullptr;
    }
    const std::string text = os_error_text(code);
    Ref filename = path ? Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path->data(), static_cast<Py_ssize_t>(path->size())))
                        : Ref::borrow(Py_None);
    if (!filename) return nullptr;
    // OSError(errno, strerror, filename) picks its subclass from the code.
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", code, text.c_str(), filename.get()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

PyObject* counts_dict(CoreState* state, const RescueCounts& c) {
    const std::uint64_t values[] = {
        c.rows_read, c.rows_written, c.rows_clean, c.rows_repaired, c.padded, c.merged,
        c.quote_repaired, c.bytes_replaced, c.legacy_decoded, c.rows_set_aside, c.too_few_columns,
        c.too_many_columns, c.rows_skipped, c.header_written, c.width, c.bytes_read, c.delimiter,
        c.preamble, c.header_set_aside, c.footer, c.second_table, c.tables_found,
    };
    static_assert(std::size(values) == kCountKeyCount);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < kCountKeyCount; ++i) {
        Ref v = Ref::steal(PyLong_FromUnsignedLongLong(values[i]));
        if (!v || PyDict_SetItem(dict.get(), state->count_keys[i], v.get()) < 0) return nullptr;
    }
    return dict.release();
}

// What the engine run needs, gathered from the arguments.
struct Targets {
    std::optional<FileTarget> clean, quarantine, audit;
};

// Bytes written nowhere: the output of a plan's model sink.
class NoBytes final : public ByteSink {
public:
    Status write(std::string_view) noexcept override { return Done{}; }
};

// A list of bytes objects, one per state.
PyObject* states_list(const std::vector<std::string>& states) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(states.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < states.size(); ++i) {
        PyObject* b = PyBytes_FromStringAndSize(states[i].data(), static_cast<Py_ssize_t>(states[i].size()));
        if (!b) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
    }
    return list.release();
}

// Fills in what a call polls while the engine runs: whether it may handle
// signals here, the progress callback, and the total it reports against,
// which the returned reference keeps alive. Empty when Python failed.
Ref start_call(Call& call, std::span<const Value> v) {
    const int main_thread = on_main_thread();
    if (main_thread < 0) return Ref{};
    call.handles_signals = main_thread == 1;
    PyObject* progress = v[at("progress")].object;
    call.progress = progress && progress != Py_None ? progress : nullptr;
    Ref total = v[at("total")].present ? Ref::steal(PyLong_FromUnsignedLongLong(v[at("total")].count))
                                       : Ref::borrow(Py_None);
    call.total = total.get();
    return total;
}

std::string_view bytes_view(PyObject* b) noexcept {
    return {PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b))};
}

// plan_ranges(): the whole file salvaged once, streaming, nothing written.
// `output` says which kind of sink the ranges will be salvaged into.
PyObject* plan(PyObject* module, std::span<const Value> v, const RescueOptions& o, int fd, PyObject* head,
               PyObject* output) {
    const bool to_batches =
        PyObject_TypeCheck(output, reinterpret_cast<PyTypeObject*>(core_state(module)->batches_type)) != 0;
    const std::uint64_t range_bytes =
        v[at("range_bytes")].present ? v[at("range_bytes")].count : SplitOptions{}.range_bytes;
    const std::uint64_t expected_size = v[at("total")].count;

    Call call;
    const Ref total = start_call(call, v);
    if (!total) return nullptr;
    const Cancel cancel{poll_cancel, &call};
    const Progress report{poll_progress, &call};
    FdSource fd_source(fd, cancel);
    HeadThen input(bytes_view(head), fd_source);
    NoBytes nowhere;
    CsvSink csv(nowhere, o);
    BatchSink batches(BatchLimits{}, o.quote.value_or('"') == '"');
    RowSink& model = to_batches ? static_cast<RowSink&>(batches) : static_cast<RowSink&>(csv);

    call.thread.detach();
    Result<std::vector<std::string>> states = plan_ranges(input, expected_size, o, model, range_bytes, report);
    call.thread.attach();
    if (call.python_error || PyErr_Occurred()) return nullptr;
    if (!states) {
        const Value& name = v[at("source_name")];
        return raise_engine_error(states.error(), name.present ? std::optional(name.text) : std::nullopt);
    }
    return states_list(states.value());
}

enum class Mode : std::uint8_t { Salvage, Plan };

PyObject* run_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Mode mode) {
    std::array<Value, std::size(kParams)> v;
    if (!parse_args(mode == Mode::Plan ? kPlanSignature : kSignature, args, nargs, kwnames, v)) return nullptr;

    RescueOptions o;
    if (!to_char(v[at("delimiter")], "delimiter", o.delimiter)) return nullptr;
    o.quote.reset();
    if (!to_char(v[at("quote_char")], "quote_char", o.quote)) return nullptr;
    if (!to_char(v[at("output_delimiter")], "output_delimiter", o.output_delimiter)) return nullptr;
    o.header = v[at("header")].flag;
    o.skip_blank_lines = v[at("skip_blank_lines")].flag;
    o.fill_ragged_rows = v[at("fill_ragged_rows")].flag;
    o.merge_overflow = v[at("merge_overflow")].flag;
    o.repair_quotes = v[at("repair_quotes")].flag;
    o.skip_initial_space = v[at("skip_initial_space")].flag;
    if (v[at("expected_columns")].present) o.expected_columns = v[at("expected_columns")].count;
    std::optional<LegacyTable> legacy;
    if (!to_legacy(v[at("legacy")].object, legacy)) return nullptr;
    if (legacy) o.legacy = &*legacy;
    if (!to_shape(v[at("shape")].object, o)) return nullptr;
    if (!to_char(v[at("escape_char")], "escape_char", o.escape)) return nullptr;

    PyObject* head = v[at("head")].object;
    if (!PyBytes_Check(head)) return PyErr_Format(PyExc_TypeError, msg::kBadHead, Py_TYPE(head)->tp_name);
    PyObject* reader = v[at("reader")].object;
    int fd = -1;
    if (PyLong_Check(reader)) {
        fd = PyLong_AsInt(reader);
        if (fd == -1 && PyErr_Occurred()) return nullptr;
    } else if (!PyObject_HasAttrString(reader, msg::kRead)) {
        return PyErr_Format(PyExc_TypeError, msg::kBadReader, Py_TYPE(reader)->tp_name);
    }
    PyObject* resume = v[at("resume")].object;
    if (resume == Py_None) resume = nullptr;
    if (resume && !PyBytes_Check(resume)) {
        return PyErr_Format(PyExc_TypeError, msg::kBadResume, Py_TYPE(resume)->tp_name);
    }
    if ((mode == Mode::Plan || resume) && fd < 0) {
        return PyErr_Format(PyExc_TypeError, msg::kNeedsDescriptor,
                            mode == Mode::Plan ? msg::kCorePlanRangesCallName : msg::kResumeArg);
    }
    if (mode == Mode::Plan && !v[at("total")].present) {
        PyErr_SetString(PyExc_TypeError, msg::kPlanNeedsTotal);
        return nullptr;
    }
    PyObject* output = v[at("output")].object;
    if (mode == Mode::Plan) return plan(module, v, o, fd, head, output);
    // A corvel._core.Batches takes the rows themselves: no clean CSV between.
    BatchSink* batches = nullptr;
    const std::atomic<bool>* stop = nullptr;
    if (!batches_sink(core_state(module), output, o, &batches, &stop)) return nullptr;
    std::optional<std::string_view> out_path;
    if (PyUnicode_Check(output)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(output, &size);
        if (!data) return nullptr;
        out_path = std::string_view(data, static_cast<std::size_t>(size));
    } else if (!batches && !PyObject_HasAttrString(output, msg::kWrite)) {
        return PyErr_Format(PyExc_TypeError, msg::kBadOutput, Py_TYPE(output)->tp_name);
    }
    const auto path_of = [](const Value& p) { return p.present ? std::optional(p.text) : std::nullopt; };
    const std::optional<std::string_view> q_path = path_of(v[at("quarantine")]);
    const std::optional<std::string_view> a_path = path_of(v[at("audit")]);
    const std::optional<std::string_view> source_name = path_of(v[at("source_name")]);

    Call call;
    call.stop = stop;
    const Ref total = start_call(call, v);
    if (!total) return nullptr;
    const Cancel cancel{poll_cancel, &call};
    const Progress report{poll_progress, &call};
    // Ranges are read at their offsets, parsed and recorded on other
    // threads and handed on by whichever thread is free: only a descriptor
    // of known size, and outputs that need no Python, can take them.
    std::optional<SplitOptions> split;
    if (v[at("threads")].present && v[at("threads")].count != 1 && fd >= 0 && v[at("total")].present &&
        (out_path || batches)) {
        split.emplace();
        split->threads = static_cast<unsigned>(std::min<std::uint64_t>(v[at("threads")].count, 1024));
        if (v[at("range_bytes")].present) split->range_bytes = std::max<std::uint64_t>(1, v[at("range_bytes")].count);
    }
    const std::uint64_t expected_size = v[at("total")].present ? v[at("total")].count : 0;

    FdSource fd_source(fd, cancel);
    PyReader py_reader(reader, call);
    PyWriter py_writer(output, call);
    HeadThen input(std::string_view(PyBytes_AS_STRING(head), static_cast<std::size_t>(PyBytes_GET_SIZE(head))),
                   fd >= 0 ? static_cast<ByteSource&>(fd_source) : py_reader);

    // From here on no Python object is touched without attaching first.
    Targets t;
    std::optional<SalvageError> error;
    Side side = Side::Input;
    RescueCounts counts;
    call.thread.detach();
    const auto open = [&](std::optional<FileTarget>& slot, std::optional<std::string_view> path, Side s) {
        if (!path || error) return;
        Result<FileTarget> f = FileTarget::open(*path, cancel);
        if (!f) {
            error = f.error();
            side = s;
            return;
        }
        slot.emplace(std::move(f.value()));
    };
    open(t.clean, out_path, Side::Clean);
    open(t.quarantine, q_path, Side::Quarantine);
    open(t.audit, a_path, Side::Audit);
    if (!error) {
        ByteSink& clean = t.clean ? static_cast<ByteSink&>(*t.clean) : py_writer;
        CsvSink csv(clean, o);
        RowSink& rows = batches ? *batches : static_cast<RowSink&>(csv);
        const RecordTargets records{t.quarantine ? &*t.quarantine : nullptr, t.audit ? &*t.audit : nullptr};
        FdRandomSource positioned(fd, cancel);
        // Each range's rows are kept until its turn.
        CsvRanges csv_ranges(clean, o);
        std::optional<BatchRanges> batch_ranges;
        if (batches) batch_ranges.emplace(*batches);
        RangeRows& ranges = batches ? static_cast<RangeRows&>(*batch_ranges) : csv_ranges;
        // Read on any thread: the hook that runs signal handlers is polled
        // on this one only, between ranges.
        FdRandomSource anywhere(fd, Cancel{});
        Result<RescueCounts> r =
            resume  ? rescue_range(positioned, bytes_view(resume), rows, records, o, report, &side)
            : split ? rescue_parallel(anywhere, expected_size, ranges, records, o, *split, report, &side)
                    : rescue(input, rows, records, o, report, &side);
        if (r) {
            counts = r.value();
        } else {
            error = r.error();
        }
    }
    // The clean file last: when it is there, so is the rest.
    const auto commit = [&](std::optional<FileTarget>& slot, Side s) {
        if (!slot || error) return;
        if (Status st = slot->commit(); !st) {
            error = st.error();
            side = s;
        }
    };
    commit(t.quarantine, Side::Quarantine);
    commit(t.audit, Side::Audit);
    commit(t.clean, Side::Clean);
    // An uncommitted target's temporary file goes.
    t.clean.reset();
    t.quarantine.reset();
    t.audit.reset();
    call.thread.attach();
    // However a stopped run noticed, it ends as the hand-over ends it: the
    // rows' reader has gone.
    if (error && call.stopped()) {
        error = SalvageError::from_errno(EPIPE);
        side = Side::Clean;
    }

    if (call.python_error || PyErr_Occurred()) return nullptr;
    if (error) {
        switch (side) {
            case Side::Input: return raise_engine_error(*error, source_name);
            case Side::Clean: return raise_engine_error(*error, out_path);
            case Side::Quarantine: return raise_engine_error(*error, q_path);
            case Side::Audit: return raise_engine_error(*error, a_path);
        }
    }
    return counts_dict(core_state(module), counts);
}

PyObject* salvage(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_call(module, args, nargs, kwnames, Mode::Salvage);
}

PyObject* plan_ranges(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_call(module, args, nargs, kwnames, Mode::Plan);
}

}  // namespace

PyMethodDef kCoreSalvageDef = {msg::kCoreSalvageName, as_method(salvage), METH_FASTCALL | METH_KEYWORDS,
                               kDoc.data()};
PyMethodDef kCorePlanRangesDef = {msg::kCorePlanRangesName, as_method(plan_ranges), METH_FASTCALL | METH_KEYWORDS,
                                  kPlanDoc.data()};

}  // namespace corvel::py
