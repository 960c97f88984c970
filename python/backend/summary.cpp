// SalvageSummary: the counts of one salvage, read-only.
#include "../common/borrow.hpp"
#include "../common/classes.hpp"
#include "../common/ref.hpp"
#include "backend.hpp"
#include "messages.hpp"
#include "signatures.hpp"

#include <array>
#include <new>

namespace corvel::py {
namespace {

struct PySalvageSummary {
    PyObject_HEAD
    BorrowState borrow;
    SalvageStats stats;
};

PySalvageSummary* as_summary(PyObject* o) { return reinterpret_cast<PySalvageSummary*>(o); }

PyObject* delimiter_str(const SalvageStats& s) { return PyUnicode_FromOrdinal(s.detected_delimiter); }

// One attribute's value, as a new object.
PyObject* value(const SummaryField& f, const SalvageStats& s) {
    if (!f.count) return delimiter_str(s);
    return PyLong_FromUnsignedLongLong(s.*f.count);
}

// The getter of every attribute; its closure is the attribute's row.
PyObject* get_attribute(PyObject* self, void* closure) {
    SharedUse use(as_summary(self)->borrow);
    if (!use.ok()) return nullptr;
    return value(*static_cast<const SummaryField*>(closure), as_summary(self)->stats);
}

PyObject* to_dict(PyObject* self, PyObject*) {
    SharedUse use(as_summary(self)->borrow);
    if (!use.ok()) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const SummaryField& f : kSummaryFields) {
        Ref v = Ref::steal(value(f, as_summary(self)->stats));
        if (!v || PyDict_SetItemString(dict.get(), f.name, v.get()) < 0) return nullptr;
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
    {msg::kToDictName, to_dict, METH_NOARGS, kToDictDoc.data()},
    {nullptr, nullptr, 0, nullptr},
};

constinit auto kSummaryGetSet = [] {
    std::array<PyGetSetDef, std::size(kSummaryFields) + 1> defs{};
    for (std::size_t i = 0; i < std::size(kSummaryFields); ++i) {
        defs[i] = {kSummaryFields[i].name, get_attribute, nullptr, nullptr,
                   const_cast<SummaryField*>(&kSummaryFields[i])};
    }
    return defs;
}();

PyType_Slot kSummarySlots[] = {
    {Py_tp_doc, const_cast<char*>(msg::kSummaryDoc)},
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_methods, kSummaryMethods},
    {Py_tp_getset, kSummaryGetSet.data()},
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

}  // namespace corvel::py
