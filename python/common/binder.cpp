#include "binder.hpp"

#include "messages.hpp"
#include "ref.hpp"

#include <vector>

namespace corvel::py {
namespace {

// Enough for every signature of the module; larger tables fall back to the heap.
constexpr std::size_t kInlineParams = 16;

bool is_optional(const Param& p) { return p.default_value != Default::Required; }

void raise_too_many(const Signature& sig, Py_ssize_t given) {
    const auto total = static_cast<Py_ssize_t>(sig.params.size());
    Py_ssize_t required = 0;
    for (const Param& p : sig.params) required += is_optional(p) ? 0 : 1;
    // More given than taken: one given means none taken, so no range.
    if (required != total) {
        PyErr_Format(PyExc_TypeError, msg::kTooManyPositionalRange, sig.call_name, required, total, given);
    } else if (given == 1) {
        PyErr_Format(PyExc_TypeError, msg::kTooManyPositionalOne, sig.call_name, total);
    } else {
        PyErr_Format(PyExc_TypeError, msg::kTooManyPositional, sig.call_name, total, given);
    }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
Ref join_names(const std::vector<const char*>& names) {
    std::vector<Ref> quoted;
    quoted.reserve(names.size());
    for (const char* n : names) {
        Ref q = Ref::steal(PyUnicode_FromFormat(msg::kQuotedName, n));
        if (!q) return {};
        quoted.push_back(std::move(q));
    }
    if (quoted.size() == 1) return std::move(quoted[0]);
    if (quoted.size() == 2) {
        return Ref::steal(PyUnicode_FromFormat(msg::kJoinTwo, quoted[0].get(), quoted[1].get()));
    }
    Ref acc = Ref::borrow(quoted[0].get());
    for (std::size_t i = 1; i < quoted.size(); ++i) {
        const char* format = i + 1 == quoted.size() ? msg::kJoinLast : msg::kJoinNext;
        acc = Ref::steal(PyUnicode_FromFormat(format, acc.get(), quoted[i].get()));
        if (!acc) return {};
    }
    return acc;
}

void raise_missing(const Signature& sig, std::span<PyObject* const> bound) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (!bound[i] && !is_optional(sig.params[i])) missing.push_back(sig.params[i].name);
    }
    Ref names = join_names(missing);
    if (!names) return;
    if (missing.size() == 1) {
        PyErr_Format(PyExc_TypeError, msg::kMissingOne, sig.call_name, names.get());
    } else {
        PyErr_Format(PyExc_TypeError, msg::kMissingMany, sig.call_name, static_cast<Py_ssize_t>(missing.size()),
                     names.get());
    }
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_EqualToUTF8(key, sig.params[i].name)) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> bound) {
    Py_ssize_t i = find_param(sig, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, sig.call_name, key);
        return false;
    }
    if (bound[static_cast<std::size_t>(i)]) {
        PyErr_Format(PyExc_TypeError, msg::kMultipleValues, sig.call_name,
                     sig.params[static_cast<std::size_t>(i)].name);
        return false;
    }
    bound[static_cast<std::size_t>(i)] = value;
    return true;
}

// Adds "while processing '<name>'" to the exception being raised. When the
// note itself cannot be added, the original exception goes on without it.
void add_note(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref note = Ref::steal(PyUnicode_FromFormat(msg::kWhileProcessing, name));
    if (note) {
        Ref method = Ref::steal(PyUnicode_FromString(msg::kAddNote));
        Ref r = method ? Ref::steal(PyObject_CallMethodOneArg(exc, method.get(), note.get())) : Ref();
        if (!r) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

// "'<qualified type name>' object is not an instance of '<expected>'".
bool raise_not_instance(PyObject* o, const char* expected) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
    if (!qualname) return false;
    const char* q = PyUnicode_AsUTF8(qualname.get());
    if (!q) return false;
    PyErr_Format(PyExc_TypeError, msg::kNotInstance, q, expected);
    return false;
}

bool convert_text(PyObject* o, Value& out) {
    if (o == Py_None) {
        // The text kinds name None itself; the flag kind names its type.
        PyErr_Format(PyExc_TypeError, msg::kNoneNotInstance, msg::kStrType);
        return false;
    }
    if (!PyUnicode_Check(o)) return raise_not_instance(o, msg::kStrType);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (!data) return false;
    out.present = true;
    out.text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// A NumPy boolean scalar, recognised by name so that NumPy need not be imported.
bool is_numpy_bool(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), msg::kNumpyModule)) {
        return false;
    }
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    for (const char* candidate : msg::kNumpyBoolNames) {
        if (PyUnicode_EqualToUTF8(name.get(), candidate)) return true;
    }
    return false;
}

