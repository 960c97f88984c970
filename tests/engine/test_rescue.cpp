// The package's streaming salvage: the same output however the input is cut,
// exact row places, the fate table, and failures that name their side.
#include "rescue.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <tuple>
#include <vector>
#include <string>

// Options are spelt with designated initializers, the rest left at their
// defaults; g++ 12 counts the members without a default initializer as missing.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using corvel::RescueOptions;
using C = corvel::RescueCounts;
using corvel_test::latin1;
using corvel_test::StringSink;
using corvel_test::StringSource;

struct Outcome {
    std::string clean, quarantine, audit;
    corvel::RescueCounts counts;
};

Outcome run(const std::string& input, const RescueOptions& o, std::size_t step = 1 << 20) {
    StringSource in(input, step);
    StringSink clean, quarantine, audit;
    corvel::Side side;
    corvel::CsvSink rows(clean, o);
    auto r = corvel::rescue(in, rows, {&quarantine, &audit}, o, {}, &side);
    EXPECT_TRUE(r.ok());
    return {clean.text, quarantine.text, audit.text, r ? r.value() : corvel::RescueCounts{}};
}

// Rows of every kind, UTF-8 and latin-1 mixed, long enough that decoded
// lines are handed over in several runs.
std::string long_mixed() {
    std::string s = "id,name,city\n";
    for (int i = 0; i < 3000; ++i) {
        const std::string n = std::to_string(i);
        switch (i % 7) {
            case 0: s += n + ",Zo\xeb,K\xf6ln\n"; break;
            case 1: s += n + ",Zo\xc3\xab,K\xc3\xb6ln\n"; break;
            case 2: s += n + ",plain,row\n"; break;
            case 3: s += n + ",short\xe9\n"; break;
            case 4: s += n + ",\"q,\xe9\",x,surplus\n"; break;
            case 5: s += n + ", spaced,\xe9\r\n"; break;
            default: s += "\n"; break;
        }
    }
    return s;
}

// The package's options, each set one way.
const RescueOptions kOptionSets[] = {
    {},
    {.legacy = &latin1()},
    {.fill_ragged_rows = false, .merge_overflow = false, .header = true, .legacy = &latin1()},
    {.skip_initial_space = true, .output_delimiter = ';', .legacy = &latin1()},
    {.quote = std::nullopt, .skip_blank_lines = false},
    // A table as detection describes it: a title, a header of two rows, a
    // footer looked for, a later table, backslash escapes.
    {.escape = '\\', .expected_columns = 3, .header = true, .skip_initial_space = true, .preamble_rows = 1,
     .header_rows = 2, .find_footer = true, .find_tables = true},
    // Strict, at two widths.
    {.fill_ragged_rows = false, .merge_overflow = false, .expected_columns = 2},
    {.fill_ragged_rows = false, .merge_overflow = false, .expected_columns = 3},
    // Footer and later tables looked for while clean lines come in runs:
    // with the footer's window of rows held, and with one row held.
    {.find_footer = true, .find_tables = true},
    {.header = true, .find_tables = true},
};

const std::string kInputs[] = {
    "a,b,c\n1,2\n3,4,5,6\n\n\"x\"\"y\",z,w\n",
    "h1;h2\r\n\"multi\r\nline\";2\r\n\r\n;\r\nlast;row",
    "\xEF\xBB\xBFid,name\n1,\"stray \"quote\" here\"\n2,caf\xe9\n",
    "one\rtwo\rthree\r",
    "\"unclosed,quote\nrest,of\nfile",
    "",
    "\n\n\n",
    "a,b\n\xe9\xe9,\xc3\xa9\n\"\xe9\n\xc3\xa9\",x\n",
    long_mixed(),
    "Report\n\ngroup,,\nid,name,amount\n1,\"a \\\"b\\\"\",2\n2, \"x,y\",3\n3,short\n\\,,4\nTotal,,9\n\nk,v\n1,2\n",
};

