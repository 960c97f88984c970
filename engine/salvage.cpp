#include "salvage.hpp"

#include "heuristics.hpp"
#include "messages.hpp"
#include "parser.hpp"

#include <cstddef>
#include <new>
#include <stdexcept>
#include <utility>

namespace corvel {

std::string reason_text(QuarantineReason reason, std::uint64_t expected) {
    const std::string_view head =
        reason == QuarantineReason::TooFewColumns ? msg::kTooFewColumns : msg::kExtraColumns;
    std::string text(head);
    text += std::to_string(expected);
    text += msg::kReasonClose;
    return text;
}

QuarantineRecord Quarantine::record(std::uint64_t i, std::uint64_t expected) const {
    QuarantineRecord rec;
    rec.tokens = tokens_.row(i);
    rec.reason = reason_text(reasons_[i], expected);
    rec.line = lines_[i];
    return rec;
}

void Quarantine::take_last_row(RowTable& from, QuarantineReason reason, std::uint64_t line) {
    const std::size_t before = lines_.size();
    tokens_.append_row_from(from, from.size() - 1);
    try {
        lines_.push_back(line);
        reasons_.push_back(reason);
    } catch (...) {
        // Keep the three sequences the same length, and `from` untouched.
        lines_.resize(before);
        tokens_.pop_row();
        throw;
    }
    from.pop_row();
}

namespace {

// Pads the last row to `width`; false when that cannot fit in memory (the
// table refuses before allocating).
bool pad_row(RowTable& rows, std::uint64_t width) {
    try {
        rows.pad_last_row(width);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

SalvageError pad_refusal(std::uint64_t width) {
    std::string text(msg::kPadTooWide);
    text += std::to_string(width);
    text += msg::kPadTooWideTail;
    return SalvageError::out_of_memory(std::move(text));
}

// salvage_slice without the catch-all for exhausted memory.
Result<SalvageOutcome> salvage(std::string_view text, const SalvageOptions& options) {
    SalvageOutcome out;
    if (text.empty()) return out;

    std::uint8_t delimiter;
    if (options.delimiter) {
        delimiter = *options.delimiter;
    } else {
        auto sniffed = sniff_delimiter(text);
        if (!sniffed) return sniffed.error();
        delimiter = sniffed.value();
    }

    std::uint64_t expected;
    if (options.expected_columns) {
        expected = *options.expected_columns;
    } else {
        auto inferred = infer_column_count(text, delimiter);
        if (!inferred) return inferred.error();
        expected = inferred.value();
    }

    ResilientParser parser(text, delimiter, options.quote_char, options.repair_quotes);
    const std::string joiner = byte_as_utf8(delimiter);
    RowTable& rows = out.rows;
    SalvageStats& stats = out.stats;
    // Accepted text is at most the input's, but for replaced bytes; pages of
    // the reservation that are never written cost nothing.
    rows.reserve_text(text.size());

    // The parser appends straight into `rows`; a row that is not accepted is
    // moved out again before the next one is read.
    while (parser.next_row(rows)) {
        ++stats.total_rows;
        const std::uint64_t n = rows.width(rows.size() - 1);
        if (expected == 0 || n == expected) continue;
        if (n < expected) {
            if (!options.fill_ragged_rows) {
                out.quarantine.take_last_row(rows, QuarantineReason::TooFewColumns, parser.line());
            } else if (pad_row(rows, expected)) {
                ++stats.repaired_rows;
            } else {
                out = SalvageOutcome{};  // give back what was built before asking for the text
                return pad_refusal(expected);
            }
        } else if (options.merge_overflow) {
            rows.merge_last_row(expected, joiner);
            ++stats.repaired_rows;
        } else {
            out.quarantine.take_last_row(rows, QuarantineReason::ExtraColumns, parser.line());
        }
    }

    stats.salvaged_rows = rows.size();
    stats.quarantined_rows = out.quarantine.size();
    stats.inferred_columns = expected;
    stats.detected_delimiter = delimiter;
    return out;
}

}  // namespace

Result<SalvageOutcome> salvage_slice(std::string_view text, const SalvageOptions& options) noexcept {
    try {
        return salvage(text, options);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
        // A size past what a container can index: no less a lack of memory.
    }
    // Short enough for the string's inline buffer: building it allocates nothing.
    return SalvageError::out_of_memory(std::string(msg::kOutOfMemory));
}

}  // namespace corvel
