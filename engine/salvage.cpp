#include "salvage.hpp"

#include "file_io.hpp"
#include "heuristics.hpp"
#include "messages.hpp"
#include "parser.hpp"
#include "scan.hpp"
#include "writer.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
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

// The delimiter and the expected width of a run, given or guessed.
struct Plan {
    std::uint8_t delimiter = DEFAULT_DELIMITER;
    std::uint64_t expected = 0;
};

Result<Plan> make_plan(std::string_view text, const SalvageOptions& options) {
    Plan plan;
    if (text.empty()) return plan;  // nothing to guess from, nothing to parse
    if (options.delimiter) {
        plan.delimiter = *options.delimiter;
    } else {
        auto sniffed = sniff_delimiter(text);
        if (!sniffed) return sniffed.error();
        plan.delimiter = sniffed.value();
    }
    if (options.expected_columns) {
        plan.expected = *options.expected_columns;
    } else {
        auto inferred = infer_column_count(text, plan.delimiter);
        if (!inferred) return inferred.error();
        plan.expected = inferred.value();
    }
    return plan;
}

// Parses every row of `text` into `rows` and reconciles it. Rejected rows go
// to `quarantine`; accepted ones are handed to `sink`:
// - sink.row(rows) after each accepted row, the last of `rows`, which the
//   sink may consume;
// - when Sink::kTakesLines, sink.line(text, padding) for an accepted row that
//   the parser gives as the line the writer would write (see
//   ResilientParser::next_plain_line), to be followed by `padding` empty
//   fields.
// Either may stop the run with an error.
// When `owned` holds `text`, its pages are given back as the parser leaves
// them behind, so that the input and its rows are not both held whole.
template <class Sink>
Result<SalvageStats> reconcile(std::string_view text, const SalvageOptions& options, const Plan& plan,
                               RowTable& rows, Quarantine& quarantine, Sink& sink, FileBytes* owned) {
    constexpr std::uint64_t kDiscardStep = 8 << 20;
    std::uint64_t kept_from = 0;
    SalvageStats stats;
    const std::uint64_t expected = plan.expected;
    ResilientParser parser(text, plan.delimiter, options.quote_char, options.repair_quotes);
    // One pass over the input spares checking every field on its own.
    if (plan.delimiter < 0x80 && options.quote_char < 0x80 && is_valid_utf8(text)) parser.trust_utf8();
    const std::string joiner = byte_as_utf8(plan.delimiter);

    for (;;) {
        // Every row so far has been copied out or written: the parser never
        // reads behind its position.
        if (owned && parser.pos() - kept_from >= kDiscardStep) {
            kept_from = parser.pos();
            owned->discard_before(kept_from);
        }
        if constexpr (Sink::kTakesLines) {
            // A plain line that is accepted as it stands, or padded, never
            // needs to be cut into fields.
            PlainLine plain;
            if (parser.next_plain_line(plain)) {
                const std::uint64_t n = plain.fields;
                const bool fits = expected == 0 || n == expected;
                if (fits || (n < expected && options.fill_ragged_rows)) {
                    const std::uint64_t padding = fits ? 0 : expected - n;
                    if (padding != 0 && !RowTable::padding_fits(padding)) return pad_refusal(expected);
                    ++stats.total_rows;
                    ++stats.salvaged_rows;
                    if (!fits) ++stats.repaired_rows;
                    if (Status s = sink.line(plain.text, padding); !s) return s.error();
                    continue;
                }
                parser.append_line(plain, rows);
            } else if (!parser.next_row(rows)) {
                break;
            }
        } else if (!parser.next_row(rows)) {
            break;
        }

        // The parser appends straight into `rows`; a row that is not accepted
        // is moved out again before the next one is read.
        ++stats.total_rows;
        const std::uint64_t n = rows.width(rows.size() - 1);
        if (expected != 0 && n != expected) {
            if (n < expected) {
                if (!options.fill_ragged_rows) {
                    quarantine.take_last_row(rows, QuarantineReason::TooFewColumns, parser.line());
                    continue;
                }
                if (!pad_row(rows, expected)) return pad_refusal(expected);
            } else {
                if (!options.merge_overflow) {
                    quarantine.take_last_row(rows, QuarantineReason::ExtraColumns, parser.line());
                    continue;
                }
                rows.merge_last_row(expected, joiner);
            }
            ++stats.repaired_rows;
        }
        ++stats.salvaged_rows;
        if (Status s = sink.row(rows); !s) return s.error();
    }

    stats.quarantined_rows = quarantine.size();
    stats.inferred_columns = expected;
    stats.detected_delimiter = plan.delimiter;
    return stats;
}

// Keeps accepted rows in the table.
struct KeepRows {
    static constexpr bool kTakesLines = false;
    Status row(RowTable&) { return Done{}; }
};

// Writes each accepted row as it comes; a plain line is copied as the
// parser gives it, already in the writer's form.
struct WriteRows {
    static constexpr bool kTakesLines = true;
    BufferedOutput& out;
    const CleanFormat format;
    const char delimiter;

    // Rows longer than this go out in slices of this size.
    static constexpr std::size_t kSlice = 1 << 20;

