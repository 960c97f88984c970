// detect(): the engine's detection of a sample's dialect and table shape,
// with the GIL released while it works.
#include "../common/binder.hpp"
#include "../common/classes.hpp"
#include "../common/ref.hpp"
#include "core.hpp"

#include "detect.hpp"

#include <array>
#include <string_view>

namespace corvel::py {
namespace {

inline constexpr Param kParams[] = {
    {"sample", Kind::Object, Default::Required, msg::kSampleHelp, "bytes"},
    {"complete", Kind::Flag, Default::Required, msg::kCompleteHelp},
};
template <std::size_t N>
consteval std::size_t at(const char (&name)[N]) {
    return param_index(kParams, name);
}
constexpr Signature kSignature{msg::kCoreDetectCallName, kParams};
inline constexpr auto kDoc = frozen<[] { return documented(msg::kCoreDetectName, msg::kCoreDetectDoc, kParams); }>();

// A one-character str, or None.
PyObject* char_or_none(std::optional<std::uint8_t> c) {
    if (!c) return Py_NewRef(Py_None);
    const char s[] = {static_cast<char>(*c)};
    return PyUnicode_FromStringAndSize(s, 1);
}

PyObject* detection_dict(const Detection& d) {
    Ref types = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(d.column_types.size())));
    if (!types) return nullptr;
    for (std::size_t j = 0; j < d.column_types.size(); ++j) {
        PyObject* name = PyUnicode_FromString(msg::kCellTypeNames[static_cast<std::size_t>(d.column_types[j])]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(types.get(), static_cast<Py_ssize_t>(j), name);
    }
    const Ref values[] = {
        Ref::steal(char_or_none(d.dialect.delimiter)),
        Ref::steal(char_or_none(d.dialect.quote)),
        Ref::steal(char_or_none(d.dialect.escape)),
        Ref::borrow(d.dialect.skip_initial_space ? Py_True : Py_False),
        Ref::steal(PyLong_FromSize_t(d.width)),
        Ref::steal(PyLong_FromSize_t(d.preamble_rows)),
        Ref::steal(PyLong_FromSize_t(d.header_rows)),
        Ref::steal(PyLong_FromSize_t(d.footer_rows)),
        Ref::steal(PyLong_FromSize_t(d.table_rows)),
        Ref::steal(PyLong_FromSize_t(d.tables)),
        Ref::steal(PyFloat_FromDouble(d.confidence)),
        std::move(types),
    };
    static_assert(std::size(values) == std::size(msg::kDetectionKeys));
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < std::size(values); ++i) {
        if (!values[i] || PyDict_SetItemString(dict.get(), msg::kDetectionKeys[i], values[i].get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* detect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<Value, std::size(kParams)> v;
    if (!parse_args(kSignature, args, nargs, kwnames, v)) return nullptr;
    PyObject* sample = v[at("sample")].object;
    if (!PyBytes_Check(sample)) return PyErr_Format(PyExc_TypeError, msg::kBadSample, Py_TYPE(sample)->tp_name);
    const std::string_view text(PyBytes_AS_STRING(sample), static_cast<std::size_t>(PyBytes_GET_SIZE(sample)));
    const bool complete = v[at("complete")].flag;

    // bytes are immutable: the view stays valid while other threads run.
    PyThreadState* ts = PyEval_SaveThread();
    Result<Detection> r = corvel::detect(text, complete);
    PyEval_RestoreThread(ts);
    if (!r) return PyErr_NoMemory();
    return detection_dict(r.value());
}

}  // namespace

PyMethodDef kCoreDetectDef = {msg::kCoreDetectName, as_method(detect), METH_FASTCALL | METH_KEYWORDS, kDoc.data()};

}  // namespace corvel::py
