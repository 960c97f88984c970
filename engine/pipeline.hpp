// What flows through a salvage run: the options, the counts, each row's fate
// and where it came from, and the sinks that receive the rows.
#pragma once

#include "error.hpp"
#include "rows.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

class LegacyTable;

struct SalvageOptions {
    std::optional<std::uint8_t> delimiter;  // absent: sniffed
    std::uint8_t quote_char = '"';
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
    std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width check
    bool repair_quotes = true;
    // Without quoting, every physical line is a row and every delimiter
    // splits it; quote_char is then only a byte like any other.
    bool quoting = true;
    bool skip_initial_space = false;  // blanks at the start of each field are dropped
    std::optional<std::uint8_t> escape;  // makes the next byte literal; quotes are not doubled
    // A row that is not valid UTF-8 is read with this table instead of having
    // its invalid bytes replaced (see RowSource::legacy_decoded).
    const LegacyTable* legacy = nullptr;
};

struct SalvageStats {
    std::uint64_t total_rows = 0;
    std::uint64_t salvaged_rows = 0;
    std::uint64_t repaired_rows = 0;  // padded or merged
    std::uint64_t quarantined_rows = 0;
    std::uint64_t inferred_columns = 0;
    std::uint8_t detected_delimiter = ',';  // a byte; as text it is U+0000..U+00FF
    std::uint64_t legacy_decoded = 0;  // rows read with SalvageOptions::legacy
};

// What becomes of a row, from its width alone.
enum class Fate : std::uint8_t {
    Clean,    // the expected width, or no width check
    Padded,   // too few fields, filled up with empty ones
    Merged,   // too many fields, the surplus joined into the last one
    TooFew,   // set aside: too few fields and no padding
    TooMany,  // set aside: too many fields and no merging
    TooWide,  // padding would not fit in memory: the run stops with an error
};

// The one rule for a row of `width` fields when `expected` are wanted (0:
// any width will do).
inline Fate fate_of(std::uint64_t width, std::uint64_t expected, const SalvageOptions& options) noexcept {
    if (expected == 0 || width == expected) return Fate::Clean;
    if (width > expected) return options.merge_overflow ? Fate::Merged : Fate::TooMany;
    if (!options.fill_ragged_rows) return Fate::TooFew;
    return RowTable::padding_fits(expected - width) ? Fate::Padded : Fate::TooWide;
}

inline bool is_accepted(Fate fate) noexcept { return fate <= Fate::Merged; }

// Adds a decided row (any fate but TooWide) to the counts.
inline void count_fate(SalvageStats& stats, Fate fate) noexcept {
    ++stats.total_rows;
    if (!is_accepted(fate)) {
        ++stats.quarantined_rows;
        return;
    }
    ++stats.salvaged_rows;
    if (fate != Fate::Clean) ++stats.repaired_rows;
}

// The error that ends a run on a TooWide row.
SalvageError too_wide_error(std::uint64_t expected);

enum class QuarantineReason : std::uint8_t { TooFewColumns, ExtraColumns };

inline QuarantineReason reason_of(Fate fate) noexcept {
    return fate == Fate::TooFew ? QuarantineReason::TooFewColumns : QuarantineReason::ExtraColumns;
}

// "Row has too few columns (expected 3)" and the like.
std::string reason_text(QuarantineReason reason, std::uint64_t expected);

// Where a row came from in the input.
struct RowSource {
    // Physical lines, 1-based, of its first and last byte. CR, LF and CR LF
    // each end a line, inside quoted fields too.
    std::uint64_t first_line = 1;
    std::uint64_t last_line = 1;
    // The parser's line counter after the row: the next row's first line,
    // except that lone CRs inside quoted fields are not counted, and that
    // after the last row of an input without a final line break it is that
    // row's own last line. What the quarantine file's `line` column shows.
    std::uint64_t line_after = 1;
    // Its bytes in the input, without the line break that ends it (a
    // byte-order mark at the start is not part of the first row).
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool quote_repaired = false;  // malformed quoting was resolved by a rule
    bool utf8_replaced = false;   // invalid UTF-8 became U+FFFD
    bool legacy_decoded = false;  // not UTF-8: read with the legacy table
    // Its bytes (offset, length), valid only during the call that gives them.
    std::string_view bytes;
};

