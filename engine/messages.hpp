// Every text the engine produces for a reader: quarantine reasons and error
// descriptions. Kept together so that each wording is fixed in one place.
#pragma once

#include <string_view>

namespace corvel::msg {

// Each "{}" is filled in by fill(), in order.

// Quarantine reasons, with the expected column count.
inline constexpr std::string_view kTooFewColumns = "Row has too few columns (expected {})";
inline constexpr std::string_view kExtraColumns = "Row has extra columns (expected {})";

// The system's message for an error code, and the code.
inline constexpr std::string_view kOsError = "{} (os error {})";
inline constexpr std::string_view kUnknownOsError = "Unknown error {}";

// The first line of every quarantine file.
inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

// File errors without an OS error code.
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr std::string_view kZeroWriteBuffered = "failed to write the buffered data";
inline constexpr std::string_view kZeroWriteWhole = "failed to write whole buffer";

// A byte range's state that is not one a plan of this input gave.
inline constexpr std::string_view kBadRangeState = "not the state of a planned byte range";
// A planned input whose size is no longer the planned one.
inline constexpr std::string_view kRangeInputChanged = "the input changed since its byte ranges were planned";

// A call stopped by its caller's cancellation hook.
inline constexpr std::string_view kCancelled = "cancelled";

// A quarantine file that would overwrite the input or the clean file.
inline constexpr std::string_view kQuarantineIsInput = "quarantine_path names the same file as input_path";
inline constexpr std::string_view kQuarantineIsOutput = "quarantine_path names the same file as output_path";

// Refusals of work that cannot fit in memory.
inline constexpr std::string_view kOutOfMemory = "out of memory";
inline constexpr std::string_view kPadTooWide =
    "cannot pad rows to the expected column count: not enough memory for {} columns";
inline constexpr std::string_view kFileTooLarge = "not enough memory to read the whole file: {} bytes or more";

// Refusals of an Arrow export, whole; "{}" marks where a number goes.
inline constexpr std::string_view kArrowColumnOutOfRange = "column index {} is out of range for a table of {} columns";
inline constexpr std::string_view kArrowColumnTwice = "column index {} is selected twice";
inline constexpr std::string_view kArrowBadBufferSize = "a view buffer must span from 1 to {} bytes, not {}";
inline constexpr std::string_view kArrowBadBatchRows = "a stream's batches must hold at least 1 row";
inline constexpr std::string_view kArrowNoTable = "there is no table to export";
inline constexpr std::string_view kArrowRowsOutOfRange = "rows {} to {} are not within a table of {} rows";
inline constexpr std::string_view kArrowRowWidth = "row {} has {} fields, but {} column names were given";
inline constexpr std::string_view kArrowCellTooLong =
    "row {}, column {}: a cell of {} bytes is too long for a string view (at most {} bytes)";
inline constexpr std::string_view kArrowTooManyBuffers = "column {} needs more than {} view buffers";
inline constexpr std::string_view kArrowBadTypes = "{} column types were given for {} columns";
inline constexpr std::string_view kArrowCellNotOfType = "row {}, column {}: the cell does not parse as the column's type";

}  // namespace corvel::msg