class Chunking : public ::testing::TestWithParam<std::tuple<int, std::size_t>> {};
TEST_P(Chunking, SameOutputAsOneRead) {
    const auto [which, step] = GetParam();
    const std::string& input = kInputs[which];
    for (const RescueOptions& o : kOptionSets) {
        const Outcome whole = run(input, o);
        const Outcome cut = run(input, o, step);
        EXPECT_EQ(cut.clean, whole.clean);
        EXPECT_EQ(cut.quarantine, whole.quarantine);
        EXPECT_EQ(cut.audit, whole.audit);
        const auto counts = [](const corvel::RescueCounts& c) {
            return std::vector<std::uint64_t>{c.rows_read, c.rows_written, c.rows_clean, c.rows_repaired, c.padded,
                                              c.merged, c.quote_repaired, c.bytes_replaced, c.legacy_decoded,
                                              c.rows_set_aside, c.rows_skipped, c.header_written, c.width,
                                              c.preamble, c.header_set_aside, c.footer, c.second_table,
                                              c.tables_found};
        };
        EXPECT_EQ(counts(cut.counts), counts(whole.counts));
        EXPECT_EQ(cut.counts.bytes_read, input.size());
        const auto& c = whole.counts;
        EXPECT_EQ(c.rows_read, c.rows_written + c.rows_set_aside + c.rows_skipped + c.header_written);
        EXPECT_EQ(c.rows_written, c.rows_clean + c.rows_repaired);
        EXPECT_GE(c.rows_set_aside, c.too_few_columns + c.too_many_columns + c.preamble + c.header_set_aside +
                                        c.footer + c.second_table);
    }
}
INSTANTIATE_TEST_SUITE_P(Table, Chunking,
                         ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kInputs))),
                                            ::testing::Values(1, 2, 3, 5, 64, 700)));

const std::vector<corvel::CellType> kTypes = {corvel::CellType::Text, corvel::CellType::Number,
                                              corvel::CellType::Number};

// The rows around a table, each set aside with its reason and its place.
TEST(Shape, PreambleHeaderFooterAndSecondTable) {
    const RescueOptions o{.expected_columns = 3, .header = true, .preamble_rows = 2, .header_rows = 2,
                          .find_footer = true, .find_tables = true, .column_types = kTypes};
    const std::string input =
        "Sales report\n\nPrinted 2024-01-02\nRegion,Q1,\nname,price,qty\nAnn,1.5,3\nBob,2\n"
        "Total,3.5,3\n\ncode,label\nA,alpha\n\nx,y,z,w\n1,2,3,4\n";
    for (std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
        const Outcome out = run(input, o, step);
        EXPECT_EQ(out.clean, "name,price,qty\nAnn,1.5,3\nBob,2,\n");
        EXPECT_EQ(out.quarantine,
                  "line,end_line,byte_offset,reason,raw\n"
                  "1,1,0,Preamble row,\"Sales report\"\n"
                  "3,3,14,Preamble row,\"Printed 2024-01-02\"\n"
                  "4,4,33,Header row,\"Region,Q1,\"\n"
                  "8,8,75,Footer row,\"Total,3.5,3\"\n"
                  "10,10,88,Second table,\"code,label\"\n"
                  "11,11,99,Second table,\"A,alpha\"\n"
                  "13,13,108,Second table,\"x,y,z,w\"\n"
                  "14,14,116,Second table,\"1,2,3,4\"\n");
        const auto& c = out.counts;
        EXPECT_EQ(std::vector<std::uint64_t>({c.preamble, c.header_set_aside, c.footer, c.second_table, c.tables_found,
                                              c.rows_written, c.padded, c.rows_skipped}),
                  std::vector<std::uint64_t>({2, 1, 1, 4, 3, 2, 1, 3}));
    }
}

