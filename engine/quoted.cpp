#include "quoted.hpp"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvel {

namespace {

constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;
// Longer rows are left to the tokenizer: the masks gain nothing on them,
// huge rows are written in slices from the row table, and a quote left open
// would otherwise be scanned to the end of the input before the tokenizer
// reads it all again. This also bounds the scratch kept from row to row.
constexpr std::uint64_t kMaxRowBytes = 1 << 16;
// A row shorter than kShortRowBytes, where a block's fixed cost outweighs
// the bytes it covers, or whose fields are longer than kLongFieldBytes on
// average, makes take() sit out kRowsToRest rows.
constexpr std::uint64_t kShortRowBytes = 32;
constexpr std::uint64_t kLongFieldBytes = 48;
constexpr std::uint32_t kRowsToRest = 15;

// One bit per byte of a 64-byte block, bit i for byte i. Line feeds alone
// are only needed where a line break sits inside quotes, which is rare, so
// they are found apart (line_feeds()).
struct Masks {
    std::uint64_t quote = 0;
    std::uint64_t delimiter = 0;
    std::uint64_t breaks = 0;  // CR or LF
};

#if defined(__SSE2__)
inline std::uint64_t join(int m0, int m1, int m2, int m3) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(m0)) |
           static_cast<std::uint64_t>(static_cast<std::uint16_t>(m1)) << 16 |
           static_cast<std::uint64_t>(static_cast<std::uint16_t>(m2)) << 32 |
           static_cast<std::uint64_t>(static_cast<std::uint16_t>(m3)) << 48;
}
#endif

// The bytes the masks are made of, spread over a vector each once per row.
struct Needles {
#if defined(__SSE2__)
    __m128i quote, delimiter, cr, lf;
    Needles(std::uint8_t d, std::uint8_t q) noexcept
        : quote(_mm_set1_epi8(static_cast<char>(q))), delimiter(_mm_set1_epi8(static_cast<char>(d))),
          cr(_mm_set1_epi8(static_cast<char>(kCR))), lf(_mm_set1_epi8(static_cast<char>(kLF))) {}
#else
    std::uint8_t quote, delimiter;
    Needles(std::uint8_t d, std::uint8_t q) noexcept : quote(q), delimiter(d) {}
#endif
};

// The masks of the 64 bytes at s.
[[gnu::always_inline]] inline Masks block_masks(const std::uint8_t* s, const Needles& v) noexcept {
    Masks m;
#if defined(__SSE2__)
    const auto load = [&](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16 * k)); };
    const __m128i x0 = load(0), x1 = load(1), x2 = load(2), x3 = load(3);
    const auto mask = [](__m128i x, __m128i v) { return _mm_movemask_epi8(_mm_cmpeq_epi8(x, v)); };
    const auto brk = [&](__m128i x) {
        return _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, v.cr), _mm_cmpeq_epi8(x, v.lf)));
    };
    m.quote = join(mask(x0, v.quote), mask(x1, v.quote), mask(x2, v.quote), mask(x3, v.quote));
    m.delimiter = join(mask(x0, v.delimiter), mask(x1, v.delimiter), mask(x2, v.delimiter), mask(x3, v.delimiter));
    m.breaks = join(brk(x0), brk(x1), brk(x2), brk(x3));
#else
    for (int i = 0; i < 64; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        m.quote |= s[i] == v.quote ? bit : 0;
        m.delimiter |= s[i] == v.delimiter ? bit : 0;
        m.breaks |= s[i] == kCR || s[i] == kLF ? bit : 0;
    }
#endif
    return m;
}

// The line feeds among the bytes of `candidates` (a mask of CR and LF) in
// the `len` bytes at s.
std::uint64_t line_feeds(const std::uint8_t* s, std::uint64_t len, std::uint64_t candidates) noexcept {
    std::uint64_t m = 0;
    for (std::uint64_t k = candidates; k; k &= k - 1) {
        const auto i = static_cast<unsigned>(__builtin_ctzll(k));
        if (i < len && s[i] == kLF) m |= std::uint64_t{1} << i;
    }
    return m;
}