    Status row(RowTable& rows) {
        std::string& buf = out.buffer();
        const std::size_t start = buf.size();
        Status s = Done{};
        if (rows.text_bytes(0) < kSlice) {
            format.append_row(buf, rows, 0);
            s = out.line_done(start);
        } else {
            s = format.append_row_sliced(buf, rows, 0, kSlice, [&] { return out.piece_done(); });
        }
        rows.clear();
        return s;
    }
    Status line(std::string_view text, std::uint64_t padding) {
        std::string& buf = out.buffer();
        const std::size_t start = buf.size();
        append_in_place(buf, text.size() + padding + 1, [&](char* p) {
            std::memcpy(p, text.data(), text.size());
            std::memset(p + text.size(), delimiter, padding);
            p[text.size() + padding] = '\n';
        });
        return out.line_done(start);
    }
};

// salvage_slice without the catch-all for exhausted memory.
Result<SalvageOutcome> salvage(std::string_view text, const SalvageOptions& options, FileBytes* owned) {
    SalvageOutcome out;
    auto plan = make_plan(text, options);
    if (!plan) return plan.error();
    // Room for every row at once, so that no buffer is copied while it grows
    // (a copy would hold two of it for a moment). Pages of the reservation
    // that are never written cost nothing. Accepted text is at most the
    // input's, but for replaced bytes. Rows are at most the line breaks,
    // plus one; each has at most one field per delimiter, plus one, or
    // exactly the expected width.
    const auto* d = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::uint8_t delimiter = plan.value().delimiter;
    const std::uint64_t rows = scan::count_any3(d, text.size(), '\r', '\n', '\n') + 1;
    std::uint64_t fields = scan::count_any3(d, text.size(), delimiter, delimiter, delimiter) + rows;
    if (const std::uint64_t e = plan.value().expected; e != 0 && rows <= RowTable::max_slots() / e) {
        fields = std::max(fields, rows * e);
    }
    out.rows.reserve(text.size(), std::min(fields, RowTable::max_slots()), rows);
    KeepRows keep;
    auto stats = reconcile(text, options, plan.value(), out.rows, out.quarantine, keep, owned);
    if (!stats) return stats.error();
    out.stats = stats.value();
    return out;
}

// Rows are padded as they are written, so a width too large to pad any row
// to would only be refused after the output file had been truncated. When
// the width is that large, find the row that would be refused first; this
// costs a parse only for widths beyond any memory.
Status check_padding(std::string_view text, const SalvageOptions& options, const Plan& plan) {
    if (!options.fill_ragged_rows || RowTable::padding_fits(plan.expected)) return Done{};
    ResilientParser parser(text, plan.delimiter, options.quote_char, options.repair_quotes);
    RowTable row;
    while (parser.next_row(row)) {
        const std::uint64_t n = row.width(0);
        if (n < plan.expected && !RowTable::padding_fits(plan.expected - n)) return pad_refusal(plan.expected);
        row.clear();
    }
    return Done{};
}

// salvage_file without the catch-all. Accepted rows are written as they are
// parsed, so memory holds the input and the rejected rows, not every row.
Result<SalvageStats> salvage_to_files(std::string_view input_path, std::string_view output_path,
                                      std::optional<std::string_view> quarantine_path,
                                      const SalvageOptions& options) {
    auto input = read_file(input_path);
    if (!input) return input.error();
    const std::string_view text = input.value().view();
    auto plan = make_plan(text, options);
    if (!plan) return plan.error();
    if (Status s = check_padding(text, options, plan.value()); !s) return s.error();

    auto output = BufferedOutput::create(output_path);
    if (!output) return output.error();
    WriteRows sink{output.value(), CleanFormat(plan.value().delimiter, options.quote_char),
                   static_cast<char>(plan.value().delimiter)};
    RowTable row;  // holds one row at a time
    Quarantine quarantine;
    auto stats = reconcile(text, options, plan.value(), row, quarantine, sink, &input.value());
    if (!stats) return stats.error();
    if (Status s = output.value().finish(); !s) return s.error();
    input.value().release();

    if (quarantine_path) {
        auto qfile = BufferedOutput::create(*quarantine_path);
        if (!qfile) return qfile.error();
        const std::string joiner = byte_as_utf8(plan.value().delimiter);
        std::string& buf = qfile.value().buffer();
        append_quarantine_header(buf);
        for (std::uint64_t i = 0; i < quarantine.size(); ++i) {
            const std::size_t start = buf.size();
            append_quarantine_record(buf, quarantine, i, joiner, plan.value().expected);
            if (Status s = qfile.value().line_done(start); !s) return s.error();
        }
        if (Status s = qfile.value().finish(); !s) return s.error();
    }
    return stats;
}

}  // namespace

Result<SalvageOutcome> salvage_slice(std::string_view text, const SalvageOptions& options) noexcept {
    return guard_memory([&] { return salvage(text, options, nullptr); });
}

Result<SalvageOutcome> salvage_owned(FileBytes bytes, const SalvageOptions& options) noexcept {
    return guard_memory([&] { return salvage(bytes.view(), options, &bytes); });
}

Result<SalvageStats> salvage_file(std::string_view input_path, std::string_view output_path,
                                  std::optional<std::string_view> quarantine_path,
                                  const SalvageOptions& options) noexcept {
    return guard_memory([&] { return salvage_to_files(input_path, output_path, quarantine_path, options); });
}

}  // namespace corvel
