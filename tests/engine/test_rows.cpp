#include "rows.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace corvel {
namespace {

using namespace corvel_test;

std::string repaired(std::string s) {
    repair_utf8(s, 0);
    return s;
}

struct Utf8Case {
    const char* name;
    std::string in;
    std::string out;  // as bytes.decode('utf-8', 'replace').encode('utf-8')
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8Repair : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Repair, MatchesMaximalSubpartSubstitution) {
    const Utf8Case& c = GetParam();
    std::string s = c.in;
    const std::size_t first = repair_utf8(s, 0);
    EXPECT_EQ(s, c.out);
    if (c.in == c.out) {
        EXPECT_EQ(first, std::string::npos);
    } else {
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(s.substr(0, first), c.in.substr(0, first));
        EXPECT_NE(s.substr(first, 3), c.in.substr(first, 3));
    }
}

const std::string R = kFFFD;
INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Repair,
    ::testing::Values(
        Utf8Case{"Empty", "", ""}, Utf8Case{"Ascii", "abc", "abc"},
        Utf8Case{"TwoByte", "\xC3\xA9", "\xC3\xA9"},
        Utf8Case{"LastBmp", "\xEF\xBF\xBF", "\xEF\xBF\xBF"},
        Utf8Case{"BelowSurrogates", "\xED\x9F\xBF", "\xED\x9F\xBF"},
        Utf8Case{"FourByte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        Utf8Case{"OverlongC0", "\xC0\xAF", R + R},
        Utf8Case{"OverlongE0", "\xE0\x80\xAF", R + R + R},
        Utf8Case{"OverlongF0", "\xF0\x8F\xBF\xBF", R + R + R + R},
        Utf8Case{"Surrogate", "\xED\xA0\x80", R + R + R},
        Utf8Case{"TruncatedThree", "\xE2\x82", R},
        Utf8Case{"TruncatedThreeThenAscii", "\xE2\x82" "a", R + "a"},
        Utf8Case{"TruncatedFour", "\xF0\x9F\x98", R},
        Utf8Case{"TruncatedThenValid", "\xE1\x80\xE1\x80\x80", R + "\xE1\x80\x80"},
        Utf8Case{"F5", "\xF5\x80\x80\x80", R + R + R + R},
        Utf8Case{"AboveMax", "\xF4\x90\x80\x80", R + R + R + R},
        Utf8Case{"LoneContinuation", "\x80", R},
        Utf8Case{"ContinuationInText", "a\xBF" "b", "a" + R + "b"},
        Utf8Case{"FFFE", "\xFF\xFE", R + R}, Utf8Case{"LoneLead", "\xC2", R},
        // ASCII is skipped 16 bytes at a time: invalid bytes right after a
        // block, and a character cut short across the block's end.
        Utf8Case{"AfterBlock", "abcdefghijklmnop\xFFijk", "abcdefghijklmnop" + R + "ijk"},
        Utf8Case{"AcrossBlock", "abcdefghijklmno\xE2\x82\xAC" "\xE2\x82", "abcdefghijklmno\xE2\x82\xAC" + R}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf8Repair, LeavesBytesBeforeTheOffsetAlone) {
    std::string s = "\xFF" "ab\xFF";
    EXPECT_EQ(repair_utf8(s, 1), 3u);
    EXPECT_EQ(s, "\xFF" "ab" + kFFFD);
    std::string t = "\xFF" "ab";
    EXPECT_EQ(repair_utf8(t, 1), std::string::npos);
    EXPECT_EQ(t, "\xFF" "ab");
}

// Over random hostile bytes: the result is valid, and repairing is idempotent
// and distributes over a split made at an ASCII byte.
TEST(Utf8Repair, RandomInvariants) {
    const unsigned char alphabet[] = {'a', 0x80, 0xBF, 0xC2, 0xC3, 0xE0, 0xED, 0xEF,
                                      0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x9F, 0x90, 0x8F};
    std::mt19937 rng(7);
    for (int iter = 0; iter < 5000; ++iter) {
        std::string s;
        const int len = static_cast<int>(rng() % 24);
        for (int i = 0; i < len; ++i) s.push_back(static_cast<char>(alphabet[rng() % sizeof alphabet]));
        const std::string once = repaired(s);
        std::string twice = once;
        EXPECT_EQ(repair_utf8(twice, 0), std::string::npos) << testing::PrintToString(s);
        const std::size_t cut = rng() % (s.size() + 1);
        EXPECT_EQ(repaired(s.substr(0, cut) + "a" + s.substr(cut)),
                  repaired(s.substr(0, cut)) + "a" + repaired(s.substr(cut)));
    }
}

TEST(UnicodeWhitespace, Table) {
    EXPECT_TRUE(is_unicode_whitespace(""));
    EXPECT_TRUE(is_unicode_whitespace(" \t\n\v\f\r"));
    EXPECT_TRUE(is_unicode_whitespace("\xC2\x85\xC2\xA0\xE1\x9A\x80"));
    EXPECT_TRUE(is_unicode_whitespace("\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"));
    EXPECT_TRUE(is_unicode_whitespace("\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"));
    EXPECT_FALSE(is_unicode_whitespace("\xE2\x80\x8B"));  // zero width space
    EXPECT_FALSE(is_unicode_whitespace("\xEF\xBB\xBF"));  // BOM
    EXPECT_FALSE(is_unicode_whitespace(std::string_view("\0", 1)));
    EXPECT_FALSE(is_unicode_whitespace("\x1C"));
    EXPECT_FALSE(is_unicode_whitespace("  x "));
    EXPECT_FALSE(is_unicode_whitespace("\xC2\xA1"));
}

TEST(ByteAsUtf8, Table) {
    EXPECT_EQ(byte_as_utf8(0x00), std::string(1, '\0'));
    EXPECT_EQ(byte_as_utf8(','), ",");
    EXPECT_EQ(byte_as_utf8(0x7F), "\x7F");
    EXPECT_EQ(byte_as_utf8(0x80), "\xC2\x80");
    EXPECT_EQ(byte_as_utf8(0xC8), "\xC3\x88");
    EXPECT_EQ(byte_as_utf8(0xFF), "\xC3\xBF");
}

using corvel_test::table_of;

TEST(RowTable, BuildsRepairsAndPops) {
    RowTable t = table_of({{"a", "", "b\xFF"}, {""}, {"xyz"}});
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t.row(0), (std::vector<std::string>{"a", "", "b" + kFFFD}));
    EXPECT_EQ(t.text_bytes(0), 5u);
    EXPECT_EQ(t.width(1), 1u);
    EXPECT_EQ(t.field(1, 0), "");
    EXPECT_EQ(t.open_fields(), 0u);
    t.pop_row();
    ASSERT_EQ(t.size(), 2u);
    t.append("q", 1);
    t.finish_field();
    EXPECT_EQ(t.open_fields(), 1u);
    t.finish_row();
    EXPECT_EQ(t.row(2), std::vector<std::string>{"q"});

    RowTable copy;
    copy.append_row_from(t, 2);
    copy.append_row_from(t, 0);
    EXPECT_EQ(copy.row(0), std::vector<std::string>{"q"});
    EXPECT_EQ(copy.row(1), t.row(0));
    for (int i = 0; i < 20; ++i) copy.append_row_from(copy, 1);  // may reallocate mid-copy
    EXPECT_EQ(copy.row(21), t.row(0));

    const std::uint64_t cap = t.allocated_bytes();
    t.clear();
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.allocated_bytes(), cap);
}