std::uint64_t popcount(std::uint64_t x) noexcept {
    std::uint64_t k = 0;
    for (; x; x &= x - 1) ++k;
    return k;
}

}  // namespace

// Per block: `in` marks the bytes inside quotes (an opening quote is inside,
// its closing quote is not), continued from the block before. The row is
// well-formed up to its first line break outside quotes when
// - every opening quote starts a field (follows the row's start or a
//   delimiter outside quotes) or follows a closing quote, which makes the
//   two a doubled quote;
// - every closing quote is followed by an opening quote (doubled), a
//   delimiter or line break outside quotes, or the end of the input.
// Those rules also reject a quote inside an unquoted field (an opening quote
// after text), text or blanks after a closing quote, and an odd run of
// quotes followed by text inside a quoted field. The scan stops at the
// first faulty block, so a row left to the tokenizer costs it one more
// look at the bytes that the tokenizer reads anyway.
bool QuotedRows::scan(std::string_view input, std::uint64_t pos, Shape& shape) {
    using quoted_detail::prefix_xor;
    const auto* d = reinterpret_cast<const std::uint8_t*>(input.data());
    const std::uint64_t n = input.size();
    if (pos == failed_at_) return false;
    failed_at_ = pos;  // until the row passes
    cuts_.clear();
    shape = Shape{};
    shape.end = n;

    std::uint64_t inside = 0;       // all ones when the block starts inside quotes
    std::uint64_t after_close = 0;  // bit 0: the byte before the block closes a quote
    std::uint64_t field_start = 1;  // bit 0: the block's first byte starts a field
    std::uint64_t flags = 0;        // kDoubled and kSpecial for the field being cut
    const Needles needles(delimiter_, quote_);
    for (std::uint64_t b = pos; b < n; b += 64) {
        if (b - pos >= kMaxRowBytes) return false;
        Masks m;
        std::uint64_t valid = ~std::uint64_t{0};
        if (n - b >= 64) {
            m = block_masks(d + b, needles);
        } else {
            // The last block, through a copy whose bytes past the end count
            // as nothing.
            std::uint8_t tail[64] = {};
            std::memcpy(tail, d + b, n - b);
            m = block_masks(tail, needles);
            valid = (std::uint64_t{1} << (n - b)) - 1;
            m.quote &= valid;
            m.delimiter &= valid;
            m.breaks &= valid;
        }
        if (m.quote == 0) {
            // No quote in the block: it lies wholly inside a quoted field,
            // or wholly outside, where only the byte after a closing quote
            // that ended the block before needs a look.
            if (inside) {
                if (const std::uint64_t inner = m.breaks & valid) {
                    shape.lfs += popcount(line_feeds(d + b, n - b, inner));
                }
                if ((m.breaks | m.delimiter) & valid) flags |= kSpecial;
                field_start = 0;
                continue;
            }
            if (after_close & ~(m.delimiter | m.breaks)) return false;
            const std::uint64_t row = m.breaks ? m.breaks ^ (m.breaks - 1) : valid;
            for (std::uint64_t k = m.delimiter & row; k; k &= k - 1) {
                cuts_.push_back((b + static_cast<std::uint64_t>(__builtin_ctzll(k))) | flags);
                flags = 0;
            }
            if (m.breaks) {
                shape.end = b + static_cast<std::uint64_t>(__builtin_ctzll(m.breaks));
                shape.last_flags = flags;
                failed_at_ = kNotTaken;
                return true;
            }
            after_close = 0;
            field_start = m.delimiter >> 63;
            continue;
        }
        const std::uint64_t in = prefix_xor(m.quote) ^ inside;
        const std::uint64_t open = m.quote & in;
        const std::uint64_t close = m.quote & ~in;
        const std::uint64_t delimiters = m.delimiter & ~in;
        const std::uint64_t breaks = m.breaks & ~in;
        const std::uint64_t prev_close = close << 1 | after_close;
        const std::uint64_t starts = delimiters << 1 | field_start;
        // The row's part of the block: up to its first break, inclusive.
        const std::uint64_t row = breaks ? breaks ^ (breaks - 1) : valid;
        const std::uint64_t bad =
            ((open & ~(starts | prev_close)) | (prev_close & ~(open | delimiters | breaks))) & row;
        if (bad) return false;

        if (const std::uint64_t inner = m.breaks & in & row) {
            shape.lfs += popcount(line_feeds(d + b, n - b, inner));
        }
        // The second quotes of doubled pairs, and those with the delimiters
        // and breaks inside quotes, each owned by the field that the next
        // delimiter ends.
        std::uint64_t pairs = open & prev_close & row;
        std::uint64_t special = (((m.delimiter | m.breaks) & in) | pairs) & row;
        for (std::uint64_t k = delimiters & row; k; k &= k - 1) {
            const std::uint64_t before = (k & (std::uint64_t{0} - k)) - 1;
            if (pairs & before) flags |= kDoubled;
            if (special & before) flags |= kSpecial;
            cuts_.push_back((b + static_cast<std::uint64_t>(__builtin_ctzll(k))) | flags);
            pairs &= ~before;
            special &= ~before;
            flags = 0;
        }
        if (pairs) flags |= kDoubled;
        if (special) flags |= kSpecial;
        if (breaks) {
            shape.end = b + static_cast<std::uint64_t>(__builtin_ctzll(breaks));
            shape.last_flags = flags;
            failed_at_ = kNotTaken;
            return true;
        }
        inside = std::uint64_t{0} - (in >> 63);
        after_close = close >> 63;
        field_start = delimiters >> 63;
    }
    shape.last_flags = flags;
    if (inside) return false;  // a quote left open: the tokenizer's rules for it
    failed_at_ = kNotTaken;
    return true;
}

