#include "heuristics.hpp"
#include "messages.hpp"
#include "parser.hpp"
#include "salvage.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace corvel {
namespace {

using namespace corvel_test;

SalvageOutcome run(std::string_view text, const SalvageOptions& o) {
    auto r = salvage_slice(text, o);
    EXPECT_TRUE(r.ok()) << r.error().text();
    return std::move(r).value();
}

void expect_empty_outcome(const SalvageOutcome& out) {
    EXPECT_EQ(out.rows.size(), 0u);
    EXPECT_EQ(out.quarantine.size(), 0u);
    EXPECT_EQ(out.stats.total_rows + out.stats.salvaged_rows + out.stats.repaired_rows +
                  out.stats.quarantined_rows + out.stats.inferred_columns,
              0u);
    EXPECT_EQ(out.stats.detected_delimiter, ',');
}

struct Rec {
    std::vector<std::string> tokens;
    std::string reason;
    std::uint64_t line;
};

struct LoopCase {
    const char* name;
    std::string text;
    SalvageOptions options;
    Rows rows;
    std::vector<Rec> records;
    std::uint64_t repaired;
};

TEST(SalvageSlice, RowLoopOutcomes) {
    const std::string few3 = "Row has too few columns (expected 3)";
    const std::string extra3 = "Row has extra columns (expected 3)";
    const std::vector<LoopCase> cases = {
        {"clean", "a,b,c\n", opts(',', 3), {{"a", "b", "c"}}, {}, 0},
        {"padded", "x,y\n", opts(',', 4), {{"x", "y", "", ""}}, {}, 1},
        {"too few", "a,b,c\nd,e\n", opts(',', 3, {.fill = false}), {{"a", "b", "c"}}, {{{"d", "e"}, few3, 3}}, 0},
        {"too few, no final LF", "a,b,c\nd,e", opts(',', 3, {.fill = false}), {{"a", "b", "c"}},
         {{{"d", "e"}, few3, 2}}, 0},
        {"merged", "a;b;c;d;e", opts(';', 3), {{"a", "b", "c;d;e"}}, {}, 1},
        {"merged into one", "a,b,c", opts(',', 1), {{"a,b,c"}}, {}, 1},
        {"extra", "a,b,c,d\r\n", opts(',', 3, {.merge = false}), {}, {{{"a", "b", "c", "d"}, extra3, 2}}, 0},
        {"width check off", "a\nb,c\nd,e,f", opts(',', 0), {{"a"}, {"b", "c"}, {"d", "e", "f"}}, {}, 0},
        {"lines after quoted breaks", "\"x\ny\",b\n\"p\rq\"\nc\r\n", opts(',', 3, {.fill = false}), {},
         {{{"x\ny", "b"}, few3, 3}, {{"p\rq"}, few3, 4}, {{"c"}, few3, 5}}, 0},
        {"blank line in the middle", "a,b\n\nc,d\n", opts(',', 2), {{"a", "b"}, {"", ""}, {"c", "d"}}, {}, 1},
        {"blank line at the end", "a,b\n\n", opts(',', 2), {{"a", "b"}, {"", ""}}, {}, 1},
        {"blank line kept out", "a,b,c\n\n", opts(',', 3, {.fill = false}), {{"a", "b", "c"}}, {{{""}, few3, 3}}, 0},
        {"repaired quotes are clean", "\"He said \"hi\" to me\",x\n", opts(',', 2), {{"He said \"hi\" to me", "x"}},
         {}, 0},
        {"mixed", "a,b\na,b,c\na,b,c,d\na\n", opts(',', 3, {.merge = false}), {{"a", "b", ""}, {"a", "b", "c"}, {"a", "", ""}},
         {{{"a", "b", "c", "d"}, extra3, 4}}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = run(c.text, c.options);
        EXPECT_EQ(rows_of(out.rows), c.rows);
        ASSERT_EQ(out.quarantine.size(), c.records.size());
        for (std::uint64_t i = 0; i < c.records.size(); ++i) {
            const auto rec = out.quarantine_record(i);
            EXPECT_EQ(rec.tokens, c.records[i].tokens);
            EXPECT_EQ(rec.reason, c.records[i].reason);
            EXPECT_EQ(rec.line, c.records[i].line);
        }
        EXPECT_EQ(out.stats.repaired_rows, c.repaired);
        EXPECT_EQ(out.stats.salvaged_rows, c.rows.size());
        EXPECT_EQ(out.stats.quarantined_rows, c.records.size());
        EXPECT_EQ(out.stats.total_rows, c.rows.size() + c.records.size());
        EXPECT_EQ(out.stats.inferred_columns, *c.options.expected_columns);
        EXPECT_EQ(out.stats.detected_delimiter, *c.options.delimiter);
    }
}

TEST(SalvageSlice, MergesWithHighDelimiterAsTwoByteCharacter) {
    const auto out = run("a\xC8" "b\xC8" "c\n", opts(200, 2));
    EXPECT_EQ(rows_of(out.rows), (Rows{{"a", "b\xC3\x88" "c"}}));
    EXPECT_EQ(out.stats.detected_delimiter, 200);
}

TEST(SalvageSlice, SniffsAndInfersWhenNotGiven) {
    const auto out = run("a;b;c\nd;e;f\ng;h\n", opts(std::nullopt, std::nullopt));
    EXPECT_EQ(out.stats.detected_delimiter, ';');
    EXPECT_EQ(out.stats.inferred_columns, 3u);
    EXPECT_EQ(out.stats.repaired_rows, 1u);
    EXPECT_EQ(out.rows.row(2), (std::vector<std::string>{"g", "h", ""}));
}

TEST(SalvageSlice, EmptyInputIgnoresOptions) {
    expect_empty_outcome(run("", opts(std::nullopt, std::nullopt)));
    expect_empty_outcome(run("", opts(';', 5)));
}

TEST(SalvageSlice, ByteOrderMarkAloneGivesNoRows) {
    expect_empty_outcome(run("\xEF\xBB\xBF", opts(std::nullopt, std::nullopt)));
    // No row needs padding, so even an absurd width is no problem.
    const auto out = run("\xEF\xBB\xBF", opts(';', UINT64_MAX));
    EXPECT_EQ(out.stats.total_rows, 0u);
    EXPECT_EQ(out.stats.inferred_columns, UINT64_MAX);
}

TEST(SalvageSlice, WidthTooLargeToPadIsRefused) {
    for (const std::uint64_t e : {std::uint64_t{1} << 40, UINT64_MAX}) {
        SCOPED_TRACE(e);
        const auto r = salvage_slice("a,b\nc\n", opts(',', e));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), SalvageError::Kind::OutOfMemory);
        EXPECT_EQ(r.error().text(), std::string(msg::kPadTooWide) + std::to_string(e) +
                                        std::string(msg::kPadTooWideTail));

        const auto out = run("a,b\nc\n", opts(',', e, {.fill = false}));
        EXPECT_EQ(out.stats.quarantined_rows, 2u);
        EXPECT_EQ(out.quarantine_record(1).reason,
                  "Row has too few columns (expected " + std::to_string(e) + ")");
    }
}

