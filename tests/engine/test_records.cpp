// The package's records and per-row decoding: exact bytes for hostile text.
#include "decode.hpp"
#include "records.hpp"
#include "rows.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using corvel::RowPlace;

// Text in, its written form out: a CSV field encloses only what needs it; a
// JSON string escapes controls, quotes and backslashes.
struct TextCase {
    void (*append)(std::string&, std::string_view);
    std::string in, out;
};
class Written : public ::testing::TestWithParam<TextCase> {};
TEST_P(Written, AsTheFormWants) {
    std::string out;
    GetParam().append(out, GetParam().in);
    EXPECT_EQ(out, GetParam().out);
}
constexpr auto csv = corvel::append_csv_field;
constexpr auto json = corvel::append_json_string;
INSTANTIATE_TEST_SUITE_P(
    Table, Written,
    ::testing::Values(TextCase{csv, "plain", "plain"}, TextCase{csv, "", ""}, TextCase{csv, "a,b", "\"a,b\""},
                      TextCase{csv, "say \"hi\"", "\"say \"\"hi\"\"\""}, TextCase{csv, "two\nlines", "\"two\nlines\""},
                      TextCase{csv, "cr\r", "\"cr\r\""}, TextCase{csv, "semi;colon", "semi;colon"},
                      TextCase{json, "", "\"\""}, TextCase{json, "a\"b", "\"a\\\"b\""},
                      TextCase{json, "back\\slash", "\"back\\\\slash\""}, TextCase{json, "\r\n\t", "\"\\r\\n\\t\""},
                      TextCase{json, std::string("nul\0bel\x07", 8), "\"nul\\u0000bel\\u0007\""},
                      TextCase{json, "\x7f", "\"\\u007f\""}, TextCase{json, "Zoë ✓", "\"Zoë ✓\""}));

TEST(SetAside, HeaderAndRecordKeepRawTextWhole) {
    std::string out;
    corvel::append_set_aside_header(out);
    corvel::append_set_aside_record(out, RowPlace{3, 4, 17}, corvel::kReasonTooMany, "a,\"b\nc\",d");
    corvel::append_set_aside_record(out, RowPlace{9, 9, 40}, corvel::kReasonTooFew, "");
    EXPECT_EQ(out,
              "line,end_line,byte_offset,reason,raw\n"
              "3,4,17,too_many_columns,\"a,\"\"b\nc\"\",d\"\n"
              "9,9,40,too_few_columns,\"\"\n");
}

TEST(Audit, ListsActionsInOrderAndTheFieldsWritten) {
    corvel::RowTable rows;
    rows.append_split_row("x,y\"z,", ',', true);
    std::string out;
    corvel::append_audit_record(out, RowPlace{2, 2, 5}, corvel::kMerged | corvel::kPadded | corvel::kBytesReplaced,
                                {}, "x,y\"z,", &rows, 0);
    EXPECT_EQ(out,
              "{\"line\":2,\"end_line\":2,\"byte_offset\":5,\"actions\":[\"padded\",\"merged\",\"bytes_replaced\"],"
              "\"reason\":null,\"raw\":\"x,y\\\"z,\",\"fields\":[\"x\",\"y\\\"z\",\"\"]}\n");
    out.clear();
    corvel::append_audit_record(out, RowPlace{1, 1, 0}, corvel::kSkipped, {}, "  ", nullptr, 0);
    EXPECT_EQ(out, "{\"line\":1,\"end_line\":1,\"byte_offset\":0,\"actions\":[\"skipped\"],\"reason\":null,"
                   "\"raw\":\"  \",\"fields\":[]}\n");
}

// cp1252's upper half, as Python's codec gives it (undefined bytes as U+FFFD):
// one entry per character of the first 32, then latin-1.
std::vector<std::string> cp1252_entries() {
    std::vector<std::string> out;
    for (const char c : std::string_view("€\uFFFD‚ƒ„…†‡ˆ‰Š‹Œ\uFFFDŽ\uFFFD\uFFFD‘’“”•–—˜™š›œ\uFFFDžŸ")) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) out.emplace_back();
        out.back() += c;
    }
    for (int b = 0xA0; b < 0x100; ++b) out.push_back(corvel_test::latin1_char(static_cast<std::uint8_t>(b)));
    return out;
}

std::optional<corvel::LegacyTable> table_of(const std::vector<std::string>& entries) {
    std::vector<std::string_view> views(entries.begin(), entries.end());
    return corvel::LegacyTable::from_entries(views);
}