namespace {

// The text of field [from, end) of a well-formed row goes to `put` in
// pieces: a quoted field without its quotes, its doubled quotes undoubled
// (between its quotes, quotes only come as doubled pairs).
template <class Put>
void field_text(const char* d, std::uint64_t from, std::uint64_t end, std::uint8_t quote, bool doubled,
                Put&& put) {
    if (from == end || static_cast<std::uint8_t>(d[from]) != quote) {
        put(d + from, end - from);
        return;
    }
    std::uint64_t i = from + 1;
    const std::uint64_t last = end - 1;
    if (doubled) {
        while (const void* q = std::memchr(d + i, quote, last - i)) {
            const std::uint64_t at = static_cast<std::uint64_t>(static_cast<const char*>(q) - d);
            put(d + i, at + 1 - i);
            i = at + 2;
        }
    }
    put(d + i, last - i);
}


// Copies `len` bytes from p to w, where 16 bytes past w + len may be
// scribbled on. A short piece goes as one 16-byte move when there are 16
// bytes to read at p (the input ends at `limit`).
inline void copy_short(char* w, const char* p, std::uint64_t len, const char* limit) noexcept {
#if defined(__SSE2__)
    if (len <= 16 && limit - p >= 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return;
    }
#endif
    std::memcpy(w, p, len);
}

}  // namespace

