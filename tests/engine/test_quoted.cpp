#include "parser.hpp"
#include "quoted.hpp"
#include "reference_parser.hpp"
#include "salvage.hpp"
#include "writer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {
namespace {

using Fields = std::vector<std::string>;

// What the block-wise splitter makes of the row at the start of `in`: its
// fields and the index where it ends, or nothing when it leaves the row.
struct Taken {
    bool taken;
    Fields fields = {};
    std::uint64_t end = 0;
    std::uint64_t lines = 0;  // line feeds inside quotes
};

Taken take(std::string_view in, std::uint8_t delim = ',', std::uint8_t quote = '"', bool valid_utf8 = false) {
    RowTable t;
    t.append("seed", 4);  // the splitter must only append, and nothing when it leaves the row
    t.finish_field();
    t.finish_row();
    std::uint64_t line = 0;
    const std::uint64_t end = QuotedRows(delim, quote).take(in, 0, t, valid_utf8, line);
    if (end == QuotedRows::kNotTaken) {
        EXPECT_EQ(t.size(), 1u);
        EXPECT_EQ(t.open_fields(), 0u);
        EXPECT_EQ(t.row(0), Fields{"seed"});
        EXPECT_EQ(line, 0u);
        return {false};
    }
    EXPECT_EQ(t.size(), 2u);
    return {true, t.row(1), end, line};
}

struct Case {
    std::string in;
    Taken want;
};

std::string pad(std::size_t n) { return std::string(n, 'x'); }

const std::vector<Case> kCases = {
    {"\"a\",\"b\"\n", {true, {"a", "b"}, 7}},
    {"\"a\",b,\"\"\r\n", {true, {"a", "b", ""}, 8}},
    {"\"a\"", {true, {"a"}, 3}},
    {"\"\"", {true, {""}, 2}},
    {"\"\"\"\"", {true, {"\""}, 4}},
    {"\"a\"\"b\"\"\",c", {true, {"a\"b\"", "c"}, 10}},
    {"\"\"\"x\"\" y\"", {true, {"\"x\" y"}, 9}},
    {"\"a,b\",\"c\rd\",\"e\r\nf\nz\"\ng", {true, {"a,b", "c\rd", "e\r\nf\nz"}, 20, 2}},
    {"a,\"b\"\n\"c", {true, {"a", "b"}, 5}},  // the next row is not looked at
    {"\"\xC3\xA9\",\"\xFF\"", {true, {"\xC3\xA9", "\xEF\xBF\xBD"}, 8}},
    // Left to the tokenizer.
    {"a\"b\",c", {false}},
    {"\"a\"b,c", {false}},
    {"\"a\" ,c", {false}},
    {"\"a\"\t,c", {false}},
    {" \"a\",c", {false}},
    {"\"abc", {false}},
    {"\"abc\"\"", {false}},
    {"\"a\"\"\"b\",c", {false}},
    {"\"a,b\n", {false}},
    {"x,\"" + pad(70) + "\"y,b\n", {false}},           // the fault in a later block
    {"\"" + pad(62) + "\"x\n", {false}},                // after a closer on a block's edge
    {"\"" + pad(62) + "\"\"" + pad(9) + "\"\n", {true, {pad(62) + "\"" + pad(9)}, 75}},
    {pad(63) + ",\"" + pad(70) + "\"", {true, {pad(63), pad(70)}, 136}},
    {std::string("\"").append(pad(65536)).append("\"\n"), {false}},  // too long to be worth it
    {std::string("\"").append(pad(65000)).append("\"\n"), {true, {pad(65000)}, 65002}},
};

class QuotedTable : public ::testing::TestWithParam<std::size_t> {};

TEST_P(QuotedTable, SplitsOrLeavesTheRow) {
    const Case& c = kCases[GetParam()];
    // Fields checked one by one, and, for valid UTF-8, written in one piece.
    for (const bool valid : {false, true}) {
        if (valid && !is_valid_utf8(c.in)) continue;
        const Taken got = take(c.in, ',', '"', valid);
        ASSERT_EQ(got.taken, c.want.taken) << testing::PrintToString(c.in);
        if (!got.taken) return;
        EXPECT_EQ(got.fields, c.want.fields);
        EXPECT_EQ(got.end, c.want.end);
        EXPECT_EQ(got.lines, c.want.lines);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuotedTable, ::testing::Range<std::size_t>(0, kCases.size()));

TEST(Quoted, PrefixXorMarksTheInsideOfQuotes) {
    using quoted_detail::prefix_xor;
    EXPECT_EQ(prefix_xor(0), 0u);
    EXPECT_EQ(prefix_xor(0b1001), 0b0111u);
    EXPECT_EQ(prefix_xor(0b110110), 0b010010u);
    EXPECT_EQ(prefix_xor(std::uint64_t{1}), ~std::uint64_t{0});
    EXPECT_EQ(prefix_xor(std::uint64_t{1} << 63), std::uint64_t{1} << 63);
}

TEST(Quoted, OtherBytesForDelimiterAndQuote) {
    const Taken got = take("'a;b';'c''d'\n", ';', '\'');
    ASSERT_TRUE(got.taken);
    EXPECT_EQ(got.fields, (Fields{"a;b", "c'd"}));
    // A tab delimiter right after a closing quote ends the field.
    EXPECT_EQ(take("\"a\"\t\"b\"", '\t').fields, (Fields{"a", "b"}));
}

// Every row of `in` from the parser against the byte-at-a-time reference;
// `trusted` vouches for valid UTF-8.
void expect_same_as_reference(const std::string& in, std::uint8_t delim, std::uint8_t quote, bool repair,
                              bool trusted) {
    const auto want = corvel_test::ReferenceParser(in, delim, quote, repair).all();
    ResilientParser p(in, delim, quote, repair);
    if (trusted) p.trust_utf8();
    RowTable t;
    for (const auto& row : want) {
        ASSERT_TRUE(p.next_row(t)) << testing::PrintToString(in);
        ASSERT_EQ(t.row(t.size() - 1), row.fields)
            << testing::PrintToString(in) << " delim " << int(delim) << " quote " << int(quote);
        ASSERT_EQ(p.line(), row.line_after) << testing::PrintToString(in);
    }
    ASSERT_FALSE(p.next_row(t)) << testing::PrintToString(in);
}

// The rows of `in`, taken as lines in the writer's form where the parser
// offers them, against the rows of next_row() and the writer's text.
void expect_lines_as_written(const std::string& in, std::uint8_t delim, std::uint8_t quote) {
    ResilientParser rows(in, delim, quote, true);
    ResilientParser lines(in, delim, quote, true);
    rows.trust_utf8();
    lines.trust_utf8();
    const CleanFormat format(delim, quote);
    RowTable want, got;
    for (std::uint64_t r = 0; rows.next_row(want); ++r) {
        PlainLine plain;
        if (lines.next_plain_line(plain)) {
            lines.append_line(plain, got);
            std::string written;
            format.append_row(written, want, r);
            ASSERT_EQ(std::string(plain.text) + "\n", written) << testing::PrintToString(in);
            ASSERT_EQ(plain.fields, want.width(r));
        } else {
            ASSERT_TRUE(lines.next_row(got));
        }
        ASSERT_EQ(got.row(r), want.row(r)) << testing::PrintToString(in);
        ASSERT_EQ(lines.line(), rows.line());
    }
    PlainLine plain;
    ASSERT_FALSE(lines.next_plain_line(plain));
    ASSERT_FALSE(lines.next_row(got));
}

// Rows of mostly well-formed quoted fields, with the faults the splitter
// must hand over sprinkled in, long enough to cross many 64-byte blocks.
TEST(Quoted, AgreesWithTheReferenceOnQuotedRows) {
    const std::vector<std::string> good = {"\"abc\"", "\"a,b\"", "\"x\"\"y\"", "\"\"", "\"\"\"\"", "plain",
                                           "\"l1\nl2\"", "\"c\r\nd\"", "\"\xC3\xA9\"", std::string("\"").append(pad(40)).append("\""),
                                           // long fields, after which rows sit out the masks
                                           std::string("\"").append(pad(130)).append("\""), pad(130),
                                           ""};
    const std::vector<std::string> bad = {"a\"b", "\"a\"b", "\"a\" ", "\"a", " \"a\"", "\"a\"\"\"b\"",
                                          "\xFF", "\"a\"\"", "\""};
    const std::vector<std::string> breaks = {"\n", "\r\n", "\r"};
    std::mt19937 rng(15);
    for (int iter = 0; iter < 3000; ++iter) {
        std::string in;
        const int rows = 1 + static_cast<int>(rng() % 6);
        for (int r = 0; r < rows; ++r) {
            const int fields = 1 + static_cast<int>(rng() % 8);
            for (int f = 0; f < fields; ++f) {
                if (f) in += ',';
                in += rng() % 12 == 0 ? bad[rng() % bad.size()] : good[rng() % good.size()];
            }
            if (r + 1 < rows || rng() % 2) in += breaks[rng() % breaks.size()];
        }
        const bool repair = rng() % 4 != 0;
        expect_same_as_reference(in, ',', '"', repair, false);
        if (is_valid_utf8(in)) {
            expect_same_as_reference(in, ',', '"', repair, true);
            expect_lines_as_written(in, ',', '"');
        }
        if (HasFatalFailure()) return;
    }
}

// salvage_file writes rows taken as lines exactly as it writes rows from the
// table, whatever their fate: as they are, padded, merged or set aside.
TEST(Quoted, SalvageFileWritesLinesAsTheWriterWould) {
    const std::string in =
        "\"h1\",\"h2\",\"h3\"\n"
        "\"a\",\"b,c\",\"d\"\"e\"\n"
        "\"a\",\"b\"\r\n"
        "\"a\",\"b\",\"c\",\"d\"\"\",\"e\nf\"\n"
        "\"a\"x,\"b\",\"c\"\n"
        "plain,row,here\n"
        "\"\xC3\xA9\",\"\",\"\"\"\"\"";
    const std::string dir = ::testing::TempDir();
    const std::string src = dir + "quoted-in.csv", out = dir + "quoted-out.csv", q = dir + "quoted-q.csv";
    std::ofstream(src, std::ios::binary) << in;
    const auto slurp = [](const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    };
    for (const bool fill : {true, false}) {
        for (const bool merge : {true, false}) {
            SalvageOptions o;
            o.fill_ragged_rows = fill;
            o.merge_overflow = merge;
            const auto stats = salvage_file(src, out, std::string_view(q), o);
            ASSERT_TRUE(stats.ok());
            const auto slice = salvage_slice(in, o);
            ASSERT_TRUE(slice.ok());
            const SalvageOutcome& m = slice.value();
            std::string want;
            const CleanFormat format(',', '"');
            for (std::uint64_t r = 0; r < m.rows.size(); ++r) format.append_row(want, m.rows, r);
            EXPECT_EQ(slurp(out), want) << "fill " << fill << " merge " << merge;
            EXPECT_EQ(stats.value().quarantined_rows, m.quarantine.size());
            EXPECT_EQ(stats.value().repaired_rows, m.stats.repaired_rows);
        }
    }
    std::remove(src.c_str());
    std::remove(out.c_str());
    std::remove(q.c_str());
}

// A fixed amount of work on inputs where cutting rows block-wise could go
// wrong: each has to finish and agree with what it must give.
TEST(QuotedLinearity, AlternatingDoubledQuotesOnOneLine) {
    std::string in;
    for (int i = 0; i < 2'000'000; ++i) in += "\"a\"\"";
    in += '\n';
    ResilientParser p(in, ',', '"', true);  // borrows `in`
    RowTable t;
    ASSERT_TRUE(p.next_row(t));
    EXPECT_FALSE(p.next_row(t));
    EXPECT_EQ(p.line(), 2u);
}

TEST(QuotedLinearity, EveryRowFallsBack) {
    // Each row is well-formed up to a fault in its last field.
    const std::string row = std::string("\"").append(pad(100)).append("\",\"a\"\"b\",\"c\"x\n");
    std::string in;
    for (int i = 0; i < 100'000; ++i) in += row;
    ResilientParser p(in, ',', '"', true);
    RowTable t;
    std::uint64_t rows = 0;
    while (p.next_row(t)) {
        ++rows;
        ASSERT_EQ(t.row(0), (Fields{pad(100), "a\"b", "cx"}));
        t.clear();
    }
    EXPECT_EQ(rows, 100'000u);
    EXPECT_EQ(p.line(), 100'001u);
}

}  // namespace
}  // namespace corvel
