// Detection: how a sample of text makes a table. The dialect (delimiter,
// quote, escape, blanks after the delimiter), the table's width, the rows
// above it (preamble), its header rows and the rows below it (footer).
//
// Each candidate dialect tokenizes the first rows of the sample and is scored
// as consistency (the share of rows of the dominant width) times plausibility
// (how much its cells look like values: numbers, dates, codes, clean words).
// The work is linear in the sample, whatever the file's size.
//
// The row predicates at the end are what a streaming reader calls on single
// rows, once the dialect is known, to recognise footer rows and the start of
// a second table.
#pragma once

#include "error.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

// Tried in this order; on equal scores the earlier one wins.
inline constexpr std::array<std::uint8_t, 6> DETECT_DELIMITERS = {',', ';', '\t', '|', ':', ' '};
inline constexpr std::array<std::uint8_t, 2> DETECT_QUOTES = {'"', '\''};
inline constexpr std::uint8_t DETECT_ESCAPE = '\\';
// Rows each candidate dialect tokenizes to be scored.
inline constexpr std::size_t DETECT_SCORE_ROWS = 120;
// Most header rows (groups, then labels, then units).
inline constexpr std::size_t DETECT_MAX_HEADER_ROWS = 3;
// A footer is looked for among this many last rows, and is at most
// DETECT_MAX_FOOTER_ROWS of them.
inline constexpr std::size_t DETECT_FOOTER_WINDOW = 16;
inline constexpr std::size_t DETECT_MAX_FOOTER_ROWS = 3;

// What a cell looks like. Money and percentages count as numbers.
enum class CellType : std::uint8_t { Empty, Number, Date, Time, DateTime, Bool, Email, Url, Phone, Code, Na, Text };

CellType cell_type(std::string_view cell) noexcept;

struct DetectedDialect {
    std::uint8_t delimiter = ',';
    std::optional<std::uint8_t> quote = '"';
    std::optional<std::uint8_t> escape;
    bool skip_initial_space = false;  // blanks after a delimiter are skipped outside quotes (", ")
};

// Row counts are of the sample's non-blank rows, in order: first the
// preamble, then the header, then the data, and (for a complete sample) the
// footer last.
struct Detection {
    DetectedDialect dialect;
    std::size_t width = 0;          // the table's columns; 0 when the sample holds no row
    std::size_t preamble_rows = 0;  // non-blank rows above the table
    std::size_t header_rows = 0;    // 0 to 3, right after the preamble
    std::size_t footer_rows = 0;    // the table's last rows that are footer; 0 unless the sample holds its end
    // Non-blank rows from the first of the preamble to the main table's last,
    // footer included; rows after them start a later table.
    std::size_t table_rows = 0;
    std::size_t tables = 0;                // tables in the sample, the main one and those after it
    std::vector<CellType> column_types;    // one per column; Text where no type holds 70% of the cells
    double confidence = 0.0;               // the winning dialect's score, 0 to 1
};

// Detects the dialect and shape of `sample`, UTF-8 text from the start of an
// input (without its byte-order mark). `complete` says the sample is the
// whole input; otherwise its last line may be cut and is left out, and a
// footer is decided only where a later table ends the main one. Fails only
// when memory runs out.
Result<Detection> detect(std::string_view sample, bool complete) noexcept;

// One row's fields, as a streaming reader holds them.
using FieldSpan = std::span<const std::string_view>;

// The non-empty cells of a row.
std::size_t filled_cells(FieldSpan fields) noexcept;

// A totals or notes row: its first non-empty cell opens with "Total",
// "Sum", "Subtotal", "Count", "Page", "Printed", "Generated", "N rows"...
bool looks_like_totals(FieldSpan fields) noexcept;

// A row of column labels: non-empty, distinct, short, none digits-only, and
// none of them a number, a date or another typed value.
bool looks_like_header(FieldSpan fields) noexcept;

// A footer row of a table of `width` columns whose columns have `types`: a
// totals row, or a row of another width with at most two filled cells whose
// typed cells mostly don't fit their columns. A row holding another
// candidate delimiter inside a cell is a data row that was not split, never
// a footer. A reader holds back the last DETECT_FOOTER_WINDOW rows and, from
// the last one up, sets aside at most DETECT_MAX_FOOTER_ROWS rows for which
// this holds, stopping at the first that is not.
bool looks_like_footer(FieldSpan fields, std::size_t width, std::span<const CellType> types,
                       std::uint8_t delimiter) noexcept;

// After a blank-line gap in a table of `width` columns: whether `row`,
// followed by `next` (the next non-blank row), starts a second table: both
// are of one other width of at least two.
bool starts_another_table(FieldSpan row, FieldSpan next, std::size_t width) noexcept;

}  // namespace corvel
