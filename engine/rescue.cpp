#include "rescue.hpp"

#include "heuristics.hpp"
#include "messages.hpp"
#include "parser.hpp"
#include "memory.hpp"
#include "records.hpp"
#include "rows.hpp"
#include "salvager.hpp"
#include "split.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvel {
namespace {

// Input is read, and output written, in pieces of about this size.
constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kFlushAt = 1 << 20;
// A streaming run reads in smaller pieces: the piece read stays in the
// core's L2 cache between the kernel's copy into it and the parse.
constexpr std::size_t kStreamChunk = 256 << 10;
// How often a caller that waits for other threads polls its hook.
constexpr auto kWaitPoll = std::chrono::milliseconds(50);

bool only_blanks(std::string_view s) noexcept {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// A resumable state, written and read back as bytes: numbers as 8 bytes,
// little-endian; texts as their length and their bytes. A reader that runs
// short or meets a length past its end reads zeros and empty texts from then
// on, and says so in ok().
class StateOut {
public:
    explicit StateOut(std::string& out) noexcept : out_(out) {}
    void put(std::uint64_t v) {
        char b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
        out_.append(b, 8);
    }
    void put_text(std::string_view t) {
        put(t.size());
        out_.append(t);
    }
    // A table's rows, field by field.
    void put_rows(const RowTable& rows) {
        put(rows.size());
        for (std::uint64_t r = 0; r < rows.size(); ++r) {
            put(rows.width(r));
            for (std::uint64_t f = 0; f < rows.width(r); ++f) put_text(rows.field(r, f));
        }
    }

private:
    std::string& out_;
};

class StateIn {
public:
    explicit StateIn(std::string_view in) noexcept : in_(in) {}
    bool ok() const noexcept { return ok_; }
    bool at_end() const noexcept { return in_.empty(); }
    std::uint64_t get() noexcept {
        if (in_.size() < 8) return fail();
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<unsigned char>(in_[i])} << (8 * i);
        in_.remove_prefix(8);
        return v;
    }
    std::string_view get_text() noexcept {
        const std::uint64_t n = get();
        if (n > in_.size()) {
            fail();
            return {};
        }
        const std::string_view t = in_.substr(0, n);
        in_.remove_prefix(n);
        return t;
    }
    bool get_flag() noexcept { return get() != 0; }
    // Marks what was read as not a state after all.
    void invalidate() noexcept { (void)fail(); }
    // Rows as put_rows() wrote them, appended to `rows`. Every field costs
    // at least 8 bytes of the state, so no count can make this run long.
    void get_rows(RowTable& rows) {
        const std::uint64_t n = get();
        for (std::uint64_t r = 0; r < n && ok_; ++r) {
            const std::uint64_t width = get();
            if (width == 0 || width > in_.size() / 8) {
                fail();
                break;
            }
            for (std::uint64_t f = 0; f < width; ++f) {
                const std::string_view field = get_text();
                rows.append(field.data(), field.size());
                (void)rows.finish_field();  // a state from elsewhere may hold any bytes
            }
            rows.finish_row();
        }
    }

private:
    std::uint64_t fail() noexcept {
        ok_ = false;
        in_ = {};
        return 0;
    }
    std::string_view in_;
    bool ok_ = true;
};

// The counts a recorder keeps, in the order a state holds them: every count
// but the delimiter.
constexpr std::uint64_t RescueCounts::*kKeptCounts[] = {
    &RescueCounts::rows_read,       &RescueCounts::rows_written,     &RescueCounts::rows_clean,
    &RescueCounts::rows_repaired,   &RescueCounts::padded,           &RescueCounts::merged,
    &RescueCounts::quote_repaired,  &RescueCounts::bytes_replaced,   &RescueCounts::legacy_decoded,
    &RescueCounts::rows_set_aside,  &RescueCounts::too_few_columns,  &RescueCounts::too_many_columns,
    &RescueCounts::preamble,        &RescueCounts::header_set_aside, &RescueCounts::footer,
    &RescueCounts::second_table,    &RescueCounts::tables_found,     &RescueCounts::rows_skipped,
    &RescueCounts::header_written,  &RescueCounts::width,            &RescueCounts::bytes_read,
};
static_assert(std::size(kKeptCounts) + 1 == sizeof(RescueCounts) / sizeof(std::uint64_t));

// Stands between the salvager and the caller's sink: skips blank lines,
// hands the first row to the sink as the header, counts every row by its
// fate and writes the quarantine and audit records.
class Recorder final : public RowSink {
public:
    Recorder(RowSink& inner, RecordTargets records, const RescueOptions& options)
        : inner_(inner), records_(records), o_(options), ring_(window() + 1) {}

    RowTable& table() noexcept override { return inner_.table(); }
    // Runs of lines are clean rows of the table's width: with a width of at
    // least two, no blank line is among them.
    bool takes_lines() const noexcept override {
        return inner_.takes_lines() && counts_.width > 1 && o_.preamble_rows == 0 && header_rows() <= 1;
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
        if (blank(source)) {
            rows.pop_row();
            return skip(source);
        }
        if (const std::string_view reason = lead_reason(); !reason.empty()) return set_aside_lead(rows, source, reason);
        if (header_pending()) return to_header(rows);
        if (shaped()) return hold_row(rows, fate, source);
        unsigned actions = actions_of(source);
        if (fate == Fate::Padded) actions |= kPadded;
        if (fate == Fate::Merged) actions |= kMerged;
        if (Status s = count_written(actions, source, &rows); !s) return s;
        return to_rows(inner_.accept(rows, fate, source));
    }

    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override {
        ++seen_;
        if (blank(source)) return skip(source);
        const unsigned actions = actions_of(source) | (padding != 0 ? kPadded : 0);
        if (shaped() && !header_pending()) {
            Held& h = slot();
            h.is_line = true;
            keep_text(h, text, raw_text(source));
            return hold(h, fate, actions, place_of(source), padding, blank_text(source.bytes, counts_.delimiter));
        }
        return pass_line(text, padding, fate, actions, source);
    }

