// Parameter tables: each function's parameters described once, as rows of
// name, kind, default and help line. The binder reads them (binder.hpp), and
// everything a reader of the API sees of a parameter list is derived from
// them: the signature line of a docstring, its "Args:" section, and the
// parameter lists of the type stub. Free of Python.h, so that the stub's
// generator can include it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

struct _object;  // PyObject, as Python.h declares it

namespace corvel::py {

enum class Kind : std::uint8_t {
    Text,           // str, as its UTF-8 form
    OptionalText,   // None or str
    Flag,           // True or False (or a NumPy boolean scalar)
    OptionalCount,  // None or an integer index in [0, 2**64)
    Object,         // anything, left as is
};

enum class Default : std::uint8_t {
    Required,
    None,
    True,
    DoubleQuote,  // the text kDoubleQuote
};

inline constexpr std::string_view kDoubleQuote = "\"";

struct Param {
    const char* name;
    Kind kind;
    Default default_value;
    // Views rather than pointers: sanitizer builds can't test those for null
    // during constant evaluation.
    std::string_view help = {};        // its line under "Args:", when the docstring has one
    std::string_view annotation = {};  // its type in the stub, when the kind's own is too wide
};

struct Signature {
    const char* call_name;  // "f()" or "Type.method()", as messages show it
    std::span<const Param> params;
};

// One converted argument. Only the member that the parameter's kind fills is
// meaningful; `present` is false for an optional kind left at None.
struct Value {
    bool present = false;
    std::string_view text;  // borrowed from the argument's str object
    bool flag = false;
    std::uint64_t count = 0;
    _object* object = nullptr;  // borrowed
};

// The position of the parameter called `name`; a name not in the table fails
// to compile.
consteval std::size_t param_index(std::span<const Param> params, std::string_view name) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (std::string_view(params[i].name) == name) return i;
    }
    throw "param_index: unknown name";
}

// ---- What is derived from a table. Plain functions, usable both at compile
// time (docstrings, through frozen()) and at run time (the stub generator).

// Appends a character at a time. In sanitizer builds GCC can't compare the
// address of an inline array with null during constant evaluation, which
// std::string's own appends of a pointer do.
constexpr void put(std::string& s, std::string_view text) {
    for (const char c : text) s.push_back(c);
}

constexpr std::string joined(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (const std::string_view part : parts) put(s, part);
    return s;
}

// How a default reads in a signature, Python syntax: `=None`, `="\""`.
constexpr std::string_view default_text(Default d) {
    switch (d) {
        case Default::Required: return "";
        case Default::None: return "None";
        case Default::True: return "True";
        case Default::DoubleQuote: return "\"\\\"\"";
    }
    return "";
}

// "name(a, b=None)\n--\n\n": the line CPython turns into __text_signature__.
// `self` is "$self" for methods, empty otherwise.
constexpr std::string signature_line(std::string_view name, std::string_view self, std::span<const Param> params) {
    std::string s;
    put(s, name);
    s += '(';
    put(s, self);
    bool first = self.empty();
    for (const Param& p : params) {
        if (!first) put(s, ", ");
        first = false;
        put(s, p.name);
        if (p.default_value != Default::Required) {
            s += '=';
            put(s, default_text(p.default_value));
        }
    }
    put(s, ")\n--\n\n");
    return s;
}

// "Args:" and one indented line per parameter with help.
constexpr std::string args_section(std::span<const Param> params) {
    std::string s = "Args:";
    for (const Param& p : params) {
        if (p.help.empty()) continue;
        put(s, "\n    ");
        put(s, p.name);
        put(s, ": ");
        put(s, p.help);
    }
    return s;
}

// A function's whole docstring: its signature line, `doc`, and the "Args:"
// section of its parameters.
constexpr std::string documented(std::string_view name, std::string_view doc, std::span<const Param> params) {
    return joined({signature_line(name, "", params), doc, "\n\n", args_section(params)});
}

// The stub's type for a parameter.
constexpr std::string_view annotation(const Param& p) {
    if (!p.annotation.empty()) return p.annotation;
    switch (p.kind) {
        case Kind::Text: return "str";
        case Kind::OptionalText: return "str | None";
        case Kind::Flag: return "bool";
        case Kind::OptionalCount: return "int | None";
        case Kind::Object: return "object";
    }
    return "object";
}

// The stub's parameter list: one "name: type = default," line each, indented.
constexpr std::string stub_params(std::span<const Param> params, std::string_view indent) {
    std::string s;
    for (const Param& p : params) {
        put(s, indent);
        put(s, p.name);
        put(s, ": ");
        put(s, annotation(p));
        if (p.default_value != Default::Required) {
            put(s, " = ");
            put(s, default_text(p.default_value));
        }
        put(s, ",\n");
    }
    return s;
}

// A string built at compile time by `Build`, kept as a NUL-terminated array
// with static storage: docstrings for PyMethodDef and type slots.
template <auto Build>
consteval auto frozen() {
    constexpr std::size_t n = Build().size();
    std::array<char, n + 1> out{};
    const std::string s = Build();
    std::copy(s.begin(), s.end(), out.begin());
    return out;
}

}  // namespace corvel::py
