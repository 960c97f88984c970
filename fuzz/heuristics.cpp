// Fuzzes the delimiter sniffer and the column-count inference.
//
// Input: [delimiter for inference] text... Checked: both succeed on any
// bytes; the sniffer names one of the four candidates; the inferred width is
// one some row has, so at most one more than the delimiters in the text; a
// byte-order mark in front changes neither answer; and a candidate other than
// the default is only chosen when it occurs in the text; and on short texts
// both agree with a plain restatement of their rules.
#include "heuristics.hpp"
#include "reference_parser.hpp"
#include "support.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace corvel;
using namespace corvel_fuzz;

namespace {

// Short inputs are also judged by a restatement of both rules on top of the
// reference tokenizer (which is quadratic, hence the limit).
constexpr std::size_t kReferenceLimit = 1024;

// Widths of the first `limit` non-blank rows, in order.
std::vector<std::uint64_t> widths(std::string_view text, std::uint8_t delimiter, std::size_t limit) {
    std::vector<std::uint64_t> out;
    for (const auto& row : ReferenceParser(text, delimiter, DEFAULT_QUOTE, true).all()) {
        if (out.size() == limit) break;
        const bool blank = row.fields.size() == 1 && is_unicode_whitespace(row.fields[0]);
        if (!blank) out.push_back(row.fields.size());
    }
    return out;
}

// The most frequent width of at least `min`, the first met on ties, with its
// count; {0, 0} when there is none.
std::pair<std::uint64_t, std::uint64_t> mode(const std::vector<std::uint64_t>& ws, std::uint64_t min) {
    std::pair<std::uint64_t, std::uint64_t> best{0, 0};
    for (std::size_t i = 0; i < ws.size(); ++i) {
        if (ws[i] < min || std::find(ws.begin(), ws.begin() + i, ws[i]) != ws.begin() + i) continue;
        const auto c = static_cast<std::uint64_t>(std::count(ws.begin(), ws.end(), ws[i]));
        if (c > best.second) best = {ws[i], c};
    }
    return best;
}

std::uint8_t reference_sniff(std::string_view text) {
    std::uint8_t best = DEFAULT_DELIMITER;
    double best_score = -1.0;
    for (const std::uint8_t c : CANDIDATE_DELIMITERS) {
        const auto ws = widths(text, c, SNIFF_ROW_LIMIT);
        double score = 0.0;
        const auto [w, k] = mode(ws, 2);
        if (ws.size() >= 2 && k > 0)
            score = static_cast<double>(k) / static_cast<double>(ws.size()) *
                    std::max(std::log(static_cast<double>(w)), 1.0);
        if (score > best_score) {
            best = c;
            best_score = score;
        }
    }
    return best;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Header h(data, size, 1);
    const std::uint8_t delimiter = h.byte(0);
    const std::string_view text = h.text();

    const Result<std::uint8_t> sniffed = sniff_delimiter(text);
    FUZZ_CHECK(sniffed.ok());
    const std::uint8_t d = sniffed.value();
    FUZZ_CHECK(std::find(CANDIDATE_DELIMITERS.begin(), CANDIDATE_DELIMITERS.end(), d) !=
               CANDIDATE_DELIMITERS.end());

    const Result<std::uint64_t> inferred = infer_column_count(text, delimiter);
    FUZZ_CHECK(inferred.ok());
    const auto delimiters = static_cast<std::uint64_t>(
        std::count(text.begin(), text.end(), static_cast<char>(delimiter)));
    FUZZ_CHECK(inferred.value() <= delimiters + 1);
    // No rows at all (empty, or a lone byte-order mark) gives 0.
    if (text.empty() || text == "\xEF\xBB\xBF") FUZZ_CHECK(inferred.value() == 0);

    // The parser skips one leading byte-order mark and never looks back, so
    // adding one in front of a text that lacks it changes nothing.
    if (text.substr(0, 3) != "\xEF\xBB\xBF") {
        std::string with_bom = "\xEF\xBB\xBF";
        with_bom.append(text);
        const Result<std::uint8_t> s2 = sniff_delimiter(with_bom);
        FUZZ_CHECK(s2.ok() && s2.value() == d);
        const Result<std::uint64_t> i2 = infer_column_count(with_bom, delimiter);
        FUZZ_CHECK(i2.ok() && i2.value() == inferred.value());
    }

    // Sniffing is deterministic.
    const Result<std::uint8_t> again = sniff_delimiter(text);
    FUZZ_CHECK(again.ok() && again.value() == d);

    // A candidate scores only by splitting some row, so the one chosen is in
    // the text unless it is the comma, which wins when nothing scores.
    if (d != DEFAULT_DELIMITER) FUZZ_CHECK(text.find(static_cast<char>(d)) != std::string_view::npos);

    if (text.size() <= kReferenceLimit) {
        FUZZ_CHECK(d == reference_sniff(text));
        FUZZ_CHECK(inferred.value() == mode(widths(text, delimiter, INFER_ROW_LIMIT), 0).first);
    }
    return 0;
}
