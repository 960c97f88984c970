// Every string corvel._core shows to Python code: names, documentation and
// error messages. Formats use PyUnicode_FromFormat / PyErr_Format syntax.
// The binder's own are in common/messages.hpp.
#pragma once

#include "../common/messages.hpp"

namespace corvel::py::msg {

inline constexpr const char kCoreModuleName[] = "corvel._core";
inline constexpr const char kCoreModuleDoc[] =
    "corvel's native core: the engine's streaming salvage, for the corvel package.\n\n"
    "Private: use corvel.salvage().";

inline constexpr const char kCoreSalvageName[] = "salvage";
inline constexpr const char kCoreSalvageCallName[] = "salvage()";
inline constexpr const char kCoreSalvageDoc[] =
    "Salvages bytes from `reader` into `output`, returning the counts as a dict.\n\n"
    "The GIL is released while the engine works; it is taken back only to\n"
    "call `reader`, `output` or `progress` when they are Python objects, and\n"
    "to run signal handlers.";

inline constexpr const char kCorePlanRangesName[] = "plan_ranges";
inline constexpr const char kCorePlanRangesCallName[] = "plan_ranges()";
inline constexpr const char kCorePlanRangesDoc[] =
    "Plans the salvage of a file's byte ranges, each to be salvaged on its own.\n\n"
    "Takes salvage()'s arguments, reads `reader` (a descriptor) to its end, and\n"
    "returns one state (bytes) per range of `range_bytes`, for salvage(resume=...)\n"
    "with the same arguments; `output` only says which kind of output the ranges\n"
    "will go to, and is left untouched. Joined in order, the ranges' outputs are\n"
    "salvage()'s of the whole file, and their counts sum to its counts.";

// Help lines of its parameters.
inline constexpr const char kReaderHelp[] = "An open descriptor (int), or a binary object with read().";
inline constexpr const char kHeadHelp[] = "Bytes already taken from `reader`, read before it.";
inline constexpr const char kSourceNameHelp[] = "The source's path, for errors; None for a file object.";
inline constexpr const char kOutputHelp[] = "A path, or a binary object with write().";
inline constexpr const char kQuarantineHelp[] = "A path for the rows set aside, or None.";
inline constexpr const char kAuditHelp[] = "A path for the JSON Lines audit, or None.";
inline constexpr const char kTotalHelp[] = "The input's size when known, for progress.";
inline constexpr const char kThreadsHelp[] =
    "Threads to parse byte ranges on (0: one per core), or None for one. Only a descriptor's input\n"
    "written to a path or to batches is split; it is then read whole into memory first.";
inline constexpr const char kRangeBytesHelp[] = "The size of a byte range, or None for 16 MiB.";
inline constexpr const char kResumeHelp[] =
    "None, or one state from plan_ranges(): salvage only that byte range of the descriptor's file.";
inline constexpr const char kProgressHelp[] = "None, or a callable (bytes_done, bytes_total_or_None).";
inline constexpr const char kDelimiterArgHelp[] = "One ASCII character, or None to sniff it.";
inline constexpr const char kQuoteArgHelp[] = "One ASCII character, or None for no quoting.";
inline constexpr const char kHeaderHelp[] = "Whether the first row that is not skipped is a header.";
inline constexpr const char kSkipBlankHelp[] = "Whether blank lines are dropped and counted.";
inline constexpr const char kFillHelp[] = "Whether short rows are padded (else set aside).";
inline constexpr const char kMergeHelp[] = "Whether long rows are merged (else set aside).";
inline constexpr const char kExpectedHelp[] = "The width, or None to infer it; 0 for none.";
inline constexpr const char kRepairHelp[] = "Whether stray quotes are kept as text.";
inline constexpr const char kShapeHelp[] =
    "None, or the table's shape: (preamble_rows, header_rows, find_footer, find_tables, column_types).";
inline constexpr const char kBadShape[] =
    "shape must be None or (preamble_rows, header_rows, find_footer, find_tables, column_types)";
inline constexpr const char kBadCellType[] = "unknown column type %R";
inline constexpr const char kEscapeArgHelp[] = "The escape character, or None.";
inline constexpr const char kSkipSpaceHelp[] = "Whether blanks at the start of fields are dropped.";
inline constexpr const char kOutputDelimiterHelp[] = "The clean file's delimiter, or None for the input's.";
inline constexpr const char kLegacyHelp[] =
    "None, or 128 bytes objects: the UTF-8 text of bytes 0x80-0xFF in the legacy code page.";

// Errors for arguments that the package's own layer checks first.
inline constexpr const char kBadReader[] = "reader must be a descriptor or an object with read(), not %.200s";
inline constexpr const char kBadOutput[] = "output must be a path or an object with write(), not %.200s";
inline constexpr const char kBadHead[] = "head must be bytes, not %.200s";
inline constexpr const char kBadLegacy[] =
    "legacy must be None or 128 bytes objects of one UTF-8 character each";
inline constexpr const char kBadChar[] = "%s must be a single ASCII character";
inline constexpr const char kNeedsDescriptor[] = "%s needs reader to be a descriptor of a regular file";
inline constexpr const char kResumeArg[] = "resume";
inline constexpr const char kPlanNeedsTotal[] = "plan_ranges() needs total, the size of the file";
inline constexpr const char kBadResume[] = "resume must be None or bytes, not %.200s";
inline constexpr const char kBadResumeState[] =
    "resume is not a state that plan_ranges() gave for this file with these options";
inline constexpr const char kReadNotBytes[] = "the source's read() returned %.200s, not bytes";
inline constexpr const char kReadWouldBlock[] =
    "the source's read() returned None: it is a non-blocking stream with no data yet; pass a blocking one";
inline constexpr const char kReadTooMuch[] = "the source's read() returned more bytes than were asked for";

// detect() and its parameters.
inline constexpr const char kCoreDetectName[] = "detect";
inline constexpr const char kCoreDetectCallName[] = "detect()";
inline constexpr const char kCoreDetectDoc[] =
    "Detects the dialect and table shape of `sample`, UTF-8 text from the start\n"
    "of an input, returning them as a dict. Row counts are of non-blank rows.";
inline constexpr const char kSampleHelp[] = "UTF-8 bytes from the start of the input, without a byte-order mark.";
inline constexpr const char kCompleteHelp[] = "Whether the sample is the whole input.";
inline constexpr const char kBadSample[] = "sample must be bytes, not %.200s";
// The keys of the dict detect() returns, in order.
inline constexpr const char* kDetectionKeys[] = {
    "delimiter", "quote_char", "escape_char", "skip_initial_space", "width", "preamble_rows",
    "header_rows", "footer_rows", "table_rows", "tables", "confidence", "column_types",
};
// Cell types by their engine order.
inline constexpr const char* kCellTypeNames[] = {
    "empty", "number", "date", "time", "datetime", "bool", "email", "url", "phone", "code", "na", "text",
};

// Python names the core calls.
inline constexpr const char kRead[] = "read";
inline constexpr const char kWrite[] = "write";
inline constexpr const char kThreading[] = "threading";
inline constexpr const char kMainThread[] = "main_thread";
inline constexpr const char kIdent[] = "ident";

// The keys of the counts it returns, in order.
inline constexpr const char* kCountKeys[] = {
    "rows_read", "rows_written", "rows_clean", "rows_repaired", "padded", "merged",
    "quote_repaired", "bytes_replaced", "legacy_decoded", "rows_set_aside", "too_few_columns",
    "too_many_columns", "rows_skipped", "header_written", "width", "bytes_read", "delimiter",
    "preamble", "header_set_aside", "footer", "second_table", "tables_found",
};

// corvel._core.Batches: salvaged rows gathered into Arrow batches.
inline constexpr const char kBatchesTypeName[] = "corvel._core.Batches";
inline constexpr const char kBatchesCallName[] = "Batches()";
inline constexpr const char kBatchesDoc[] =
    "Batches(batch_rows, budget, bound)\n--\n\n"
    "The rows of a salvage that is given it as output, gathered into Arrow batches.\n\n"
    "Private: use corvel.read() or corvel.iter_batches().";
inline constexpr const char kBatchRowsHelp[] = "The most rows in a batch.";
inline constexpr const char kBudgetHelp[] = "About the most bytes a batch holds.";
inline constexpr const char kBoundHelp[] = "The most sealed batches held before the salvage waits; 0 keeps all.";
inline constexpr const char kColumnsHelp[] = "None, or the indices of the columns to export, in order.";
inline constexpr const char kLayoutHelp[] = "None or 'view' for utf8_view, 'large' for large_utf8, or a requested schema capsule.";
inline constexpr const char kStartHelp[] = "The first data row.";
inline constexpr const char kStopHelp[] = "The data row after the last.";
inline constexpr const char kNextBatchCallName[] = "Batches.next_batch()";
inline constexpr const char kStreamCallName[] = "Batches.stream()";
inline constexpr const char kSchemaCallName[] = "Batches.schema()";
inline constexpr const char kRowsCallName[] = "Batches.rows()";
inline constexpr const char kFinishDoc[] = "Marks the rows complete: readers waiting for a batch see the end.";
inline constexpr const char kCancelDoc[] = "The reader stops: unread batches go, and the salvage fails from now on.";
inline constexpr const char kNextBatchDoc[] =
    "The next sealed batch as (schema capsule, array capsule), waiting for it; None at the end.";
inline constexpr const char kStreamDoc[] = "An arrow_array_stream capsule over every sealed batch.";
inline constexpr const char kSchemaDoc[] = "An arrow_schema capsule of the table.";
inline constexpr const char kColumnNamesDoc[] = "The column names: the header's, made unique, or column_1...";
inline constexpr const char kRowsDoc[] = "Data rows [start, stop) as lists of str.";
inline constexpr const char kInferTypesDoc[] =
    "Gives each column the type all its non-empty cells parse as, for every export from now on; returns each "
    "column's Arrow format, or None for text.";
inline constexpr const char kInferNeedsTable[] =
    "types can only be inferred over a whole table, not over batches read as they come";
inline constexpr const char kNumRowsDoc[] = "Data rows sealed so far.";
inline constexpr const char kWidthDoc[] = "The number of columns.";
inline constexpr const char kHasHeaderDoc[] = "Whether a header row was read.";
inline constexpr const char kBatchesTaken[] = "these batches were already filled by a salvage";
inline constexpr const char kBadLayout[] = "layout must be None, 'view', 'large' or an arrow_schema capsule";
inline constexpr const char kBadColumns[] = "columns must be None or a list of column indices";
inline constexpr const char kMixedWidths[] =
    "the rows have different widths (expected_columns=0), which no Arrow table can hold; give expected_columns";
inline constexpr const char kLayoutView[] = "view";
inline constexpr const char kLayoutLarge[] = "large";
inline constexpr const char kSchemaCapsule[] = "arrow_schema";
inline constexpr const char kArrayCapsule[] = "arrow_array";
inline constexpr const char kStreamCapsule[] = "arrow_array_stream";

}  // namespace corvel::py::msg
