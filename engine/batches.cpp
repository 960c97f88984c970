#include "batches.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace corvel {

namespace {

constexpr std::uint64_t kFieldCost = sizeof(std::uint64_t);
constexpr std::uint64_t kRowCost = 16;

// The first byte of `p..end` that is one of a or b, or end.
const char* find_either(const char* p, const char* end, char a, char b) noexcept {
    while (p != end && *p != a && *p != b) ++p;
    return p;
}

}  // namespace

CleanBatcher::CleanBatcher(bool header, BatchLimits limits) noexcept
    : want_header_(header), limits_(limits) {
    limits_.rows = std::max<std::uint64_t>(limits_.rows, 1);
}

Status CleanBatcher::push(std::string_view bytes) noexcept {
    return guard_memory([&]() -> Status {
        parse(bytes);
        return Done{};
    });
}

Status CleanBatcher::finish() noexcept {
    return guard_memory([&]() -> Status {
        if (!table_) open_table();
        // A stream always ends its last row; one that doesn't is ended here.
        if (state_ != State::FieldStart || table_->open_fields() != 0) end_row();
        seal();
        return Done{};
    });
}

void CleanBatcher::end_field() {
    table_->finish_valid_field();
    open_bytes_ += kFieldCost;
    state_ = State::FieldStart;
}

void CleanBatcher::end_row() {
    end_field();
    table_->finish_row();
    row_done();
}

void CleanBatcher::row_done() {
    open_bytes_ += kRowCost;
    const std::uint64_t last = table_->size() - 1;
    const std::uint64_t width = table_->width(last);
    if (want_header_ && !got_header_) {
        got_header_ = true;
        header_ = table_->row(last);
        table_->pop_row();
        open_bytes_ = 0;
        if (!have_width_) width_ = width;
        return;
    }
    if (!have_width_) {
        have_width_ = true;
        width_ = width;
    } else if (width != width_) {
        mixed_ = true;
    }
    ++rows_;
    if (table_->size() >= limits_.rows || open_bytes_ >= limits_.bytes) seal();
}

void CleanBatcher::seal() {
    if (!table_ || table_->empty()) return;
    auto table = std::shared_ptr<const RowTable>(std::move(table_));
    const std::uint64_t n = table->size();
    sealed_.push_back(arrow::RowBatch{std::move(table), 0, n});
    open_bytes_ = 0;
}

void CleanBatcher::open_table() {
    table_ = std::make_unique<RowTable>();
    // Room for a whole batch at once: growing by doubling would touch every
    // page twice. Reserved pages that are never written cost nothing.
    table_->reserve(limits_.bytes, limits_.bytes / kFieldCost, std::min(limits_.rows, limits_.bytes / kRowCost));
}

void CleanBatcher::parse(std::string_view bytes) {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p != end) {
        if (!table_) open_table();
        switch (state_) {
            case State::FieldStart:
                if (table_->open_fields() == 0) {
                    // Most rows are whole lines without quotes: split at once.
                    const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                    if (nl && !std::memchr(p, '"', static_cast<std::size_t>(nl - p))) {
                        const std::string_view line(p, static_cast<std::size_t>(nl - p));
                        table_->append_split_row(line, ',', true);
                        const std::uint64_t last = table_->size() - 1;
                        open_bytes_ += table_->text_bytes(last) + kFieldCost * table_->width(last);
                        p = nl + 1;
                        row_done();
                        continue;
                    }
                }
                if (*p == '"') {
                    state_ = State::Quoted;
                    ++p;
                    continue;
                }
                state_ = State::Plain;
                [[fallthrough]];
            case State::Plain: {
                const char* stop = find_either(p, end, ',', '\n');
                table_->append(p, static_cast<std::size_t>(stop - p));
                open_bytes_ += static_cast<std::uint64_t>(stop - p);
                p = stop;
                if (p == end) return;
                if (*p++ == ',') {
                    end_field();
                } else {
                    end_row();
                }
                continue;
            }
            case State::Quoted: {
                const char* stop = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
                if (!stop) stop = end;
                table_->append(p, static_cast<std::size_t>(stop - p));
                open_bytes_ += static_cast<std::uint64_t>(stop - p);
                p = stop;
                if (p == end) return;
                ++p;
                state_ = State::QuoteInQuoted;
                continue;
            }
            case State::QuoteInQuoted:
                if (*p == '"') {  // a doubled quote: one quote of text
                    table_->append('"');
                    ++open_bytes_;
                    state_ = State::Quoted;
                    ++p;
                } else if (*p == ',') {
                    ++p;
                    end_field();
                } else if (*p == '\n') {
                    ++p;
                    end_row();
                } else {
                    state_ = State::Plain;  // not written by the clean writer; kept as text
                }
                continue;
        }
    }
}

}  // namespace corvel
