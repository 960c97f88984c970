#include "rescue.hpp"

#include "heuristics.hpp"
#include "parser.hpp"
#include "records.hpp"
#include "rows.hpp"
#include "scan.hpp"
#include "writer.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace corvel {
namespace {

constexpr std::size_t kChunk = 1 << 20;
// Output goes to its sink in pieces of about this size.
constexpr std::size_t kFlushAt = 1 << 20;
// The head that the delimiter and the width are guessed from holds at least
// this many line-break bytes (a few times the rows the guesses look at), or
// all of the input, or at most kHeadLimit bytes.
constexpr std::uint64_t kHeadBreaks = 4 * INFER_ROW_LIMIT * 2;
constexpr std::size_t kHeadLimit = 64 << 20;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// Rows without quoting: each physical line is a row, split at every
// delimiter.
class LineSplitter {
public:
    LineSplitter(std::string_view input, std::uint8_t delimiter, bool at_start) noexcept
        : input_(input), delimiter_(delimiter) {
        if (at_start && input.starts_with(kBom)) pos_ = kBom.size();
    }
    bool next_row(RowTable& out) {
        if (pos_ >= input_.size()) return false;
        const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
        const std::uint64_t e = scan::find_any(d, input_.size(), pos_, '\r', '\n');
        out.append_split_row(input_.substr(pos_, e - pos_), delimiter_, false);
        pos_ = e;
        if (e < input_.size()) {
            pos_ = e + 1;
            if (input_[e] == '\r' && pos_ < input_.size() && input_[pos_] == '\n') ++pos_;
        }
        return true;
    }
    std::uint64_t pos() const noexcept { return pos_; }

private:
    std::string_view input_;
    std::uint64_t pos_ = 0;
    std::uint8_t delimiter_;
};

// The tokenizer the options call for, over one window of the input.
class Cutter {
public:
    Cutter(std::string_view input, const RescueOptions& o, std::uint8_t delimiter, bool at_start) {
        if (o.quote) {
            parser_.emplace(input, delimiter, *o.quote, o.repair_quotes);
        } else {
            lines_.emplace(input, delimiter, at_start);
        }
    }
    bool next_row(RowTable& out) { return parser_ ? parser_->next_row(out) : lines_->next_row(out); }
    // See ResilientParser: only with quoting, once the window's UTF-8 is vouched for.
    void trust_utf8() noexcept {
        if (parser_) parser_->trust_utf8();
    }
    bool next_plain_line(PlainLine& out) { return parser_ && parser_->next_plain_line(out); }
    // The fields of the line just taken by next_plain_line().
    void append_line(const PlainLine& line, RowTable& out) { parser_->append_line(line, out); }
    std::uint64_t pos() const noexcept { return parser_ ? parser_->pos() : lines_->pos(); }

private:
    std::optional<ResilientParser> parser_;
    std::optional<LineSplitter> lines_;
};

bool only_blanks(std::string_view s) noexcept {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t'; });
}

std::string_view without_break(std::string_view s) noexcept {
    if (s.ends_with("\r\n")) return s.substr(0, s.size() - 2);
    if (s.ends_with('\n') || s.ends_with('\r')) return s.substr(0, s.size() - 1);
    return s;
}

// Physical line breaks in `s`: CR, LF and CR LF count one each.
std::uint64_t breaks_in(std::string_view s) noexcept {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' || (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n'))) ++n;
    }
    return n;
}

bool same_row(const RowTable& a, const RowTable& b) noexcept {
    if (a.width(0) != b.width(0)) return false;
    for (std::uint64_t f = 0; f < a.width(0); ++f) {
        if (a.field(0, f) != b.field(0, f)) return false;
    }
    return true;
}

