#include "sinks.hpp"

#include "memory.hpp"

#include <cstring>

namespace corvel {
namespace {

// Rows longer than this go out in slices of this size.
constexpr std::size_t kSlice = 1 << 20;

}  // namespace

// ---- CleanFileSink

Status CleanFileSink::begin(std::uint8_t delimiter, std::uint64_t) {
    format_.emplace(delimiter, quote_);
    delimiter_ = static_cast<char>(delimiter);
    return Done{};
}

Status CleanFileSink::accept(RowTable& rows, Fate, const RowSource&) {
    std::string& buf = out_.buffer();
    const std::size_t start = buf.size();
    const std::uint64_t r = rows.size() - 1;
    Status s = Done{};
    if (rows.text_bytes(r) < kSlice) {
        format_->append_row(buf, rows, r);
        s = out_.line_done(start);
    } else {
        s = format_->append_row_sliced(buf, rows, r, kSlice, [&] { return out_.piece_done(); });
    }
    rows.clear();
    return s;
}

// A plain line is copied as it stands: none of its fields can need enclosure.
Status CleanFileSink::accept_line(std::string_view text, std::uint64_t padding, Fate, const RowSource&) {
    std::string& buf = out_.buffer();
    const std::size_t start = buf.size();
    append_in_place(buf, text.size() + padding + 1, [&](char* p) {
        std::memcpy(p, text.data(), text.size());
        std::memset(p + text.size(), delimiter_, padding);
        p[text.size() + padding] = '\n';
    });
    return out_.line_done(start);
}

Status CleanFileSink::reject(RowTable& rows, Fate, const RowSource&, std::string_view) {
    rows.pop_row();
    return Done{};
}

// ---- QuarantineFileSink

Status QuarantineFileSink::begin(std::uint8_t delimiter, std::uint64_t expected) {
    joiner_ = byte_as_utf8(delimiter);
    expected_ = expected;
    return Done{};
}

Status QuarantineFileSink::accept(RowTable& rows, Fate, const RowSource&) {
    rows.clear();
    return Done{};
}

Status QuarantineFileSink::reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view) {
    std::string& buf = out_.buffer();
    const std::size_t start = buf.size();
    append_quarantine_record(buf, source.line_after, reason_of(fate), expected_, rows, rows.size() - 1, joiner_);
    rows.pop_row();
    return out_.line_done(start);
}

// ---- CountingSink and SplitSink

Status CountingSink::accept(RowTable& rows, Fate, const RowSource&) {
    rows.clear();
    return Done{};
}

Status CountingSink::reject(RowTable& rows, Fate, const RowSource&, std::string_view) {
    rows.pop_row();
    return Done{};
}

Status SplitSink::begin(std::uint8_t delimiter, std::uint64_t expected) {
    if (Status s = accepted_.begin(delimiter, expected); !s) return s;
    return rejected_.begin(delimiter, expected);
}

}  // namespace corvel
