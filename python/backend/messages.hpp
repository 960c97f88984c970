// Every string _corvel_backend shows to Python code: names, documentation and
// error messages. Formats use PyUnicode_FromFormat / PyErr_Format syntax.
// The binder's and the borrow state's own are in common/messages.hpp.
// Docstrings are written here without their signature line, which is
// derived from the parameter tables (signatures.hpp).
#pragma once

#include "../common/messages.hpp"

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
inline constexpr const char kSniffDoc[] = "Detects the most likely delimiter from a CSV string sample.";

// salvage_file, whose docstring goes on with an "Args:" section made of the
// help lines below.
inline constexpr const char kSalvageFileName[] = "salvage_file";
inline constexpr const char kSalvageFileCallName[] = "salvage_file()";
inline constexpr const char kSalvageFileDoc[] =
    "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.";
inline constexpr const char kInputPathHelp[] = "Path to the corrupted CSV file.";
inline constexpr const char kOutputPathHelp[] = "Path where the repaired CSV file will be written.";
inline constexpr const char kQuarantinePathHelp[] = "Optional path to write unrecoverable / quarantined rows.";

// The six salvage options' help lines.
inline constexpr const char kDelimiterHelp[] =
    "Optional single-character delimiter (e.g. \",\" or \";\"). If None, auto-sniffed.";
inline constexpr const char kQuoteCharHelp[] = "Optional single-character quote enclosure (default '\"').";
inline constexpr const char kFillRaggedRowsHelp[] = "If True, pads short rows with empty strings. Default True.";
inline constexpr const char kMergeOverflowHelp[] = "If True, merges extra tokens into the last column. Default True.";
inline constexpr const char kExpectedColumnsHelp[] =
    "Optional explicit column count. If None, inferred automatically.";
inline constexpr const char kRepairQuotesHelp[] =
    "If True, disambiguates and repairs stray internal quotes. Default True.";

// SalvageSummary. The spec name carries the module so that the interpreter
// finds __module__; the type's own name is then set to the part after the dot.
inline constexpr const char kSummarySpecName[] = "_corvel_backend.SalvageSummary";
inline constexpr const char kSummaryDoc[] = "Python-exposed summary of a salvage operation.";
inline constexpr const char kToDictName[] = "to_dict";
inline constexpr const char kToDictDoc[] = "Converts the summary into a native Python dictionary.";
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
inline constexpr const char kReaderName[] = "SalvageReader";
inline constexpr const char kReaderSpecName[] = "_corvel_backend.SalvageReader";
inline constexpr const char kReaderDoc[] = "In-memory streaming reader iterating over salvaged rows.";
inline constexpr const char kReaderNewCallName[] = "SalvageReader.__new__()";
inline constexpr const char kOpenName[] = "open";
inline constexpr const char kOpenCallName[] = "open()";
inline constexpr const char kOpenDoc[] = "Convenience function to open and stream a salvaged CSV file.";
inline constexpr const char kEnterName[] = "__enter__";
inline constexpr const char kExitName[] = "__exit__";
inline constexpr const char kExitCallName[] = "SalvageReader.__exit__()";
inline constexpr const char kSummaryAttr[] = "summary";

}  // namespace corvel::py::msg