// The width of a table without quoting, by the rule of the quoted one: the
// most frequent among the first non-blank lines, the first met on a tie.
std::uint64_t unquoted_width(std::string_view head, std::uint8_t delimiter) {
    LineSplitter lines(head, delimiter, true);
    RowTable row;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;  // width, count, in order met
    for (std::uint64_t n = 0; n < INFER_ROW_LIMIT && lines.next_row(row);) {
        if (!is_blank_row(row, 0)) {
            ++n;
            const std::uint64_t w = row.width(0);
            auto it = std::find_if(seen.begin(), seen.end(), [&](const auto& p) { return p.first == w; });
            if (it == seen.end()) {
                seen.emplace_back(w, 1);
            } else {
                ++it->second;
            }
        }
        row.clear();
    }
    std::uint64_t best = 0, count = 0;
    for (const auto& [w, c] : seen) {
        if (c > count) {
            best = w;
            count = c;
        }
    }
    return best;
}

// One run: the state that lives from the first chunk to the last.
class Run {
public:
    Run(ByteSource& input, const RescueTargets& targets, const RescueOptions& options, const Progress& progress,
        Side* failed)
        : in_(input), targets_(targets), o_(options), progress_(progress), failed_(failed),
          format_(options.output_delimiter.value_or(','), '"') {}

    Result<RescueCounts> go() {
        if (Status s = read_head(); !s) return s.error();
        if (Status s = plan(); !s) return s.error();
        if (targets_.quarantine) append_set_aside_header(quarantine_);
        for (;;) {
            if (Status s = cut_rows(); !s) return s.error();
            if (eof_) break;
            if (Status s = read_more(); !s) return s.error();
        }
        if (Status s = flush(true); !s) return s.error();
        return counts_;
    }

private:
    Status fail(Side side, SalvageError error) {
        *failed_ = side;
        return error;
    }

    // Appends one read to the window; at the end of the input, sets eof_.
    Status read_into_window(std::size_t want) {
        const std::size_t old = window_.size();
        window_.resize(old + want);
        Result<std::size_t> got = in_.read(window_.data() + old, want);
        if (!got) {
            window_.resize(old);
            return fail(Side::Input, got.error());
        }
        window_.resize(old + got.value());
        counts_.bytes_read += got.value();
        if (got.value() == 0) eof_ = true;
        if (progress_.poll && progress_.poll(progress_.context, counts_.bytes_read)) {
            return fail(Side::Input, SalvageError::from_errno(EINTR));
        }
        return Done{};
    }

    Status read_head() {
        std::uint64_t breaks = 0;
        while (!eof_ && breaks < kHeadBreaks && window_.size() < kHeadLimit) {
            const std::size_t from = window_.size();
            if (Status s = read_into_window(kChunk); !s) return s;
            const auto* d = reinterpret_cast<const std::uint8_t*>(window_.data()) + from;
            breaks += scan::count_any(d, window_.size() - from, '\r', '\n');
        }
        return Done{};
    }

    // A row that spans the window's end is read again with more input; the
    // read grows with the window, so that a huge row costs linear time.
    Status read_more() { return read_into_window(std::max(kChunk, window_.size())); }

    Status plan() {
        const std::string_view head(window_);
        if (o_.delimiter) {
            delimiter_ = *o_.delimiter;
        } else if (!head.empty()) {
            Result<std::uint8_t> sniffed = sniff_delimiter(head);
            if (!sniffed) return fail(Side::Input, sniffed.error());
            delimiter_ = sniffed.value();
        }
        if (o_.expected_columns) {
            expected_ = *o_.expected_columns;
        } else if (!o_.quote) {
            expected_ = unquoted_width(head, delimiter_);
        } else if (!head.empty()) {
            Result<std::uint64_t> inferred = infer_column_count(head, delimiter_);
            if (!inferred) return fail(Side::Input, inferred.error());
            expected_ = inferred.value();
        }
        if (o_.fill_ragged_rows && expected_ != 0 && !RowTable::padding_fits(expected_)) {
            return fail(Side::Input, SalvageError::out_of_memory());
        }
        counts_.width = expected_;
        counts_.delimiter = delimiter_;
        joiner_ = byte_as_utf8(delimiter_);
        if (!o_.output_delimiter) format_ = CleanFormat(delimiter_, '"');
        format_delimiter_ = o_.output_delimiter.value_or(delimiter_);
        return Done{};
    }