    Status accept_run(std::string_view lines, const LinesSource& source) override {
        LinesSource at = source;
        if (header_pending()) {
            ++seen_;
            RowTable& rows = inner_.table();
            fields_of(lines.substr(0, lines.find('\n')), 0, rows);
            if (Status s = to_header(rows); !s) return s;
            if (skip_lines(lines, at, 1); lines.empty()) return Done{};
        }
        if (!shaped()) return to_rows(inner_.accept_lines(lines));
        return hold_run(lines, at);
    }

    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override {
        ++seen_;
        if (blank(source)) {
            rows.pop_row();
            return skip(source);
        }
        if (const std::string_view reason = lead_reason(); !reason.empty()) return set_aside_lead(rows, source, reason);
        if (header_pending()) {
            // The header is kept whatever its width.
            if (fate == Fate::TooFew && !rows.pad_last_row(counts_.width)) return too_wide_error(counts_.width);
            if (fate == Fate::TooMany) rows.merge_last_row(counts_.width, joiner_);
            return to_header(rows);
        }
        if (shaped()) return hold_row(rows, fate, source);
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
            if (Status s = end_table(held_); !s) return s;
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

    // ---- Taken apart and taken up again (see plan_ranges())

    // Writes all the recorder has kept so far, held rows included.
    // A long block is written as trim_held() would leave it.
    void save(StateOut& out) const {
        std::uint64_t excess = 0;
        for (std::size_t i = 0; i < held_; ++i) excess += past_window(held_at(i));
        for (const auto count : kKeptCounts) out.put(counts_.*count);
        out.put(seen_ - excess);
        out.put(lead_);
        out.put(held_);
        for (std::size_t i = 0; i < held_; ++i) save_held(out, held_at(i));
        out.put(gap_);
        out.put(second_);
        out.put(other_width_);
        out.put_rows(gap_row_);
    }

    // begin() for a run taken up where save() left another, from which
    // counts_since() then counts. The first range counts from nothing.
    Status resume(std::uint8_t delimiter, std::uint64_t expected, StateIn& in, bool first) {
        if (Status s = begin(delimiter, expected); !s) return s;
        for (const auto count : kKeptCounts) counts_.*count = in.get();
        seen_ = in.get();
        lead_ = in.get();
        const std::uint64_t held = in.get();
        if (held > window()) return bad_state();
        for (std::size_t i = 0; i < held && in.ok(); ++i) {
            Held& h = slot();
            load_held(in, h);
            ++held_;
            held_rows_ += h.count;
        }
        gap_ = in.get_flag();
        second_ = in.get_flag();
        other_width_ = in.get();
        in.get_rows(gap_row_);
        if (!in.ok() || counts_.width != expected || gap_row_.size() > 1) return bad_state();
        from_ = counts_;
        from_seen_ = seen_;
        if (first) from_.tables_found = 0;
        return Done{};
    }

    // The counts of the rows recorded since resume(), `stats` being the
    // salvager's for the rows it gave since.
    RescueCounts counts_since(const SalvageStats& stats) const noexcept {
        RescueCounts c = counts_;
        for (const auto count : kKeptCounts) c.*count -= from_.*count;
        c.legacy_decoded = stats.legacy_decoded;
        const std::uint64_t runs = stats.total_rows - (seen_ - from_seen_);
        c.rows_read += runs;
        c.rows_written += runs;
        c.rows_clean += runs;
        return c;
    }

    // end() for a range that is not the last: the rows held stay held, for
    // the next range to settle; all else goes out.
    Status end_range() {
        if (Status s = pause(); !s) return s;
        return to_rows(inner_.end());
    }

    // ---- Guessed and checked (see rescue_parallel())

    // begin() for a recorder that takes up a run somewhere in its data rows,
    // as a run that has passed its labels and holds no row stands there:
    // counts_since() then counts from nothing. Whether the run truly stood
    // so is for steady() and settled() to tell afterwards.
    Status begin_steady(std::uint8_t delimiter, std::uint64_t expected) {
        counts_.delimiter = delimiter;
        counts_.width = expected;
        joiner_ = byte_as_utf8(delimiter);
        counts_.header_written = o_.header ? 1 : 0;
        lead_ = o_.preamble_rows + header_rows();
        from_ = counts_;
        from_seen_ = 0;
        return to_rows(inner_.begin(delimiter, expected));
    }

    // Whether the rows that come next would be recorded here as by a
    // recorder begun with begin_steady() that holds these rows too: the
    // labels are behind, the main table goes on, and no row stands below a
    // blank line (the next one could start another table).
    bool steady() const noexcept {
        if (header_pending() || !lead_reason().empty() || second_) return false;
        // Only a recorder that holds rows looks at what stands below a gap.
        return !shaped() || (!gap_ && (held_ == 0 || !held_at(held_ - 1).after_gap));
    }

    // Whether, begun with begin_steady(), this recorder has recorded its rows
    // as a recorder holding the rows before them would have: every such row
    // would have gone out, untouched, before anything was judged here.
    bool settled() const noexcept { return !shaped() || (!early_ && arrived_ > window() + 2); }

    // Every held row goes out as it stands, and the records with them: the
    // rows that came next proved them part of the table. The sink stays
    // open; what it holds is its owner's to hand on.
    Status release_held() {
        if (Status s = release_all(); !s) return s;
        return flush(true);
    }

    // end_range() for a range whose sink stays open.
    Status pause() {
        if (Status s = trim_held(); !s) return s;
        return flush(true);
    }

    // Runs `work`, which feeds this recorder, while `bytes` stay where they
    // are: runs of lines that lie in them are held as views of them, not
    // copied. Those still held when `work` returns are copied then, so no
    // view outlives the call; a driver that feeds the recorder from bytes
    // it lends nowhere gets copies, as it would without lending.
    template <class Work>
    auto lending(std::string_view bytes, Work&& work) -> decltype(work()) {
        lent_ = bytes;
        // Should `work` or the copies throw, no held row keeps a view.
        struct Forget {
            Recorder& r;
            ~Forget() { r.forget_lent(); }
        } forget{*this};
        auto result = work();
        if (Status s = own_held(); !s && result) return s.error();
        return result;
    }

private:
    // A row held back while the table's end is not known, and where it came
    // from. Slots are used again, so that holding a row allocates nothing.
    struct Held {
        Fate fate = Fate::Clean;
        unsigned actions = 0;
        RowPlace place;
        bool after_gap = false;  // a blank line stands right above it
        std::string raw;
        // Given as a line (see RowSink::accept_line): `line`, padded by
        // `padding` empty fields, and no fields until it is judged.
        bool is_line = false;
        std::string line;
        std::uint64_t padding = 0;
        // Given as a row: its fields as the salvager gave them (written, or
        // as parsed when set aside).
        RowTable fields;
        // As cut from `raw` once the row is judged, when padding or merging
        // changed its fields or it is a line; empty otherwise.
        RowTable parsed;
        // A block of `count` clean lines of a run (see hold_block), each
        // ended by LF: in `line` as written, and in `raw` as they stand in
        // the input when the legacy table read some of them (empty
        // otherwise); `place` is the first one's. Never after a gap.
        bool is_block = false;
        std::uint64_t count = 1;
        // Still in the bytes lent (see lending()): its `line` and `raw` are
        // `lent_line` and `lent_raw` there, not copies.
        bool lent = false;
        std::string_view lent_line, lent_raw;
    };

    static std::string_view text_of(const Held& h) noexcept { return h.lent ? h.lent_line : h.line; }
    static std::string_view raw_of(const Held& h) noexcept { return h.lent ? h.lent_raw : h.raw; }

    void save_held(StateOut& out, const Held& h) const {
        const std::uint64_t excess = past_window(h);
        // Only a lent block is long, and its raw lines are its lines.
        const std::size_t cut = excess == 0 ? 0 : tail_start(text_of(h), window());
        out.put(static_cast<std::uint64_t>(h.fate));
        out.put(h.actions);
        out.put(h.place.line + excess);
        out.put(h.place.end_line + excess);
        out.put(h.place.byte_offset + cut);
        out.put(h.after_gap);
        out.put_text(raw_of(h));
        out.put(h.is_line);
        out.put_text(text_of(h).substr(cut));
        out.put(h.padding);
        out.put_rows(h.fields);
        out.put(h.is_block);
        out.put(h.count - excess);
    }
    static void load_held(StateIn& in, Held& h) {
        const std::uint64_t fate = in.get();
        if (fate > static_cast<std::uint64_t>(Fate::TooMany)) in.invalidate();
        h.fate = static_cast<Fate>(fate);
        h.actions = static_cast<unsigned>(in.get());
        h.place.line = in.get();
        h.place.end_line = in.get();
        h.place.byte_offset = in.get();
        h.after_gap = in.get_flag();
        h.raw.assign(in.get_text());
        h.is_line = in.get_flag();
        h.line.assign(in.get_text());
        h.padding = in.get();
        h.fields.clear();
        in.get_rows(h.fields);
        h.is_block = in.get_flag();
        h.count = in.get();
        h.lent = false;
        h.parsed.clear();
        if (h.count == 0 || h.count > DETECT_FOOTER_WINDOW || (!h.is_block && h.count != 1)) in.invalidate();
    }
    static Status bad_state() { return SalvageError::of_kind(SalvageError::Kind::BadState); }

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

    // A held row's text and raw text: views while both lie in the bytes
    // lent, copies otherwise.
    void keep_text(Held& h, std::string_view line, std::string_view raw) {
        h.lent = is_lent(line) && is_lent(raw);
        if (h.lent) {
            h.lent_line = line;
            h.lent_raw = raw;
            return;
        }
        h.line.assign(line);
        h.raw.assign(raw);
    }

    bool is_lent(std::string_view s) const noexcept {
        const auto at = reinterpret_cast<std::uintptr_t>(s.data());
        const auto from = reinterpret_cast<std::uintptr_t>(lent_.data());
        return s.empty() || (!lent_.empty() && at >= from && at + s.size() <= from + lent_.size());
    }

    // The rows held as views of the bytes lent are copied, long blocks
    // trimmed first.
    Status own_held() {
        if (Status s = trim_held(); !s) return s;
        for (std::size_t i = 0; i < held_; ++i) {
            Held& h = held_at(i);
            if (!h.lent) continue;
            h.line.assign(h.lent_line);
            h.raw.assign(h.lent_raw);
            h.lent = false;
        }
        return Done{};
    }

    // The lines of a block past the window's: only a lent block has any.
    std::uint64_t past_window(const Held& h) const noexcept {
        return h.is_block && h.count > window() ? h.count - window() : 0;
    }

    // A lent block longer than the window goes out but for its last
    // window() lines: the rest would have gone out when it came (see
    // hold_block), with nothing in between, and is counted with the runs.
    Status trim_held() {
        for (std::size_t i = 0; i < held_; ++i) {
            Held& h = held_at(i);
            const std::uint64_t n = past_window(h);
            if (n == 0) continue;
            const std::size_t cut = tail_start(h.lent_line, window());
            if (Status s = to_rows(inner_.accept_lines(h.lent_line.substr(0, cut))); !s) return s;
            h.lent_line.remove_prefix(cut);
            h.place.line += n;
            h.place.end_line += n;
            h.place.byte_offset += cut;
            h.count -= n;
            held_rows_ -= n;
            seen_ -= n;
        }
        return Done{};
    }

    // The bytes lent go away. Only a run cut short by an error (the only
    // way here with views left) can have held rows that are views of them:
    // they are dropped, as nothing more is recorded.
    void forget_lent() noexcept {
        lent_ = {};
        for (std::size_t i = 0; i < held_; ++i) {
            if (held_at(i).lent) {
                drop_held(held_);
                return;
            }
        }
    }

    // The slot for the next row to hold: the one after the last held.
    Held& slot() noexcept { return ring_[(first_ + held_) % ring_.size()]; }
    Held& held_at(std::size_t i) noexcept { return ring_[(first_ + i) % ring_.size()]; }
    const Held& held_at(std::size_t i) const noexcept { return ring_[(first_ + i) % ring_.size()]; }
    void drop_held(std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; ++i) held_rows_ -= held_at(i).count;
        first_ = (first_ + n) % ring_.size();
        held_ -= n;
    }
    // Held rows are judged against this many rows after them: one to look
    // ahead from a blank line; a footer needs more.
    std::size_t window() const noexcept { return o_.find_footer ? DETECT_FOOTER_WINDOW : 1; }

