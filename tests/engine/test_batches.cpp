// Rows straight from the salvage into batches: the same rows as the clean
// file holds, however the input is cut and wherever batches are sealed.
#include "batches.hpp"
#include "rescue.hpp"
#include "split.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

// Options are spelt with designated initializers, the rest left at their
// defaults; g++ 12 counts the members without a default initializer as missing.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvel {
namespace {

using corvel_test::Rows;
using corvel_test::StringSink;
using corvel_test::StringSource;

struct Gathered {
    bool ok = false;
    std::vector<std::string> header;
    Rows rows;
    std::vector<std::uint64_t> batch_sizes;
    bool mixed = false;
    int handoffs = 0;
};

Gathered gather(const std::string& input, const RescueOptions& o, std::size_t step, BatchLimits limits = {}) {
    Gathered g;
    const auto take = [](void* context, BatchSink& sink) noexcept -> Status {
        auto& out = *static_cast<Gathered*>(context);
        ++out.handoffs;
        for (const arrow::RowBatch& b : sink.take()) {
            out.batch_sizes.push_back(b.end - b.begin);
            for (std::uint64_t r = b.begin; r < b.end; ++r) out.rows.push_back(b.table->row(r));
        }
        return Done{};
    };
    BatchSink sink(limits, o.quote == '"', {take, &g});
    StringSource in(input, step);
    Side side;
    auto r = rescue(in, sink, {}, o, {}, &side);
    g.ok = r.ok();
    g.header = sink.header();
    g.mixed = sink.mixed_widths();
    EXPECT_TRUE(sink.take().empty());
    EXPECT_EQ(sink.rows(), g.rows.size());
    // The parse table is let go at the end; only a string's inline bytes remain.
    if (g.ok) {
        EXPECT_LT(sink.table().allocated_bytes(), 64u);
    }
    return g;
}

// The clean file's rows, header first when there is one.
Rows clean_rows(const std::string& input, const RescueOptions& o) {
    StringSource in(input, 1 << 20);
    StringSink out;
    CsvSink rows(out, o);
    Side side;
    auto r = rescue(in, rows, {}, o, {}, &side);
    EXPECT_TRUE(r.ok());
    return corvel_test::read_written(out.text, static_cast<char>(r ? r.value().delimiter : ','));
}

void expect_same_as_clean(const std::string& input, const RescueOptions& o, std::size_t step) {
    Rows want = clean_rows(input, o);
    const Gathered g = gather(input, o, step, {.rows = 3, .bytes = 1 << 20});
    ASSERT_TRUE(g.ok);
    Rows got = g.rows;
    if (o.header && !want.empty()) got.insert(got.begin(), g.header);
    EXPECT_EQ(got, want) << "input: " << input << " step " << step;
}

struct Case {
    const char* name;
    std::string input;
    bool header;
    std::optional<std::uint64_t> width;
};

class SameRows : public testing::TestWithParam<Case> {};

TEST_P(SameRows, AsTheCleanFileAtEveryCut) {
    const Case& c = GetParam();
    const RescueOptions o{.expected_columns = c.width, .header = c.header};
    for (std::size_t step : {1, 2, 3, 7, 1 << 20}) expect_same_as_clean(c.input, o, step);
}

INSTANTIATE_TEST_SUITE_P(
    Batches, SameRows,
    testing::Values(
        Case{"plain", "a,b,c\n1,2,3\n4,5,6\n7,8,9\n10,11,12\n", true, {}},
        Case{"no_header", "a,b\n1,2\n3,4\n", false, {}},
        Case{"padded_and_merged", "a,b,c\n1,2\n3,4,5,6\n7,8,9\n", true, {}},
        Case{"quoted_fields", "a,b\n\"x,y\",\"he said \"\"hi\"\"\"\n\"\",z\n", true, {}},
        Case{"quoted_header", "name,\"a,b\"\n1,2\n", true, {}},
        Case{"multi_line", "a,b\n\"line1\nline2\",x\n\"p\r\nq\",y\n", true, {}},
        Case{"stray_quotes", "a,b\nab\"c,d\n\"e\"f,g\n", true, {}},
        Case{"blank_lines", "a,b\n\n1,2\n\n\n3,4\n", true, {}},
        Case{"semicolons", "a;b\n1;2\n\"x;y\";3\n", true, {}},
        Case{"no_final_break", "a,b\n1,2\n3,4", true, {}},
        Case{"set_aside", "a,b,c\n1\n2,3,4\n", true, 3},
        Case{"one_column", "a\n\n\"\"\nb\n", false, {}},
        Case{"crlf", "a,b\r\n1,2\r\n3,\"4\r\n5\"\r\n", true, {}},
        Case{"invalid_utf8", "a,b\n\xff,\xc3\xa9\n", true, {}},
        Case{"empty", "", true, {}},
        Case{"header_only", "a,b,c\n", true, {}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Batches, SameRowsAsTheCleanFileOnRandomInputs) {
    std::mt19937 rng(11);
    const std::vector<std::string> pieces = {"a", "bc", ",", ",", "\"", "\n", "\r\n", " ", "\xC3\xA9", "\xff", ";"};
    for (int round = 0; round < 200; ++round) {
        std::string input;
        for (std::size_t n = rng() % 80; n > 0; --n) input += pieces[rng() % pieces.size()];
        const bool header = rng() % 2 == 0;
        expect_same_as_clean(input, {.header = header}, 1 + rng() % 9);
    }
}

// In ranges, each range's rows go to batches of their own, appended in
// order: the same header, rows and widths as one sink's, in batches no
// longer than the limit.
TEST(Batches, RangesAppendedInOrderHoldTheSameRows) {
    std::mt19937 rng(5);
    const std::vector<std::string> rows = {"1,x,y\n", "2,x\n", "3,x,y,z\n", "4,\"a\nb\",y\n", "\n", "5,caf\xe9,y\n"};
    for (int round = 0; round < 40; ++round) {
        std::string input = "id,name,amount\n";
        for (std::size_t n = 200 + rng() % 800; n > 0; --n) input += rows[rng() % 4 == 0 ? rng() % rows.size() : 0];
        input += round % 2 ? "Total,,9\n" : "\nk,v\n1,2\n";
        RescueOptions o{.header = true, .find_footer = round % 3 != 0, .find_tables = true};
        const BatchLimits limits{.rows = 1 + rng() % 300, .bytes = 1 << 20};
        const Gathered whole = gather(input, o, 1 << 20, limits);
        Gathered g;
        const auto take = [](void* context, BatchSink& sink) noexcept -> Status {
            auto& out = *static_cast<Gathered*>(context);
            for (const arrow::RowBatch& b : sink.take()) {
                out.batch_sizes.push_back(b.end - b.begin);
                for (std::uint64_t r = b.begin; r < b.end; ++r) out.rows.push_back(b.table->row(r));
            }
            return Done{};
        };
        BatchSink sink(limits, true, {take, &g});
        BatchRanges ranges(sink);
        corvel_test::StringAt at(input, 1 << 20);
        Side side;
        const SplitOptions split{.range_bytes = 64u + rng() % 2000, .threads = 2};
        ASSERT_TRUE(rescue_parallel(at, input.size(), ranges, {}, o, split, {}, &side).ok());
        EXPECT_EQ(g.rows, whole.rows) << round;
        EXPECT_EQ(sink.header(), whole.header) << round;
        EXPECT_EQ(sink.mixed_widths(), whole.mixed) << round;
        EXPECT_EQ(sink.rows(), whole.rows.size()) << round;
        EXPECT_TRUE(sink.ended());
        for (const std::uint64_t n : g.batch_sizes) EXPECT_TRUE(n >= 1 && n <= limits.rows) << round;
    }
}

TEST(Batches, SealsAtTheRowLimitAndTheByteBudget) {
    const std::string input = corvel_test::repeat("abcdefgh,ij\n", 10);
    RescueOptions o;
    EXPECT_EQ(gather(input, o, 5, {.rows = 4, .bytes = 1 << 20}).batch_sizes, (std::vector<std::uint64_t>{4, 4, 2}));
    // Each row costs 10 text bytes, 2 field ends and a row: 42 by the budget's measure.
    EXPECT_EQ(gather(input, o, 64, {.rows = 100, .bytes = 84}).batch_sizes,
              (std::vector<std::uint64_t>{2, 2, 2, 2, 2}));
    const Gathered none = gather("", o, 1);
    EXPECT_TRUE(none.batch_sizes.empty());
    EXPECT_EQ(none.handoffs, 1);  // the end is handed over all the same
}

TEST(Batches, AHeaderAloneGivesTheWidth) {
    BatchSink only_header({}, true);
    StringSource in("a,b,c\n", 2);
    Side side;
    ASSERT_TRUE(rescue(in, only_header, {}, {.header = true}, {}, &side).ok());
    EXPECT_TRUE(only_header.has_header() && only_header.ended());
    EXPECT_EQ(only_header.width(), 3u);
    EXPECT_EQ(only_header.rows(), 0u);
}

TEST(Batches, NotesRowsOfDifferentWidths) {
    EXPECT_FALSE(gather("a,b\nc,d\n", {.expected_columns = 0}, 4).mixed);
    EXPECT_TRUE(gather("a,b\nc\n", {.expected_columns = 0}, 4).mixed);
    EXPECT_FALSE(gather("h\nc,d\n", {.expected_columns = 0, .header = true}, 4).mixed);  // the header may differ
}

TEST(Batches, AHandOffErrorStopsTheSalvageOnTheCleanSide) {
    const auto refuse = [](void*, BatchSink&) noexcept -> Status { return SalvageError::from_errno(EPIPE); };
    BatchSink sink({.rows = 1, .bytes = 1 << 20}, true, {refuse, nullptr});
    StringSource in("a,b\n1,2\n3,4\n", 1 << 20);
    Side side = Side::Input;
    auto r = rescue(in, sink, {}, RescueOptions{}, {}, &side);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().os_code(), EPIPE);
    EXPECT_EQ(side, Side::Clean);
}

}  // namespace
}  // namespace corvel