// Receives the rows of a run as soon as each is decided, in input order.
// Rows are parsed into the sink's table(); each call concerns its last row.
class RowSink {
public:
    virtual ~RowSink() = default;

    virtual RowTable& table() noexcept = 0;
    // Whether accept_line() may stand in for accept() (see there).
    virtual bool takes_lines() const noexcept { return false; }
    // Called once, before any row, with the delimiter and width of the run.
    virtual Status begin(std::uint8_t delimiter, std::uint64_t expected) {
        (void)delimiter;
        (void)expected;
        return Done{};
    }
    // An accepted row, already padded or merged. The sink may keep it in the
    // table or take it out.
    virtual Status accept(RowTable& rows, Fate fate, const RowSource& source) = 0;
    // An accepted row of valid UTF-8 given as the clean writer writes it:
    // `text` is its fields joined by the delimiter, each enclosed in quotes
    // (quotes doubled) when it holds the delimiter, the quote, CR or LF,
    // followed by `padding` empty ones. Nothing was put in the table. Only
    // when takes_lines().
    virtual Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) {
        (void)text;
        (void)padding;
        (void)fate;
        (void)source;
        return Done{};
    }
    // Clean rows that are lines without quotes of valid UTF-8, each ended by
    // one LF: `lines` as they stand in the input (or as the legacy table
    // reads those that are not UTF-8), to be written as they are. Only when
    // takes_lines(); their sources are not given.
    virtual Status accept_lines(std::string_view lines) {
        (void)lines;
        return Done{};
    }
    // accept_lines() for a sink that needs to know where the lines stand:
    // `count` lines, the first at line `first_line` and byte `offset`, which
    // stand in the input as `bytes` (the same as `lines` unless the legacy
    // table read some of them; each line of `bytes` gives one of `lines`,
    // and a line read with the table is the one that differs).
    struct LinesSource {
        std::uint64_t first_line = 1;
        std::uint64_t offset = 0;
        std::uint64_t count = 0;
        std::string_view bytes;
    };
    virtual Status accept_run(std::string_view lines, const LinesSource& source) {
        (void)source;
        return accept_lines(lines);
    }
    // A rejected row, as parsed, with its exact bytes in the input. The sink
    // must take it out of the table.
    virtual Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) = 0;
    // The table's header row, the last of `rows`, already padded or merged
    // to the run's width. The sink must take it out of the table.
    virtual Status header(RowTable& rows) {
        rows.pop_row();
        return Done{};
    }
    // After the last row: anything the sink holds goes out.
    virtual Status end() { return Done{}; }
};

// Where a run cut into ranges puts each range's rows: in a sink of the
// range's own, filled on any thread, whose rows are then handed on in
// input order.
class RangeRows {
public:
    virtual ~RangeRows() = default;
    // A sink for one range. Called on any of the run's threads, several at
    // once; its begin() is called by the run.
    virtual Result<std::unique_ptr<RowSink>> open() = 0;
    // The rows a range's sink holds go on, and it holds none. Called in
    // input order, one call at a time, once or more for each range.
    virtual Status hand_on(RowSink& range) = 0;
    // A range's sink, done with; it may be used again for another range.
    virtual void recycle(std::unique_ptr<RowSink>) {}
    // After the last range's rows are handed on.
    virtual Status end() { return Done{}; }
};

// One rejected row, as a standalone value.
struct QuarantineRecord {
    std::vector<std::string> tokens;  // the fields exactly as parsed
    std::string reason;
    std::uint64_t line = 0;  // the parser's line counter after the row
};

// The rejected rows of a run, stored as compactly as the accepted ones.
class Quarantine {
public:
    std::uint64_t size() const noexcept { return lines_.size(); }
    const RowTable& tokens() const noexcept { return tokens_; }
    std::uint64_t line(std::uint64_t i) const noexcept { return lines_[i]; }
    QuarantineReason reason(std::uint64_t i) const noexcept { return reasons_[i]; }
    QuarantineRecord record(std::uint64_t i, std::uint64_t expected) const;

    // Takes the last row of `from` (which loses it).
    void take_last_row(RowTable& from, QuarantineReason reason, std::uint64_t line);

private:
    RowTable tokens_;
    std::vector<std::uint64_t> lines_;
    std::vector<QuarantineReason> reasons_;
};

}  // namespace corvel