// Only the last rows can be footer, at most three of them, and a short last
// row that is no footer is padded as usual.
TEST(Shape, FooterIsAtMostThreeTrailingRows) {
    const RescueOptions o{.expected_columns = 3, .find_footer = true, .column_types = kTypes};
    std::string input;
    for (int i = 0; i < 40; ++i) {
        const std::string n = std::to_string(i);
        input.append("r").append(n).append(",").append(n).append(",1\n");
    }
    EXPECT_EQ(run(input + "Total,1,2\n", o).counts.footer, 1u);
    EXPECT_EQ(run(input + "Sum,1,2\nCount,40\nPage 1\nPrinted by me\n", o).counts.footer, 3u);
    const Outcome tail = run(input + "r40,40\n", o);
    EXPECT_EQ(tail.counts.footer, 0u);
    EXPECT_EQ(tail.counts.padded, 1u);
    EXPECT_TRUE(tail.clean.ends_with("r39,39,1\nr40,40,\n"));
}

struct PlaceCase {
    std::string input;
    std::string quarantine;  // after the header line
};
class Places : public ::testing::TestWithParam<PlaceCase> {};
TEST_P(Places, CutExactlyTheRowsSource) {
    const RescueOptions o{.delimiter = ',', .fill_ragged_rows = false, .merge_overflow = false, .expected_columns = 9};
    for (std::size_t step : {1, 4, 1 << 20}) {
        const Outcome out = run(GetParam().input, o, step);
        EXPECT_EQ(out.quarantine, "line,end_line,byte_offset,reason,raw\n" + GetParam().quarantine) << step;
    }
}
INSTANTIATE_TEST_SUITE_P(
    Table, Places,
    ::testing::Values(PlaceCase{"a\nb\n", "1,1,0,too_few_columns,\"a\"\n2,2,2,too_few_columns,\"b\"\n"},
                      PlaceCase{"a\r\nb", "1,1,0,too_few_columns,\"a\"\n2,2,3,too_few_columns,\"b\"\n"},
                      PlaceCase{"a\rb\r", "1,1,0,too_few_columns,\"a\"\n2,2,2,too_few_columns,\"b\"\n"},
                      PlaceCase{"\"x\ny\",z\nw\n",
                                "1,2,0,too_few_columns,\"\"\"x\ny\"\",z\"\n3,3,8,too_few_columns,\"w\"\n"},
                      PlaceCase{"\xEF\xBB\xBFq\n", "1,1,3,too_few_columns,\"q\"\n"},
                      // A lone CR inside quotes ends a line too.
                      PlaceCase{"\"x\ry\r\nz\",w\rv",
                                "1,3,0,too_few_columns,\"\"\"x\ry\r\nz\"\",w\"\n4,4,11,too_few_columns,\"v\"\n"},
                      // A byte-order mark inside the file is text, not skipped.
                      PlaceCase{"a\n\xEF\xBB\xBFq\n",
                                "1,1,0,too_few_columns,\"a\"\n2,2,2,too_few_columns,\"\xEF\xBB\xBFq\"\n"}));

TEST(Rows, QuoteRepairIsCountedAndAudited) {
    const Outcome out = run("a,b\n\"say \"hi\" now\",x\n", {.delimiter = ','});
    EXPECT_EQ(out.counts.quote_repaired, 1u);
    EXPECT_NE(out.audit.find("\"quote_repaired\""), std::string::npos);
}

