#include "parser.hpp"
#include "reference_parser.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {
namespace {

using namespace corvel_test;
using Fields = std::vector<std::string>;

struct Row {
    Fields fields;
    std::uint64_t line;
    bool operator==(const Row&) const = default;
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << testing::PrintToString(r.fields) << " @" << r.line;
}

std::vector<Row> parse_all(std::string_view in, std::uint8_t delim, std::uint8_t quote, bool repair) {
    ResilientParser p(in, delim, quote, repair);
    RowTable t;
    std::vector<Row> out;
    while (p.next_row(t)) out.push_back({t.row(t.size() - 1), p.line()});
    // Exhausted for good: nothing more, nothing changed.
    const std::uint64_t line = p.line();
    EXPECT_FALSE(p.next_row(t));
    EXPECT_EQ(p.line(), line);
    EXPECT_EQ(t.size(), out.size());
    return out;
}

std::string with_quote(std::string s, char q) {
    std::replace(s.begin(), s.end(), '\'', q);
    return s;
}

struct Case {
    std::string in;
    std::vector<Row> on;                  // repair on
    std::optional<std::vector<Row>> off = {};  // repair off, when it differs from `on`
};

const std::vector<Case> kCases = {
    {"", {}},
    {"\xEF\xBB\xBF", {}},
    {"\xEF\xBB\xBF" "a,b", {{{"a", "b"}, 1}}},
    {"a\xEF\xBB\xBF,b", {{{"a\xEF\xBB\xBF", "b"}, 1}}},
    {"\xEF\xBB", {{{kFFFD}, 1}}},
    {"a,b\n", {{{"a", "b"}, 2}}},
    {"a,b", {{{"a", "b"}, 1}}},
    {"a,b\r\nc\rd\n\re", {{{"a", "b"}, 2}, {{"c"}, 3}, {{"d"}, 4}, {{""}, 5}, {{"e"}, 5}}},
    {"\n\n", {{{""}, 2}, {{""}, 3}}},
    {"a,\n", {{{"a", ""}, 2}}},
    {",", {{{"", ""}, 1}}},
    {"a,", {{{"a", ""}, 1}}},
    {" a , b \n", {{{" a ", " b "}, 2}}},
    {" 'a' , b", {{{" 'a' ", " b"}, 1}}},
    {"'a' , b", {{{"a", " b"}, 1}}},
    {"'a'   \n", {{{"a"}, 2}}},
    {"'a' x,y", {{{"ax", "y"}, 1}}},
    {"'a'b,c", {{{"ab", "c"}, 1}}},
    {"'a''b',c", {{{"a'b", "c"}, 1}}},
    {"'a'' b',c", {{{"a' b", "c"}, 1}}},
    {"a'b,c", {{{"a'b", "c"}, 1}}},
    {"'He said 'hi' to me',x",
     {{{"He said 'hi' to me", "x"}, 1}},
     std::vector<Row>{{{"He said hi' to me'", "x"}, 1}}},
    {"'a 'b' c',d", {{{"a 'b' c", "d"}, 1}}, std::vector<Row>{{{"a b' c'", "d"}, 1}}},
    {"'x'y'\n", {{{"x'y"}, 2}}, std::vector<Row>{{{"xy'"}, 2}}},
    {"'a'x'y\n", {{{"ax'y"}, 2}}},
    {"'x' y' z\n", {{{"xy' z"}, 2}}},
    {"'a' 'b',c", {{{"a' 'b", "c"}, 1}}, std::vector<Row>{{{"a'b'", "c"}, 1}}},
    {"'a'x 'b' ,y", {{{"a'x 'b", "y"}, 1}}, std::vector<Row>{{{"ax 'b' ", "y"}, 1}}},
    {"'a'x'\n'b'\n", {{{"a'x"}, 2}, {{"b"}, 3}}, std::vector<Row>{{{"ax'"}, 2}, {{"b"}, 3}}},
    {"'a,b\nc,d\ne\n", {{{"a,b\nc,d\ne\n"}, 4}}},
    {"'a\r\nb',c\nd\n", {{{"a\r\nb", "c"}, 3}, {{"d"}, 4}}},
    {"'a\rb',c\nd\n", {{{"a\rb", "c"}, 2}, {{"d"}, 3}}},
    {"'abc", {{{"abc"}, 1}}},
    {"'abc'", {{{"abc"}, 1}}},
    {"'abc''", {{{"abc'"}, 1}}},
    {"'", {{{""}, 1}}},
    {"''", {{{""}, 1}}},
    {"'a\xFF',\xC3\xA9", {{{"a" + kFFFD, "\xC3\xA9"}, 1}}},
};

class ParserTable : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParserTable, RowsAndLines) {
    const Case& c = kCases[GetParam()];
    for (const char q : {'\'', '"'}) {
        const std::string in = with_quote(c.in, q);
        std::vector<Row> on = c.on;
        std::vector<Row> off = c.off.value_or(c.on);
        for (auto* rows : {&on, &off})
            for (auto& r : *rows)
                for (auto& f : r.fields) f = with_quote(f, q);
        EXPECT_EQ(parse_all(in, ',', static_cast<std::uint8_t>(q), true), on)
            << testing::PrintToString(in);
        EXPECT_EQ(parse_all(in, ',', static_cast<std::uint8_t>(q), false), off)
            << testing::PrintToString(in);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParserTable, ::testing::Range<std::size_t>(0, kCases.size()));

TEST(Parser, QuotedFieldsCloseAtATabDelimiter) {
    EXPECT_EQ(parse_all("\"name\"\t\"city\"\n\"x y\"\t\"z\"", '\t', '"', true),
              (std::vector<Row>{{{"name", "city"}, 2}, {{"x y", "z"}, 2}}));
    // A quote before a tab delimiter can still be the closer that makes an
    // earlier quote stray.
    EXPECT_EQ(parse_all("\"a\"b\"\t1", '\t', '"', true), (std::vector<Row>{{{"a\"b", "1"}, 1}}));
    // With a space delimiter, a blank run after a quote ends at the first space.
    EXPECT_EQ(parse_all("\"a\"\t \"b\"", ' ', '"', true), (std::vector<Row>{{{"a", "b"}, 1}}));
}

TEST(Parser, HighDelimiterCutsCharacters) {
    EXPECT_EQ(parse_all("\xC3\xA9x", 0xA9, '"', true), (std::vector<Row>{{{kFFFD, "x"}, 1}}));
}

TEST(Parser, AgreesWithTheReferenceOnRandomInputs) {
    const std::uint8_t alphabet[] = {'a', 'a', ' ', ' ', '\t', '"', '"', '\'', ',',
                                     ';', '\r', '\n', 0xFF, 0xC3, 0xA9};
    const std::uint8_t control_bytes[] = {',', ';', '\t', ' ', '"', '\'', '\n', '\r', 0xC3, 0xFF, 'a'};
    std::mt19937 rng(2024);
    for (int iter = 0; iter < 20000; ++iter) {
        std::uint8_t delim = ',';
        std::uint8_t quote = '"';
        switch (rng() % 4) {
        case 0: break;
        case 1: delim = '\t'; break;
        default:
            delim = control_bytes[rng() % sizeof control_bytes];
            quote = control_bytes[rng() % sizeof control_bytes];
        }
        const bool repair = rng() % 4 != 0;
        std::string in = rng() % 16 == 0 ? "\xEF\xBB\xBF" : "";
        const std::size_t len = rng() % 40;
        for (std::size_t i = 0; i < len; ++i) in.push_back(static_cast<char>(alphabet[rng() % sizeof alphabet]));

        const auto want = ReferenceParser(in, delim, quote, repair).all();
        const auto got = parse_all(in, delim, quote, repair);
        ASSERT_EQ(got.size(), want.size()) << testing::PrintToString(in);
        for (std::size_t r = 0; r < got.size(); ++r) {
            ASSERT_EQ(got[r], (Row{want[r].fields, want[r].line_after}))
                << testing::PrintToString(in) << " delim " << int(delim) << " quote " << int(quote)
                << " repair " << repair;
        }
    }
}

// Runs of clean lines taken in one go: exactly the leading lines, starting
// before the bound, that hold `k` delimiters and no quote, CR or stop byte
// and end with LF; the rows after them, and their line numbers, are those
// of a parser that took none.
TEST(Parser, TakesRunsOfCleanLinesAsStepWould) {
    const char alphabet[] = {'a', 'a', 'a', ',', ',', '\n', '\n', '\r', '"', '\''};
    std::mt19937 rng(16);
    for (int iter = 0; iter < 20000; ++iter) {
        std::string in;
        for (std::size_t i = rng() % 60; i > 0; --i) in.push_back(alphabet[rng() % sizeof alphabet]);
        const std::uint64_t k = rng() % 3;
        const std::uint64_t bound = rng() % 4 == 0 ? UINT64_MAX : rng() % 64;
        const bool quoting = rng() % 2 == 0;
        const std::uint8_t stop = rng() % 2 == 0 ? '"' : '\'';
        const auto make = [&] {
            ResilientParser p(in, true, ParserPosition{}, ',', '"', true);
            if (!quoting) p.no_quotes();
            p.trust_utf8();
            return p;
        };
        std::uint64_t want = 0;
        for (std::size_t at = 0; at < in.size() && at < bound;) {
            const std::size_t lf = in.find('\n', at);
            if (lf == std::string::npos) break;
            const std::string_view line = std::string_view(in).substr(at, lf - at);
            if (line.find_first_of(std::string("\r") + char(stop) + (quoting ? "\"" : "")) != std::string_view::npos ||
                static_cast<std::uint64_t>(std::count(line.begin(), line.end(), ',')) != k) {
                break;
            }
            ++want;
            at = lf + 1;
        }
        ResilientParser all = make();
        ResilientParser runs = make();
        ASSERT_EQ(runs.take_clean_lines(k, bound, stop), want) << testing::PrintToString(in);
        RowTable a, b;
        for (std::uint64_t i = 0; i < want; ++i) {
            ASSERT_TRUE(all.next_row(a));
            ASSERT_EQ(a.width(a.size() - 1), k + 1);
        }
        EXPECT_EQ(runs.pos(), all.pos());
        EXPECT_EQ(runs.line(), all.line());
        for (;;) {
            const bool more = all.next_row(a);
            ASSERT_EQ(runs.next_row(b), more) << testing::PrintToString(in);
            if (!more) break;
            ASSERT_EQ(b.row(b.size() - 1), a.row(a.size() - 1)) << testing::PrintToString(in);
            ASSERT_EQ(runs.line(), all.line()) << testing::PrintToString(in);
        }
    }
}

// Lines that make a per-quote rescan of the line quadratic: at this size that
// would take hours, so these only have to finish.
constexpr std::size_t kLongLine = 10'000'000;

std::string repeat(std::string_view unit, std::size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) s += unit;
    return s;
}

TEST(ParserLinearity, StrayQuotesWithTheCloserAtTheEnd) {
    const std::size_t n = kLongLine / 2;
    const std::string body = repeat("'x", n);
    const auto rows = parse_all("'a" + body + "'\nb\n", ',', '\'', true);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].fields == Fields{"a" + body});
    EXPECT_EQ(rows[0].line, 2u);
    EXPECT_EQ(rows[1], (Row{{"b"}, 3}));
}

TEST(ParserLinearity, QuotesWithNoCloserOnTheLine) {
    const std::size_t n = kLongLine / 5;
    const auto rows = parse_all(repeat("\"a\"b,", n) + "z", ',', '"', true);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].fields.size(), n + 1);
    EXPECT_EQ(std::count(rows[0].fields.begin(), rows[0].fields.end(), "ab"),
              static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(rows[0].fields.back(), "z");
}

TEST(ParserLinearity, LongBlankRunsWithABlankQuote) {
    // The quote is the space, so every quote is followed by a long blank run.
    const std::string body = repeat("\t ", kLongLine / 2);
    const auto rows = parse_all(" " + body + "x ", ',', ' ', true);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].fields == Fields{body + "x"});
}

}  // namespace
}  // namespace corvel
