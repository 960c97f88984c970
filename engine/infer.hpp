// Typed columns: the Arrow type a column of text takes, and its values.
//
// A column takes a type when every one of its non-empty cells parses as that
// type; its empty cells become nulls. The first type that fits, in this
// order, wins:
// - Bool: "true" or "false", in any case. "0" and "1" are numbers.
// - Int64: an optional sign and decimal digits, within the 64-bit range. A
//   leading zero ("007", "-01") keeps the column text, as zip codes and
//   identifiers need; "0" and "-0" are numbers.
// - Float64: an optional sign, digits with an optional point and fraction
//   (or a point and a fraction), and an optional exponent; or "inf",
//   "infinity" or "nan" in any case, with an optional sign. The value is the
//   nearest double. A value beyond the double range ("1e309") or below its
//   smallest subnormal, a leading zero before more digits ("00.5"), and a cell
//   written as an integer that a double can't hold exactly (beyond 2^53) keep
//   the column text: nothing is rounded that was written as a whole number.
// - Date32: "YYYY-MM-DD", a real calendar date of the years 0001 to 9999.
// - Timestamp (microseconds): a date, 'T' or a space, "HH:MM", optionally
//   ":SS" and optionally a fraction of 1 to 6 digits after the seconds, and
//   optionally 'Z' or an offset "+hh:mm" / "-hh:mm" ('T' and 'Z' in either
//   case). Hours are 00 to 23 (so
//   "24:00" is text), seconds 00 to 59. A column whose cells carry no zone is
//   naive, and may hold bare dates (midnight); a column whose cells all carry
//   one is in UTC, each value moved by its offset. A column that mixes the
//   two keeps its text.
// Anything else, including spaces around a value, keeps the whole column as
// text: no cell is ever turned into a null or rounded to fit a type. A
// column with no non-empty cell stays text.
#pragma once

#include "arrow.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace corvel::infer {

enum class ColumnType : std::uint8_t {
    String,
    Bool,
    Int64,
    Float64,
    Date32,
    Timestamp,     // naive
    TimestampUtc,  // from cells with a zone
};

// The Arrow format string of a typed column ("b", "l", "g", "tdD", "tsu:",
// "tsu:UTC"); nullptr for String, whose format is the export's layout's.
const char* format_of(ColumnType type) noexcept;

// Each parser takes the whole cell and says whether it has the type's form;
// `out` is set only when it has.
bool parse_bool(std::string_view cell, bool& out) noexcept;
bool parse_int64(std::string_view cell, std::int64_t& out) noexcept;
bool parse_float64(std::string_view cell, double& out) noexcept;
// Days since 1970-01-01.
bool parse_date32(std::string_view cell, std::int32_t& out) noexcept;
// Microseconds since 1970-01-01T00:00, in UTC when `zoned` comes back true.
// A bare date is not a timestamp here (see TypeGuess).
bool parse_timestamp(std::string_view cell, std::int64_t& out, bool& zoned) noexcept;

// The type of one column, decided one cell at a time.
class TypeGuess {
public:
    void add(std::string_view cell) noexcept;
    // No type is left but String: later cells change nothing.
    bool settled() const noexcept { return candidates_ == 0; }
    ColumnType type() const noexcept;

private:
    std::uint8_t candidates_ = 0x1F;  // one bit per type, Bool to Timestamp
    bool seen_ = false;               // a non-empty cell
    bool naive_ = false, zoned_ = false;
};

// The type of every column of the batches, all of whose rows have `width`
// fields: one pass over the rows, which stops once every column is settled.
// May throw std::bad_alloc.
std::vector<ColumnType> infer_types(std::span<const arrow::RowBatch> batches, std::uint64_t width);

// The size of the values buffer of `rows` values of a typed column.
std::uint64_t value_bytes(ColumnType type, std::uint64_t rows) noexcept;
// The size of a validity bitmap of `rows` values.
inline std::uint64_t bitmap_bytes(std::uint64_t rows) noexcept { return (rows + 7) / 8; }

struct Converted {
    bool ok = true;
    std::uint64_t nulls = 0;    // when ok
    std::uint64_t bad_row = 0;  // when not: the first row (of the table) whose cell does not parse
};

// Writes column `column` of the batch's rows as `type` (not String): the
// values into `values` (value_bytes) and one validity bit per row into
// `validity` (bitmap_bytes), clear for an empty cell.
Converted convert_column(const arrow::RowBatch& batch, std::uint64_t column, ColumnType type, void* values,
                         std::uint8_t* validity) noexcept;

}  // namespace corvel::infer
