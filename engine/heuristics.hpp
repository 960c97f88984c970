// Guesses made from the beginning of a text: its delimiter and its width.
#pragma once

#include "error.hpp"
#include "rows.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvel {

// Tried in this order; on equal scores the earlier one wins.
inline constexpr std::array<std::uint8_t, 4> CANDIDATE_DELIMITERS = {',', ';', '\t', '|'};
inline constexpr std::uint8_t DEFAULT_DELIMITER = ',';
inline constexpr std::uint8_t DEFAULT_QUOTE = '"';
// Most non-blank rows looked at by sniffing and by inference.
inline constexpr std::uint64_t SNIFF_ROW_LIMIT = 50;
inline constexpr std::uint64_t INFER_ROW_LIMIT = 100;

// A row of no fields, or of one field that is empty or only Unicode whitespace.
bool is_blank_row(const RowTable& rows, std::uint64_t r) noexcept;

// Bytes of a UTF-8 byte-order mark at the start of `text` (0 or 3).
std::size_t bom_bytes(std::string_view text) noexcept;

// The candidate whose split of the first 50 non-blank rows agrees best on one
// width of two or more, weighted by ln(width); the comma when none scores.
// Fails only when memory runs out.
Result<std::uint8_t> sniff_delimiter(std::string_view text) noexcept;

// The most frequent width among the first 100 non-blank rows; 0 when there is
// no such row. Ties go to the width met first. Fails only when memory runs out.
Result<std::uint64_t> infer_column_count(std::string_view text, std::uint8_t delimiter) noexcept;

// The same two over `head`, the start of an input that goes on unless
// `last`: nullopt while it does not yet hold every row they look at.
// `head` holds at least 3 bytes, or is `last`.
Result<std::optional<std::uint8_t>> sniff_delimiter_prefix(std::string_view head, bool last) noexcept;
Result<std::optional<std::uint64_t>> infer_column_count_prefix(std::string_view head, std::uint8_t delimiter,
                                                               bool last) noexcept;

}  // namespace corvel