    // Takes every row of the window that is known to be complete. After the
    // first window, the window starts with the line break that ended the
    // last row taken, which the tokenizer reads as one blank row: that keeps
    // a byte-order mark at the start of a row from being taken for the
    // file's.
    Status cut_rows() {
        std::string_view w(window_);
        // One pass over the window spares checking each field and each row.
        trusted_ = is_valid_utf8(w);
        decoded_lines_.clear();
        if (!trusted_ && o_.legacy) {
            decode_lines(w);
            w = decoded_;
            trusted_ = true;
        }
        Cutter cut(w, o_, delimiter_, !prefixed_);
        if (trusted_) cut.trust_utf8();
        RowTable row;
        if (prefixed_) (void)cut.next_row(row);
        const std::uint64_t start = cut.pos();
        std::uint64_t taken = start;
        for (;;) {
            const std::uint64_t before = cut.pos();
            row.clear();
            PlainLine plain;
            const bool is_plain = fast_lines() && cut.next_plain_line(plain);
            if (!is_plain && !cut.next_row(row)) break;
            const std::uint64_t after = cut.pos();
            if (!eof_ && after >= w.size()) break;  // the row may go on
            const std::string_view source = w.substr(before, after - before);
            const std::string_view raw = without_break(source);
            // Lines counted here, not by the tokenizer's counter, so that a
            // lone CR inside quotes counts as the line break it is.
            const std::uint64_t line = next_line_;
            const std::uint64_t end_line = line + (is_plain && !plain.quoted ? 0 : breaks_in(raw));
            const RowPlace place{line, end_line, base_ + original(before)};
            const bool legacy = decoded_within(before, after);
            if (legacy) ++counts_.legacy_decoded;
            if (is_plain && take_plain(plain)) {
                if (Status s = flush(false); !s) return s;
            } else {
                if (is_plain) cut.append_line(plain, row);
                if (Status s = take(row, place, source, raw, legacy); !s) return s;
            }
            taken = after;
            next_line_ = end_line + (raw.size() != source.size() ? 1 : 0);
        }
        if (eof_) return Done{};
        // Keep the last break taken (see above) and what follows it.
        if (taken > start) {
            const std::uint64_t cut_at = original(taken) - 1;
            window_.erase(0, cut_at);
            base_ += cut_at;
            prefixed_ = true;
        }
        return Done{};
    }

    // Fills decoded_ from `w`, a line at a time (lines end at CR or LF).
    void decode_lines(std::string_view w) {
        decoded_.clear();
        const auto* d = reinterpret_cast<const std::uint8_t*>(w.data());
        for (std::size_t i = 0; i < w.size();) {
            const std::size_t e = scan::find_any(d, w.size(), i, '\r', '\n');
            const std::size_t next = e < w.size() ? e + 1 : e;
            const std::string_view line = w.substr(i, e - i);
            if (is_valid_utf8(line)) {
                decoded_.append(w.substr(i, next - i));
            } else {
                const std::uint64_t begin = decoded_.size();
                o_.legacy->decode(w.substr(i, next - i), decoded_);
                decoded_lines_.push_back({begin, decoded_.size(), decoded_.size() - next});
            }
            i = next;
        }
    }

    // The window offset of `p`, an offset in the text being cut at the start
    // of a line.
    std::uint64_t original(std::uint64_t p) const noexcept {
        auto it = std::upper_bound(decoded_lines_.begin(), decoded_lines_.end(), p,
                                   [](std::uint64_t v, const DecodedLine& l) { return v < l.end; });
        return it == decoded_lines_.begin() ? p : p - std::prev(it)->gained;
    }

    // Whether a decoded line lies in [begin, end) of the text being cut.
    bool decoded_within(std::uint64_t begin, std::uint64_t end) const noexcept {
        auto it = std::lower_bound(decoded_lines_.begin(), decoded_lines_.end(), begin,
                                   [](const DecodedLine& l, std::uint64_t v) { return l.begin < v; });
        return it != decoded_lines_.end() && it->begin < end;
    }

