// Every string the module shows to Python code: names, documentation and
// error messages. Formats use PyUnicode_FromFormat / PyErr_Format syntax.
#pragma once

namespace corvel::py::msg {

inline constexpr const char kModuleName[] = "_corvel_backend";
inline constexpr const char kModuleDefDoc[] = "The native _corvel_backend Python module.";
// The module's own __version__, fixed by its contract. The distribution's
// version is written in pyproject.toml alone and read from its metadata.
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

// The six options as every signature line shows them, closing parenthesis
// included; adjacent literals join it to what comes before.
#define CORVEL_OPTIONS_SIGNATURE                                                                     \
    "delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, "                \
    "expected_columns=None, repair_quotes=True)"

// salvage_file
inline constexpr const char kSalvageFileName[] = "salvage_file";
inline constexpr const char kSalvageFileCallName[] = "salvage_file()";
inline constexpr const char kSalvageFileDoc[] =
    "salvage_file(input_path, output_path, quarantine_path=None, " CORVEL_OPTIONS_SIGNATURE "\n"
    "--\n"
    "\n"
    "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, auto-sniffed.\n"
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.";

// SalvageSummary. The spec name carries the module so that the interpreter
// finds __module__; the type's own name is then set to the part after the dot.
inline constexpr const char kSummarySpecName[] = "_corvel_backend.SalvageSummary";
inline constexpr const char kSummaryDoc[] = "Python-exposed summary of a salvage operation.";
inline constexpr const char kToDictName[] = "to_dict";
inline constexpr const char kToDictDoc[] =
    "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary.";
inline constexpr const char kSummaryRepr[] =
    "<SalvageSummary total_rows=%llu salvaged_rows=%llu repaired_rows=%llu quarantined_rows=%llu "
    "delimiter='%U' inferred_columns=%llu>";
inline constexpr const char kTotalRows[] = "total_rows";
inline constexpr const char kSalvagedRows[] = "salvaged_rows";
inline constexpr const char kRepairedRows[] = "repaired_rows";
inline constexpr const char kQuarantinedRows[] = "quarantined_rows";
inline constexpr const char kDetectedDelimiter[] = "detected_delimiter";
inline constexpr const char kInferredColumns[] = "inferred_columns";

// SalvageReader and open
inline constexpr const char kReaderSpecName[] = "_corvel_backend.SalvageReader";
inline constexpr const char kReaderDoc[] =
    "SalvageReader(file_path, " CORVEL_OPTIONS_SIGNATURE "\n--\n\n"
    "In-memory streaming reader iterating over salvaged rows.";
inline constexpr const char kReaderNewCallName[] = "SalvageReader.__new__()";
inline constexpr const char kOpenName[] = "open";
inline constexpr const char kOpenCallName[] = "open()";
inline constexpr const char kOpenDoc[] =
    "open(file_path, " CORVEL_OPTIONS_SIGNATURE "\n--\n\n"
    "Convenience function to open and stream a salvaged CSV file.";
inline constexpr const char kEnterName[] = "__enter__";
inline constexpr const char kEnterDoc[] = "__enter__($self)\n--\n\n";
inline constexpr const char kExitName[] = "__exit__";
inline constexpr const char kExitCallName[] = "SalvageReader.__exit__()";
inline constexpr const char kExitDoc[] =
    "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n";
inline constexpr const char kSummaryAttr[] = "summary";

// Conflicting use of one object from two threads.
inline constexpr const char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";

// salvage_file refuses a quarantine file that would overwrite another.
inline constexpr const char kQuarantineIsInput[] = "quarantine_path names the same file as input_path";
inline constexpr const char kQuarantineIsOutput[] = "quarantine_path names the same file as output_path";

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
