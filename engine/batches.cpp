#include "batches.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <memory>

namespace corvel {

namespace {

constexpr std::uint64_t kFieldCost = sizeof(std::uint64_t);
constexpr std::uint64_t kRowCost = 16;

}  // namespace

void append_clean_line(RowTable& rows, std::string_view line, std::uint8_t delimiter, std::uint64_t padding) {
    if (line.find('"') == std::string_view::npos) {
        rows.append_split_row(line, delimiter, true);
    } else {
        const char* p = line.data();
        const char* const end = p + line.size();
        const char d = static_cast<char>(delimiter);
        for (;;) {
            if (p != end && *p == '"') {
                // Enclosed: up to the quote that is not doubled.
                ++p;
                for (;;) {
                    const auto* q = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
                    if (!q) q = end;
                    rows.append(p, static_cast<std::size_t>(q - p));
                    p = q == end ? end : q + 1;
                    if (p == end || *p != '"') break;
                    rows.append('"');
                    ++p;
                }
            }
            // Plain text, or whatever follows a closing quote, up to the delimiter.
            const auto* stop = static_cast<const char*>(std::memchr(p, d, static_cast<std::size_t>(end - p)));
            if (!stop) stop = end;
            rows.append(p, static_cast<std::size_t>(stop - p));
            rows.finish_valid_field();
            if (stop == end) break;
            p = stop + 1;
        }
        rows.finish_row();
    }
    if (padding != 0) {
        const std::uint64_t last = rows.size() - 1;
        if (!rows.pad_last_row(rows.width(last) + padding)) throw std::bad_alloc();
    }
}

BatchSink::BatchSink(BatchLimits limits, bool lines, BatchHandoff handoff) noexcept
    : limits_(limits), lines_allowed_(lines), handoff_(handoff) {
    limits_.rows = std::max<std::uint64_t>(limits_.rows, 1);
}

Status BatchSink::begin(std::uint8_t delimiter, std::uint64_t expected) {
    delimiter_ = delimiter;
    lines_ = lines_allowed_ && expected > 1;
    // Room for a whole batch once: growing by doubling would copy and touch
    // every page again. Reserved pages that are never written cost nothing.
    open_.reserve(limits_.bytes, limits_.bytes / kFieldCost, std::min(limits_.rows, limits_.bytes / kRowCost));
    return Done{};
}

void BatchSink::row_done() {
    const std::uint64_t last = open_.size() - 1;
    const std::uint64_t width = open_.width(last);
    open_bytes_ += open_.text_bytes(last) + kFieldCost * width + kRowCost;
    note_width(width);
    ++rows_;
}

void BatchSink::note_width(std::uint64_t width) noexcept {
    if (!have_width_) {
        have_width_ = true;
        width_ = width;
    } else if (width != width_) {
        mixed_ = true;
    }
}

Status BatchSink::accept(RowTable&, Fate, const RowSource&) {
    row_done();
    return full() ? hand_off() : Status(Done{});
}

Status BatchSink::accept_line(std::string_view text, std::uint64_t padding, Fate, const RowSource&) {
    append_clean_line(open_, text, delimiter_, padding);
    row_done();
    return full() ? hand_off() : Status(Done{});
}

Status BatchSink::accept_lines(std::string_view lines) {
    const char* p = lines.data();
    const char* const end = p + lines.size();
    while (p != end) {
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        open_.append_split_row(std::string_view(p, static_cast<std::size_t>(nl - p)), delimiter_, true);
        p = nl + 1;
        row_done();
        if (full()) {
            if (Status s = hand_off(); !s) return s;
        }
    }
    return Done{};
}

Status BatchSink::reject(RowTable& rows, Fate, const RowSource&, std::string_view) {
    rows.pop_row();
    return Done{};
}

Status BatchSink::header(RowTable& rows) {
    const std::uint64_t last = rows.size() - 1;
    header_ = rows.row(last);
    got_header_ = true;
    if (!have_width_) width_ = rows.width(last);
    rows.pop_row();
    return Done{};
}

Status BatchSink::end() {
    ended_ = true;
    Status s = hand_off();
    // Nothing is parsed any more: the parse table's pages go back now,
    // rather than staying as long as the batches it filled.
    open_.release();
    return s;
}

void BatchSink::seal() {
    if (open_.empty()) return;
    // A packed copy; the parse table keeps its pages for the next batch.
    auto table = std::make_shared<const arrow::PackedTable>(open_);
    const std::uint64_t n = table->size();
    sealed_.push_back(arrow::RowBatch{std::move(table), 0, n});
    open_.clear();
    open_bytes_ = 0;
}

Status BatchSink::append(BatchSink& range) {
    range.seal();
    if (range.got_header_) {
        header_ = std::move(range.header_);
        got_header_ = true;
        if (!have_width_) width_ = range.width_;
    }
    if (range.have_width_) note_width(range.width_);
    mixed_ = mixed_ || range.mixed_;
    rows_ += range.rows_;
    seal();
    for (arrow::RowBatch& b : range.sealed_) sealed_.push_back(std::move(b));
    range.reset();
    return hand_off();
}

void BatchSink::reset() noexcept {
    open_.clear();
    open_bytes_ = 0;
    sealed_.clear();
    header_.clear();
    got_header_ = have_width_ = mixed_ = false;
    width_ = rows_ = 0;
}

Result<std::unique_ptr<RowSink>> BatchRanges::open() {
    {
        const std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            std::unique_ptr<RowSink> sink = std::move(spare_.back());
            spare_.pop_back();
            return sink;
        }
    }
    return std::unique_ptr<RowSink>(std::make_unique<BatchSink>(into_.limits(), into_.lines_allowed()));
}

void BatchRanges::recycle(std::unique_ptr<RowSink> range) {
    auto& sink = static_cast<BatchSink&>(*range);
    // Only a sink that was not ended keeps its parse table; one that was is let go.
    if (sink.ended()) return;
    sink.reset();  // a range parsed again leaves its first guess here
    const std::lock_guard lock(mutex_);
    spare_.push_back(std::move(range));
}

Status BatchSink::hand_off() {
    seal();
    if (!handoff_.call) return Done{};
    return handoff_.call(handoff_.context, *this);
}

}  // namespace corvel