TEST(Encoding, PlacesCountTheBytesBeforeDecoding) {
    const RescueOptions o{.delimiter = ',', .fill_ragged_rows = false, .merge_overflow = false, .expected_columns = 9,
                          .legacy = &latin1()};
    for (std::size_t step : {1, 2, 5, 1 << 20}) {
        // A quoted field over two lines, one of them UTF-8 and one not: the
        // row is not UTF-8, so all of it is read with the legacy table.
        const Outcome out = run("\xe9" "a\r\n\"\xe9\xe9" "b\nZo\xc3\xab\"\nc\n", o, step);
        EXPECT_EQ(out.quarantine,
                  "line,end_line,byte_offset,reason,raw\n"
                  "1,1,0,too_few_columns,\"éa\"\n"
                  "2,3,4,too_few_columns,\"\"\"ééb\nZoÃ«\"\"\"\n"
                  "4,4,15,too_few_columns,\"c\"\n")
            << step;
        EXPECT_EQ(out.counts.legacy_decoded, 2u);
    }
}

// A clean side that can't be written, and a run stopped between reads.
TEST(Failures, NameTheirSide) {
    const corvel::Progress stop{[](void*, std::uint64_t) noexcept { return true; }, nullptr};
    using corvel::Side;
    for (const auto& [fail_with, progress, code, want] :
         {std::tuple{ENOSPC, corvel::Progress{}, ENOSPC, Side::Clean}, std::tuple{0, stop, EINTR, Side::Input}}) {
        StringSource in("a,b\n1,2\n", 3);
        StringSink clean(fail_with);
        corvel::CsvSink rows(clean, RescueOptions{});
        Side side;
        auto r = corvel::rescue(in, rows, {}, RescueOptions{}, progress, &side);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().os_code(), code);
        EXPECT_EQ(side, want);
    }
}

// Clean output, and the counts named, for what the other tables leave out.
using Count = std::pair<std::uint64_t corvel::RescueCounts::*, std::uint64_t>;
struct CleanCase {
    std::string input;
    RescueOptions options;
    std::string clean;
    std::vector<Count> counts = {};
};
class CleanOutput : public ::testing::TestWithParam<CleanCase> {};
TEST_P(CleanOutput, IsAsWritten) {
    const CleanCase& c = GetParam();
    const Outcome out = run(c.input, c.options);
    EXPECT_EQ(out.clean, c.clean);
    for (const auto& [count, want] : c.counts) EXPECT_EQ(out.counts.*count, want);
}
INSTANTIATE_TEST_SUITE_P(
    Table, CleanOutput,
    ::testing::Values(
        // A header shorter than the table is padded, not set aside.
        CleanCase{"h\n1,2\n3,4\n", kOptionSets[2], "h,\n1,2\n3,4\n"},
        // A row that is not UTF-8 is decoded whole: its UTF-8 part too.
        CleanCase{"a,b\n\xc3\xa9,\xe9\n", kOptionSets[1], "a,b\n\xc3\x83\xc2\xa9,\xc3\xa9\n"},
        // Without quoting, the width comes from lines split at every delimiter.
        CleanCase{"\"a,b\",c\n\"d,e\",f\n", kOptionSets[4], "\"\"\"a\",\"b\"\"\",c\n\"\"\"d\",\"e\"\"\",f\n"},
        // Blanks go before the merge joins the surplus.
        CleanCase{"a,b\n x, y, z\n", kOptionSets[3], "a;b\nx;y,z\n"},
        // A blank line kept is one empty field.
        CleanCase{"x\n\ny\n", {.skip_blank_lines = false}, "x\n\"\"\ny\n"},
        // Without quoting, a quote is text.
        CleanCase{"\"a,b\"\n\"c,d\n", {.delimiter = ',', .quote = std::nullopt}, "\"\"\"a\",\"b\"\"\"\n\"\"\"c\",d\n"},
        // Blank lines skipped, a header written once, a field with the output delimiter enclosed.
        CleanCase{"h1;h2\n\n1;\"a,b\"\n  \n2\n", {.delimiter = ';', .header = true, .output_delimiter = ','},
                  "h1,h2\n1,\"a,b\"\n2,\n",
                  {{&C::rows_skipped, 2}, {&C::header_written, 1}, {&C::rows_written, 2}, {&C::rows_read, 5}}},
        // Each row decoded its own way: as UTF-8, through the legacy table, or with bytes replaced.
        CleanCase{"n,v\nZo\xc3\xab,1\nZo\xeb,2\n", kOptionSets[1], "n,v\nZoë,1\nZoë,2\n",
                  {{&C::legacy_decoded, 1}, {&C::bytes_replaced, 0}}},
        CleanCase{"n,v\nZo\xeb,2\n", RescueOptions{}, "n,v\nZo\xEF\xBF\xBD,2\n",
                  {{&C::bytes_replaced, 1}, {&C::rows_repaired, 1}}},
        // A backslash makes the next character literal; doubled quotes are then
        // two quotes, and the second one closes nothing.
        CleanCase{"a,\"say \\\"hi\\\", then \\\\ go\"\nb,x\\,y\n", {.escape = '\\', .expected_columns = 2},
                  "a,\"say \"\"hi\"\", then \\ go\"\nb,\"x,y\"\n", {{&C::rows_repaired, 0}}}));

