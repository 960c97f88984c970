#include "writer.hpp"

#include "messages.hpp"
#include "scan.hpp"

#include <cstring>

namespace corvel {
namespace {

// Appends `text` with every `quote` doubled.
void append_doubling(std::string& out, std::string_view text, std::string_view quote) {
    // A one-byte quote is searched for as a byte, which the library does
    // many bytes at a time.
    const auto find = [&](std::size_t from) {
        return quote.size() == 1 ? text.find(quote[0], from) : text.find(quote, from);
    };
    std::size_t from = 0;
    for (std::size_t at; (at = find(from)) != std::string_view::npos;) {
        const std::size_t after = at + quote.size();
        out.append(text.substr(from, after - from));
        out.append(quote);
        from = after;
    }
    out.append(text.substr(from));
}

}  // namespace

CleanFormat::CleanFormat(std::uint8_t delimiter, std::uint8_t quote)
    : delimiter_(byte_as_utf8(delimiter)), quote_(byte_as_utf8(quote)),
      ascii_(delimiter < 0x80 && quote < 0x80),
      sentinels_{'\n', '\r', static_cast<std::uint8_t>(delimiter_[0]), static_cast<std::uint8_t>(quote_[0])} {}

bool CleanFormat::has_sentinel(std::string_view text) const noexcept {
    const auto* d = reinterpret_cast<const std::uint8_t*>(text.data());
    return scan::find_any(d, text.size(), 0, sentinels_[0], sentinels_[1], sentinels_[2], sentinels_[3]) !=
           text.size();
}

bool CleanFormat::needs_enclosure(std::string_view field) const noexcept {
    if (!has_sentinel(field)) return false;
    if (ascii_) return true;  // the sentinels are exactly the special bytes
    // A byte of 0x80 or more stands for a two-byte character here: look for
    // the character, not for its first byte.
    return field.find_first_of("\n\r") != std::string_view::npos ||
           field.find(delimiter_) != std::string_view::npos || field.find(quote_) != std::string_view::npos;
}

void CleanFormat::append_piece(std::string& out, std::string_view piece, bool enclose) const {
    if (enclose) {
        append_doubling(out, piece, quote_);
    } else {
        out.append(piece);
    }
}

void CleanFormat::append_row(std::string& out, const RowTable& rows, std::uint64_t r) const {
    const std::uint64_t n = rows.width(r);
    const std::string_view text = rows.row_text(r);
    if (!has_sentinel(text)) {
        // No field needs enclosure: the fields, the separators, the line feed.
        const std::size_t sep = delimiter_.size();
        append_in_place(out, text.size() + (n - 1) * sep + 1, [&](char* p) {
            for (std::uint64_t f = 0; f < n; ++f) {
                if (f != 0) {
                    std::memcpy(p, delimiter_.data(), sep);
                    p += sep;
                }
                const std::string_view field = rows.field(r, f);
                std::memcpy(p, field.data(), field.size());
                p += field.size();
            }
            *p = '\n';
        });
        return;
    }
    (void)append_row_sliced(out, rows, r, kWhole, no_flush);
}

void append_quarantine_header(std::string& out) { out.append(msg::kQuarantineHeader); }

void append_quarantine_record(std::string& out, std::uint64_t line, QuarantineReason reason,
                              std::uint64_t expected, const RowTable& tokens, std::uint64_t r,
                              std::string_view delimiter_utf8) {
    constexpr std::string_view dq = "\"";
    out.append(std::to_string(line));
    out.append(",\"");
    append_doubling(out, reason_text(reason, expected), dq);
    out.append("\",\"");
    for (std::uint64_t f = 0; f < tokens.width(r); ++f) {
        if (f != 0) append_doubling(out, delimiter_utf8, dq);  // a double-quote delimiter too
        append_doubling(out, tokens.field(r, f), dq);
    }
    out.append("\"\n");
}

void append_quarantine_record(std::string& out, const Quarantine& quarantine, std::uint64_t i,
                              std::string_view delimiter_utf8, std::uint64_t expected) {
    append_quarantine_record(out, quarantine.line(i), quarantine.reason(i), expected, quarantine.tokens(), i,
                             delimiter_utf8);
}

}  // namespace corvel