    // Whether rows that are lines without quotes may be written as they
    // stand: nothing in them can change but padding.
    bool fast_lines() const noexcept {
        return trusted_ && o_.quote && !o_.skip_initial_space && (!o_.header || counts_.header_written != 0) &&
               format_delimiter_ == delimiter_;
    }

    // Writes a plain line (one without quotes, or with well-formed ones, in
    // the writer's form) that is clean, or padded without an audit to record
    // it; false, having done nothing, for any other line.
    bool take_plain(const PlainLine& plain) {
        // A quoted line is in the writer's form for the input's quote.
        if (plain.quoted && o_.quote != '"') return false;
        const std::uint64_t n = plain.fields;
        if (n == 1 && only_blanks(plain.text)) return false;  // blank: skipped, or written as ""
        const Fate fate = decide_fate(n, expected_, o_.fill_ragged_rows, o_.merge_overflow);
        if (fate != Fate::Clean && (fate != Fate::Padded || targets_.audit)) return false;
        const std::uint64_t padding = fate == Fate::Padded ? expected_ - n : 0;
        if (padding > (std::uint64_t{1} << 40)) return false;
        ++counts_.rows_read;
        ++counts_.rows_written;
        if (padding) {
            ++counts_.padded;
            ++counts_.rows_repaired;
        } else {
            ++counts_.rows_clean;
        }
        clean_.append(plain.text);
        clean_.append(padding, static_cast<char>(delimiter_));
        clean_.push_back('\n');
        return true;
    }

    Status take(RowTable& row, const RowPlace& place, std::string_view source, std::string_view raw, bool legacy) {
        ++counts_.rows_read;
        if (o_.skip_blank_lines && row.width(0) == 1 && only_blanks(raw)) {
            ++counts_.rows_skipped;
            if (targets_.audit) append_audit_record(audit_, place, kSkipped, {}, raw, nullptr, 0);
            return flush(false);
        }
        unsigned actions = legacy ? kLegacyDecoded : 0;
        std::string decoded;
        std::string_view text = raw;
        // Only without a legacy table is a window left that is not UTF-8.
        if (!trusted_ && !is_valid_utf8(source)) {
            decoded.assign(raw);
            repair_utf8(decoded, 0);
            actions |= kBytesReplaced;
            text = decoded;
        }
        if (o_.quote && o_.repair_quotes && text.find(static_cast<char>(*o_.quote)) != std::string_view::npos &&
            quote_was_repaired(row, text)) {
            actions |= kQuoteRepaired;
        }
        if (o_.skip_initial_space) strip_initial_space(row);

        if (o_.header && counts_.header_written == 0) {
            if (Status s = fit(row, decide_fate(row.width(0), expected_, true, true)); !s) return s;
            counts_.header_written = 1;
            write_row(row);
            return flush(false);
        }
        const Fate fate = decide_fate(row.width(0), expected_, o_.fill_ragged_rows, o_.merge_overflow);
        if (fate == Fate::TooFew || fate == Fate::TooMany) {
            const std::string_view reason = fate == Fate::TooFew ? kReasonTooFew : kReasonTooMany;
            ++(fate == Fate::TooFew ? counts_.too_few_columns : counts_.too_many_columns);
            ++counts_.rows_set_aside;
            if (targets_.quarantine) append_set_aside_record(quarantine_, place, reason, text);
            if (targets_.audit) append_audit_record(audit_, place, actions | kQuarantined, reason, text, &row, 0);
            return flush(false);
        }
        if (Status s = fit(row, fate); !s) return s;
        if (fate == Fate::Padded) {
            actions |= kPadded;
            ++counts_.padded;
        }
        if (fate == Fate::Merged) {
            actions |= kMerged;
            ++counts_.merged;
        }
        if (actions & kQuoteRepaired) ++counts_.quote_repaired;
        if (actions & kBytesReplaced) ++counts_.bytes_replaced;
        ++counts_.rows_written;
        constexpr unsigned kRepairs = kPadded | kMerged | kQuoteRepaired | kBytesReplaced;
        if (actions & kRepairs) {
            ++counts_.rows_repaired;
            if (targets_.audit) append_audit_record(audit_, place, actions, {}, text, &row, 0);
        } else {
            ++counts_.rows_clean;
        }
        write_row(row);
        return flush(false);
    }