// Without quoting, lines go out as they stand, except those that hold a
// quote, which the writer encloses; a padded or decoded line too.
INSTANTIATE_TEST_SUITE_P(
    Unquoted, CleanOutput,
    ::testing::Values(
        CleanCase{"a,b\n1,say \"hi\"\n2,x\n", kOptionSets[4], "a,b\n1,\"say \"\"hi\"\"\"\n2,x\n"},
        CleanCase{"a,b,c\nx\"y,1\nz,2,3\n", kOptionSets[4], "a,b,c\n\"x\"\"y\",1,\nz,2,3\n"},
        CleanCase{"a,b\ncaf\xe9,\"\nx,y\n", {.quote = std::nullopt, .legacy = &latin1()},
                  "a,b\ncaf\xc3\xa9,\"\"\"\"\nx,y\n"}));

// Rows below a long run of clean lines: footer rows, taken from the end of
// the run, and a later table, each set aside with its exact place, the
// bytes before decoding counted; the rows above go out in order.
struct TailCase {
    std::string row_suffix;  // of every data row: plain, or latin-1
    std::string tail;        // after the data rows
    std::vector<std::string> footer, second;  // rows of the tail set aside as such
    std::uint64_t rows;      // data rows
    std::string written = "";  // rows of the tail written as data
};
class RunTails : public ::testing::TestWithParam<TailCase> {};
TEST_P(RunTails, AreJudgedRowByRow) {
    const TailCase& c = GetParam();
    const RescueOptions o{.expected_columns = 3, .legacy = &latin1(), .find_footer = true, .find_tables = true,
                          .column_types = {corvel::CellType::Text, corvel::CellType::Number, corvel::CellType::Text}};
    // As read: latin-1 where a row is not UTF-8, which only its é makes it.
    const auto decoded = [](std::string s) {
        for (std::size_t e = s.find('\xe9'); e != std::string::npos; e = s.find('\xe9', e + 2)) s.replace(e, 1, "\xc3\xa9");
        return s;
    };
    std::string input;
    for (std::uint64_t i = 0; i < c.rows; ++i) {
        const std::string n = std::to_string(i);
        input.append("r").append(n).append(",").append(n).append(",").append(c.row_suffix).append("\n");
    }
    const std::string clean = decoded(input) + c.written;
    input += c.tail;
    const std::uint64_t written = c.rows + static_cast<std::uint64_t>(std::count(c.written.begin(), c.written.end(), '\n'));
    std::uint64_t latin_rows = 0;
    for (std::size_t at = 0; at < input.size(); at = input.find('\n', at) + 1) {
        latin_rows += input.substr(at, input.find('\n', at) - at).find('\xe9') != std::string::npos;
    }
    // Each row set aside, with its place, and audited as read: with the legacy table or not.
    std::string quarantine = "line,end_line,byte_offset,reason,raw\n";
    std::vector<std::string> audited;
    for (const auto& [rows, reason] : {std::pair{&c.footer, "Footer row"}, std::pair{&c.second, "Second table"}}) {
        for (const std::string& raw : *rows) {
            const std::size_t at = input.find(raw + "\n");
            const std::string line = std::to_string(1 + std::count(input.begin(), input.begin() + at, '\n'));
            quarantine += line + "," + line + "," + std::to_string(at) + "," + reason + ",\"" + decoded(raw) + "\"\n";
            audited.push_back(std::string("\"byte_offset\":").append(std::to_string(at)).append(",\"actions\":[") +
                              (raw.find('\xe9') != std::string::npos ? "\"legacy_decoded\"," : "") + "\"quarantined\"]");
        }
    }
    for (std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{1} << 20}) {
        const Outcome out = run(input, o, step);
        EXPECT_EQ(out.clean, clean) << step;
        EXPECT_EQ(out.quarantine, quarantine) << step;
        std::size_t set_aside = 0;
        for (std::size_t at = 0; (at = out.audit.find("\"quarantined\"", at)) != std::string::npos; ++at) ++set_aside;
        EXPECT_EQ(set_aside, audited.size()) << step;
        for (const std::string& a : audited) EXPECT_NE(out.audit.find(a), std::string::npos) << a << step;
        const C& n = out.counts;
        EXPECT_EQ(std::vector<std::uint64_t>({n.rows_written, n.rows_clean, n.footer, n.second_table, n.legacy_decoded}),
                  std::vector<std::uint64_t>({written, written, c.footer.size(), c.second.size(), latin_rows}))
            << step;
    }
}
INSTANTIATE_TEST_SUITE_P(
    Table, RunTails,
    ::testing::Values(
        TailCase{"x", "Total,9,x\n", {"Total,9,x"}, {}, 40},
        TailCase{"x", "Sum,1,x\nCount,40,x\nPage 1,2,x\n", {"Sum,1,x", "Count,40,x", "Page 1,2,x"}, {}, 5},
        TailCase{"x", "Sum,1,x\nCount,40,x\nPage 1,2,x\n", {"Sum,1,x", "Count,40,x", "Page 1,2,x"}, {}, 40},
        // Four totals rows: the first is data, as at most three are footer.
        TailCase{"x", "Total,1,x\nSum,1,x\nCount,1,x\nPage,1,x\n", {"Sum,1,x", "Count,1,x", "Page,1,x"}, {}, 40,
                 "Total,1,x\n"},
        TailCase{"x\xe9", "Total,9,x\n", {"Total,9,x"}, {}, 40},
        TailCase{"x\xe9", "Total,9,x\n\nk,v\n1,2\n", {"Total,9,x"}, {"k,v", "1,2"}, 40},
        TailCase{"x\xe9", "Total,9,x\xe9\nPage 1,2,\xe9\n", {"Total,9,x\xe9", "Page 1,2,\xe9"}, {}, 40},
        TailCase{"x\xe9", "Total,9,x\xe9\n\nk,\xe9\n1,2\n", {"Total,9,x\xe9"}, {"k,\xe9", "1,2"}, 3},
        TailCase{"x", "\nk,v\n1,2\n", {}, {"k,v", "1,2"}, 40},
        TailCase{"x", "", {}, {}, 40}));