    Status hold_row(RowTable& rows, Fate fate, const RowSource& source) {
        Held& h = slot();
        h.is_line = false;
        keep_text(h, {}, raw_text(source));
        h.fields.clear();
        h.fields.append_row_from(rows, rows.size() - 1);
        rows.pop_row();
        const unsigned actions =
            actions_of(source) | (fate == Fate::Padded ? kPadded : 0) | (fate == Fate::Merged ? kMerged : 0);
        if (Status s = hold(h, fate, actions, place_of(source), 0, blank_text(source.bytes, counts_.delimiter)); !s) {
            return s;
        }
        return Done{};
    }

    // Clean lines as they stand (see RowSink::accept_run). None of them
    // follows a blank line but perhaps the first, so only the first two can
    // start another table, each judged on its own; the others are held as
    // one block.
    Status hold_run(std::string_view lines, LinesSource at) {
        const bool read = lines.data() != at.bytes.data();  // the legacy table read some of them
        while (at.count != 0) {
            const bool judged = second_ || gap_ || (held_ != 0 && held_at(held_ - 1).after_gap);
            if (!judged) return hold_block(lines, at, read);
            ++seen_;
            const std::string_view text = lines.substr(0, lines.find('\n'));
            Held& h = slot();
            h.is_line = true;
            keep_text(h, text, text);
            const RowPlace place{at.first_line, at.first_line, at.offset};
            const unsigned actions = read ? decoded_action(text, at.bytes.substr(0, at.bytes.find('\n'))) : 0;
            if (Status s = hold(h, Fate::Clean, actions, place, 0, false); !s) return s;
            skip_lines(lines, at, 1);
        }
        return Done{};
    }

    // A line of a run read as `text` from the input's `raw`: the legacy
    // table read it when they differ.
    static unsigned decoded_action(std::string_view text, std::string_view raw) noexcept {
        return text == raw ? 0 : kLegacyDecoded;
    }

    // Clean lines of a run, none after a gap, held as one block. Of a run
    // longer than the window only the last window() lines are held: the
    // others go out at once, behind every row held. A block costs its copy,
    // and nothing for each of its lines; a lent one not even that.
    Status hold_block(std::string_view lines, const LinesSource& at, bool read) {
        arrived_ += at.count;
        std::uint64_t keep = at.count;
        std::size_t cut = 0, raw_cut = 0;
        // A lent block is held whole, as its bytes stay put: the lines
        // past the window go out with it, or when trim_held() cuts it.
        const bool lent = is_lent(lines) && is_lent(at.bytes);
        if (keep > window()) {
            if (Status s = release_all(); !s) return s;
        }
        if (keep > window() && !lent) {
            keep = window();
            cut = tail_start(lines, keep);
            raw_cut = read ? tail_start(at.bytes, keep) : cut;
            // Counted with the runs, as they are not seen one by one.
            if (Status s = to_rows(inner_.accept_lines(lines.substr(0, cut))); !s) return s;
        }
        seen_ += keep;
        Held& h = slot();
        h.is_line = false;
        h.is_block = true;
        h.count = keep;
        const std::string_view line = lines.substr(cut);
        const std::string_view raw = read ? at.bytes.substr(raw_cut) : std::string_view();
        // Most blocks go out before the bytes lent do: they are copied
        // only if they are still held then (see own_held()).
        keep_text(h, line, raw);
        h.fate = Fate::Clean;
        h.actions = 0;
        h.padding = 0;
        h.parsed.clear();
        const std::uint64_t first = at.first_line + (at.count - keep);
        h.place = RowPlace{first, first, at.offset + raw_cut};
        h.after_gap = false;
        gap_ = false;
        ++held_;
        held_rows_ += keep;
        return release_past_window();
    }

    // The held rows that have more than window() rows after them go out.
    // A block goes out once all of its rows have: no row that makes a
    // record is ever behind it then, so records come when they would if
    // its rows were held one by one.
    Status release_past_window() {
        while (held_ != 0 && held_rows_ - held_at(0).count >= window()) {
            if (Status s = release(held_at(0)); !s) return s;
            drop_held(1);
        }
        return Done{};
    }

    // Every held row goes out.
    Status release_all() {
        for (std::size_t i = 0; i < held_; ++i) {
            if (Status s = release(held_at(i)); !s) return s;
        }
        drop_held(held_);
        return Done{};
    }

    // The first `n` lines of block `h` go out; it keeps the others.
    Status release_lines(Held& h, std::uint64_t n) {
        const std::string_view text = text_of(h), raw = raw_of(h);
        const std::size_t cut = line_end(text, n);
        const std::size_t raw_cut = raw.empty() ? cut : line_end(raw, n);
        count_clean(n);
        const Status s = to_rows(inner_.accept_lines(text.substr(0, cut)));
        if (h.lent) {
            h.lent_line.remove_prefix(cut);
            if (!raw.empty()) h.lent_raw.remove_prefix(raw_cut);
        } else {
            h.line.erase(0, cut);
            if (!raw.empty()) h.raw.erase(0, raw_cut);
        }
        h.place.line += n;
        h.place.end_line += n;
        h.place.byte_offset += raw_cut;
        h.count -= n;
        held_rows_ -= n;
        return s;
    }

    void count_clean(std::uint64_t n) noexcept {
        counts_.rows_read += n;
        counts_.rows_written += n;
        counts_.rows_clean += n;
    }

    // The end of the first `n` lines of `lines`, each ended by LF.
    static std::size_t line_end(std::string_view lines, std::uint64_t n) noexcept {
        std::size_t at = 0;
        for (; n != 0; --n) at = lines.find('\n', at) + 1;
        return at;
    }
    // The start of the last `n` lines of `lines`, each ended by LF.
    [[gnu::always_inline]] static std::size_t tail_start(std::string_view lines, std::uint64_t n) noexcept {
        std::size_t at = lines.size();
        for (; n != 0 && at > 1; --n) {
            const void* lf = memrchr(lines.data(), '\n', at - 1);
            at = lf == nullptr ? 0 : static_cast<std::size_t>(static_cast<const char*>(lf) - lines.data()) + 1;
        }
        return n != 0 ? 0 : at;
    }
    // The `i`th line of a block, without its LF.
    static std::string_view block_line(std::string_view lines, std::uint64_t i) noexcept {
        lines.remove_prefix(line_end(lines, i));
        return lines.substr(0, lines.find('\n'));
    }
    static void skip_lines(std::string_view& lines, LinesSource& at, std::uint64_t n) noexcept {
        lines.remove_prefix(line_end(lines, n));
        const std::size_t bytes = line_end(at.bytes, n);
        at.bytes.remove_prefix(bytes);
        at.offset += bytes;
        at.first_line += n;
        at.count -= n;
    }

    // Holds the row in slot(), a row of the table, back until it is known
    // not to be footer and not to start another table.
    Status hold(Held& h, Fate fate, unsigned actions, const RowPlace& place, std::uint64_t padding, bool blank) {
        ++arrived_;
        h.fate = fate;
        h.actions = actions;
        h.place = place;
        h.padding = padding;
        h.parsed.clear();
        h.after_gap = gap_;
        gap_ = blank;
        h.is_block = false;
        h.count = 1;
        if (second_) return in_second_table(h);
        ++held_;
        ++held_rows_;
        const std::size_t n = held_;
        if (o_.find_tables && counts_.width > 0 && n >= 2 && held_at(n - 2).after_gap &&
            starts_another_table(spans(held_at(n - 2), a_), spans(held_at(n - 1), b_), counts_.width)) {
            if (Status s = end_table(n - 2); !s) return s;
            second_ = true;
            ++counts_.tables_found;
            other_width_ = a_.size();
            for (std::size_t i = 0; i < held_; ++i) {
                if (Status s = set_aside_held(held_at(i), kReasonSecondTable, counts_.second_table); !s) return s;
            }
            if (Held& last = held_at(held_ - 1); last.after_gap) copy_row(shape(last), gap_row_);
            drop_held(held_);
            return Done{};
        }
        return release_past_window();
    }

    // A row after the main table has ended: set aside, and counted towards
    // a further table when it starts one.
    Status in_second_table(Held& h) {
        const RowTable& mine = shape(h);
        if (!gap_row_.empty()) {
            views(gap_row_, a_);
            views(mine, b_);
            if (starts_another_table(a_, b_, other_width_)) {
                ++counts_.tables_found;
                other_width_ = a_.size();
            }
            gap_row_.clear();
        }
        if (h.after_gap) copy_row(mine, gap_row_);
        return set_aside_held(h, kReasonSecondTable, counts_.second_table);
    }

    // The main table ends before held row `end`: at most DETECT_MAX_FOOTER_ROWS
    // of the rows above it that look like footer are set aside, walking up
    // from the last; the others go out as usual.
    Status end_table(std::size_t end) {
        note_if_early();
        // The first footer row: line `line` of held row (or block) `entry`.
        std::size_t entry = end;
        std::uint64_t line = 0;
        // Without a width to differ from, no row looks like footer.
        for (std::size_t footer = 0; o_.find_footer && counts_.width > 0 && footer < DETECT_MAX_FOOTER_ROWS;
             ++footer) {
            std::size_t e = entry;
            std::uint64_t l = line;
            if (l == 0) {
                if (e == 0) break;
                l = held_at(--e).count;
            }
            --l;
            if (!looks_like_footer(row_spans(held_at(e), l, a_), counts_.width, o_.column_types,
                                   counts_.delimiter)) {
                break;
            }
            entry = e;
            line = l;
        }
        for (std::size_t i = 0; i < entry; ++i) {
            if (Status s = release(held_at(i)); !s) return s;
        }
        if (line != 0) {
            if (Status s = release_lines(held_at(entry), line); !s) return s;
        }
        for (std::size_t i = entry; i < end; ++i) {
            if (Status s = set_aside_held(held_at(i), kReasonFooter, counts_.footer); !s) return s;
        }
        drop_held(end);
        return Done{};
    }

