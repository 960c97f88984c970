// SalvageSummary and salvage_file().
#include "args.hpp"
#include "borrow.hpp"
#include "classes.hpp"
#include "exceptions.hpp"
#include "messages.hpp"
#include "options.hpp"
#include "ref.hpp"

#include <array>
#include <new>
#include <optional>

namespace corvel::py {

namespace {

struct PySalvageSummary {
    PyObject_HEAD
    BorrowState borrow;
    SalvageStats stats;
};

PySalvageSummary* as_summary(PyObject* o) { return reinterpret_cast<PySalvageSummary*>(o); }

PyObject* delimiter_str(const SalvageStats& s) { return PyUnicode_FromOrdinal(s.detected_delimiter); }

// Attribute i of the six, in their order, as a new object.
PyObject* attribute(const SalvageStats& s, std::size_t i) {
    switch (i) {
        case 0: return PyLong_FromUnsignedLongLong(s.total_rows);
        case 1: return PyLong_FromUnsignedLongLong(s.salvaged_rows);
        case 2: return PyLong_FromUnsignedLongLong(s.repaired_rows);
        case 3: return PyLong_FromUnsignedLongLong(s.quarantined_rows);
        case 4: return delimiter_str(s);
        default: return PyLong_FromUnsignedLongLong(s.inferred_columns);
    }
}

constexpr const char* kAttributeNames[] = {msg::kTotalRows,       msg::kSalvagedRows,
                                           msg::kRepairedRows,    msg::kQuarantinedRows,
                                           msg::kDetectedDelimiter, msg::kInferredColumns};

PyObject* get_attribute(PyObject* self, void* closure) {
    SharedUse use(as_summary(self)->borrow);
    if (!use.ok()) return nullptr;
    return attribute(as_summary(self)->stats, reinterpret_cast<std::size_t>(closure));
}

PyObject* to_dict(PyObject* self, PyObject*) {
    SharedUse use(as_summary(self)->borrow);
    if (!use.ok()) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < std::size(kAttributeNames); ++i) {
        Ref value = Ref::steal(attribute(as_summary(self)->stats, i));
        if (!value || PyDict_SetItemString(dict.get(), kAttributeNames[i], value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* summary_repr(PyObject* self) {
    SharedUse use(as_summary(self)->borrow);
    if (!use.ok()) return nullptr;
    const SalvageStats& s = as_summary(self)->stats;
    Ref delimiter = Ref::steal(delimiter_str(s));
    if (!delimiter) return nullptr;
    return PyUnicode_FromFormat(msg::kSummaryRepr, static_cast<unsigned long long>(s.total_rows),
                                static_cast<unsigned long long>(s.salvaged_rows),
                                static_cast<unsigned long long>(s.repaired_rows),
                                static_cast<unsigned long long>(s.quarantined_rows), delimiter.get(),
                                static_cast<unsigned long long>(s.inferred_columns));
}

void summary_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    as_summary(self)->borrow.~BorrowState();
    free_instance(self);
}

PyMethodDef kSummaryMethods[] = {
    {msg::kToDictName, to_dict, METH_NOARGS, msg::kToDictDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSummaryGetSet[] = {
    {msg::kTotalRows, get_attribute, nullptr, nullptr, reinterpret_cast<void*>(0)},
    {msg::kSalvagedRows, get_attribute, nullptr, nullptr, reinterpret_cast<void*>(1)},
    {msg::kRepairedRows, get_attribute, nullptr, nullptr, reinterpret_cast<void*>(2)},
    {msg::kQuarantinedRows, get_attribute, nullptr, nullptr, reinterpret_cast<void*>(3)},
    {msg::kDetectedDelimiter, get_attribute, nullptr, nullptr, reinterpret_cast<void*>(4)},
    {msg::kInferredColumns, get_attribute, nullptr, nullptr, reinterpret_cast<void*>(5)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSummarySlots[] = {
    {Py_tp_doc, const_cast<char*>(msg::kSummaryDoc)},
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_methods, kSummaryMethods},
    {Py_tp_getset, kSummaryGetSet},
    {Py_tp_dealloc, reinterpret_cast<void*>(summary_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_type)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_nothing)},
    {0, nullptr},
};

PyType_Spec kSummarySpec = {
    msg::kSummarySpecName,
    sizeof(PySalvageSummary),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSummarySlots,
};

PyObject* g_summary_type = nullptr;

// ---- salvage_file

constexpr Param kPathParams[] = {
    {"input_path", Kind::Text, Default::Required},
    {"output_path", Kind::Text, Default::Required},
    {"quarantine_path", Kind::OptionalText, Default::None},
};
constexpr auto kSalvageFileParams = with_options(kPathParams);
constexpr Signature kSalvageFileSignature{msg::kSalvageFileCallName, kSalvageFileParams};

PyObject* salvage_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<Value, kSalvageFileParams.size()> v;
    if (!parse_args(kSalvageFileSignature, args, nargs, kwnames, v)) return nullptr;
    const SalvageOptions options = to_options(std::span(v).subspan<std::size(kPathParams), kOptionCount>());
    const std::optional<std::string_view> quarantine =
        v[2].present ? std::optional(v[2].text) : std::nullopt;
    Result<SalvageStats> stats = corvel::salvage_file(v[0].text, v[1].text, quarantine, options, kSignals);
    if (!stats) return raise(stats.error());
    return new_summary(stats.value());
}

}  // namespace

PyObject* summary_type() { return cached_type(g_summary_type, kSummarySpec); }

PyObject* new_summary(const SalvageStats& stats) {
    PyObject* type = summary_type();
    if (!type) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    new (&as_summary(self)->borrow) BorrowState();
    as_summary(self)->stats = stats;
    return self;
}

PyMethodDef kSalvageFileDef = {
    msg::kSalvageFileName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(salvage_file)),
    METH_FASTCALL | METH_KEYWORDS, msg::kSalvageFileDoc};

}  // namespace corvel::py