TEST(Legacy, DecodesEveryHighByteAndKeepsAscii) {
    const auto table = table_of(cp1252_entries());
    ASSERT_TRUE(table);
    std::string out;
    table->decode("caf\xe9;\x80 5;\"x\"\r\n", out);
    EXPECT_EQ(out, "café;€ 5;\"x\"\r\n");
}

// Lines read one by one: each line that is UTF-8 as it stands, any other
// through the table, wherever its first byte from 0x80 on stands; with the
// number read through the table.
struct LinesCase {
    std::string in, out;
    std::uint64_t decoded;
};
class LegacyLines : public ::testing::TestWithParam<LinesCase> {};
TEST_P(LegacyLines, EachLineItsOwnWay) {
    std::string out = "kept";
    EXPECT_EQ(corvel_test::latin1().decode_lines(GetParam().in, out), GetParam().decoded);
    EXPECT_EQ(out, "kept" + GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(
    Table, LegacyLines,
    ::testing::Values(LinesCase{"", "", 0}, LinesCase{"a,b\n\n", "a,b\n\n", 0},
                      LinesCase{"caf\xe9\n", "caf\xc3\xa9\n", 1},
                      LinesCase{"caf\xc3\xa9\n", "caf\xc3\xa9\n", 0},
                      // UTF-8, then a line that is not, then UTF-8 again.
                      LinesCase{"\xc3\xa9\n\xe9\n\xc3\xa9", "\xc3\xa9\n\xc3\xa9\n\xc3\xa9", 1},
                      // A line that starts as UTF-8 and is not, further on.
                      LinesCase{"\xc3\xa9 \xe9\n", "\xc3\x83\xc2\xa9 \xc3\xa9\n", 1},
                      LinesCase{std::string(40, 'x') + "\xc3\xa9" + std::string(20, 'y') + "\xe9\n",
                                std::string(40, 'x') + "\xc3\x83\xc2\xa9" + std::string(20, 'y') + "\xc3\xa9\n", 1},
                      // A character cut by a line break is no character.
                      LinesCase{"\xc3\n\xa9\n", "\xc3\x83\n\xc2\xa9\n", 2},
                      // A surrogate and a code point past U+10FFFF, each
                      // with continuation bytes after its lead.
                      LinesCase{"\xed\xa0\x80\n", "\xc3\xad\xc2\xa0\xc2\x80\n", 1},
                      LinesCase{"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80", 1},
                      LinesCase{"\xf0\x9f\x98\x80\n\xe9", "\xf0\x9f\x98\x80\n\xc3\xa9", 1}));

// Random lines of every length around the 16-byte blocks, ASCII mixed with
// UTF-8 characters, cut ones and legacy bytes: the same as reading each line
// on its own, with decode() when it is not UTF-8.
TEST(LegacyLines, AsEachLineOnItsOwn) {
    const auto table = table_of(cp1252_entries());
    ASSERT_TRUE(table);
    const std::string pieces[] = {"a", ",", "\n", "\xe9", "\x80", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xc3",
                                  "\xe2\x82", "0123456789abcdef"};
    std::uint32_t seed = 11;
    const auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int round = 0; round < 3000; ++round) {
        std::string in;
        // A quarter of the texts are all UTF-8.
        const bool utf8 = next() % 4 == 0;
        for (std::uint32_t n = next() % 24; n != 0; --n) {
            const std::uint32_t k = next() % 11;
            in += utf8 && (k == 3 || k == 4 || k == 8 || k == 9) ? std::string("b") : pieces[k];
        }
        std::string want;
        std::uint64_t decoded = 0;
        for (std::size_t at = 0; at <= in.size();) {
            const std::size_t lf = std::min(in.find('\n', at), in.size());
            const std::string_view line = std::string_view(in).substr(at, lf - at);
            if (corvel::is_valid_utf8(line)) {
                want += line;
            } else {
                ++decoded;
                table->decode(line, want);
            }
            if (lf < in.size()) want += '\n';
            at = lf + 1;
        }
        std::string out = "kept";
        ASSERT_EQ(table->decode_lines(in, out), decoded) << round;
        ASSERT_EQ(out, "kept" + want) << round;
    }
}

TEST(Legacy, RefusesTablesThatAreNotOneCharacterPerByte) {
    const auto entries = cp1252_entries();
    EXPECT_FALSE(table_of(std::vector<std::string>(entries.begin(), entries.end() - 1)));
    // An entry of two characters, of a byte that is no UTF-8, of nothing.
    for (const auto& [at, entry] : {std::pair{5, "ab"}, std::pair{7, "\xff"}, std::pair{0, ""}}) {
        auto changed = entries;
        changed[at] = entry;
        EXPECT_FALSE(table_of(changed)) << at;
    }
}

}  // namespace