    // The fields of row `line` of held `h` (0 unless a block).
    FieldSpan row_spans(Held& h, std::uint64_t line, std::vector<std::string_view>& out) {
        if (!h.is_block) return spans(h, out);
        scratch_.clear();
        fields_of(block_line(text_of(h), line), 0, scratch_);
        views(scratch_, out);
        return out;
    }

    static void views(const RowTable& row, std::vector<std::string_view>& out) {
        out.clear();
        for (std::uint64_t f = 0; f < row.width(0); ++f) out.push_back(row.field(0, f));
    }
    static void copy_row(const RowTable& row, RowTable& out) {
        out.clear();
        out.append_row_from(row, 0);
    }
    // The held row's fields as they stand in the input, cut from its text
    // only now: most rows are never judged.
    const RowTable& shape(Held& h) const {
        const bool changed = h.is_line || h.fate == Fate::Padded || h.fate == Fate::Merged;
        if (changed && h.parsed.empty()) fields_of(raw_of(h), 0, h.parsed);
        return changed ? h.parsed : h.fields;
    }
    FieldSpan spans(Held& h, std::vector<std::string_view>& out) const {
        views(shape(h), out);
        return out;
    }

    static RowSource source_of(const Held& h) noexcept {
        RowSource source;
        source.first_line = h.place.line;
        source.last_line = h.place.end_line;
        source.offset = h.place.byte_offset;
        source.bytes = raw_of(h);
        source.length = source.bytes.size();
        return source;
    }

    Status set_aside_held(Held& h, std::string_view reason, std::uint64_t& counter) {
        if (h.is_block) return set_aside_block(h, reason, counter);
        ++counter;
        // Recorded as parsed: neither padded nor merged.
        return set_aside(h.place, h.actions & ~(kPadded | kMerged), reason, raw_of(h), shape(h));
    }

    Status set_aside_block(const Held& h, std::string_view reason, std::uint64_t& counter) {
        std::string_view text = text_of(h);
        std::string_view raw = raw_of(h).empty() ? text : raw_of(h);
        RowPlace place = h.place;
        for (std::uint64_t i = 0; i < h.count; ++i) {
            const std::string_view line = text.substr(0, text.find('\n'));
            const std::size_t raw_size = raw.find('\n') + 1;
            ++counter;
            scratch_.clear();
            fields_of(line, 0, scratch_);
            const unsigned actions = decoded_action(line, raw.substr(0, raw_size - 1));
            if (Status s = set_aside(place, actions, reason, line, scratch_); !s) return s;
            text.remove_prefix(line.size() + 1);
            raw.remove_prefix(raw_size);
            ++place.line;
            ++place.end_line;
            place.byte_offset += raw_size;
        }
        return Done{};
    }

    // A held row goes out as the salvager decided it.
    Status release(const Held& h) {
        if (h.is_block) {
            count_clean(h.count);
            return to_rows(inner_.accept_lines(text_of(h)));
        }
        const RowSource source = source_of(h);
        if (h.is_line) return pass_line(text_of(h), h.padding, h.fate, h.actions, source);
        RowTable& rows = inner_.table();
        rows.append_row_from(h.fields, 0);
        if (is_accepted(h.fate)) {
            if (Status s = count_written(h.actions, source, &rows); !s) return s;
            return to_rows(inner_.accept(rows, h.fate, source));
        }
        const bool few = h.fate == Fate::TooFew;
        ++(few ? counts_.too_few_columns : counts_.too_many_columns);
        if (Status s = set_aside(h.place, h.actions, few ? kReasonTooFew : kReasonTooMany, raw_of(h), rows); !s) {
            return s;
        }
        return to_rows(inner_.reject(rows, h.fate, source, raw_of(h)));
    }

