// A test-only module that exposes the argument binder through signatures the
// real module does not have yet, so every message and kind can be checked.
#include <Python.h>

#include "binder.hpp"
#include "ref.hpp"

#include <array>
#include <iterator>

namespace corvel::py {
namespace {

constexpr Param kKindsParams[] = {
    {"text", Kind::Text, Default::Required},
    {"opt_text", Kind::OptionalText, Default::None},
    {"flag", Kind::Flag, Default::True},
    {"count", Kind::OptionalCount, Default::None},
    {"obj", Kind::Object, Default::None},
    {"quote", Kind::Text, Default::DoubleQuote},
};
constexpr Signature kKinds{"kinds()", kKindsParams};

PyObject* text_or_none(const Value& v) {
    if (!v.present) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(v.text.data(), static_cast<Py_ssize_t>(v.text.size()), "strict");
}

PyObject* kinds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<Value, std::size(kKindsParams)> v;
    if (!parse_args(kKinds, args, nargs, kwnames, v)) return nullptr;
    Ref text = Ref::steal(text_or_none(v[0]));
    Ref opt = Ref::steal(text_or_none(v[1]));
    Ref count = Ref::steal(v[3].present ? PyLong_FromUnsignedLongLong(v[3].count) : Py_NewRef(Py_None));
    Ref quote = Ref::steal(text_or_none(v[5]));
    if (!text || !opt || !count || !quote) return nullptr;
    return Py_BuildValue("(OOOOOO)", text.get(), opt.get(), v[2].flag ? Py_True : Py_False, count.get(),
                         v[4].present ? v[4].object : Py_None, quote.get());
}

constexpr Param kThreeParams[] = {
    {"first", Kind::Object, Default::Required},
    {"second", Kind::Object, Default::Required},
    {"third", Kind::Object, Default::Required},
};
constexpr Signature kThree{"Probe.three()", kThreeParams};

PyObject* three(PyObject*, PyObject* args, PyObject* kwargs) {
    std::array<Value, std::size(kThreeParams)> v;
    if (!parse_args(kThree, args, kwargs, v)) return nullptr;
    return Py_BuildValue("(OOO)", v[0].object, v[1].object, v[2].object);
}

constexpr Signature kNone{"none()", {}};

PyObject* none(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(kNone, args, nargs, kwnames, {})) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"none", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(none)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"kinds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kinds)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"three", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(three)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kDef = {PyModuleDef_HEAD_INIT, "_corvel_probe", nullptr, 0, kMethods, kSlots,
                    nullptr, nullptr, nullptr};

}  // namespace
}  // namespace corvel::py

extern "C" PyMODINIT_FUNC PyInit__corvel_probe(void) { return PyModuleDef_Init(&corvel::py::kDef); }
