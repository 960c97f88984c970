#include "decode.hpp"

#include "rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvel {

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

void LegacyTable::decode(std::string_view raw, std::string& out) const {
    const std::size_t base = out.size();
    // Each byte becomes at most widest_, and an entry is copied as 4 bytes
    // whatever its size: the room covers both.
    out.resize_and_overwrite(base + widest_ * raw.size() + 4, [&](char* p, std::size_t) noexcept {
        char* w = p + base;
        const char* r = raw.data();
        const char* const end = r + raw.size();
        const auto one = [&](char c) noexcept {
            const auto b = static_cast<std::uint8_t>(c);
            if (b < 0x80) {
                *w++ = c;
                return;
            }
            std::memcpy(w, text_[b - 0x80].data(), 4);
            w += size_[b - 0x80];
        };
#if defined(__SSE2__)
        // Sixteen bytes at a time: each block is copied whole, and only its
        // ASCII part kept when a byte from 0x80 on follows it, which is then
        // decoded on its own. The room left always holds the copy: it is at
        // least widest_ for each byte still to read, plus 4.
        while (end - r >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(w), block);
            const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
            if (high == 0) {
                r += 16;
                w += 16;
                continue;
            }
            const int ascii = std::countr_zero(high);
            r += ascii;
            w += ascii;
            one(*r++);
        }
#else
        // Runs of ASCII go eight bytes at a time.
        for (; end - r >= 8; r += 8) {
            std::uint64_t block;
            std::memcpy(&block, r, 8);
            if ((block & 0x8080808080808080ULL) == 0) {
                std::memcpy(w, r, 8);
                w += 8;
                continue;
            }
            for (int k = 0; k < 8; ++k) one(r[k]);
        }
#endif
        for (; r < end; ++r) one(*r);
        return static_cast<std::size_t>(w - p);
    });
}

}  // namespace corvel