    // Whether the row reads differently without quote repair.
    bool quote_was_repaired(const RowTable& row, std::string_view text) const {
        RescueOptions plain = o_;
        plain.repair_quotes = false;
        Cutter strict(text, plain, delimiter_, false);
        RowTable other;
        (void)strict.next_row(other);
        return !same_row(row, other);
    }

    static void strip_initial_space(RowTable& row) {
        RowTable out;
        for (std::uint64_t f = 0; f < row.width(0); ++f) {
            std::string_view field = row.field(0, f);
            while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
            out.append(field.data(), field.size());
            out.finish_valid_field();
        }
        out.finish_row();
        row = std::move(out);
    }

    // Pads or merges the row to the table's width; a width too large to pad
    // to ends the run.
    Status fit(RowTable& row, Fate fate) const {
        if (fate == Fate::TooWide || (fate == Fate::Padded && !row.pad_last_row(expected_))) {
            return too_wide_error(expected_);
        }
        if (fate == Fate::Merged) row.merge_last_row(expected_, joiner_);
        return Done{};
    }

    // A row of one empty field is written as "", so that it reads back as a
    // row and not as a blank line.
    void write_row(const RowTable& row) {
        if (row.width(0) == 1 && row.field(0, 0).empty()) {
            clean_ += "\"\"\n";
            return;
        }
        format_.append_row(clean_, row, 0);
    }

    Status flush(bool all) {
        const std::size_t at = all ? 1 : kFlushAt;
        if (clean_.size() >= at) {
            if (Status s = targets_.clean.write(clean_); !s) return fail(Side::Clean, s.error());
            clean_.clear();
        }
        if (targets_.quarantine && quarantine_.size() >= at) {
            if (Status s = targets_.quarantine->write(quarantine_); !s) return fail(Side::Quarantine, s.error());
            quarantine_.clear();
        }
        if (targets_.audit && audit_.size() >= at) {
            if (Status s = targets_.audit->write(audit_); !s) return fail(Side::Audit, s.error());
            audit_.clear();
        }
        return Done{};
    }

    ByteSource& in_;
    const RescueTargets& targets_;
    const RescueOptions& o_;
    const Progress& progress_;
    Side* failed_;

    std::string window_;
    std::uint64_t base_ = 0;       // input offset of window_[0]
    std::uint64_t next_line_ = 1;  // the line on which the next row starts
    bool eof_ = false;
    bool prefixed_ = false;        // window_[0] is the break that ended the last row taken
    bool trusted_ = false;         // the text being cut is valid UTF-8
    // With a legacy table, a window that is not valid UTF-8 is cut from its
    // decoded copy: each line that is not UTF-8 decoded, the others as they
    // are. `decoded_lines_` lists the lines decoded, with the bytes the copy
    // has gained by the end of each.
    struct DecodedLine {
        std::uint64_t begin, end;  // in the copy
        std::uint64_t gained;      // by the end of this line, in all
    };
    std::string decoded_;
    std::vector<DecodedLine> decoded_lines_;

    std::uint8_t delimiter_ = DEFAULT_DELIMITER;
    std::uint64_t expected_ = 0;
    std::string joiner_;
    CleanFormat format_;
    std::uint8_t format_delimiter_ = ',';
    std::string clean_, quarantine_, audit_;
    RescueCounts counts_;
};

}  // namespace

Fate decide_fate(std::uint64_t width, std::uint64_t expected, bool fill_ragged_rows, bool merge_overflow) noexcept {
    SalvageOptions o;
    o.fill_ragged_rows = fill_ragged_rows;
    o.merge_overflow = merge_overflow;
    return fate_of(width, expected, o);
}

Result<RescueCounts> rescue(ByteSource& input, const RescueTargets& targets, const RescueOptions& options,
                            const Progress& progress, Side* failed) noexcept {
    *failed = Side::Input;
    return guard_memory([&] { return Run(input, targets, options, progress, failed).go(); });
}

}  // namespace corvel
