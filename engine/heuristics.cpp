#include "heuristics.hpp"

#include "parser.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

namespace corvel {

namespace {

// Widths with their counts, in the order each width was first met. Ties in
// count go to the earliest entry, which keeps results independent of hashing.
class WidthCounts {
public:
    void add(std::uint64_t width) {
        for (auto& e : entries_) {
            if (e.first == width) {
                ++e.second;
                return;
            }
        }
        entries_.emplace_back(width, 1);
    }

    // The most frequent width of at least `min_width`, first met on ties;
    // count 0 when there is none.
    std::pair<std::uint64_t, std::int32_t> most_frequent(std::uint64_t min_width) const noexcept {
        std::pair<std::uint64_t, std::int32_t> best{0, 0};
        for (const auto& e : entries_)
            if (e.first >= min_width && e.second > best.second) best = e;
        return best;
    }

private:
    std::vector<std::pair<std::uint64_t, std::int32_t>> entries_;
};

// Feeds the widths of the first `limit` non-blank rows to `counts`; returns
// how many were recorded, or nullopt when `text` is the start of a longer
// input (not `last`) that ends before those rows are decided. Only widths
// survive: the scratch row is dropped as soon as it is measured.
std::optional<std::uint64_t> count_widths(std::string_view text, bool last, std::uint8_t delimiter,
                                          std::uint64_t limit, RowTable& scratch, WidthCounts& counts) {
    ResilientParser parser(text.substr(bom_bytes(text)), last, ParserPosition{}, delimiter, DEFAULT_QUOTE, true);
    std::uint64_t recorded = 0;
    while (recorded < limit) {
        const auto step = parser.step(scratch);
        if (step == ResilientParser::Step::End) break;
        if (step == ResilientParser::Step::More) return std::nullopt;
        if (!is_blank_row(scratch, 0)) {
            counts.add(scratch.width(0));
            ++recorded;
        }
        scratch.clear();
    }
    return recorded;
}

}  // namespace

bool is_blank_row(const RowTable& rows, std::uint64_t r) noexcept {
    const std::uint64_t w = rows.width(r);
    if (w == 0) return true;
    return w == 1 && is_unicode_whitespace(rows.field(r, 0));
}

std::size_t bom_bytes(std::string_view text) noexcept { return text.starts_with("\xEF\xBB\xBF") ? 3 : 0; }

Result<std::optional<std::uint8_t>> sniff_delimiter_prefix(std::string_view head, bool last) noexcept {
    return guard_memory([&]() -> Result<std::optional<std::uint8_t>> {
        RowTable scratch;
        std::uint8_t best = DEFAULT_DELIMITER;
        double best_score = -1.0;
        for (const std::uint8_t candidate : CANDIDATE_DELIMITERS) {
            WidthCounts counts;
            const auto n = count_widths(head, last, candidate, SNIFF_ROW_LIMIT, scratch, counts);
            if (!n) return std::optional<std::uint8_t>();
            double score = 0.0;
            if (*n >= 2) {
                const auto [width, count] = counts.most_frequent(2);
                if (count > 0) {
                    score = (static_cast<double>(count) / static_cast<double>(*n)) *
                            std::max(std::log(static_cast<double>(width)), 1.0);
                }
            }
            if (score > best_score) best = candidate;
            best_score = std::max(best_score, score);
        }
        return std::optional<std::uint8_t>(best);
    });
}

Result<std::optional<std::uint64_t>> infer_column_count_prefix(std::string_view head, std::uint8_t delimiter,
                                                               bool last) noexcept {
    return guard_memory([&]() -> Result<std::optional<std::uint64_t>> {
        RowTable scratch;
        WidthCounts counts;
        if (!count_widths(head, last, delimiter, INFER_ROW_LIMIT, scratch, counts)) return std::optional<std::uint64_t>();
        return std::optional<std::uint64_t>(counts.most_frequent(0).first);
    });
}

Result<std::uint8_t> sniff_delimiter(std::string_view text) noexcept {
    auto r = sniff_delimiter_prefix(text, true);
    if (!r) return r.error();
    return *r.value();
}

Result<std::uint64_t> infer_column_count(std::string_view text, std::uint8_t delimiter) noexcept {
    auto r = infer_column_count_prefix(text, delimiter, true);
    if (!r) return r.error();
    return *r.value();
}

}  // namespace corvel
