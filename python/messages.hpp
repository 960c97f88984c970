// Every string the module shows to Python code: names, documentation and
// error messages. Formats use PyUnicode_FromFormat / PyErr_Format syntax.
#pragma once

namespace corvel::py::msg {

inline constexpr const char kModuleName[] = "_corvel_backend";
inline constexpr const char kModuleDefDoc[] = "The native _corvel_backend Python module.";
inline constexpr const char kVersion[] = "0.2.0";
inline constexpr const char kModuleDoc[] =
    "High-performance, fault-tolerant corvel and reconstruction engine.\n\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";
inline constexpr const char* kAll[] = {"salvage_file", "sniff", "open", "SalvageSummary",
                                       "SalvageReader"};

// sniff
inline constexpr const char kSniffName[] = "sniff";
inline constexpr const char kSniffCallName[] = "sniff()";
inline constexpr const char kSniffDoc[] =
    "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample.";

// Argument binding. The function name comes first in each, written "f()" or
// "Type.method()".
inline constexpr const char kTooManyPositional[] =
    "%s takes %zd positional arguments but %zd %s given";
inline constexpr const char kTooManyPositionalRange[] =
    "%s takes from %zd to %zd positional arguments but %zd %s given";
inline constexpr const char kWas[] = "was";
inline constexpr const char kWere[] = "were";
inline constexpr const char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%U'";
inline constexpr const char kMultipleValues[] = "%s got multiple values for argument '%s'";
inline constexpr const char kMissing[] = "%s missing %zd required %s %s: %U";
inline constexpr const char kPositional[] = "positional";
inline constexpr const char kArgument[] = "argument";
inline constexpr const char kArguments[] = "arguments";
inline constexpr const char kQuotedName[] = "'%s'";
inline constexpr const char kJoinTwo[] = "%U and %U";
inline constexpr const char kJoinComma[] = ", ";
inline constexpr const char kJoinLast[] = ", and ";

// Argument conversion.
inline constexpr const char kNotInstance[] = "'%s' object is not an instance of '%s'";
inline constexpr const char kNoneNotInstance[] = "'None' is not an instance of '%s'";
inline constexpr const char kNoBoolConversion[] =
    "object of type '%R' does not define a '__bool__' conversion";
inline constexpr const char kWhileProcessing[] = "while processing '%s'";
inline constexpr const char kStrType[] = "str";
inline constexpr const char kBoolType[] = "bool";
inline constexpr const char kNumpyModule[] = "numpy";
inline constexpr const char kNumpyBoolNames[2][6] = {"bool_", "bool"};
inline constexpr const char kAddNote[] = "add_note";

}  // namespace corvel::py::msg
