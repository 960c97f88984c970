// Legacy single-byte text, decoded a line at a time.
//
// The package parses bytes: a line that is valid UTF-8 stays as it is, and a
// line that isn't is read as the file's legacy code page (cp1252, latin-1).
// Those code pages keep every ASCII byte as itself, so a line decodes to the
// same fields, delimiters, quotes and line breaks, whichever way it is read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace corvel {

class LegacyTable {
public:
    // The 128 entries are the UTF-8 text of bytes 0x80..0xFF, each one
    // character of 1 to 4 bytes. Anything else is refused.
    static std::optional<LegacyTable> from_entries(std::span<const std::string_view> entries) noexcept;

    // Appends `raw` to `out` with every byte from 0x80 on replaced by its
    // entry; ASCII bytes are copied as they are.
    void decode(std::string_view raw, std::string& out) const;
    // Appends `lines` to `out` a line at a time (each ended by LF, the last
    // perhaps not): a line that is valid UTF-8 as it stands, any other
    // through the table, as decode() would. Returns how many went through
    // the table. One pass: a line is looked at again only from its first
    // byte from 0x80 on, ASCII being the same either way.
    std::uint64_t decode_lines(std::string_view lines, std::string& out) const;

private:
    LegacyTable() = default;
    void put(char c, char*& w) const noexcept;
    std::array<std::array<char, 4>, 128> text_{};
    std::array<std::uint8_t, 128> size_{};
    std::uint8_t widest_ = 1;  // the longest entry
};

}  // namespace corvel