    // A row given as a line goes out as one, cut into fields only when they
    // are needed: for the header, or to record its padding.
    Status pass_line(std::string_view text, std::uint64_t padding, Fate fate, unsigned actions,
                     const RowSource& source) {
        if (header_pending() || (padding != 0 && records_.audit)) {
            RowTable& rows = inner_.table();
            fields_of(text, padding, rows);
            if (header_pending()) return to_header(rows);
            if (Status s = count_written(actions, source, &rows); !s) return s;
            rows.pop_row();
        } else if (Status s = count_written(actions, source, nullptr); !s) {
            return s;
        }
        return to_rows(inner_.accept_line(text, padding, fate, source));
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

    Status skip(const RowSource& source) {
        // Its record would come among those of rows held before it.
        if (records_.audit && shaped()) note_if_early();
        gap_ = true;
        ++counts_.rows_read;
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
    // The rows held back: held_ of them from ring_[first_] on, wrapping.
    std::vector<Held> ring_;
    std::size_t first_ = 0;
    std::size_t held_ = 0;
    std::uint64_t held_rows_ = 0;  // the rows they stand for
    bool gap_ = false;     // the last row was a blank line
    bool second_ = false;  // the main table has ended
    std::uint64_t other_width_ = 0;  // the width of the later table
    RowTable gap_row_;  // after the main table: a row right below a blank line
    std::string_view lent_;  // see lending()
    std::vector<std::string_view> a_, b_;
    RowTable scratch_;
    // Where a resumed run's counts start from.
    RescueCounts from_;
    std::uint64_t from_seen_ = 0;
    // Rows that came to be held, and whether anything was judged or
    // recorded before more than a window of them had: while rows held
    // before them could still have been held (see settled()).
    std::uint64_t arrived_ = 0;
    bool early_ = false;
    void note_if_early() noexcept {
        if (arrived_ <= window() + 2) early_ = true;
    }
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
    // Never cleared: only the bytes read into it are looked at.
    const std::unique_ptr<char[]> chunk(new char[kStreamChunk]);
    std::uint64_t bytes_read = 0;
    for (;;) {
        Result<std::size_t> got = input.read(chunk.get(), kStreamChunk);
        if (!got) return got.error();
        bytes_read += got.value();
        if (progress.poll && progress.poll(progress.context, bytes_read)) return SalvageError::from_errno(EINTR);
        if (got.value() == 0) break;
        // The next read reuses the piece: the recorder copies what it holds of it.
        const std::string_view piece(chunk.get(), got.value());
        if (Status s = recorder.lending(piece, [&] { return salvager.push(piece); }); !s) {
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

CsvSink::CsvSink(ByteSink* out, const RescueOptions& options, std::string room) noexcept
    : out_(out),
      output_delimiter_(options.output_delimiter),
      // Without quoting, no line with a quote is given as a line.
      quote_is_double_(options.quote.value_or('"') == '"'),
      format_(options.output_delimiter.value_or(','), '"'),
      buffer_(std::move(room)) {}

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
    if (!out_ || buffer_.size() + lines.size() < kFlushAt) {
        buffer_.append(lines);
        return Done{};
    }
    // A long run goes out as it stands, without a copy.
    if (Status s = write_out(true); !s) return s;
    return out_->write(lines);
}

Status CsvSink::reject(RowTable& rows, Fate, const RowSource&, std::string_view) {
    rows.clear();
    return Done{};
}

Status CsvSink::end() { return write_out(true); }

Status CsvSink::write_out(bool all) {
    if (!out_ || buffer_.empty() || (!all && buffer_.size() < kFlushAt)) return Done{};
    if (Status s = out_->write(buffer_); !s) return s;
    buffer_.clear();
    return Done{};
}

Status CsvSink::hand_over(ByteSink& to) {
    if (buffer_.empty()) return Done{};
    const Status s = to.write(buffer_);
    buffer_.clear();
    return s;
}

std::string CsvSink::take_room() noexcept {
    buffer_.clear();
    return std::move(buffer_);
}

Result<RescueCounts> rescue(ByteSource& input, RowSink& rows, RecordTargets records, const RescueOptions& options,
                            const Progress& progress, Side* failed) noexcept {
    *failed = Side::Input;
    return guard_memory([&] { return run(input, rows, records, options, progress, failed); });
}

// ---- Byte ranges salvaged each on its own, from a plan

namespace {

constexpr std::string_view kStateMark = "corvel-range-state/1";
constexpr std::uint64_t kNoLimit = UINT64_MAX;
// Bytes read past where a range's rows are known to end, to start with:
// more than the salvager's first window past a range's limit.
constexpr std::uint64_t kLookahead = std::uint64_t{128} << 10;

// What a range's state says besides the recorder's.
struct RangeHead {
    std::uint64_t size = 0;  // the input's
    Plan plan;
    bool lines = false;  // whether the plan's recorder took runs of lines
    bool first = false;
    bool last = false;
    std::uint64_t start = 0;  // its first row's
    std::uint64_t limit = 0;  // no row starting here or after is its
    std::uint64_t end = 0;    // the next range's start; the input's size for the last
    LineBase base;

    void save(StateOut& out) const {
        out.put_text(kStateMark);
        for (const std::uint64_t v : {size, std::uint64_t{plan.delimiter}, plan.expected, std::uint64_t{lines},
                                      std::uint64_t{first}, std::uint64_t{last}, start, limit, end, base.line,
                                      base.lone_crs}) {
            out.put(v);
        }
    }
    bool load(StateIn& in) noexcept {
        if (in.get_text() != kStateMark) return false;
        size = in.get();
        const std::uint64_t delimiter = in.get();
        plan.delimiter = static_cast<std::uint8_t>(delimiter);
        plan.expected = in.get();
        lines = in.get_flag();
        first = in.get_flag();
        last = in.get_flag();
        start = in.get();
        limit = in.get();
        end = in.get();
        base.line = in.get();
        base.lone_crs = in.get();
        return in.ok() && delimiter < 0x80 && start <= end && end <= size && base.line != 0 &&
               (last ? limit == kNoLimit && end == size : start < limit && limit <= end);
    }
};

// Takes every row and keeps none: the plan's sink, shaped as `model`, the
// kind of sink the ranges will be salvaged into (none: plain rows). Notes
// the plan it is begun with.
class Discard final : public RowSink {
public:
    explicit Discard(RowSink* model = nullptr) noexcept : model_(model) {}
    RowTable& table() noexcept override { return rows_; }
    bool takes_lines() const noexcept override { return model_ != nullptr && model_->takes_lines(); }
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override {
        plan = Plan{delimiter, expected};
        planned = true;
        return model_ != nullptr ? model_->begin(delimiter, expected) : Status(Done{});
    }
    Status accept(RowTable& rows, Fate, const RowSource&) override {
        rows.clear();
        return Done{};
    }
    Status reject(RowTable& rows, Fate, const RowSource&, std::string_view) override {
        rows.clear();
        return Done{};
    }
    Status header(RowTable& rows) override {
        rows.clear();
        return Done{};
    }

    Plan plan;
    bool planned = false;

private:
    RowSink* model_;
    RowTable rows_;
};

// Where a range starts, the line there and the recorder's state there.
struct RangeStart {
    std::uint64_t k;  // the range: cut at k * range_bytes
    std::uint64_t start;
    LineBase base;
    std::string recorder;
};

// Stands between a streaming salvager and the plan's recorder, and keeps a
// RangeStart before the first row at or past each cut: the row starts where
// a range's parse from its cut would start, with the recorder as it is once
// every row before it is in. A range in which no row starts (inside a long
// row) has none: the range before it stops where the next one starts.
class CutWatcher final : public RowSink {
public:
    CutWatcher(Recorder& recorder, std::uint64_t range_bytes, std::uint64_t ranges) noexcept
        : recorder_(recorder), range_bytes_(range_bytes), ranges_(ranges) {}

    RowTable& table() noexcept override { return recorder_.table(); }
    bool takes_lines() const noexcept override { return recorder_.takes_lines(); }
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override {
        return recorder_.begin(delimiter, expected);
    }
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override {
        row_starts(source);
        return recorder_.accept(rows, fate, source);
    }
    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override {
        row_starts(source);
        return recorder_.accept_line(text, padding, fate, source);
    }
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override {
        row_starts(source);
        return recorder_.reject(rows, fate, source, bytes);
    }
    // A run of lines (no quotes in them, so no lone CR counted apart) is
    // handed on in pieces, cut before each line that starts a range.
    Status accept_run(std::string_view lines, const LinesSource& source) override {
        LinesSource at = source;
        const std::uint64_t counter = source.first_line - lone_crs_;
        for (;;) {
            const std::uint64_t cut = next_cut();
            std::uint64_t n = 0;
            std::size_t text = 0, raw = 0;
            while (n < at.count && at.offset + raw < cut) {
                text = lines.find('\n', text) + 1;
                raw = at.bytes.find('\n', raw) + 1;
                ++n;
            }
            if (n == at.count) break;
            if (n != 0) {
                if (Status s = recorder_.accept_run(lines.substr(0, text), {at.first_line, at.offset, n,
                                                                          at.bytes.substr(0, raw)});
                    !s) {
                    return s;
                }
                lines.remove_prefix(text);
                at.bytes.remove_prefix(raw);
                at.offset += raw;
                at.first_line += n;
                at.count -= n;
            }
            line_ = counter + (at.first_line - source.first_line);
            keep(at.offset);
        }
        line_ = counter + source.count;
        return recorder_.accept_run(lines, at);
    }

    // Once the input has ended (its size `size`): the last range is kept
    // whether a row starts in it or not, to settle the rows still held.
    void end_of_input(std::uint64_t size) {
        if (starts_.empty() || starts_.back().k + 1 != ranges_) {
            keep_as(ranges_ - 1, size);
        }
    }

    std::vector<RangeStart>& starts() noexcept { return starts_; }

private:
    // The offset at which the next range to keep would start.
    std::uint64_t next_cut() const noexcept {
        return next_k_ >= ranges_ ? UINT64_MAX : next_k_ * range_bytes_;
    }
    void row_starts(const RowSource& source) {
        lone_crs_ = source.first_line - line_;
        if (source.offset >= next_cut()) keep(source.offset);
        line_ = source.line_after;
    }
    // A row starts at `offset`, at or past the next cut: it starts the range
    // of the last cut at or before it.
    void keep(std::uint64_t offset) { keep_as(std::min(offset / range_bytes_, ranges_ - 1), offset); }
    void keep_as(std::uint64_t k, std::uint64_t offset) {
        starts_.push_back({k, offset, LineBase{line_, lone_crs_}, {}});
        StateOut out(starts_.back().recorder);
        recorder_.save(out);
        next_k_ = k + 1;
    }

    Recorder& recorder_;
    std::uint64_t range_bytes_;
    std::uint64_t ranges_;
    std::uint64_t next_k_ = 0;
    std::uint64_t line_ = 1;      // the parser's line counter where the next row starts
    std::uint64_t lone_crs_ = 0;  // lone CRs in quotes before it
    std::vector<RangeStart> starts_;
};

// The plan: the input salvaged streaming, with nothing written, and the
// recorder's state kept at each range's start.
Result<std::vector<std::string>> run_plan(ByteSource& input, std::uint64_t size, const RescueOptions& options,
                                          RowSink& rows_model, std::uint64_t range_bytes, const Progress& progress) {
    Discard discard(&rows_model);
    Recorder recorder(discard, {}, options);
    range_bytes = std::max<std::uint64_t>(1, range_bytes);
    const std::uint64_t count = std::max<std::uint64_t>(1, (size + range_bytes - 1) / range_bytes);
    CutWatcher watcher(recorder, range_bytes, count);
    Salvager salvager(salvage_options(options), watcher);
    std::string chunk(kChunk, '\0');
    std::uint64_t bytes_read = 0;
    for (;;) {
        Result<std::size_t> got = input.read(chunk.data(), chunk.size());
        if (!got) return got.error();
        bytes_read += got.value();
        if (progress.poll && progress.poll(progress.context, bytes_read)) return SalvageError::from_errno(EINTR);
        if (got.value() == 0) break;
        const std::string_view piece(chunk.data(), got.value());
        if (Status s = recorder.lending(piece, [&] { return salvager.push(piece); }); !s) return s.error();
    }
    if (Result<SalvageStats> stats = salvager.finish(); !stats) return stats.error();
    if (bytes_read != size) return SalvageError::io(std::string(msg::kRangeInputChanged));
    watcher.end_of_input(size);
    std::vector<RangeStart>& starts = watcher.starts();
    std::vector<std::string> states;
    RangeHead head;
    head.size = size;
    head.plan = discard.plan;
    head.lines = recorder.takes_lines();
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::uint64_t k = starts[i].k;
        head.first = i == 0;
        head.last = k + 1 == count;
        head.limit = head.last ? kNoLimit : (k + 1) * range_bytes;
        head.start = starts[i].start;
        head.end = i + 1 == starts.size() ? size : starts[i + 1].start;
        head.base = starts[i].base;
        std::string state;
        StateOut out(state);
        head.save(out);
        state += starts[i].recorder;
        states.push_back(std::move(state));
    }
    return states;
}

// The rest of an input from some offset on, at its own offsets from there.
// Room for all of it is reserved, not committed: only the bytes read take
// memory, and they never move while a recorder holds views of them. One is
// used for range after range, so its pages are faulted in once.
class RangeBytes {
public:
    RangeBytes(const RangeBytes&) = delete;
    RangeBytes& operator=(const RangeBytes&) = delete;
    ~RangeBytes() { ::munmap(data_, size_ + 1); }

    static std::unique_ptr<RangeBytes> reserve(std::uint64_t size) noexcept {
        void* p = ::mmap(nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        auto* bytes = new (std::nothrow) RangeBytes(static_cast<char*>(p), size);
        if (bytes == nullptr) ::munmap(p, size + 1);
        return std::unique_ptr<RangeBytes>(bytes);
    }

    // Starts again at input offset `from`, with nothing read. Pages touched
    // far past a range's usual length (by a long row) are given back.
    void restart(std::uint64_t from, std::uint64_t keep) noexcept {
        static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        keep = (keep + page - 1) / page * page;
        if (touched_ > keep) {
            ::madvise(data_ + keep, touched_ - keep, MADV_DONTNEED);  // a hint; failure is harmless
            touched_ = keep;
        }
        from_ = from;
        read_ = 0;
    }
    std::uint64_t from() const noexcept { return from_; }
    // Input offsets from from() up to here have been read.
    std::uint64_t read_to() const noexcept { return from_ + read_; }
    // All the rest of the input, from from() on; only what is read may be looked at.
    std::string_view view() const noexcept { return {data_, static_cast<std::size_t>(size_ - from_)}; }

    // Reads on up to input offset `to` (at most the input's end).
    Status read(RandomSource& input, std::uint64_t to) noexcept {
        to = std::min(to, size_);
        while (read_to() < to) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(to - read_to(), kChunk));
            Result<std::size_t> got = input.read_at(data_ + read_, want, read_to());
            if (!got) return got.error();
            if (got.value() == 0) return SalvageError::io(std::string(msg::kRangeInputChanged));
            read_ += got.value();
            touched_ = std::max(touched_, read_);
        }
        return Done{};
    }

private:
    RangeBytes(char* data, std::uint64_t size) noexcept : data_(data), size_(size) {}

    char* data_;
    std::uint64_t size_;
    std::uint64_t from_ = 0;
    std::uint64_t read_ = 0;
    std::uint64_t touched_ = 0;
};

// Parses on in a range whose bytes are `bytes`, read from `input` as its
// rows need, up to input offset `cap`: true once all the range's rows are
// in, false before a row that would run past `cap`.
Result<bool> parse_on(Salvager& salvager, RangeBytes& bytes, RandomSource& input, std::uint64_t start,
                      std::uint64_t cap, const Cancel& cancel) {
    for (;;) {
        auto whole = salvager.advance_range(bytes.read_to() - bytes.from(), cancel);
        if (!whole || whole.value()) return whole;
        if (bytes.read_to() >= cap) return false;
        // A row runs on past what was read: read as far again.
        const std::uint64_t read = bytes.read_to() - start;
        if (Status s = bytes.read(input, std::min(cap, bytes.read_to() + std::max(read, kLookahead))); !s) {
            return s.error();
        }
    }
}

// A range's rows handed on with their lines counted in the whole input,
// and their offsets too when the range's text starts `shift` bytes into it.
class Rebased final : public RowSink {
public:
    Rebased(RowSink& into, LineBase base, std::uint64_t shift = 0) noexcept
        : into_(into), base_(base), shift_(shift) {}
    RowTable& table() noexcept override { return into_.table(); }
    bool takes_lines() const noexcept override { return into_.takes_lines(); }
    // The recorder was begun when it was resumed.
    Status begin(std::uint8_t, std::uint64_t) override { return Done{}; }
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override {
        return into_.accept(rows, fate, at(source));
    }
    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override {
        return into_.accept_line(text, padding, fate, at(source));
    }
    Status accept_lines(std::string_view lines) override { return into_.accept_lines(lines); }
    Status accept_run(std::string_view lines, const LinesSource& source) override {
        LinesSource s = source;
        s.first_line += base_.line - 1 + base_.lone_crs;
        s.offset += shift_;
        return into_.accept_run(lines, s);
    }
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override {
        return into_.reject(rows, fate, at(source), bytes);
    }
    Status header(RowTable& rows) override { return into_.header(rows); }

private:
    RowSource at(const RowSource& source) const noexcept {
        RowSource s = base_.absolute(source);
        s.offset += shift_;
        return s;
    }

    RowSink& into_;
    LineBase base_;
    std::uint64_t shift_;
};

// The caller's progress, as a range's parse polls it: the bytes parsed,
// counted from the range's start.
struct RangeProgress {
    const Progress& progress;
    const Salvager* salvager;

    static bool poll(void* self) noexcept {
        const auto& p = *static_cast<const RangeProgress*>(self);
        return p.progress.poll != nullptr && p.progress.poll(p.progress.context, p.salvager->next_row());
    }
};

Result<RescueCounts> run_range(RandomSource& input, std::string_view state, RowSink& rows, RecordTargets records,
                               const RescueOptions& options, const Progress& progress, Side* failed) {
    StateIn in(state);
    RangeHead head;
    if (!head.load(in)) return SalvageError::of_kind(SalvageError::Kind::BadState);
    // The input must be the one planned: its size, at least.
    {
        char probe[2];
        Result<std::size_t> got = input.read_at(probe, 2, head.size == 0 ? 0 : head.size - 1);
        if (!got) return got.error();
        if (got.value() != (head.size == 0 ? 0 : 1)) return SalvageError::io(std::string(msg::kRangeInputChanged));
    }
    Recorder recorder(rows, records, options);
    if (Status s = recorder.resume(head.plan.delimiter, head.plan.expected, in, head.first); !s) {
        *failed = recorder.failed_side();
        return s.error();
    }
    if (!in.at_end() || recorder.takes_lines() != head.lines) return SalvageError::of_kind(SalvageError::Kind::BadState);
    const std::unique_ptr<RangeBytes> bytes = RangeBytes::reserve(head.size);
    if (!bytes) return SalvageError::out_of_memory();
    bytes->restart(head.start, 0);
    Rebased rebased(recorder, head.base, head.start);
    Salvager salvager(salvage_options(options), rebased);
    // To the end, or as far past the rows known to be the range's as its
    // first window may look.
    if (Status s = bytes->read(input, head.last ? head.size : std::max(head.limit, head.end) + kLookahead); !s) {
        return s.error();
    }
    const std::uint64_t limit = head.last ? kNoLimit : head.limit - head.start;
    if (Status s = salvager.begin_range(bytes->view(), head.plan, 0, limit); !s) return s.error();
    RangeProgress polled{progress, &salvager};
    const Cancel cancel{RangeProgress::poll, &polled};
    // The range's bytes stay where they are until they go.
    const auto salvage = [&]() -> Status {
        auto whole = parse_on(salvager, *bytes, input, head.start, kNoLimit, cancel);
        if (!whole) {
            *failed = recorder.failed_side();
            if (whole.error().kind() == SalvageError::Kind::Cancelled) return SalvageError::from_errno(EINTR);
            return whole.error();
        }
        if (!head.last && head.start + salvager.next_row() != head.end) {
            return SalvageError::io(std::string(msg::kRangeInputChanged));
        }
        if (Status s = head.last ? recorder.end() : recorder.end_range(); !s) {
            *failed = recorder.failed_side();
            return s;
        }
        return Done{};
    };
    if (Status s = recorder.lending(bytes->view(), salvage); !s) return s.error();
    RescueCounts counts = recorder.counts_since(salvager.stats());
    counts.bytes_read = head.end - (head.first ? 0 : head.start);
    counts.width = head.plan.expected;
    counts.delimiter = head.plan.delimiter;
    return counts;
}


// ---- Byte ranges on several threads, each recorded where it is parsed

// Bytes that a range's recorder writes, kept until the range's turn comes.
class MemorySink final : public ByteSink {
public:
    Status write(std::string_view bytes) noexcept override {
        return guard_memory([&]() -> Status {
            bytes_.append(bytes);
            return Done{};
        });
    }
    // Writes the bytes kept to `to`, and forgets them.
    Status drain(ByteSink& to) noexcept {
        if (bytes_.empty()) return Done{};
        const Status s = to.write(bytes_);
        bytes_.clear();
        return s;
    }

private:
    std::string bytes_;
};

// A recorder whose rows go to a sink of the range's own and whose records
// go to memory, and the counts of the salvagers that fed it.
struct Recorded {
    Recorded(const RescueOptions& o, RecordTargets records, std::unique_ptr<RowSink> sink)
        : rows(std::move(sink)),
          recorder(*rows, {records.quarantine ? &quarantine : nullptr, records.audit ? &audit : nullptr}, o) {}

    void fed_by(const SalvageStats& s) noexcept {
        fed.total_rows += s.total_rows;
        fed.legacy_decoded += s.legacy_decoded;
    }

    MemorySink quarantine, audit;
    std::unique_ptr<RowSink> rows;
    Recorder recorder;
    SalvageStats fed;
};

// CPU time of the calling thread.
double thread_seconds() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Line breaks (CR, LF, CR LF) that end in [from, to) of `text`; a CR at
// to - 1 is looked at with the byte after it, which must have been read.
std::uint64_t breaks_in(std::string_view text, std::uint64_t from, std::uint64_t to) noexcept {
    const auto* d = reinterpret_cast<const std::uint8_t*>(text.data());
    std::uint64_t n = 0;
    for (std::uint64_t i = from; i < to; ++i) n += d[i] == '\n';
    for (const char* p = text.data() + from; (p = static_cast<const char*>(std::memchr(p, '\r', text.data() + to - p)));
         ++p) {
        const std::uint64_t i = static_cast<std::uint64_t>(p - text.data());
        n += i + 1 == text.size() || d[i + 1] != '\n';
    }
    return n;
}

// One range parsed from a guess: its first row starts at the first line
// break after its cut, and the recorder there holds nothing and is past the
// table's labels. Both are checked once the ranges before it are recorded.
struct Guess {
    std::uint64_t k = 0;
    std::uint64_t start = 0;  // where its parse began
    std::unique_ptr<RangeBytes> bytes;
    std::unique_ptr<Recorded> out;
    std::unique_ptr<Rebased> rebased;
    std::unique_ptr<Salvager> parse;
    bool whole = false;  // false: stopped before a row that ran on too far
};

// The ranges of one run and the threads that work them: each thread takes
// the next range, reads its bytes and parses and records it from a guess,
// into memory. Whichever thread finds the next range to hand on ready hands
// ranges on in order: it checks each guess against the ranges before, and
// either lets the recorder of those release the rows it holds and takes the
// range's output as it stands, or salvages the range again on that
// recorder. A wrong guess costs only time.
class ParallelRun {
public:
    ParallelRun(RandomSource& input, std::uint64_t size, const Plan& plan, const RescueOptions& options,
                RangeRows& rows, RecordTargets records, std::uint64_t range_bytes, unsigned in_flight,
                const Progress& progress)
        : input_(input), size_(size), plan_(plan), o_(options), salvaging_(salvage_options(options)), rows_(rows),
          records_(records), range_bytes_(range_bytes),
          ranges_(std::max<std::uint64_t>(1, (size + range_bytes - 1) / range_bytes)), in_flight_(in_flight),
          progress_(progress), slots_(in_flight),
          range_breaks_(records.quarantine || records.audit ? ranges_ : 0, kNoLimit),
          lines_before_(range_breaks_.size()) {}

    // Room for each range in flight; false when it can't be had.
    bool reserve() noexcept {
        for (std::uint64_t i = 0; i < in_flight_; ++i) {
            auto bytes = RangeBytes::reserve(size_);
            if (!bytes) return false;
            spare_bytes_.push_back(std::move(bytes));
        }
        return true;
    }

    // The loop of every thread; the caller's thread polls the progress hook
    // and stays until every range is handed on or the run has failed.
    void work(bool caller) noexcept {
        for (;;) {
            std::uint64_t k = 0;
            std::unique_ptr<RangeBytes> bytes;
            // The caller's hook is polled once a range at least, as a
            // streaming run polls it once a read.
            const bool stop = caller && polled_stop();
            {
                std::unique_lock lock(mutex_);
                if (stop) return fail(lock, SalvageError::from_errno(EINTR));
                for (;;) {
                    if (error_ || handed_ == ranges_) return;
                    if (taken_ < ranges_ && taken_ < handed_ + in_flight_) break;
                    if (!caller) {
                        if (taken_ == ranges_) return;
                        changed_.wait(lock);
                        continue;
                    }
                    changed_.wait_for(lock, kWaitPoll);
                    if (polled_stop()) return fail(lock, SalvageError::from_errno(EINTR));
                }
                k = taken_++;
                bytes = std::move(spare_bytes_.back());
                spare_bytes_.pop_back();
            }
            const Cancel cancel{caller ? &stop_on_caller : &stop_elsewhere, this};
            Result<Guess> guess = guard_memory([&] { return make_guess(k, std::move(bytes), cancel); });
            std::unique_lock lock(mutex_);
            if (!guess) return fail(lock, guess.error());
            slots_[k % in_flight_].emplace(std::move(guess).value());
            if (handing_on_) continue;
            handing_on_ = true;
            while (!error_ && handed_ < ranges_ && slots_[handed_ % in_flight_]) {
                Guess g = std::move(*slots_[handed_ % in_flight_]);
                slots_[handed_ % in_flight_].reset();
                lock.unlock();
                const double t0 = thread_seconds();
                Status s = guard_memory([&] { return hand_on(g, cancel); });
                split_.serial_seconds += thread_seconds() - t0;
                lock.lock();
                if (g.bytes) spare_bytes_.push_back(std::move(g.bytes));
                if (!s) {
                    fail(lock, s.error());
                    break;
                }
                ++handed_;
                changed_.notify_all();
            }
            handing_on_ = false;
        }
    }

    Result<RescueCounts> result(Side* failed) {
        *failed = failed_;
        if (error_) {
            if (error_->kind() == SalvageError::Kind::Cancelled) return SalvageError::from_errno(EINTR);
            return *error_;
        }
        if (Status s = finish(); !s) {
            *failed = failed_;
            return s.error();
        }
        RescueCounts c = counts_;
        c.bytes_read = size_;
        c.width = plan_.expected;
        c.delimiter = plan_.delimiter;
        return c;
    }

    void add_stats(SplitStats& into) const noexcept {
        into.ranges += ranges_;
        into.reruns += split_.reruns;
        into.rerecorded += split_.rerecorded;
        into.rerun_bytes += split_.rerun_bytes;
        into.serial_seconds += split_.serial_seconds;
    }

private:
    std::uint64_t cut(std::uint64_t k) const noexcept { return k * range_bytes_; }
    bool last(std::uint64_t k) const noexcept { return k + 1 == ranges_; }
    // No row starting at or past it is the range's.
    std::uint64_t limit(std::uint64_t k) const noexcept { return last(k) ? kNoLimit : cut(k + 1); }
    std::uint64_t relative(std::uint64_t offset, const RangeBytes& bytes) const noexcept {
        return offset == kNoLimit ? kNoLimit : offset - bytes.from();
    }

    static bool stop_elsewhere(void* self) noexcept {
        return static_cast<ParallelRun*>(self)->stop_.load(std::memory_order_relaxed);
    }
    static bool stop_on_caller(void* self) noexcept { return static_cast<ParallelRun*>(self)->polled_stop(); }
    // Polls the caller's hook, on the caller's thread only.
    bool polled_stop() noexcept {
        if (stop_.load(std::memory_order_relaxed)) return true;
        if (progress_.poll && progress_.poll(progress_.context, done_.load(std::memory_order_relaxed))) {
            stop_.store(true, std::memory_order_relaxed);
            return true;
        }
        return false;
    }

    void fail(std::unique_lock<std::mutex>&, SalvageError error) noexcept {
        if (!error_) error_.emplace(std::move(error));
        stop_.store(true);
        changed_.notify_all();
    }

    Result<Guess> make_guess(std::uint64_t k, std::unique_ptr<RangeBytes> bytes, const Cancel& cancel) {
        const std::uint64_t from = k == 0 ? 0 : cut(k) - 1;
        bytes->restart(from, 2 * range_bytes_ + kLookahead);
        const std::uint64_t want = last(k) ? size_ : limit(k) + kLookahead;
        if (Status s = bytes->read(input_, want); !s) return s.error();
        if (!lines_before_.empty()) {
            if (Status s = count_lines(k, *bytes, cancel); !s) return s.error();
        }
        const std::string_view text = bytes->view();
        Guess g;
        g.k = k;
        g.start = from + (k == 0 ? bom_bytes(text) : speculative_start(text, 1, relative(limit(k), *bytes)));
        auto sink = rows_.open();
        if (!sink) return sink.error();
        g.out = std::make_unique<Recorded>(o_, records_, std::move(sink).value());
        const Status begun = k == 0 ? g.out->recorder.begin(plan_.delimiter, plan_.expected)
                                    : g.out->recorder.begin_steady(plan_.delimiter, plan_.expected);
        if (!begun) return begun.error();
        g.bytes = std::move(bytes);
        // Only the first range's start is certain: a guess gives up on a row
        // that runs a range's length past its end.
        const std::uint64_t cap = k == 0 || last(k) ? kNoLimit : limit(k) + range_bytes_;
        if (Status s = parse(g, g.out->recorder, g.start, cap, cancel); !s) return s.error();
        return g;
    }

    // Parses the range of `g` from `start` into `recorder`, reading on as
    // the rows need, up to input offset `cap`; ends the range's recording
    // when all its rows are in.
    Status parse(Guess& g, Recorder& recorder, std::uint64_t start, std::uint64_t cap, const Cancel& cancel) {
        RangeBytes& bytes = *g.bytes;
        if (!g.parse) {
            g.rebased = std::make_unique<Rebased>(recorder, LineBase{line_at(g.k, start, bytes), 0}, bytes.from());
            g.parse = std::make_unique<Salvager>(salvaging_, *g.rebased);
            if (Status s = g.parse->begin_range(bytes.view(), plan_, relative(start, bytes), relative(limit(g.k), bytes));
                !s) {
                return s;
            }
        }
        return recorder.lending(bytes.view(), [&]() -> Status {
            auto whole = parse_on(*g.parse, bytes, input_, start, cap, cancel);
            if (!whole) return whole.error();
            if (!whole.value()) return Done{};
            g.whole = true;
            return recorder.pause();
        });
    }

    // Counts the line breaks in range k, then waits for those of the ranges
    // before it: the records name rows by their lines.
    Status count_lines(std::uint64_t k, const RangeBytes& bytes, const Cancel& cancel) {
        const std::uint64_t end = std::min(size_, last(k) ? size_ : limit(k));
        const std::uint64_t n = breaks_in(bytes.view(), cut(k) - bytes.from(), end - bytes.from());
        std::unique_lock lock(mutex_);
        range_breaks_[k] = n;
        while (counted_ < ranges_ && range_breaks_[counted_] != kNoLimit) {
            lines_before_[counted_] = counted_ == 0 ? 1 : lines_before_[counted_ - 1] + range_breaks_[counted_ - 1];
            ++counted_;
        }
        changed_.notify_all();
        while (counted_ <= k) {
            changed_.wait_for(lock, kWaitPoll);
            if (error_ || cancel.requested()) return SalvageError::cancelled();
        }
        return Done{};
    }

    // The line on which a row that starts at `offset` in range k stands.
    std::uint64_t line_at(std::uint64_t k, std::uint64_t offset, const RangeBytes& bytes) const noexcept {
        if (lines_before_.empty() || offset >= std::min(size_, limit(k))) return 1;  // no record names a line
        return lines_before_[k] + breaks_in(bytes.view(), cut(k) - bytes.from(), offset - bytes.from());
    }

    Status hand_on(Guess& g, const Cancel& cancel) {
        const bool right = g.k == 0 || g.start == next_start_;
        if (right && !g.whole) {
            if (Status s = parse(g, g.out->recorder, g.start, kNoLimit, cancel); !s) return s;
        }
        if (g.k == 0 || (right && current_->recorder.steady() && g.out->recorder.settled())) {
            if (current_) {
                // The range's first rows show the rows held before them to
                // be rows of the table.
                if (Status s = current_->recorder.release_held(); !s) return s;
                if (Status s = retire(); !s) return s;
            }
            // Its rows go on once those it holds at its end have joined
            // them: batches are then cut where one range's rows end, not
            // also where the rows it held do.
            g.out->fed_by(g.parse->stats());
            current_ = std::move(g.out);
            advance(g.bytes->from() + g.parse->next_row());
            return Done{};
        }
        // Salvaged again from where the range truly starts, on the recorder
        // of the ranges before it.
        if (!right) {
            if (!(g.start >= limit(g.k) && next_start_ >= limit(g.k))) ++split_.reruns;
        } else {
            ++split_.rerecorded;
        }
        recycle(std::move(g.out));
        g.parse.reset();
        g.rebased.reset();
        g.whole = false;
        if (Status s = parse(g, current_->recorder, next_start_, kNoLimit, cancel); !s) return s;
        current_->fed_by(g.parse->stats());
        split_.rerun_bytes += g.parse->next_row() - (next_start_ - g.bytes->from());
        advance(g.bytes->from() + g.parse->next_row());
        return drain(*current_);
    }

    void advance(std::uint64_t next_start) noexcept {
        next_start_ = next_start;
        done_.store(std::min(next_start_, size_), std::memory_order_relaxed);
    }

    // The bytes a recorder has written so far go where they belong.
    Status drain(Recorded& r) {
        if (Status s = rows_.hand_on(*r.rows); !s) {
            failed_ = Side::Clean;
            return s;
        }
        if (records_.quarantine) {
            if (Status s = r.quarantine.drain(*records_.quarantine); !s) {
                failed_ = Side::Quarantine;
                return s;
            }
        }
        if (records_.audit) {
            if (Status s = r.audit.drain(*records_.audit); !s) {
                failed_ = Side::Audit;
                return s;
            }
        }
        return Done{};
    }

    // The current recorder is done with: its last bytes go out, its counts in.
    Status retire() {
        if (Status s = drain(*current_); !s) return s;
        const RescueCounts c = current_->recorder.counts_since(current_->fed);
        for (const auto count : kKeptCounts) counts_.*count += c.*count;
        recycle(std::move(current_));
        return Done{};
    }

    // After the last range: the table's end is judged.
    Status finish() {
        if (!current_) return Done{};
        if (Status s = current_->recorder.end(); !s) {
            failed_ = current_->recorder.failed_side();
            return s;
        }
        if (Status s = retire(); !s) return s;
        if (Status s = rows_.end(); !s) {
            failed_ = Side::Clean;
            return s;
        }
        return Done{};
    }

    void recycle(std::unique_ptr<Recorded> r) {
        std::unique_ptr<RowSink> sink = std::move(r->rows);
        r.reset();
        rows_.recycle(std::move(sink));
    }

    RandomSource& input_;
    std::uint64_t size_;
    Plan plan_;
    const RescueOptions& o_;
    SalvageOptions salvaging_;
    RangeRows& rows_;
    RecordTargets records_;
    std::uint64_t range_bytes_;
    std::uint64_t ranges_;
    std::uint64_t in_flight_;
    const Progress& progress_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> done_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<Guess>> slots_;  // range k waits in slot k % in_flight_, once guessed
    std::vector<std::unique_ptr<RangeBytes>> spare_bytes_;
    std::uint64_t taken_ = 0;
    std::uint64_t handed_ = 0;
    bool handing_on_ = false;
    std::optional<SalvageError> error_;
    // With records: the line breaks in each range, and the line on which
    // each range's cut stands, known for the first counted_ ranges.
    std::vector<std::uint64_t> range_breaks_;
    std::vector<std::uint64_t> lines_before_;
    std::uint64_t counted_ = 0;

    // Kept by the thread that hands on.
    std::unique_ptr<Recorded> current_;  // records the ranges handed on
    std::uint64_t next_start_ = 0;       // where the next range truly starts
    // The counts of the recorders retired, each counted from its start: the
    // main table is found before any of them, as in a fresh RescueCounts.
    RescueCounts counts_;
    Side failed_ = Side::Input;
    SplitStats split_;
};

// A random source read from its start to its end.
class InOrder final : public ByteSource {
public:
    explicit InOrder(RandomSource& input) noexcept : input_(input) {}
    Result<std::size_t> read(char* buffer, std::size_t size) noexcept override {
        Result<std::size_t> got = input_.read_at(buffer, size, at_);
        if (got) at_ += got.value();
        return got;
    }

private:
    RandomSource& input_;
    std::uint64_t at_ = 0;
};

// The plan, as the streaming salvager makes it: from as much of the start
// of the input as it takes to decide.
Result<Plan> plan_head(RandomSource& input, std::uint64_t size, const RescueOptions& options) {
    Discard sink;
    Salvager salvager(salvage_options(options), sink);
    std::string piece(kChunk, '\0');
    for (std::uint64_t at = 0; !sink.planned && at < size;) {
        Result<std::size_t> got = input.read_at(piece.data(), std::min<std::uint64_t>(kChunk, size - at), at);
        if (!got) return got.error();
        if (got.value() == 0) return SalvageError::io(std::string(msg::kRangeInputChanged));
        if (Status s = salvager.push({piece.data(), got.value()}); !s) return s.error();
        at += got.value();
    }
    if (!sink.planned) {
        if (Result<SalvageStats> s = salvager.finish(); !s) return s.error();
    }
    return sink.plan;
}

Result<RescueCounts> run_parallel(RandomSource& input, std::uint64_t size, RangeRows& rows, RecordTargets records,
                                  const RescueOptions& options, const SplitOptions& split, const Progress& progress,
                                  Side* failed, SplitStats* stats) {
    auto plan = plan_head(input, size, options);
    if (!plan) return plan.error();
    const std::uint64_t range_bytes = std::max<std::uint64_t>(1, split.range_bytes);
    const Crew crew = crew_for(split, std::max<std::uint64_t>(1, (size + range_bytes - 1) / range_bytes));
    ParallelRun parallel(input, size, plan.value(), options, rows, records, range_bytes, crew.in_flight, progress);
    if (!parallel.reserve()) {
        // Where address space is not to be had without memory behind it,
        // the file is salvaged streaming, with the same result.
        InOrder in(input);
        auto sink = rows.open();
        if (!sink) return sink.error();
        Result<RescueCounts> counts = run(in, *sink.value(), records, options, progress, failed);
        if (!counts) return counts;
        Status s = rows.hand_on(*sink.value());
        if (s) s = rows.end();
        if (!s) {
            *failed = Side::Clean;
            return s.error();
        }
        return counts;
    }
    run_crew(crew, [&parallel](bool caller) { parallel.work(caller); });
    if (stats) parallel.add_stats(*stats);
    Result<RescueCounts> counts = parallel.result(failed);
    if (!counts) return counts;
    // Bytes past the size planned for would have been salvaged by a
    // streaming run: a file that grew is not salvaged in part.
    char past;
    Result<std::size_t> more = input.read_at(&past, 1, size);
    if (!more) return more.error();
    if (more.value() != 0) return SalvageError::io(std::string(msg::kRangeInputChanged));
    return counts;
}

}  // namespace

Result<std::size_t> FdRandomSource::read_at(char* buffer, std::size_t size, std::uint64_t offset) noexcept {
    if (cancel_.requested()) return SalvageError::cancelled();
    for (;;) {
        const ssize_t n = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return SalvageError::from_errno(errno);
        if (cancel_.requested()) return SalvageError::cancelled();
    }
}

Result<std::vector<std::string>> plan_ranges(ByteSource& input, std::uint64_t size, const RescueOptions& options,
                                             RowSink& rows_model, std::uint64_t range_bytes,
                                             const Progress& progress) noexcept {
    return guard_memory([&] { return run_plan(input, size, options, rows_model, range_bytes, progress); });
}

Result<RescueCounts> rescue_range(RandomSource& input, std::string_view state, RowSink& rows, RecordTargets records,
                                  const RescueOptions& options, const Progress& progress, Side* failed) noexcept {
    *failed = Side::Input;
    return guard_memory([&] { return run_range(input, state, rows, records, options, progress, failed); });
}


Result<RescueCounts> rescue_parallel(RandomSource& input, std::uint64_t size, RangeRows& rows, RecordTargets records,
                                     const RescueOptions& options, const SplitOptions& split, const Progress& progress,
                                     Side* failed, SplitStats* stats) noexcept {
    *failed = Side::Input;
    return guard_memory(
        [&] { return run_parallel(input, size, rows, records, options, split, progress, failed, stats); });
}

Result<std::unique_ptr<RowSink>> CsvRanges::open() {
    std::string room;
    {
        const std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            room = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    return std::unique_ptr<RowSink>(std::make_unique<CsvSink>(options_, std::move(room)));
}

Status CsvRanges::hand_on(RowSink& range) { return static_cast<CsvSink&>(range).hand_over(clean_); }

void CsvRanges::recycle(std::unique_ptr<RowSink> range) {
    std::string room = static_cast<CsvSink&>(*range).take_room();
    range.reset();
    const std::lock_guard lock(mutex_);
    spare_.push_back(std::move(room));
}

}  // namespace corvel