// Gives its text in two reads, cut at `cut`: the second overwrites the
// buffer the first was read into.
class TwoPieces final : public corvel::ByteSource {
public:
    TwoPieces(std::string_view text, std::size_t cut) noexcept : text_(text), cut_(cut) {}
    corvel::Result<std::size_t> read(char* buffer, std::size_t size) noexcept override {
        const std::size_t n = std::min(size, (at_ < cut_ ? cut_ : text_.size()) - at_);
        text_.copy(buffer, n, at_);
        at_ += n;
        return n;
    }

private:
    std::string_view text_;
    std::size_t cut_;
    std::size_t at_ = 0;
};

// Runs of clean lines are held while the footer and a later table are looked
// for, across the read of the next piece: cut anywhere, the outputs are
// those of one read, whether the run, the footer or the later table comes
// right before or right after the cut.
TEST(Chunking, HeldRunsAcrossEveryCut) {
    std::string runs = "id,name,amount\n";
    for (int i = 0; i < 70; ++i) {
        const std::string n = std::to_string(i);
        runs += i % 23 == 5 ? n + ",short\n" : i % 31 == 7 ? n + ",x,1,surplus\n" : n + ",plain," + n + "\n";
    }
    const std::string tails[] = {"Total,,99\n", "Total,,99\nPage 1\n\nk,v\n1,2\n", "\nk,v\n1,2\n\nx\n", "9,last,9"};
    const RescueOptions sets[] = {
        {.find_footer = true, .find_tables = true},
        {.expected_columns = 3, .header = true, .find_footer = true, .find_tables = true, .column_types = kTypes},
        {.header = true, .find_tables = true},
    };
    for (const std::string& tail : tails) {
        const std::string input = runs + tail;
        for (const RescueOptions& o : sets) {
            const Outcome whole = run(input, o);
            for (std::size_t cut = 1; cut < input.size(); ++cut) {
                TwoPieces in(input, cut);
                StringSink clean, quarantine, audit;
                corvel::Side side;
                corvel::CsvSink rows(clean, o);
                auto r = corvel::rescue(in, rows, {&quarantine, &audit}, o, {}, &side);
                ASSERT_TRUE(r.ok()) << cut;
                ASSERT_EQ(clean.text, whole.clean) << cut;
                ASSERT_EQ(quarantine.text, whole.quarantine) << cut;
                ASSERT_EQ(audit.text, whole.audit) << cut;
                const auto counts = [](const C& c) {
                    return std::vector<std::uint64_t>{c.rows_read, c.rows_written, c.rows_clean, c.padded, c.merged,
                                                      c.rows_set_aside, c.footer, c.second_table, c.tables_found};
                };
                ASSERT_EQ(counts(r.value()), counts(whole.counts)) << cut;
            }
        }
    }
}

