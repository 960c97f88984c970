// Fuzzes salvage_slice and the two writers.
//
// Input: [flags] [delimiter] [quote] [width] text...
//   flags bit 0: delimiter given (else sniffed)
//         bit 1: fill ragged rows      bit 2: merge overflow
//         bit 3: repair quotes         bit 4: width given (else inferred)
//   width: expected columns, taken modulo 9 (0 turns the width check off)
// Checked: the statistics add up and match the outcome; every parsed row
// comes out, in order, either accepted (as it is, padded or merged) or in the
// quarantine with the right reason and line; the clean CSV of the accepted
// rows reads back, with a strict reader, as exactly those rows; and the
// quarantine CSV reads back as its header and one record per rejected row.
#include "heuristics.hpp"
#include "parser.hpp"
#include "salvage.hpp"
#include "strict_csv.hpp"
#include "support.hpp"
#include "writer.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace corvel;
using namespace corvel_fuzz;

namespace {

std::string expected_reason(bool too_few, std::uint64_t width) {
    return std::string(too_few ? "Row has too few columns (expected " : "Row has extra columns (expected ") +
           std::to_string(width) + ")";
}

void check_clean_round_trip(const SalvageOutcome& out, std::uint8_t delimiter, std::uint8_t quote) {
    const CleanFormat format(delimiter, quote);
    std::string csv;
    for (std::uint64_t r = 0; r < out.rows.size(); ++r) format.append_row(csv, out.rows, r);
    FUZZ_CHECK(valid_utf8(csv));

    // The same delimiter and quote, or either one a line break, make the
    // format ambiguous; still written above, but not read back.
    const bool readable = delimiter != quote && delimiter != '\n' && delimiter != '\r' &&
                          quote != '\n' && quote != '\r';
    if (!readable) return;
    const CsvReadResult back = read_strict_csv(csv, latin1_char(delimiter), latin1_char(quote), true);
    if (!back.error.empty()) {
        std::fprintf(stderr, "clean CSV unreadable at byte %zu: %s\n", back.error_at, back.error.c_str());
        FUZZ_CHECK(back.error.empty());
    }
    FUZZ_CHECK(back.rows == rows_of(out.rows));
}

void check_quarantine_round_trip(const SalvageOutcome& out, std::uint8_t delimiter) {
    std::string csv;
    append_quarantine_header(csv);
    const std::string joiner = byte_as_utf8(delimiter);
    FUZZ_CHECK(joiner == latin1_char(delimiter));
    for (std::uint64_t i = 0; i < out.quarantine.size(); ++i)
        append_quarantine_record(csv, out.quarantine, i, joiner, out.stats.inferred_columns);
    FUZZ_CHECK(valid_utf8(csv));

    const CsvReadResult back = read_strict_csv(csv, ",", "\"", false);
    if (!back.error.empty()) {
        std::fprintf(stderr, "quarantine CSV unreadable at byte %zu: %s\n", back.error_at, back.error.c_str());
        FUZZ_CHECK(back.error.empty());
    }
    FUZZ_CHECK(back.rows.size() == out.quarantine.size() + 1);
    FUZZ_CHECK((back.rows[0] == CsvRow{"line", "reason", "raw_content"}));
    const RowTable& tokens = out.quarantine.tokens();
    for (std::uint64_t i = 0; i < out.quarantine.size(); ++i) {
        const CsvRow& rec = back.rows[i + 1];
        const bool too_few = tokens.width(i) < out.stats.inferred_columns;
        const CsvRow want{std::to_string(out.quarantine.line(i)),
                          expected_reason(too_few, out.stats.inferred_columns),
                          join(tokens.row(i), latin1_char(delimiter))};
        FUZZ_CHECK(rec == want);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Header h(data, size, 4);
    const std::uint8_t flags = h.byte(0);
    const SalvageOptions o = opts(flags & 1 ? std::optional<std::uint8_t>(h.byte(1)) : std::nullopt,
                                  flags & 16 ? std::optional<std::uint64_t>(h.byte(3) % 9) : std::nullopt,
                                  {.quote = h.byte(2),
                                   .fill = (flags & 2) != 0,
                                   .merge = (flags & 4) != 0,
                                   .repair = (flags & 8) != 0});
    const std::string_view text = h.text();

    const Result<SalvageOutcome> res = salvage_slice(text, o);
    // Widths here are tiny and inputs short: memory never runs out.
    FUZZ_CHECK(res.ok());
    const SalvageOutcome& out = res.value();
    const SalvageStats& s = out.stats;

    FUZZ_CHECK(s.total_rows == s.salvaged_rows + s.quarantined_rows);
    FUZZ_CHECK(s.repaired_rows <= s.salvaged_rows);
    FUZZ_CHECK(out.rows.size() == s.salvaged_rows);
    FUZZ_CHECK(out.quarantine.size() == s.quarantined_rows);
    FUZZ_CHECK(out.quarantine.tokens().size() == s.quarantined_rows);

    if (text.empty()) {
        FUZZ_CHECK(s.total_rows == 0 && s.inferred_columns == 0 && s.detected_delimiter == DEFAULT_DELIMITER);
        return 0;
    }

    // The delimiter and the width are the ones given, or the guesses.
    std::uint8_t d;
    if (o.delimiter) {
        d = *o.delimiter;
    } else {
        const Result<std::uint8_t> sniffed = sniff_delimiter(text);
        FUZZ_CHECK(sniffed.ok());
        d = sniffed.value();
    }
    FUZZ_CHECK(s.detected_delimiter == d);
    std::uint64_t e;
    if (o.expected_columns) {
        e = *o.expected_columns;
    } else {
        const Result<std::uint64_t> inferred = infer_column_count(text, d);
        FUZZ_CHECK(inferred.ok());
        e = inferred.value();
    }
    FUZZ_CHECK(s.inferred_columns == e);

    for (std::uint64_t r = 0; r < out.rows.size(); ++r) {
        const std::uint64_t w = out.rows.width(r);
        FUZZ_CHECK(w >= 1);
        if (e > 0) FUZZ_CHECK(w == e);
        for (std::uint64_t f = 0; f < w; ++f) FUZZ_CHECK(valid_utf8(out.rows.field(r, f)));
    }
    const RowTable& tokens = out.quarantine.tokens();
    for (std::uint64_t i = 0; i < out.quarantine.size(); ++i) {
        const std::uint64_t w = tokens.width(i);
        FUZZ_CHECK(w >= 1);
        FUZZ_CHECK(e > 0 && w != e);
        const QuarantineReason reason = out.quarantine.reason(i);
        if (w < e) FUZZ_CHECK(reason == QuarantineReason::TooFewColumns && !o.fill_ragged_rows);
        else FUZZ_CHECK(reason == QuarantineReason::ExtraColumns && !o.merge_overflow);
        for (std::uint64_t f = 0; f < w; ++f) FUZZ_CHECK(valid_utf8(tokens.field(i, f)));
        // Every row but the last ends at a counted line break.
        if (i > 0) {
            FUZZ_CHECK(out.quarantine.line(i) >= out.quarantine.line(i - 1));
            if (i + 1 < out.quarantine.size()) FUZZ_CHECK(out.quarantine.line(i) > out.quarantine.line(i - 1));
        }
        const QuarantineRecord rec = out.quarantine_record(i);
        FUZZ_CHECK(rec.tokens == tokens.row(i));
        FUZZ_CHECK(rec.line == out.quarantine.line(i));
        FUZZ_CHECK(rec.reason == expected_reason(w < e, e));
    }

    // Replay: parse again and predict where each row must have gone.
    {
        ResilientParser parser(text, d, o.quote_char, o.repair_quotes);
        RowTable parsed;
        std::uint64_t accepted = 0, held = 0, repaired = 0;
        const std::string joiner = latin1_char(d);
        for (std::uint64_t r = 0; parser.next_row(parsed); ++r) {
            CsvRow row = parsed.row(r);
            const std::uint64_t n = row.size();
            const bool keep = e == 0 || n == e || (n < e ? o.fill_ragged_rows : o.merge_overflow);
            if (!keep) {
                FUZZ_CHECK(held < out.quarantine.size());
                FUZZ_CHECK(tokens.row(held) == row);
                FUZZ_CHECK(out.quarantine.line(held) == parser.line());
                ++held;
                continue;
            }
            if (e != 0 && n != e) {
                ++repaired;
                for (std::uint64_t f = e; f < n; ++f) row[e - 1] += joiner + row[f];
                row.resize(e);
            }
            FUZZ_CHECK(accepted < out.rows.size());
            FUZZ_CHECK(out.rows.row(accepted) == row);
            ++accepted;
        }
        FUZZ_CHECK(parsed.size() == s.total_rows);
        FUZZ_CHECK(accepted == out.rows.size() && held == out.quarantine.size());
        FUZZ_CHECK(repaired == s.repaired_rows);
    }

    check_clean_round_trip(out, d, o.quote_char);
    check_quarantine_round_trip(out, d);
    return 0;
}