TEST(Quarantine, TakeLastRowMovesItOut) {
    RowTable src;
    for (const char* f : {"a", "", "b"}) {
        src.append(f, std::char_traits<char>::length(f));
        src.finish_field();
        if (*f == 'a' || *f == 'b') src.finish_row();
    }
    Quarantine q;
    q.take_last_row(src, QuarantineReason::ExtraColumns, 7);
    q.take_last_row(src, QuarantineReason::TooFewColumns, 9);
    EXPECT_TRUE(src.empty());
    src.append('z');
    src.finish_field();
    src.finish_row();
    EXPECT_EQ(rows_of(src), (Rows{{"z"}}));
    ASSERT_EQ(q.size(), 2u);
    const auto r0 = q.record(0, 2);
    EXPECT_EQ(r0.tokens, (std::vector<std::string>{"", "b"}));
    EXPECT_EQ(r0.reason, "Row has extra columns (expected 2)");
    EXPECT_EQ(r0.line, 7u);
    EXPECT_EQ(q.record(1, 0).tokens, (std::vector<std::string>{"a"}));
    EXPECT_EQ(q.line(1), 9u);
}

// Every parsed row must come out, in order, as exactly one accepted row or one
// quarantine record, in the form its width and the options call for.
TEST(SalvageSlice, AccountsForEveryParsedRow) {
    std::mt19937_64 rng(20240611);
    const std::string alphabet[] = {"a", "b", ",", ",", ";", "\t", "|", "\"", "'", "\n", "\n", "\r", " ",
                                    "\xC8", "\xC3\xA9", "\xFF", "\xEF\xBB\xBF"};
    const std::optional<std::uint8_t> delimiters[] = {std::nullopt, ',', ';', '\t', 200};
    const std::uint8_t quotes[] = {'"', '\'', '|'};
    auto pick = [&](std::uint64_t n) { return static_cast<std::size_t>(rng() % n); };

    for (int iter = 0; iter < 5000; ++iter) {
        std::string text;
        for (std::size_t len = pick(40); len > 0; --len) text += alphabet[pick(std::size(alphabet))];
        SalvageOptions o = opts(delimiters[pick(5)], std::nullopt, {.fill = pick(2) != 0, .merge = pick(2) != 0});
        if (pick(3) != 0) o.expected_columns = pick(6);
        o.quote_char = quotes[pick(3)];
        o.repair_quotes = pick(2);
        SCOPED_TRACE(::testing::PrintToString(text));

        const auto out = run(text, o);
        const auto& s = out.stats;
        if (text.empty()) {
            expect_empty_outcome(out);
            continue;
        }
        const std::uint8_t d = o.delimiter ? *o.delimiter : sniff_delimiter(text).value();
        const std::uint64_t e = o.expected_columns ? *o.expected_columns : infer_column_count(text, d).value();
        ASSERT_EQ(s.detected_delimiter, d);
        ASSERT_EQ(s.inferred_columns, e);
        ASSERT_EQ(s.total_rows, s.salvaged_rows + s.quarantined_rows);
        ASSERT_EQ(s.salvaged_rows, out.rows.size());
        ASSERT_EQ(s.quarantined_rows, out.quarantine.size());
        ASSERT_LE(s.repaired_rows, s.salvaged_rows);

        ResilientParser p(text, d, o.quote_char, o.repair_quotes);
        RowTable parsed;
        std::uint64_t accepted = 0, held = 0, repaired = 0;
        for (std::uint64_t r = 0; p.next_row(parsed); ++r) {
            auto row = parsed.row(r);
            const std::uint64_t n = row.size();
            const bool keep = e == 0 || n == e || (n < e ? o.fill_ragged_rows : o.merge_overflow);
            if (!keep) {
                ASSERT_LT(held, out.quarantine.size());
                const auto rec = out.quarantine_record(held++);
                EXPECT_EQ(rec.tokens, row);
                EXPECT_EQ(rec.line, p.line());
                EXPECT_EQ(rec.reason, reason_text(n < e ? QuarantineReason::TooFewColumns
                                                        : QuarantineReason::ExtraColumns, e));
                continue;
            }
            if (e != 0 && n != e) ++repaired;
            if (e != 0 && n > e) {
                for (std::uint64_t f = e; f < n; ++f) row[e - 1] += latin1_char(d) + row[f];
            }
            if (e != 0) row.resize(e);
            ASSERT_LT(accepted, out.rows.size());
            EXPECT_EQ(out.rows.row(accepted++), row);
        }
        EXPECT_EQ(accepted, out.rows.size());
        EXPECT_EQ(held, out.quarantine.size());
        EXPECT_EQ(repaired, s.repaired_rows);
        EXPECT_EQ(parsed.size(), s.total_rows);
    }
}

// Quarantining copies each row into the quarantine's own table; growing that
// table by exact reserves made this quadratic (minutes at this size).
TEST(SalvageSlice, QuarantiningEveryRowStaysLinear) {
    std::string text;
    for (int i = 0; i < 400000; ++i) text += "a,b\n";
    const SalvageOutcome out = run(text, opts(',', 3, {.fill = false}));
    EXPECT_EQ(out.stats.quarantined_rows, 400000u);
    EXPECT_EQ(out.quarantine.line(399999), 400001u);
}

TEST(ReasonText, NamesOnlyTheExpectedCount) {
    EXPECT_EQ(reason_text(QuarantineReason::TooFewColumns, 3), "Row has too few columns (expected 3)");
    EXPECT_EQ(reason_text(QuarantineReason::ExtraColumns, 0), "Row has extra columns (expected 0)");
    EXPECT_EQ(reason_text(QuarantineReason::ExtraColumns, UINT64_MAX),
              "Row has extra columns (expected 18446744073709551615)");
}

}  // namespace
}  // namespace corvel