bool convert_flag(PyObject* o, Value& out) {
    out.present = true;
    if (o == Py_True || o == Py_False) {
        out.flag = o == Py_True;
        return true;
    }
    if (!is_numpy_bool(o)) return raise_not_instance(o, msg::kBoolType);
    if (!PyType_GetSlot(Py_TYPE(o), Py_nb_bool)) {
        PyErr_Format(PyExc_TypeError, msg::kNoBoolConversion, reinterpret_cast<PyObject*>(Py_TYPE(o)));
        return false;
    }
    int truth = PyObject_IsTrue(o);
    if (truth < 0) return false;
    out.flag = truth == 1;
    return true;
}

bool convert_count(PyObject* o, Value& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));
    out.present = true;
    out.count = v;
    return true;
}

void apply_default(const Param& p, Value& out) {
    switch (p.default_value) {
        case Default::Required:
        case Default::None: out.present = false; break;
        case Default::True:
            out.present = true;
            out.flag = true;
            break;
        case Default::DoubleQuote:
            out.present = true;
            out.text = kDoubleQuote;
            break;
    }
}

bool convert(const Param& p, PyObject* o, Value& out) {
    out = Value{};
    if (!o) {
        apply_default(p, out);
        return true;
    }
    switch (p.kind) {
        case Kind::Text: return convert_text(o, out);
        case Kind::OptionalText: return o == Py_None ? true : convert_text(o, out);
        case Kind::Flag: return convert_flag(o, out);
        case Kind::OptionalCount: return o == Py_None ? true : convert_count(o, out);
        case Kind::Object:
            out.present = true;
            out.object = o;
            return true;
    }
    return true;
}

bool finish(const Signature& sig, std::span<PyObject*> bound, std::span<Value> out) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (!bound[i] && !is_optional(sig.params[i])) {
            raise_missing(sig, bound);
            return false;
        }
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (!convert(sig.params[i], bound[i], out[i])) {
            add_note(sig.params[i].name);
            return false;
        }
    }
    return true;
}

// Small fixed storage for the bound objects, heap only for unusual tables.
class BoundSlots {
public:
    explicit BoundSlots(std::size_t n) : n_(n) {
        if (n > kInlineParams) heap_.assign(n, nullptr);
    }
    std::span<PyObject*> span() { return {n_ > kInlineParams ? heap_.data() : inline_, n_}; }

private:
    std::size_t n_;
    PyObject* inline_[kInlineParams] = {};
    std::vector<PyObject*> heap_;
};

// Binds `nargs` positional arguments through `positional(i)`, then lets
// `keywords(bind)` offer each keyword pair, then converts.
template <class Positional, class Keywords>
bool bind_and_convert(const Signature& sig, Py_ssize_t nargs, Positional positional, Keywords keywords,
                      std::span<Value> out) {
    if (nargs > static_cast<Py_ssize_t>(sig.params.size())) {
        raise_too_many(sig, nargs);
        return false;
    }
    BoundSlots slots(sig.params.size());
    std::span<PyObject*> bound = slots.span();
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = positional(i);
    const auto bind = [&](PyObject* key, PyObject* value) { return bind_keyword(sig, key, value, bound); };
    if (!keywords(bind)) return false;
    return finish(sig, bound, out);
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<Value> out) {
    return bind_and_convert(
        sig, nargs, [&](Py_ssize_t i) { return args[i]; },
        [&](auto bind) {
            const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                if (!bind(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
            }
            return true;
        },
        out);
}

bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<Value> out) {
    return bind_and_convert(
        sig, PyTuple_GET_SIZE(args), [&](Py_ssize_t i) { return PyTuple_GET_ITEM(args, i); },
        [&](auto bind) {
            if (!kwargs) return true;
            // The dict is the caller's and could change under another thread; a
            // critical section keeps iteration safe on free-threaded builds.
            bool ok = true;
            Py_BEGIN_CRITICAL_SECTION(kwargs);
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (ok && PyDict_Next(kwargs, &pos, &key, &value)) ok = bind(key, value);
            Py_END_CRITICAL_SECTION();
            return ok;
        },
        out);
}

}  // namespace corvel::py
