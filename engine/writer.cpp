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
      ascii_(delimiter < 0x80 && quote < 0x80) {
    special_[static_cast<unsigned char>('\n')] = special_[static_cast<unsigned char>('\r')] = true;
    special_[delimiter] = special_[quote] = true;
    sentinels_[0] = '\n';
    sentinels_[1] = '\r';
    sentinels_[2] = static_cast<std::uint8_t>(delimiter_[0]);
    sentinels_[3] = static_cast<std::uint8_t>(quote_[0]);
}

bool CleanFormat::needs_enclosure(std::string_view field) const noexcept {
    if (ascii_) {
        for (const char c : field) {
            if (special_[static_cast<unsigned char>(c)]) return true;
        }
        return false;
    }
    // A byte of 0x80 or more stands for a two-byte character here: look for
    // the character, not for the byte.
    for (const char c : field) {
        if (c == '\n' || c == '\r') return true;
    }
    return field.find(delimiter_) != std::string_view::npos ||
           field.find(quote_) != std::string_view::npos;
}

void CleanFormat::append_piece(std::string& out, std::string_view piece, bool enclose) const {
    if (enclose) {
        append_doubling(out, piece, quote_);
    } else {
        out.append(piece);
    }
}

void CleanFormat::append_field(std::string& out, std::string_view field) const {
    if (!needs_enclosure(field)) {
        out.append(field);
        return;
    }
    out.append(quote_);
    append_doubling(out, field, quote_);
    out.append(quote_);
}

void CleanFormat::append_row(std::string& out, const RowTable& rows, std::uint64_t r) const {
    const std::uint64_t n = rows.width(r);
    const std::string_view text = rows.row_text(r);
    const auto* d = reinterpret_cast<const std::uint8_t*>(text.data());
    if (scan::find_any4(d, text.size(), 0, sentinels_[0], sentinels_[1], sentinels_[2], sentinels_[3]) ==
        text.size()) {
        // No field needs enclosure: the fields, the separators, the line feed.
        const std::size_t at = out.size();
        const std::size_t sep = delimiter_.size();
        const std::size_t size = at + text.size() + (n - 1) * sep + 1;
        out.resize_and_overwrite(size, [&](char* p, std::size_t) {  // see RowTable::append_split_row
            p += at;
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
            return size;
        });
        return;
    }
    for (std::uint64_t f = 0; f < n; ++f) {
        if (f != 0) out.append(delimiter_);
        append_field(out, rows.field(r, f));
    }
    out.push_back('\n');
}

void append_quarantine_header(std::string& out) { out.append(msg::kQuarantineHeader); }

void append_quarantine_record(std::string& out, const Quarantine& quarantine, std::uint64_t i,
                              std::string_view delimiter_utf8, std::uint64_t expected) {
    constexpr std::string_view dq = "\"";
    out.append(std::to_string(quarantine.line(i)));
    out.append(",\"");
    append_doubling(out, reason_text(quarantine.reason(i), expected), dq);
    out.append("\",\"");
    const RowTable& tokens = quarantine.tokens();
    for (std::uint64_t f = 0; f < tokens.width(i); ++f) {
        if (f != 0) append_doubling(out, delimiter_utf8, dq);  // a double-quote delimiter too
        append_doubling(out, tokens.field(i, f), dq);
    }
    out.append("\"\n");
}

}  // namespace corvel
