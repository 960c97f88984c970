#include "parser.hpp"
#include "quoted.hpp"
#include "reference_parser.hpp"
#include "salvage.hpp"
#include "testing.hpp"
#include "writer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
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
    std::uint64_t lone_crs = 0;  // CRs inside quotes that no line feed follows
};

Taken take(std::string_view in, std::uint8_t delim = ',', std::uint8_t quote = '"', bool valid_utf8 = false) {
    RowTable t;
    t.append("seed", 4);  // the splitter must only append, and nothing when it leaves the row
    t.finish_field();
    t.finish_row();
    QuotedRows::Breaks breaks;
    bool replaced = false;
    const std::uint64_t end = QuotedRows(delim, quote).take(in, 0, true, t, valid_utf8, breaks, replaced);
    if (end == QuotedRows::kNotTaken) {
        EXPECT_EQ(t.size(), 1u);
        EXPECT_EQ(t.open_fields(), 0u);
        EXPECT_EQ(t.row(0), Fields{"seed"});
        EXPECT_EQ(breaks.lfs + breaks.lone_crs, 0u);
        return {false};
    }
    EXPECT_EQ(t.size(), 2u);
    return {true, t.row(1), end, breaks.lfs, breaks.lone_crs};
}

struct Case {
    std::string in;
    Taken want;
    std::uint8_t delim = ',', quote = '"';
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
    {"\"a,b\",\"c\rd\",\"e\r\nf\nz\"\ng", {true, {"a,b", "c\rd", "e\r\nf\nz"}, 20, 2, 1}},
    {"a,\"b\"\n\"c", {true, {"a", "b"}, 5}},  // the next row is not looked at
    {"\"\xC3\xA9\",\"\xFF\"", {true, {"\xC3\xA9", "\xEF\xBF\xBD"}, 8}},
    // Left to the tokenizer.
    {"a\"b\",c", {false}}, {"\"a\"b,c", {false}}, {"\"a\" ,c", {false}}, {"\"a\"\t,c", {false}}, {" \"a\",c", {false}},
    {"\"abc", {false}}, {"\"abc\"\"", {false}}, {"\"a\"\"\"b\",c", {false}}, {"\"a,b\n", {false}},
    {"x,\"" + pad(70) + "\"y,b\n", {false}},           // the fault in a later block
    {"\"" + pad(62) + "\"x\n", {false}},                // after a closer on a block's edge
    {"\"" + pad(62) + "\"\"" + pad(9) + "\"\n", {true, {pad(62) + "\"" + pad(9)}, 75}},
    {pad(63) + ",\"" + pad(70) + "\"", {true, {pad(63), pad(70)}, 136}},
    {std::string("\"").append(pad(65536)).append("\"\n"), {false}},  // too long to be worth it
    {std::string("\"").append(pad(65000)).append("\"\n"), {true, {pad(65000)}, 65002}},
    // Other bytes for the delimiter and the quote; a tab right after a closing quote ends the field.
    {"'a;b';'c''d'\n", {true, {"a;b", "c'd"}, 12}, ';', '\''},
    {"\"a\"\t\"b\"", {true, {"a", "b"}, 7}, '\t'},
};

class QuotedTable : public ::testing::TestWithParam<std::size_t> {};

