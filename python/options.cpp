#include "options.hpp"

#include "heuristics.hpp"

namespace corvel::py {

SalvageOptions to_options(std::span<const Value, kOptionCount> v) noexcept {
    SalvageOptions o;
    if (v[0].present && !v[0].text.empty()) o.delimiter = static_cast<std::uint8_t>(v[0].text[0]);
    o.quote_char = v[1].text.empty() ? DEFAULT_QUOTE : static_cast<std::uint8_t>(v[1].text[0]);
    o.fill_ragged_rows = v[2].flag;
    o.merge_overflow = v[3].flag;
    if (v[4].present) o.expected_columns = v[4].count;
    o.repair_quotes = v[5].flag;
    return o;
}

}  // namespace corvel::py
