// The six salvage options: their parameter rows, shared by every function
// that takes them, and their conversion into the engine's SalvageOptions.
#pragma once

#include "args.hpp"
#include "salvage.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace corvel::py {

inline constexpr std::size_t kOptionCount = 6;
inline constexpr Param kOptionParams[kOptionCount] = {
    {"delimiter", Kind::OptionalText, Default::None},
    {"quote_char", Kind::Text, Default::DoubleQuote},
    {"fill_ragged_rows", Kind::Flag, Default::True},
    {"merge_overflow", Kind::Flag, Default::True},
    {"expected_columns", Kind::OptionalCount, Default::None},
    {"repair_quotes", Kind::Flag, Default::True},
};

// A parameter table: `head`, then the six options.
template <std::size_t N>
constexpr std::array<Param, N + kOptionCount> with_options(const Param (&head)[N]) {
    std::array<Param, N + kOptionCount> all{};
    for (std::size_t i = 0; i < N; ++i) all[i] = head[i];
    for (std::size_t i = 0; i < kOptionCount; ++i) all[N + i] = kOptionParams[i];
    return all;
}

// `v` holds the converted values of the six options, in table order. Each
// text contributes its first byte; an empty delimiter is absent and an empty
// quote is the double quote.
SalvageOptions to_options(std::span<const Value, kOptionCount> v) noexcept;

}  // namespace corvel::py
