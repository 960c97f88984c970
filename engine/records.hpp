// The package's record of what a salvage did to each row: the quarantine CSV
// (`line,end_line,byte_offset,reason,raw`) and the JSON Lines audit. Pure
// formatting: these append to a string and never touch a file.
#pragma once

#include "rows.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace corvel {

// Where a row came from: its first and last physical lines, 1-based, and the
// offset of its first byte in the input, 0-based.
struct RowPlace {
    std::uint64_t line = 0;
    std::uint64_t end_line = 0;
    std::uint64_t byte_offset = 0;
};

// What was done to a row, as a set of bits. Their names, in this order, are
// the words of the audit's "actions" list.
enum RowAction : std::uint8_t {
    kPadded = 1 << 0,
    kMerged = 1 << 1,
    kQuoteRepaired = 1 << 2,
    kBytesReplaced = 1 << 3,
    kLegacyDecoded = 1 << 4,
    kQuarantined = 1 << 5,
    kSkipped = 1 << 6,
};
inline constexpr std::string_view kActionNames[] = {
    "padded", "merged", "quote_repaired", "bytes_replaced", "legacy_decoded", "quarantined", "skipped",
};

// Why a row was set aside: the quarantine's `reason` column.
inline constexpr std::string_view kReasonTooFew = "too_few_columns";
inline constexpr std::string_view kReasonTooMany = "too_many_columns";
inline constexpr std::string_view kReasonPreamble = "Preamble row";
inline constexpr std::string_view kReasonHeader = "Header row";
inline constexpr std::string_view kReasonFooter = "Footer row";
inline constexpr std::string_view kReasonSecondTable = "Second table";

// Appends `field` as one RFC 4180 field: enclosed in double quotes, with
// inner quotes doubled, when it holds a comma, a quote, CR or LF.
void append_csv_field(std::string& out, std::string_view field);

// Appends `text` (valid UTF-8) as a JSON string, quotes included.
void append_json_string(std::string& out, std::string_view text);

// The quarantine file's first line, and one record for a row set aside.
void append_set_aside_header(std::string& out);
void append_set_aside_record(std::string& out, const RowPlace& place, std::string_view reason,
                             std::string_view raw);

// One audit line: the row's place, its actions (RowAction bits), the reason
// (empty: none), its source text, and its fields, row `r` of `rows` (none
// when `rows` is null), as written or, for a row set aside, as parsed.
void append_audit_record(std::string& out, const RowPlace& place, unsigned actions, std::string_view reason,
                         std::string_view raw, const RowTable* rows, std::uint64_t r);

}  // namespace corvel
