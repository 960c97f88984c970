// Guesses made from the beginning of a text: its delimiter and its width.
#pragma once

#include "error.hpp"
#include "rows.hpp"

#include <array>
#include <cstdint>
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

// The candidate whose split of the first 50 non-blank rows agrees best on one
// width of two or more, weighted by ln(width); the comma when none scores.
// Fails only when memory runs out.
Result<std::uint8_t> sniff_delimiter(std::string_view text) noexcept;

// The most frequent width among the first 100 non-blank rows; 0 when there is
// no such row. Ties go to the width met first. Fails only when memory runs out.
Result<std::uint64_t> infer_column_count(std::string_view text, std::uint8_t delimiter) noexcept;

}  // namespace corvel