struct MergeCase {
    std::vector<std::string> row;
    std::uint64_t keep;
    std::string sep;
    std::vector<std::string> want;
};

TEST(RowTable, MergeTable) {
    const std::string sep2 = byte_as_utf8(0xC8);
    const std::vector<MergeCase> cases = {
        {{"a", "b", "c"}, 2, ",", {"a", "b,c"}},
        {{"a", "b", "c"}, 1, ",", {"a,b,c"}},
        {{"", "", "", ""}, 2, ";", {"", ";;"}},
        {{"ab", "", "cd", "e"}, 1, sep2, {"ab" + sep2 + sep2 + "cd" + sep2 + "e"}},
        {{"x", "yy", "zzz"}, 2, "", {"x", "yyzzz"}},
    };
    for (const auto& c : cases) {
        RowTable t = table_of({{"before", "row"}, c.row});
        t.merge_last_row(c.keep, c.sep);
        EXPECT_EQ(t.row(1), c.want);
        EXPECT_EQ(t.row(0), (std::vector<std::string>{"before", "row"}));
        // The table stays appendable after the merge.
        t.append("n", 1);
        t.finish_field();
        t.finish_row();
        EXPECT_EQ(t.row(2), std::vector<std::string>{"n"});
    }
}

TEST(RowTable, PadAddsEmptyFields) {
    RowTable t = table_of({{"a", "b"}});
    ASSERT_TRUE(t.pad_last_row(5));
    EXPECT_EQ(t.row(0), (std::vector<std::string>{"a", "b", "", "", ""}));
    t.append("c", 1);
    t.finish_field();
    t.finish_row();
    EXPECT_EQ(t.row(1), std::vector<std::string>{"c"});
}

TEST(RowTable, PadRefusesImpossibleWidthsWithoutAllocating) {
    for (const std::uint64_t width :
         {std::uint64_t{1} << 40, std::numeric_limits<std::uint64_t>::max()}) {
        RowTable t = table_of({{"a", "b"}});
        const std::uint64_t before = t.allocated_bytes();
        EXPECT_FALSE(t.pad_last_row(width));
        EXPECT_EQ(t.allocated_bytes(), before);
        EXPECT_EQ(t.row(0), (std::vector<std::string>{"a", "b"}));
    }
}

// Lines of every length around the 16-byte blocks, with delimiters in
// random places and right at each end, split in a line buffer of their own
// size (so that reading past one shows under the sanitizer), appended after
// rows already there.
TEST(RowTable, SplitsLinesOfEveryLengthAtEachDelimiter) {
    std::mt19937 rng(17);
    RowTable rows;
    std::vector<std::vector<std::string>> want;
    for (std::size_t n = 0; n <= 70; ++n) {
        for (int round = 0; round < 20; ++round) {
            std::string line(n, 'x');
            for (char& c : line) c = "ab;"[rng() % 3];
            if (n && round % 4 == 1) line.front() = ';';
            if (n && round % 4 == 2) line.back() = ';';
            std::vector<std::string> fields(1);
            for (const char c : line) {
                if (c == ';') {
                    fields.emplace_back();
                } else {
                    fields.back().push_back(c);
                }
            }
            const auto own = std::make_unique<char[]>(n);
            std::copy(line.begin(), line.end(), own.get());
            EXPECT_FALSE(rows.append_split_row(std::string_view(own.get(), n), ';', true));
            want.push_back(fields);
        }
    }
    ASSERT_EQ(rows.size(), want.size());
    for (std::uint64_t r = 0; r < rows.size(); ++r) ASSERT_EQ(rows.row(r), want[r]) << "row " << r;
}

}  // namespace
}  // namespace corvel
