#include "decode.hpp"

#include "rows.hpp"

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
    }
    return table;
}

void LegacyTable::decode(std::string_view raw, std::string& out) const {
    std::size_t from = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto b = static_cast<std::uint8_t>(raw[i]);
        if (b < 0x80) continue;
        out.append(raw.substr(from, i - from));
        out.append(text_[b - 0x80].data(), size_[b - 0x80]);
        from = i + 1;
    }
    out.append(raw.substr(from));
}

}  // namespace corvel