TEST_P(QuotedTable, SplitsOrLeavesTheRow) {
    const Case& c = kCases[GetParam()];
    // Fields checked one by one, and, for valid UTF-8, written in one piece.
    for (const bool valid : {false, true}) {
        if (valid && !is_valid_utf8(c.in)) continue;
        const Taken got = take(c.in, c.delim, c.quote, valid);
        ASSERT_EQ(got.taken, c.want.taken) << testing::PrintToString(c.in);
        if (!got.taken) return;
        EXPECT_EQ(std::tie(got.fields, got.end, got.lines, got.lone_crs),
                  std::tie(c.want.fields, c.want.end, c.want.lines, c.want.lone_crs));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuotedTable, ::testing::Range<std::size_t>(0, kCases.size()));

// Rows of mostly well-formed quoted fields, with the faults the splitter
// must hand over sprinkled in, long enough to cross many 64-byte blocks.
std::string random_rows(std::mt19937& rng) {
    const std::vector<std::string> good = {"\"abc\"", "\"a,b\"", "\"x\"\"y\"", "\"\"", "\"\"\"\"", "plain",
                                           "\"l1\nl2\"", "\"c\r\nd\"", "\"\xC3\xA9\"", std::string("\"").append(pad(40)).append("\""),
                                           // long fields, after which rows sit out the masks
                                           std::string("\"").append(pad(130)).append("\""), pad(130),
                                           ""};
    const std::vector<std::string> bad = {"a\"b", "\"a\"b", "\"a\" ", "\"a", " \"a\"", "\"a\"\"\"b\"",
                                          "\xFF", "\"a\"\"", "\""};
    const std::vector<std::string> breaks = {"\n", "\r\n", "\r"};
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
    return in;
}

// Where each row stands, counted from the bytes alone: a line ends at LF,
// at CR LF (counted at its LF) and at a CR alone, inside quotes too.
struct Seen {
    Fields fields;
    std::uint64_t start, end, first_line, last_line, line_after;
    bool utf8_replaced;
    bool operator==(const Seen&) const = default;
};

std::uint64_t line_of(std::string_view in, std::uint64_t at) {
    std::uint64_t line = 1;
    for (std::uint64_t i = 0; i < at; ++i) {
        if (in[i] == '\n' || (in[i] == '\r' && (i + 1 == in.size() || in[i + 1] != '\n'))) ++line;
    }
    return line;
}

// Every row of `in`, each through step() or, with `lines`, through
// next_plain_line() where the parser offers it, parsed in windows that end
// at the bytes `cuts` (ascending) and, after them, at the input's end. A line
// taken whole must read as the writer writes its row.
std::vector<Seen> rows_in_windows(std::string_view in, const std::vector<std::uint64_t>& cuts, bool lines,
                                  bool trusted, bool repair = true) {
    std::vector<Seen> seen;
    ParserPosition at;
    std::uint64_t base = in.size() >= 3 && in.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    std::size_t next_cut = 0;
    const CleanFormat format(',', '"');
    for (;;) {
        while (next_cut < cuts.size() && cuts[next_cut] <= base) ++next_cut;
        const bool last = next_cut == cuts.size();
        const std::uint64_t to = last ? in.size() : cuts[next_cut];
        ResilientParser p(in.substr(base, to - base), last, at, ',', '"', repair);
        if (trusted) p.trust_utf8();
        RowTable t;
        for (;;) {
            PlainLine plain;
            if (lines && p.next_plain_line(plain)) {
                p.append_line(plain, t);
                std::string written;
                format.append_row(written, t, t.size() - 1);
                EXPECT_EQ(std::string(plain.text) + "\n", written) << testing::PrintToString(in);
                EXPECT_EQ(plain.fields, t.width(t.size() - 1));
            } else if (const auto step = p.step(t); step != ResilientParser::Step::Row) {
                EXPECT_TRUE(step == ResilientParser::Step::More || last);
                break;
            }
            const RowTrace& r = p.trace();
            seen.push_back({t.row(t.size() - 1), base + r.start, base + r.end, r.first_line, r.last_line, p.line(),
                            r.utf8_replaced});
        }
        base += p.pos();
        at = p.position();
        if (last) return seen;
        ++next_cut;
    }
}

// Rows taken block-wise, as lines or into the table, agree with the
// byte-at-a-time reference and stand where the states would put them, whole
// or cut into windows anywhere.
TEST(Quoted, RowsStandWhereTheirBytesAre) {
    std::mt19937 rng(12);
    for (int iter = 0; iter < 4000; ++iter) {
        std::string in = random_rows(rng);
        if (rng() % 8 == 0) in.insert(0, "\xEF\xBB\xBF");
        const bool repair = rng() % 4 != 0;
        const bool trusted = is_valid_utf8(in);
        SCOPED_TRACE(testing::PrintToString(in) + (repair ? " repair" : " no repair"));
        const std::vector<Seen> whole = rows_in_windows(in, {}, false, false, repair);
        const auto want = corvel_test::ReferenceParser(in, ',', '"', repair).all();
        ASSERT_EQ(whole.size(), want.size());
        std::uint64_t from = in.size() >= 3 && in.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        for (std::size_t r = 0; r < whole.size(); ++r) {
            SCOPED_TRACE("row " + std::to_string(r));
            const Seen& row = whole[r];
            ASSERT_EQ(row.fields, want[r].fields);
            ASSERT_EQ(row.line_after, want[r].line_after);
            ASSERT_EQ(row.start, from);
            ASSERT_EQ(row.first_line, line_of(in, row.start));
            if (row.end > row.start && !(row.end == in.size() && (in.back() == '\n' || in.back() == '\r'))) {
                ASSERT_EQ(row.last_line, line_of(in, row.end - 1));
            }
            ASSERT_EQ(row.utf8_replaced, !is_valid_utf8(in.substr(row.start, row.end - row.start)));
            from = row.end;
            if (from < in.size() && in[from] == '\r') ++from;
            if (from < in.size() && in[from] == '\n') ++from;
        }
        if (trusted) {
            ASSERT_EQ(rows_in_windows(in, {}, false, true, repair), whole);
            ASSERT_EQ(rows_in_windows(in, {}, true, true, repair), whole);
        }
        for (int k = 0; k < 4; ++k) {
            std::vector<std::uint64_t> cuts;
            for (std::uint64_t c = 1 + rng() % 9; c < in.size(); c += 1 + rng() % 9) cuts.push_back(c);
            ASSERT_EQ(rows_in_windows(in, cuts, false, false, repair), whole);
            if (trusted) {
                ASSERT_EQ(rows_in_windows(in, cuts, true, true, repair), whole);
            }
        }
        if (HasFailure()) return;
    }
}

// Within a window that the input goes on past, a row is taken only when
// its end is known.
struct WindowCase {
    std::string in;
    bool last;
    std::uint64_t end;  // kNotTaken when left
};

const std::vector<WindowCase> kWindowCases = {
    {"\"a\",\"b\"", false, QuotedRows::kNotTaken},         // a doubled quote may follow
    {"\"a\",\"b\"", true, 7},
    {"\"a\",b", false, QuotedRows::kNotTaken},               // its last field may go on
    {"\"a\",\"b\"\r", false, QuotedRows::kNotTaken},       // its LF may follow
    {"\"a\",\"b\"\r", true, 7},
    {"\"a\",\"b\"\r\n", false, 7},
    {"\"a\",\"b\"\rx", false, 7},
    {"\"a\",\"b\"\n\"c", false, 7},
    {"\"a\nb\",\"c", false, QuotedRows::kNotTaken},
    {"\"a\r", false, QuotedRows::kNotTaken},
};

TEST(Quoted, TakesARowInAWindowOnlyWhenItsEndIsKnown) {
    for (const WindowCase& c : kWindowCases) {
        SCOPED_TRACE(testing::PrintToString(c.in) + (c.last ? " last" : ""));
        RowTable t;
        QuotedRows::Breaks breaks;
        bool replaced = false;
        EXPECT_EQ(QuotedRows(',', '"').take(c.in, 0, c.last, t, true, breaks, replaced), c.end);
        std::string text;
        std::uint64_t fields = 0;
        EXPECT_EQ(QuotedRows(',', '"').take_line(c.in, 0, c.last, text, fields, breaks), c.end);
    }
}

// salvage_file writes rows taken as lines exactly as it writes rows from the
// table, whatever their fate: as they are, padded, merged or set aside.
TEST(Quoted, SalvageFileWritesLinesAsTheWriterWould) {
    const std::string in = "\"h1\",\"h2\",\"h3\"\n\"a\",\"b,c\",\"d\"\"e\"\n\"a\",\"b\"\r\n"
                           "\"a\",\"b\",\"c\",\"d\"\"\",\"e\nf\"\n\"a\"x,\"b\",\"c\"\n"
                           "plain,row,here\n\"\xC3\xA9\",\"\",\"\"\"\"\"";
    const corvel_test::ScratchDir dir;
    dir.write("in.csv", in);
    for (const bool fill : {true, false}) {
        for (const bool merge : {true, false}) {
            const SalvageOptions o = corvel_test::opts({}, {}, {.fill = fill, .merge = merge});
            const auto stats = salvage_file(dir.path("in.csv"), dir.path("out.csv"), dir.path("q.csv"), o);
            ASSERT_TRUE(stats.ok());
            const auto slice = salvage_slice(in, o);
            ASSERT_TRUE(slice.ok());
            const SalvageOutcome& m = slice.value();
            std::string want;
            const CleanFormat format(',', '"');
            for (std::uint64_t r = 0; r < m.rows.size(); ++r) format.append_row(want, m.rows, r);
            EXPECT_EQ(dir.read("out.csv"), want) << "fill " << fill << " merge " << merge;
            EXPECT_EQ(stats.value().quarantined_rows, m.quarantine.size());
            EXPECT_EQ(stats.value().repaired_rows, m.stats.repaired_rows);
        }
    }
}

// A fixed amount of work on inputs where cutting rows block-wise could go
// wrong: each has to finish and agree with what it must give.
TEST(QuotedLinearity, AlternatingDoubledQuotesOnOneLine) {
    const std::string in = corvel_test::repeat("\"a\"\"", 2'000'000) + "\n";
    ResilientParser p(in, ',', '"', true);  // borrows `in`
    RowTable t;
    ASSERT_TRUE(p.next_row(t));
    EXPECT_FALSE(p.next_row(t));
    EXPECT_EQ(p.line(), 2u);
}

TEST(QuotedLinearity, EveryRowFallsBack) {
    // Each row is well-formed up to a fault in its last field.
    const std::string row = std::string("\"").append(pad(100)).append("\",\"a\"\"b\",\"c\"x\n");
    const std::string in = corvel_test::repeat(row, 100'000);
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
