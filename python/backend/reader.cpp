// SalvageReader and open(): a file salvaged into memory, handed out row by row.
#include "../common/binder.hpp"
#include "../common/borrow.hpp"
#include "../common/classes.hpp"
#include "../common/ref.hpp"
#include "backend.hpp"
#include "exceptions.hpp"
#include "messages.hpp"
#include "signatures.hpp"

#include "file_io.hpp"

#include <array>
#include <cstring>
#include <new>

namespace corvel::py {
namespace {

struct PySalvageReader {
    PyObject_HEAD
    BorrowState borrow;
    RowTable rows;          // never changes after construction
    SalvageStats stats;
    std::uint64_t position;  // the next row to hand out; only grows
};

PySalvageReader* as_reader(PyObject* o) { return reinterpret_cast<PySalvageReader*>(o); }

constexpr Signature kNewSignature{msg::kReaderNewCallName, kReaderParams};
constexpr Signature kOpenSignature{msg::kOpenCallName, kReaderParams};
constexpr std::size_t kFilePath = param_index(kReaderParams, "file_path");
using ReaderValues = std::array<Value, kReaderParams.size()>;

// Reads and salvages the file, then wraps the accepted rows.
PyObject* make_reader(PyTypeObject* type, const ReaderValues& v) {
    Result<SalvageOutcome> outcome = [&]() -> Result<SalvageOutcome> {
        Result<FileBytes> bytes = read_file(v[kFilePath].text);
        if (!bytes) return bytes.error();
        // The bytes are given back as they are parsed; the rejected rows go
        // with the outcome.
        return salvage_owned(std::move(bytes).value(),
                             to_options(v));
    }();
    if (!outcome) return raise_as_errno_class(outcome.error());

    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    PySalvageReader* r = as_reader(self);
    new (&r->borrow) BorrowState();
    new (&r->rows) RowTable(std::move(outcome.value().rows));
    r->stats = outcome.value().stats;
    r->position = 0;
    return self;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    ReaderValues v;
    if (!parse_args(kNewSignature, args, kwargs, v)) return nullptr;
    return make_reader(type, v);
}

PyObject* py_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ReaderValues v;
    if (!parse_args(kOpenSignature, args, nargs, kwnames, v)) return nullptr;
    PyObject* type = reader_type();
    if (!type) return nullptr;
    return make_reader(reinterpret_cast<PyTypeObject*>(type), v);
}

// A new str for valid UTF-8 `s`; ASCII is copied straight into place.
PyObject* new_str(std::string_view s, bool ascii) {
    const auto n = static_cast<Py_ssize_t>(s.size());
    if (!ascii) return PyUnicode_DecodeUTF8(s.data(), n, nullptr);
    PyObject* str = PyUnicode_New(n, 127);
    if (str && n) std::memcpy(PyUnicode_DATA(str), s.data(), s.size());
    return str;
}

PyObject* reader_next(PyObject* self) {
    PySalvageReader* r = as_reader(self);
    std::uint64_t row;
    {
        ExclusiveUse use(r->borrow);
        if (!use.ok()) return nullptr;
        if (r->position >= r->rows.size()) return nullptr;  // the end, without an exception
        row = r->position++;
    }
    // The rows never change, so the list is built after the use is given back.
    const std::uint64_t n = r->rows.width(row);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    // One test for the whole row spares one per field in the common case.
    const bool ascii_row = is_ascii(r->rows.row_text(row));
    for (std::uint64_t f = 0; f < n; ++f) {
        const std::string_view field = r->rows.field(row, f);
        PyObject* s = new_str(field, ascii_row || is_ascii(field));
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(f), s);
    }
    return list.release();
}

Py_ssize_t reader_len(PyObject* self) {
    SharedUse use(as_reader(self)->borrow);
    if (!use.ok()) return -1;
    return static_cast<Py_ssize_t>(as_reader(self)->rows.size());
}

PyObject* reader_self(PyObject* self) {
    SharedUse use(as_reader(self)->borrow);
    if (!use.ok()) return nullptr;
    return Py_NewRef(self);
}

PyObject* reader_enter(PyObject* self, PyObject*) { return reader_self(self); }

constexpr Signature kExitSignature{msg::kExitCallName, kExitParams};

PyObject* reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<Value, std::size(kExitParams)> v;
    if (!parse_args(kExitSignature, args, nargs, kwnames, v)) return nullptr;
    SharedUse use(as_reader(self)->borrow);
    if (!use.ok()) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* reader_summary(PyObject* self, void*) {
    SharedUse use(as_reader(self)->borrow);
    if (!use.ok()) return nullptr;
    return new_summary(as_reader(self)->stats);
}

void reader_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    as_reader(self)->rows.~RowTable();
    as_reader(self)->borrow.~BorrowState();
    free_instance(self);
}

PyMethodDef kReaderMethods[] = {
    {msg::kEnterName, reader_enter, METH_NOARGS, kEnterDoc.data()},
    {msg::kExitName, as_method(reader_exit), METH_FASTCALL | METH_KEYWORDS, kExitDoc.data()},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kReaderGetSet[] = {
    {msg::kSummaryAttr, reader_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>(kReaderDoc.data())},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_mp_length, reinterpret_cast<void*>(reader_len)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_getset, kReaderGetSet},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_type)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_nothing)},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {
    msg::kReaderSpecName,
    sizeof(PySalvageReader),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kReaderSlots,
};

PyObject* g_reader_type = nullptr;

}  // namespace

PyObject* reader_type() { return cached_type(g_reader_type, kReaderSpec); }

PyMethodDef kOpenDef = {msg::kOpenName, as_method(py_open), METH_FASTCALL | METH_KEYWORDS, kOpenDoc.data()};

}  // namespace corvel::py
