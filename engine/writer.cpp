#include "writer.hpp"

#include "messages.hpp"
#include "scan.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Index of the first byte of `text` at or after `from` equal to one of
// `bytes`, or text.size(). The bytes past the last whole block are read as
// the block that ends the text, not one at a time.
std::size_t find_sentinel(std::string_view text, std::size_t from, const std::uint8_t (&bytes)[4]) noexcept {
    const auto* d = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
#if defined(__SSE2__)
    if (n >= 16) {
        const __m128i v0 = _mm_set1_epi8(static_cast<char>(bytes[0]));
        const __m128i v1 = _mm_set1_epi8(static_cast<char>(bytes[1]));
        const __m128i v2 = _mm_set1_epi8(static_cast<char>(bytes[2]));
        const __m128i v3 = _mm_set1_epi8(static_cast<char>(bytes[3]));
        const auto hits = [&](std::size_t i) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
            return static_cast<unsigned>(_mm_movemask_epi8(
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, v0), _mm_cmpeq_epi8(x, v1)),
                             _mm_or_si128(_mm_cmpeq_epi8(x, v2), _mm_cmpeq_epi8(x, v3)))));
        };
        std::size_t i = from;
        for (; i + 16 <= n; i += 16) {
            if (const unsigned m = hits(i)) return i + static_cast<std::size_t>(__builtin_ctz(m));
        }
        if (i < n) {
            if (const unsigned m = hits(n - 16) >> (i - (n - 16))) return i + static_cast<std::size_t>(__builtin_ctz(m));
        }
        return n;
    }
#endif
    for (std::size_t i = from; i < n; ++i) {
        if (d[i] == bytes[0] || d[i] == bytes[1] || d[i] == bytes[2] || d[i] == bytes[3]) return i;
    }
    return n;
}

}  // namespace

CleanFormat::CleanFormat(std::uint8_t delimiter, std::uint8_t quote)
    : delimiter_(byte_as_utf8(delimiter)), quote_(byte_as_utf8(quote)),
      ascii_(delimiter < 0x80 && quote < 0x80),
      sentinels_{'\n', '\r', static_cast<std::uint8_t>(delimiter_[0]), static_cast<std::uint8_t>(quote_[0])} {}

bool CleanFormat::has_sentinel(std::string_view text) const noexcept {
    const auto* d = reinterpret_cast<const std::uint8_t*>(text.data());
    return scan::find_any4(d, text.size(), 0, sentinels_[0], sentinels_[1], sentinels_[2], sentinels_[3]) !=
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

void CleanFormat::append_field(std::string& out, std::string_view field) const {
    auto flush = no_flush;
    (void)append_field_sliced(out, field, kWhole, flush);
}

void CleanFormat::append_row(std::string& out, const RowTable& rows, std::uint64_t r) const {
    const std::uint64_t n = rows.width(r);
    const std::string_view text = rows.row_text(r);
    std::size_t hit = find_sentinel(text, 0, sentinels_);
    if (hit == text.size()) {
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
    if (!ascii_ || text.size() > kInPlaceBytes) {
        (void)append_row_sliced(out, rows, r, kWhole, no_flush);
        return;
    }
    // The sentinels are exactly the special bytes: one search over the row,
    // resumed at the end of each field it hits, tells which fields need
    // enclosure, instead of a search per field. The row is written in place
    // within a bound that doubling every byte could not pass.
    const char delimiter = delimiter_[0];
    const char quote = quote_[0];
    const std::size_t at = out.size();
    const std::size_t bound = 2 * text.size() + 3 * n + 1;
    out.resize_and_overwrite(at + bound, [&](char* p, std::size_t) noexcept {
        char* w = p + at;
        for (std::uint64_t f = 0; f < n; ++f) {
            if (f != 0) *w++ = delimiter;
            const std::string_view field = rows.field(r, f);
            const std::size_t end = static_cast<std::size_t>(field.data() - text.data()) + field.size();
            if (hit >= end) {
                std::memcpy(w, field.data(), field.size());
                w += field.size();
                continue;
            }
            *w++ = quote;
            std::size_t from = 0;
            while (const void* q = std::memchr(field.data() + from, quote, field.size() - from)) {
                const std::size_t after = static_cast<std::size_t>(static_cast<const char*>(q) - field.data()) + 1;
                std::memcpy(w, field.data() + from, after - from);
                w += after - from;
                *w++ = quote;
                from = after;
            }
            std::memcpy(w, field.data() + from, field.size() - from);
            w += field.size() - from;
            *w++ = quote;
            hit = find_sentinel(text, end, sentinels_);
        }
        *w++ = '\n';
        return static_cast<std::size_t>(w - p);
    });
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
