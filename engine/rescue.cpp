#include "rescue.hpp"

#include "parser.hpp"
#include "records.hpp"
#include "rows.hpp"
#include "salvager.hpp"

#include <algorithm>
#include <string>
#include <utility>

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
    bool takes_lines() const noexcept override { return inner_.takes_lines() && counts_.width > 1; }

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
        if (header_pending()) return to_header(rows);
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
        if (header_pending()) {
            // The header is kept whatever its width.
            if (fate == Fate::TooFew && !rows.pad_last_row(counts_.width)) return too_wide_error(counts_.width);
            if (fate == Fate::TooMany) rows.merge_last_row(counts_.width, joiner_);
            return to_header(rows);
        }
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
    bool header_pending() const noexcept { return o_.header && counts_.header_written == 0; }

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
        parser.trust_utf8();
        if (parser.step(rows) != ResilientParser::Step::Row) {
            rows.append_split_row(std::string_view("", 0), counts_.delimiter, true);  // an empty line
        }
        if (padding != 0) (void)rows.pad_last_row(rows.width(rows.size() - 1) + padding);
    }

    Status skip(RowTable& rows, const RowSource& source) {
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
