#include "batches.hpp"
#include "testing.hpp"
#include "writer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace corvel {
namespace {

using corvel_test::Rows;

struct Gathered {
    std::vector<std::string> header;
    Rows rows;
    std::vector<std::uint64_t> batch_sizes;
    bool mixed = false;
};

// Feeds `stream` to a batcher in pieces of `piece` bytes and collects what it seals.
Gathered gather(std::string_view stream, std::size_t piece, bool header, BatchLimits limits = {}) {
    CleanBatcher b(header, limits);
    Gathered g;
    const auto drain = [&] {
        for (const arrow::RowBatch& batch : b.take()) {
            g.batch_sizes.push_back(batch.end - batch.begin);
            for (std::uint64_t r = batch.begin; r < batch.end; ++r) g.rows.push_back(batch.table->row(r));
        }
    };
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        EXPECT_TRUE(b.push(stream.substr(at, piece)).ok());
        drain();
    }
    EXPECT_TRUE(b.finish().ok());
    drain();
    g.header = b.header();
    g.mixed = b.mixed_widths();
    EXPECT_EQ(b.rows(), g.rows.size());
    return g;
}

std::string written(const Rows& rows) {
    RowTable table;
    for (const auto& row : rows) {
        for (const auto& cell : row) {
            table.append(cell.data(), cell.size());
            table.finish_valid_field();
        }
        table.finish_row();
    }
    const CleanFormat format(',', '"');
    std::string out;
    for (std::uint64_t r = 0; r < table.size(); ++r) format.append_row(out, table, r);
    return out;
}

struct Case {
    const char* name;
    std::string stream;
    Rows rows;
};

class CleanStream : public testing::TestWithParam<Case> {};

// Every cut of the stream gives the same rows.
TEST_P(CleanStream, ReadsBackTheRowsAtEveryCut) {
    const Case& c = GetParam();
    for (std::size_t piece = 1; piece <= c.stream.size() + 1; ++piece) {
        EXPECT_EQ(gather(c.stream, piece, false).rows, c.rows) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Batches, CleanStream,
    testing::Values(
        Case{"plain", "a,b\nc,d\n", {{"a", "b"}, {"c", "d"}}},
        Case{"quoted_delimiter_and_break", "\"a,b\",\"x\ny\"\n", {{"a,b", "x\ny"}}},
        Case{"doubled_quotes", "\"say \"\"hi\"\"\",\"\"\"\"\n", {{"say \"hi\"", "\""}}},
        Case{"empty_fields", ",,\n", {{"", "", ""}}},
        Case{"one_empty_field_as_empty_line", "\n\"\"\nz\n", {{""}, {""}, {"z"}}},
        Case{"no_final_line_feed", "a,\"b\"", {{"a", "b"}}},
        Case{"crlf_inside_quotes", "\"a\r\nb\",c\n", {{"a\r\nb", "c"}}},
        Case{"utf8", "\xC3\xA9t\xC3\xA9,\"\xE2\x82\xAC,\"\n", {{"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC,"}}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Batches, RoundTripsTheCleanWriterOnRandomRows) {
    std::mt19937 rng(7);
    const std::string alphabet = "ab,\"\n\r \xC3\xA9";
    for (int round = 0; round < 50; ++round) {
        Rows rows;
        const std::size_t width = 1 + rng() % 4;
        for (std::size_t r = rng() % 20; r > 0; --r) {
            std::vector<std::string> row;
            for (std::size_t f = 0; f < width; ++f) {
                std::string cell;
                for (std::size_t n = rng() % 6; n > 0; --n) {
                    const std::size_t i = rng() % (alphabet.size() - 1);
                    cell += alphabet[i] == '\xC3' ? std::string("\xC3\xA9") : std::string(1, alphabet[i]);
                }
                row.push_back(cell);
            }
            rows.push_back(row);
        }
        const std::string stream = written(rows);
        EXPECT_EQ(gather(stream, 1 + rng() % 16, false).rows, rows) << stream;
    }
}

TEST(Batches, SealsAtTheRowLimitAndTheByteBudget) {
    std::string stream;
    for (int i = 0; i < 10; ++i) stream += "abcdefgh,ij\n";
    EXPECT_EQ(gather(stream, 5, false, {.rows = 4, .bytes = 1 << 20}).batch_sizes,
              (std::vector<std::uint64_t>{4, 4, 2}));
    // Each row costs 10 text bytes, 2 field ends and a row: 42 by the budget's measure.
    EXPECT_EQ(gather(stream, 64, false, {.rows = 100, .bytes = 84}).batch_sizes,
              (std::vector<std::uint64_t>{2, 2, 2, 2, 2}));
    EXPECT_TRUE(gather("", 1, false).batch_sizes.empty());
}

TEST(Batches, TakesTheFirstRowAsHeaderOnlyWhenAsked) {
    const Gathered with = gather("name,\"a,b\"\n1,2\n", 3, true);
    EXPECT_EQ(with.header, (std::vector<std::string>{"name", "a,b"}));
    EXPECT_EQ(with.rows, (Rows{{"1", "2"}}));
    EXPECT_EQ(gather("name,x\n1,2\n", 3, false).rows.size(), 2u);

    CleanBatcher only_header(true, {});
    ASSERT_TRUE(only_header.push("a,b,c\n").ok());
    ASSERT_TRUE(only_header.finish().ok());
    EXPECT_EQ(only_header.width(), 3u);
    EXPECT_EQ(only_header.rows(), 0u);
    EXPECT_TRUE(only_header.take().empty());
}

TEST(Batches, NotesRowsOfDifferentWidths) {
    EXPECT_FALSE(gather("a,b\nc,d\n", 4, false).mixed);
    EXPECT_TRUE(gather("a,b\nc\n", 4, false).mixed);
    EXPECT_FALSE(gather("h\nc,d\n", 4, true).mixed);  // the header may differ
}

}  // namespace
}  // namespace corvel