// A legacy table decodes every byte from 0x80 on, wherever it stands among
// ASCII ones, into an entry of any width, after what the output held.
class LegacyDecode : public ::testing::TestWithParam<std::string> {};
TEST_P(LegacyDecode, EachByteOnItsOwn) {
    const std::string entry = GetParam();
    std::vector<std::string> entries;
    for (int b = 0x80; b < 0x100; ++b) entries.push_back(b == 0x80 ? "\xc2\x80" : entry);
    const std::vector<std::string_view> views(entries.begin(), entries.end());
    const auto table = corvel::LegacyTable::from_entries(views);
    ASSERT_TRUE(table.has_value());
    std::uint32_t seed = 7;
    for (std::size_t size = 0; size < 80; ++size) {
        for (int density : {0, 1, 4, 16}) {
            std::string raw, want = "kept";
            for (std::size_t i = 0; i < size; ++i) {
                seed = seed * 1103515245u + 12345u;
                const bool high = density != 0 && (seed >> 16) % 16 < static_cast<std::uint32_t>(density);
                const auto b = static_cast<std::uint8_t>(high ? 0x80 + (seed >> 8) % 128 : 0x20 + (seed >> 8) % 0x5F);
                raw.push_back(static_cast<char>(b));
                want += b < 0x80 ? std::string(1, static_cast<char>(b)) : entries[b - 0x80];
            }
            std::string out = "kept";
            table->decode(raw, out);
            ASSERT_EQ(out, want) << size << " " << density;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Widths, LegacyDecode,
                         ::testing::Values(std::string("\xc3\xa9"), std::string("\xe2\x82\xac"),
                                           std::string("\xf0\x9f\x98\x80")));

}  // namespace
