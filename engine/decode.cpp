#include "decode.hpp"

#include "rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvel {
namespace {

// The loops below store whole 16-byte blocks, of which they keep only what
// they have read. The room they write into holds, past what is kept, at
// least widest_ bytes for each byte still to read, plus kSlack.
constexpr std::size_t kSlack = 16;

// Copies bytes from r up to the first byte from 0x80 on, or to `end`, and
// returns where it stopped. With `Lf`, sets `lf` when one of the bytes
// copied is a LF (without a branch of its own: lines are short).
template <bool Lf>
[[gnu::always_inline]] inline const char* copy_ascii(const char* r, const char* const end, char*& w,
                                                     bool& lf) noexcept {
#if defined(__SSE2__)
    const __m128i lfs = _mm_set1_epi8('\n');
    for (; end - r >= 16; r += 16, w += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w), block);
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
        // The bytes before the first high one, or all 16.
        const unsigned before = (high & -high) - 1;
        if constexpr (Lf) lf |= (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lfs))) & before) != 0;
        if (high != 0) {
            const int kept = std::countr_zero(high);
            w += kept;
            return r + kept;
        }
    }
#else
    // Eight bytes at a time while they are ASCII.
    for (; end - r >= 8; r += 8, w += 8) {
        std::uint64_t block;
        std::memcpy(&block, r, 8);
        if (block & 0x8080808080808080ULL) break;
        if constexpr (Lf) lf |= std::memchr(r, '\n', 8) != nullptr;
        std::memcpy(w, r, 8);
    }
#endif
    for (; r < end && static_cast<std::uint8_t>(*r) < 0x80; ++r) {
        if constexpr (Lf) lf |= *r == '\n';
        *w++ = *r;
    }
    return r;
}

// True when the bytes at `at` (a byte from 0x80 on), up to `end`, cannot
// begin a UTF-8 character: a byte that never leads one, or a lead byte not
// followed by a continuation byte. A false is no proof of validity.
inline bool surely_not_utf8(const char* at, const char* end) noexcept {
    const auto lead = static_cast<std::uint8_t>(at[0]);
    const bool never_leads = static_cast<std::uint8_t>(lead - 0xC2) > 0xF4 - 0xC2;
    return never_leads || end - at < 2 || (static_cast<std::uint8_t>(at[1]) & 0xC0) != 0x80;
}

}  // namespace

std::optional<LegacyTable> LegacyTable::from_entries(std::span<const std::string_view> entries) noexcept {
    if (entries.size() != 128) return std::nullopt;
    LegacyTable table;
    for (std::size_t i = 0; i < 128; ++i) {
        const std::string_view e = entries[i];
        if (e.empty() || e.size() > 4 || !is_valid_utf8(e)) return std::nullopt;
        // One character, so that a row's character count stays its byte count.
        const auto lead = static_cast<std::uint8_t>(e[0]);
        const std::size_t want = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (e.size() != want) return std::nullopt;
        for (std::size_t k = 0; k < e.size(); ++k) table.text_[i][k] = e[k];
        table.size_[i] = static_cast<std::uint8_t>(e.size());
        table.widest_ = std::max(table.widest_, table.size_[i]);
    }
    return table;
}

// One byte from 0x80 on, through the table: its entry is stored as 4 bytes
// whatever its size, and the room covers that.
[[gnu::always_inline]] inline void LegacyTable::put(char c, char*& w) const noexcept {
    const auto at = static_cast<std::uint8_t>(c) - 0x80u;
    std::memcpy(w, text_[at].data(), 4);
    w += size_[at];
}

void LegacyTable::decode(std::string_view raw, std::string& out) const {
    const std::size_t base = out.size();
    out.resize_and_overwrite(base + widest_ * raw.size() + kSlack, [&](char* p, std::size_t) noexcept {
        char* w = p + base;
        const char* r = raw.data();
        const char* const end = r + raw.size();
        bool unused = false;
        while ((r = copy_ascii<false>(r, end, w, unused)) != end) put(*r++, w);
        return static_cast<std::size_t>(w - p);
    });
}

std::uint64_t LegacyTable::decode_lines(std::string_view lines, std::string& out) const {
    const std::size_t base = out.size();
    std::uint64_t decoded = 0;
    out.resize_and_overwrite(base + widest_ * lines.size() + kSlack, [&](char* p, std::size_t) noexcept {
        char* w = p + base;
        const char* r = lines.data();
        const char* const end = r + lines.size();
        // Whether a line starts between the last byte from 0x80 on and the
        // next, and whether the line of the last one is read with the table.
        // ASCII reads the same either way: a line is told apart at its first
        // byte from 0x80 on, most often by that byte alone. These stay out of
        // branches, as a line's first such byte and its others alternate.
        bool fresh = true;
        bool legacy = false;
        while ((r = copy_ascii<true>(r, end, w, fresh)) != end) {
            const bool first = fresh;
            fresh = false;
            legacy = first ? surely_not_utf8(r, end) : legacy;
            if (!legacy) [[unlikely]] {
                // Perhaps UTF-8: the rest of the line tells.
                const auto* lf = static_cast<const char*>(std::memchr(r, '\n', static_cast<std::size_t>(end - r)));
                const std::string_view rest(r, static_cast<std::size_t>((lf == nullptr ? end : lf) - r));
                if (is_valid_utf8(rest)) {
                    std::memcpy(w, r, rest.size());
                    w += rest.size();
                    r += rest.size();
                    continue;
                }
                legacy = true;
            }
            decoded += first ? 1 : 0;
            put(*r++, w);
        }
        return static_cast<std::size_t>(w - p);
    });
    return decoded;
}

}  // namespace corvel