void QuotedRows::emit_valid(std::string_view input, std::uint64_t pos, const Shape& shape, RowTable& out) const {
    const char* d = input.data();
    const char* limit = d + input.size();
    const std::uint64_t fields = cuts_.size() + 1;
    // The fields' text is never longer than the row, so a table with room
    // for the whole input is never outgrown.
    const std::uint64_t bound = shape.end - pos;
    out.append_row_in_place(bound, fields, [&](char* text, char* room, std::uint64_t* ends) {
        char* w = text;
        const auto cut_fields = [&](auto&& put) {
            std::uint64_t from = pos;
            for (std::uint64_t f = 0; f < fields; ++f) {
                const std::uint64_t cut = f + 1 < fields ? cuts_[f] : shape.end | shape.last_flags;
                const std::uint64_t end = cut & ~kFlags;
                field_text(d, from, end, quote_, (cut & kDoubled) != 0, put);
                ends[f] = static_cast<std::uint64_t>(w - text);
                from = end + 1;
            }
        };
        if (room - text >= static_cast<std::ptrdiff_t>(bound + 16)) {
            cut_fields([&](const char* p, std::uint64_t len) {
                copy_short(w, p, len, limit);
                w += len;
            });
        } else {
            cut_fields([&](const char* p, std::uint64_t len) {
                std::memcpy(w, p, len);
                w += len;
            });
        }
        return static_cast<std::uint64_t>(w - text);
    });
}

void QuotedRows::emit_checked(std::string_view input, std::uint64_t pos, const Shape& shape,
                              RowTable& out) const {
    std::uint64_t from = pos;
    const auto put = [&](const char* p, std::uint64_t len) { out.append(p, len); };
    for (std::uint64_t f = 0; f <= cuts_.size(); ++f) {
        const std::uint64_t cut = f < cuts_.size() ? cuts_[f] : shape.end | shape.last_flags;
        const std::uint64_t end = cut & ~kFlags;
        field_text(input.data(), from, end, quote_, (cut & kDoubled) != 0, put);
        out.finish_field();
        from = end + 1;
    }
    out.finish_row();
}

std::uint64_t QuotedRows::take(std::string_view input, std::uint64_t pos, RowTable& out, bool valid_utf8,
                               std::uint64_t& line) {
    Shape shape;
    if (!scan(input, pos, shape)) return kNotTaken;
    if (valid_utf8) {
        emit_valid(input, pos, shape, out);
    } else {
        emit_checked(input, pos, shape, out);
    }
    line += shape.lfs;
    const std::uint64_t length = shape.end - pos;
    if (length < kShortRowBytes || length > kLongFieldBytes * (cuts_.size() + 1)) rest_ = kRowsToRest;
    return shape.end;
}

std::uint64_t QuotedRows::take_line(std::string_view input, std::uint64_t pos, std::string& text,
                                    std::uint64_t& fields, std::uint64_t& line) {
    Shape shape;
    if (!scan(input, pos, shape)) return kNotTaken;
    const char* d = input.data();
    const std::uint64_t n = cuts_.size() + 1;
    text.clear();
    const std::uint64_t room = shape.end - pos + 16;  // 16 to spare for copy_short()
    text.resize_and_overwrite(room, [&](char* out, std::size_t) noexcept {
        char* w = out;
        std::uint64_t from = pos;
        for (std::uint64_t f = 0; f < n; ++f) {
            const std::uint64_t cut = f + 1 < n ? cuts_[f] : shape.end | shape.last_flags;
            std::uint64_t a = from;
            std::uint64_t e = cut & ~kFlags;
            from = e + 1;
            if (a < e && static_cast<std::uint8_t>(d[a]) == quote_ && !(cut & kSpecial)) {
                ++a;  // enclosure not needed: the text between the quotes
                --e;
            }
            if (f != 0) *w++ = static_cast<char>(delimiter_);
            copy_short(w, d + a, e - a, d + input.size());
            w += e - a;
        }
        return static_cast<std::size_t>(w - out);
    });
    fields = n;
    line += shape.lfs;
    last_pos_ = pos;
    last_shape_ = shape;
    return shape.end;
}

void QuotedRows::append_last(std::string_view input, RowTable& out) const {
    emit_valid(input, last_pos_, last_shape_, out);
}

}  // namespace corvel
