#include "rescue.hpp"

#include "parser.hpp"
#include "records.hpp"
#include "rows.hpp"
#include "salvager.hpp"

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace corvel {
namespace {

// Input is read, and output written, in pieces of about this size.
constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kFlushAt = 1 << 20;

bool only_blanks(std::string_view s) noexcept {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// Stands between the salvager and the caller's sink: skips blank lines,
// hands the first row to the sink as the header, counts every row by its
// fate and writes the quarantine and audit records.
class Recorder final : public RowSink {
public:
    Recorder(RowSink& inner, RecordTargets records, const RescueOptions& options) noexcept
        : inner_(inner), records_(records), o_(options) {}

    RowTable& table() noexcept override { return inner_.table(); }
    // Runs of lines are clean rows of the table's width: with a width of at
    // least two, no blank line is among them.
    // Rows are taken one by one, with their fields, while the table's shape
    // is being followed.
    bool takes_lines() const noexcept override {
        return inner_.takes_lines() && counts_.width > 1 && !shaped() && o_.preamble_rows == 0 &&
               header_rows() <= 1;
    }

    Status begin(std::uint8_t delimiter, std::uint64_t expected) override {
        counts_.delimiter = delimiter;
        counts_.width = expected;
        joiner_ = byte_as_utf8(delimiter);
        if (records_.quarantine) append_set_aside_header(quarantine_);
        return to_rows(inner_.begin(delimiter, expected));
    }

    Status accept(RowTable& rows, Fate fate, const RowSource& source) override {
        ++seen_;
        if (blank(source)) return skip(rows, source);
        if (const std::string_view reason = lead_reason(); !reason.empty()) return set_aside_lead(rows, source, reason);
        if (header_pending()) return to_header(rows);
        if (shaped()) return hold(rows, fate, source);
        unsigned actions = actions_of(source);
        if (fate == Fate::Padded) actions |= kPadded;
        if (fate == Fate::Merged) actions |= kMerged;
        if (Status s = count_written(actions, source, &rows); !s) return s;
        return to_rows(inner_.accept(rows, fate, source));
    }

    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override {
        ++seen_;
        if (blank(source)) {
            ++counts_.rows_read;
            return skip_record(source);
        }
        if (header_pending() || (padding != 0 && records_.audit)) {
            // The fields are needed: the row is cut out of its text again.
            RowTable& rows = inner_.table();
            fields_of(text, padding, rows);
            if (header_pending()) return to_header(rows);
            if (Status s = count_written(actions_of(source) | kPadded, source, &rows); !s) return s;
            rows.pop_row();
        } else if (Status s = count_written(actions_of(source) | (padding != 0 ? kPadded : 0), source, nullptr); !s) {
            return s;
        }
        return to_rows(inner_.accept_line(text, padding, fate, source));
    }

    Status accept_lines(std::string_view lines) override {
        if (header_pending()) {
            const std::size_t lf = lines.find('\n');
            ++seen_;
            RowTable& rows = inner_.table();
            fields_of(lines.substr(0, lf), 0, rows);
            if (Status s = to_header(rows); !s) return s;
            lines.remove_prefix(lf + 1);
            if (lines.empty()) return Done{};
        }
        return to_rows(inner_.accept_lines(lines));
    }

    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override {
        ++seen_;
        if (blank(source)) return skip(rows, source);
        if (const std::string_view reason = lead_reason(); !reason.empty()) return set_aside_lead(rows, source, reason);
        if (header_pending()) {
            // The header is kept whatever its width.
            if (fate == Fate::TooFew && !rows.pad_last_row(counts_.width)) return too_wide_error(counts_.width);
            if (fate == Fate::TooMany) rows.merge_last_row(counts_.width, joiner_);
            return to_header(rows);
        }
        if (shaped()) return hold(rows, fate, source);
        ++counts_.rows_read;
        ++counts_.rows_set_aside;
        const bool few = fate == Fate::TooFew;
        ++(few ? counts_.too_few_columns : counts_.too_many_columns);
        const std::string_view reason = few ? kReasonTooFew : kReasonTooMany;
        const std::string_view raw = raw_text(source);
        const RowPlace place = place_of(source);
        if (records_.quarantine) append_set_aside_record(quarantine_, place, reason, raw);
        if (records_.audit) {
            append_audit_record(audit_, place, actions_of(source) | kQuarantined, reason, raw, &rows, rows.size() - 1);
        }
        if (Status s = flush(false); !s) return s;
        return to_rows(inner_.reject(rows, fate, source, bytes));
    }

    Status end() override {
        if (!second_) {
            if (Status s = end_table(held_.size()); !s) return s;
        }
        if (Status s = to_rows(inner_.end()); !s) return s;
        return flush(true);
    }

    // The counts, once the salvager has counted the rows in all: those not
    // seen one by one came in runs of clean lines.
    RescueCounts counts(const SalvageStats& stats) const noexcept {
        RescueCounts c = counts_;
        c.legacy_decoded = stats.legacy_decoded;
        const std::uint64_t runs = stats.total_rows - seen_;
        c.rows_read += runs;
        c.rows_written += runs;
        c.rows_clean += runs;
        return c;
    }

    // The side whose failure ended the run: the input unless a sink failed.
    Side failed_side() const noexcept { return failed_; }

private:
    // A row held back while the table's end is not known: its fields as the
    // salvager gave them (written, or as parsed when set aside), and where
    // it came from.
    struct Held {
        Fate fate = Fate::Clean;
        unsigned actions = 0;
        RowPlace place;
        bool after_gap = false;  // a blank line stands right above it
        std::string raw;
        std::vector<std::string> fields;
        std::vector<std::string> parsed;  // as cut from `raw`, when padding or merging changed them
    };

    bool shaped() const noexcept { return o_.find_footer || o_.find_tables; }
    std::uint64_t header_rows() const noexcept { return o_.header ? std::max<std::uint64_t>(o_.header_rows, 1) : 0; }
    bool header_pending() const noexcept { return o_.header && counts_.header_written == 0; }

    // Why the next row that is not blank is set aside, when it stands above
    // the table's labels: empty for any other row.
    std::string_view lead_reason() const noexcept {
        if (lead_ < o_.preamble_rows) return kReasonPreamble;
        if (lead_ + 1 < o_.preamble_rows + header_rows()) return kReasonHeader;
        return {};
    }

    Status set_aside_lead(RowTable& rows, const RowSource& source, std::string_view reason) {
        ++lead_;
        ++(reason == kReasonPreamble ? counts_.preamble : counts_.header_set_aside);
        const Status s = set_aside(place_of(source), actions_of(source), reason, raw_text(source), rows);
        rows.pop_row();
        return s;
    }

    // Records a row set aside for `reason`, the last of `rows` (which keeps it).
    Status set_aside(const RowPlace& place, unsigned actions, std::string_view reason, std::string_view raw,
                     const RowTable& rows) {
        ++counts_.rows_read;
        ++counts_.rows_set_aside;
        if (records_.quarantine) append_set_aside_record(quarantine_, place, reason, raw);
        if (records_.audit) {
            append_audit_record(audit_, place, actions | kQuarantined, reason, raw, &rows, rows.size() - 1);
        }
        return flush(false);
    }

    static bool blank_text(std::string_view bytes, std::uint8_t delimiter) noexcept {
        return only_blanks(bytes) && bytes.find(static_cast<char>(delimiter)) == std::string_view::npos;
    }

    // A row of the table: held back until it is known not to be footer and
    // not to start another table.
    Status hold(RowTable& rows, Fate fate, const RowSource& source) {
        Held h;
        h.fate = fate;
        h.actions = actions_of(source) | (fate == Fate::Padded ? kPadded : 0) | (fate == Fate::Merged ? kMerged : 0);
        h.place = place_of(source);
        h.raw.assign(raw_text(source));
        h.fields = rows.row(rows.size() - 1);
        rows.pop_row();
        if (fate == Fate::Padded || fate == Fate::Merged) {
            // The row as it stands in the input, for judging its shape.
            fields_of(h.raw, 0, scratch_);
            h.parsed = scratch_.row(scratch_.size() - 1);
            scratch_.clear();
        }
        h.after_gap = gap_;
        gap_ = blank_text(source.bytes, counts_.delimiter);
        if (second_) return in_second_table(std::move(h));
        held_.push_back(std::move(h));
        const std::size_t n = held_.size();
        if (o_.find_tables && counts_.width > 0 && n >= 2 && held_[n - 2].after_gap &&
            starts_another_table(spans(held_[n - 2], a_), spans(held_[n - 1], b_), counts_.width)) {
            if (Status s = end_table(n - 2); !s) return s;
            second_ = true;
            ++counts_.tables_found;
            other_width_ = a_.size();
            std::deque<Held> rest = std::move(held_);
            held_.clear();
            for (Held& r : rest) {
                if (Status s = set_aside_held(r, kReasonSecondTable, counts_.second_table); !s) return s;
            }
            if (rest.back().after_gap) gap_row_ = rest.back().parsed.empty() ? rest.back().fields : rest.back().parsed;
            return Done{};
        }
        // One row is kept to look ahead from a blank line; a footer needs more.
        const std::size_t window = o_.find_footer ? DETECT_FOOTER_WINDOW : 1;
        while (held_.size() > window) {
            if (Status s = release(held_.front()); !s) return s;
            held_.pop_front();
        }
        return Done{};
    }

    // A row after the main table has ended: set aside, and counted towards
    // a further table when it starts one.
    Status in_second_table(Held h) {
        const std::vector<std::string>& mine = h.parsed.empty() ? h.fields : h.parsed;
        if (!gap_row_.empty()) {
            views(gap_row_, a_);
            views(mine, b_);
            if (starts_another_table(a_, b_, other_width_)) {
                ++counts_.tables_found;
                other_width_ = a_.size();
            }
            gap_row_.clear();
        }
        if (h.after_gap) gap_row_ = mine;
        return set_aside_held(h, kReasonSecondTable, counts_.second_table);
    }

    // The main table ends before held row `end`: at most DETECT_MAX_FOOTER_ROWS
    // of the rows above it that look like footer are set aside, walking up
    // from the last; the others go out as usual.
    Status end_table(std::size_t end) {
        std::size_t first_footer = end;
        // Without a width to differ from, no row looks like footer.
        if (o_.find_footer && counts_.width > 0) {
            while (first_footer > 0 && end - first_footer < DETECT_MAX_FOOTER_ROWS &&
                   looks_like_footer(spans(held_[first_footer - 1], a_), counts_.width, o_.column_types,
                                     counts_.delimiter)) {
                --first_footer;
            }
        }
        for (std::size_t i = 0; i < end; ++i) {
            Status s = i < first_footer ? release(held_[i]) : set_aside_held(held_[i], kReasonFooter, counts_.footer);
            if (!s) return s;
        }
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(end));
        return Done{};
    }

    static void views(const std::vector<std::string>& fields, std::vector<std::string_view>& out) {
        out.assign(fields.begin(), fields.end());
    }
    // The held row's fields as they stand in the input.
    static FieldSpan spans(const Held& h, std::vector<std::string_view>& out) {
        views(h.parsed.empty() ? h.fields : h.parsed, out);
        return out;
    }

    RowTable& load(const std::vector<std::string>& fields, RowTable& rows) {
        for (const std::string& f : fields) {
            rows.append(f.data(), f.size());
            rows.finish_valid_field();
        }
        rows.finish_row();
        return rows;
    }

    static RowSource source_of(const Held& h) noexcept {
        RowSource source;
        source.first_line = h.place.line;
        source.last_line = h.place.end_line;
        source.offset = h.place.byte_offset;
        source.bytes = h.raw;
        source.length = h.raw.size();
        return source;
    }

    Status set_aside_held(const Held& h, std::string_view reason, std::uint64_t& counter) {
        ++counter;
        // Recorded as parsed: neither padded nor merged.
        const std::vector<std::string>& fields = h.parsed.empty() ? h.fields : h.parsed;
        const Status s = set_aside(h.place, h.actions & ~(kPadded | kMerged), reason, h.raw, load(fields, scratch_));
        scratch_.clear();
        return s;
    }

    // A held row goes out as the salvager decided it.
    Status release(const Held& h) {
        RowTable& rows = load(h.fields, inner_.table());
        const RowSource source = source_of(h);
        if (is_accepted(h.fate)) {
            if (Status s = count_written(h.actions, source, &rows); !s) return s;
            return to_rows(inner_.accept(rows, h.fate, source));
        }
        const bool few = h.fate == Fate::TooFew;
        ++(few ? counts_.too_few_columns : counts_.too_many_columns);
        if (Status s = set_aside(h.place, h.actions, few ? kReasonTooFew : kReasonTooMany, h.raw, rows); !s) return s;
        return to_rows(inner_.reject(rows, h.fate, source, h.raw));
    }

    // A blank line: nothing but blanks, and no delimiter among them.
    bool blank(const RowSource& source) const noexcept {
        return o_.skip_blank_lines && only_blanks(source.bytes) &&
               source.bytes.find(static_cast<char>(counts_.delimiter)) == std::string_view::npos;
    }

    static RowPlace place_of(const RowSource& source) noexcept {
        return {source.first_line, source.last_line, source.offset};
    }

    static unsigned actions_of(const RowSource& source) noexcept {
        unsigned actions = 0;
        if (source.quote_repaired) actions |= kQuoteRepaired;
        if (source.utf8_replaced) actions |= kBytesReplaced;
        if (source.legacy_decoded) actions |= kLegacyDecoded;
        return actions;
    }

    // The row's source text as the run reads it.
    std::string_view raw_text(const RowSource& source) {
        if (!source.legacy_decoded && !source.utf8_replaced) return source.bytes;
        raw_.clear();
        if (source.legacy_decoded) {
            o_.legacy->decode(source.bytes, raw_);
        } else {
            raw_.assign(source.bytes);
            repair_utf8(raw_, 0);
        }
        return raw_;
    }

    // Appends the row that a plain line gave as `text` (see
    // RowSink::accept_line), padded by `padding` empty fields, to `rows`.
    void fields_of(std::string_view text, std::uint64_t padding, RowTable& rows) const {
        ResilientParser parser(text, true, ParserPosition{}, counts_.delimiter, o_.quote.value_or('"'), false);
        if (!o_.quote) parser.no_quotes();
        if (o_.escape) parser.escape_with(*o_.escape);
        if (o_.skip_initial_space) parser.skip_initial_blanks();
        parser.trust_utf8();
        if (parser.step(rows) != ResilientParser::Step::Row) {
            rows.append_split_row(std::string_view("", 0), counts_.delimiter, true);  // an empty line
        }
        if (padding != 0) (void)rows.pad_last_row(rows.width(rows.size() - 1) + padding);
    }

    Status skip(RowTable& rows, const RowSource& source) {
        gap_ = true;
        rows.pop_row();
        ++counts_.rows_read;
        return skip_record(source);
    }

    Status skip_record(const RowSource& source) {
        ++counts_.rows_skipped;
        if (records_.audit) append_audit_record(audit_, place_of(source), kSkipped, {}, source.bytes, nullptr, 0);
        return flush(false);
    }

    Status to_header(RowTable& rows) {
        ++lead_;
        ++counts_.rows_read;
        counts_.header_written = 1;
        return to_rows(inner_.header(rows));
    }

    // Counts a row that is written, and records it when it was changed:
    // `rows`, when given, holds its fields as written in its last row.
    Status count_written(unsigned actions, const RowSource& source, const RowTable* rows) {
        ++counts_.rows_read;
        ++counts_.rows_written;
        if (actions & kPadded) ++counts_.padded;
        if (actions & kMerged) ++counts_.merged;
        if (actions & kQuoteRepaired) ++counts_.quote_repaired;
        if (actions & kBytesReplaced) ++counts_.bytes_replaced;
        constexpr unsigned kRepairs = kPadded | kMerged | kQuoteRepaired | kBytesReplaced;
        if (!(actions & kRepairs)) {
            ++counts_.rows_clean;
            return Done{};
        }
        ++counts_.rows_repaired;
        if (!records_.audit) return Done{};
        append_audit_record(audit_, place_of(source), actions, {}, raw_text(source), rows,
                            rows ? rows->size() - 1 : 0);
        return flush(false);
    }

    Status to_rows(Status s) {
        if (!s) failed_ = Side::Clean;
        return s;
    }

    Status flush(bool all) {
        const std::size_t at = all ? 1 : kFlushAt;
        if (records_.quarantine && quarantine_.size() >= at) {
            if (Status s = records_.quarantine->write(quarantine_); !s) {
                failed_ = Side::Quarantine;
                return s;
            }
            quarantine_.clear();
        }
        if (records_.audit && audit_.size() >= at) {
            if (Status s = records_.audit->write(audit_); !s) {
                failed_ = Side::Audit;
                return s;
            }
            audit_.clear();
        }
        return Done{};
    }

    RowSink& inner_;
    RecordTargets records_;
    const RescueOptions& o_;
    RescueCounts counts_;
    std::uint64_t seen_ = 0;  // rows given one by one
    std::string joiner_;
    std::string quarantine_, audit_, raw_;
    Side failed_ = Side::Input;
    std::uint64_t lead_ = 0;  // rows above the data seen so far: preamble and header
    std::deque<Held> held_;
    bool gap_ = false;     // the last row was a blank line
    bool second_ = false;  // the main table has ended
    std::uint64_t other_width_ = 0;  // the width of the later table
    std::vector<std::string> gap_row_;  // after the main table: a row right below a blank line
    std::vector<std::string_view> a_, b_;
    RowTable scratch_;
};

SalvageOptions salvage_options(const RescueOptions& o) noexcept {
    SalvageOptions s;
    s.delimiter = o.delimiter;
    s.quoting = o.quote.has_value();
    s.quote_char = o.quote.value_or('"');
    s.repair_quotes = o.repair_quotes;
    s.fill_ragged_rows = o.fill_ragged_rows;
    s.merge_overflow = o.merge_overflow;
    s.expected_columns = o.expected_columns;
    s.skip_initial_space = o.skip_initial_space;
    s.legacy = o.legacy;
    s.escape = o.escape;
    return s;
}

Result<RescueCounts> run(ByteSource& input, RowSink& rows, RecordTargets records, const RescueOptions& options,
                         const Progress& progress, Side* failed) {
    Recorder recorder(rows, records, options);
    Salvager salvager(salvage_options(options), recorder);
    std::string chunk(kChunk, '\0');
    std::uint64_t bytes_read = 0;
    for (;;) {
        Result<std::size_t> got = input.read(chunk.data(), chunk.size());
        if (!got) return got.error();
        bytes_read += got.value();
        if (progress.poll && progress.poll(progress.context, bytes_read)) return SalvageError::from_errno(EINTR);
        if (got.value() == 0) break;
        if (Status s = salvager.push(std::string_view(chunk.data(), got.value())); !s) {
            *failed = recorder.failed_side();
            return s.error();
        }
    }
    Result<SalvageStats> stats = salvager.finish();
    if (stats) {
        if (Status s = recorder.end(); !s) stats = s.error();
    }
    if (!stats) {
        *failed = recorder.failed_side();
        return stats.error();
    }
    RescueCounts counts = recorder.counts(stats.value());
    counts.bytes_read = bytes_read;
    counts.width = stats.value().inferred_columns;
    counts.delimiter = stats.value().detected_delimiter;
    return counts;
}

}  // namespace

CsvSink::CsvSink(ByteSink& out, const RescueOptions& options) noexcept
    : out_(out),
      output_delimiter_(options.output_delimiter),
      quote_is_double_(options.quote == '"'),
      format_(options.output_delimiter.value_or(','), '"') {}

Status CsvSink::begin(std::uint8_t delimiter, std::uint64_t expected) {
    delimiter_ = output_delimiter_.value_or(delimiter);
    format_ = CleanFormat(delimiter_, '"');
    // A plain line is in this writer's form when the delimiter is kept and
    // the quote is the double quote; a row of one empty field is not (see
    // above), and only rows of one field can be one.
    lines_ = delimiter_ == delimiter && quote_is_double_ && expected > 1;
    return Done{};
}

Status CsvSink::accept(RowTable& rows, Fate, const RowSource&) {
    const std::uint64_t r = rows.size() - 1;
    if (rows.width(r) == 1 && rows.field(r, 0).empty()) {
        buffer_ += "\"\"\n";
    } else {
        format_.append_row(buffer_, rows, r);
    }
    rows.clear();
    return write_out(false);
}

Status CsvSink::accept_line(std::string_view text, std::uint64_t padding, Fate, const RowSource&) {
    buffer_.append(text);
    buffer_.append(padding, static_cast<char>(delimiter_));
    buffer_.push_back('\n');
    return write_out(false);
}

Status CsvSink::accept_lines(std::string_view lines) {
    if (buffer_.size() + lines.size() < kFlushAt) {
        buffer_.append(lines);
        return Done{};
    }
    // A long run goes out as it stands, without a copy.
    if (Status s = write_out(true); !s) return s;
    return out_.write(lines);
}

Status CsvSink::reject(RowTable& rows, Fate, const RowSource&, std::string_view) {
    rows.clear();
    return Done{};
}

Status CsvSink::end() { return write_out(true); }

Status CsvSink::write_out(bool all) {
    if (buffer_.empty() || (!all && buffer_.size() < kFlushAt)) return Done{};
    if (Status s = out_.write(buffer_); !s) return s;
    buffer_.clear();
    return Done{};
}

Result<RescueCounts> rescue(ByteSource& input, RowSink& rows, RecordTargets records, const RescueOptions& options,
                            const Progress& progress, Side* failed) noexcept {
    *failed = Side::Input;
    return guard_memory([&] { return run(input, rows, records, options, progress, failed); });
}

}  // namespace corvel
