// Every string the shared helpers show to Python code: the binder's
// TypeErrors and notes, and the borrow state's RuntimeErrors. Formats use
// PyUnicode_FromFormat / PyErr_Format syntax; the function name comes first
// in each, written "f()" or "Type.method()".
#pragma once

namespace corvel::py::msg {

// Conflicting use of one object from two threads.
inline constexpr const char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";

// Argument binding.
inline constexpr const char kTooManyPositional[] = "%s takes %zd positional arguments but %zd were given";
inline constexpr const char kTooManyPositionalOne[] = "%s takes %zd positional arguments but 1 was given";
inline constexpr const char kTooManyPositionalRange[] =
    "%s takes from %zd to %zd positional arguments but %zd were given";
inline constexpr const char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%U'";
inline constexpr const char kMultipleValues[] = "%s got multiple values for argument '%s'";
inline constexpr const char kMissingOne[] = "%s missing 1 required positional argument: %U";
inline constexpr const char kMissingMany[] = "%s missing %zd required positional arguments: %U";
// The names a missing-arguments message lists: "'a'", "'a' and 'b'",
// "'a', 'b', and 'c'".
inline constexpr const char kQuotedName[] = "'%s'";
inline constexpr const char kJoinTwo[] = "%U and %U";
inline constexpr const char kJoinNext[] = "%U, %U";
inline constexpr const char kJoinLast[] = "%U, and %U";

// Argument conversion.
inline constexpr const char kNotInstance[] = "'%s' object is not an instance of '%s'";
inline constexpr const char kNoneNotInstance[] = "'None' is not an instance of '%s'";
inline constexpr const char kNoBoolConversion[] = "object of type '%R' does not define a '__bool__' conversion";
inline constexpr const char kWhileProcessing[] = "while processing '%s'";
inline constexpr const char kStrType[] = "str";
inline constexpr const char kBoolType[] = "bool";
inline constexpr const char kNumpyModule[] = "numpy";
inline constexpr const char kNumpyBoolNames[2][6] = {"bool_", "bool"};
inline constexpr const char kAddNote[] = "add_note";

}  // namespace corvel::py::msg
