// Fuzzes ResilientParser on arbitrary bytes.
//
// Input: [delimiter] [quote] [flags] text...; flags bit 0 turns quote repair
// on. Checked: the parser always terminates, consuming at least one byte per
// row and ending exactly at the input's end; every row has a field; every
// field is valid UTF-8; the line counter never goes back; once exhausted the
// parser stays put; on short inputs every row and line number agrees with
// a byte-at-a-time restatement of the rules; and rows taken as lines in the
// clean writer's form have the same fields, and the text the writer makes.
#include "parser.hpp"
#include "reference_parser.hpp"
#include "rows.hpp"
#include "support.hpp"
#include "writer.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace corvel;
using namespace corvel_fuzz;

namespace {

// The reference rescans a line per quote; past this size that costs more
// fuzzing speed than it is worth.
constexpr std::size_t kReferenceLimit = 1024;

std::size_t count_line_break_bytes(std::string_view s) {
    std::size_t k = 0;
    for (const char c : s) k += c == '\n' || c == '\r';
    return k;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Header h(data, size, 3);
    const std::uint8_t delimiter = h.byte(0);
    const std::uint8_t quote = h.byte(1);
    const bool repair = h.byte(2) & 1;
    const std::string_view text = h.text();
    const std::uint64_t n = text.size();

    ResilientParser parser(text, delimiter, quote, repair);
    const bool bom = n >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF";
    FUZZ_CHECK(parser.pos() == (bom ? 3u : 0u));
    FUZZ_CHECK(parser.line() == 1);

    // Start with a row already in the table: the parser must only append.
    RowTable table;
    table.append("seed", 4);
    table.finish_field();
    table.finish_row();

    std::uint64_t rows = 0;
    std::uint64_t prev_pos = parser.pos();
    std::uint64_t prev_line = parser.line();
    std::vector<std::uint64_t> lines;  // the line counter after each row
    while (parser.next_row(table)) {
        ++rows;
        lines.push_back(parser.line());
        FUZZ_CHECK(rows <= n);  // each row consumes at least one byte
        FUZZ_CHECK(table.size() == rows + 1);
        FUZZ_CHECK(table.open_fields() == 0);
        FUZZ_CHECK(parser.pos() > prev_pos);
        FUZZ_CHECK(parser.pos() <= n);
        FUZZ_CHECK(parser.line() >= prev_line);
        // A row ends at a line break (counted) or at the end of the input.
        FUZZ_CHECK(parser.line() > prev_line || parser.pos() == n);
        const std::uint64_t r = table.size() - 1;
        const std::uint64_t w = table.width(r);
        FUZZ_CHECK(w >= 1);
        FUZZ_CHECK(w <= parser.pos() - prev_pos + 1);  // one field more than delimiters at most
        std::uint64_t bytes = 0;
        for (std::uint64_t f = 0; f < w; ++f) {
            const std::string_view field = table.field(r, f);
            FUZZ_CHECK(valid_utf8(field));
            bytes += field.size();
        }
        FUZZ_CHECK(bytes == table.text_bytes(r));
        // An invalid byte grows to three (U+FFFD); nothing else grows.
        FUZZ_CHECK(bytes <= 3 * (parser.pos() - prev_pos));
        prev_pos = parser.pos();
        prev_line = parser.line();
    }
    FUZZ_CHECK(parser.pos() == n);
    FUZZ_CHECK(parser.line() - 1 <= count_line_break_bytes(text));
    FUZZ_CHECK(table.size() == rows + 1);
    FUZZ_CHECK(table.row(0) == std::vector<std::string>{"seed"});

    // Exhausted for good: another call changes nothing.
    const std::uint64_t line = parser.line();
    FUZZ_CHECK(!parser.next_row(table));
    FUZZ_CHECK(parser.pos() == n && parser.line() == line && table.size() == rows + 1);

    if (n <= kReferenceLimit) {
        const auto want = ReferenceParser(text, delimiter, quote, repair).all();
        FUZZ_CHECK(want.size() == rows);
        ResilientParser again(text, delimiter, quote, repair);
        RowTable t;
        for (std::uint64_t r = 0; r < rows; ++r) {
            FUZZ_CHECK(again.next_row(t));
            FUZZ_CHECK(t.row(r) == want[r].fields);
            FUZZ_CHECK(again.line() == want[r].line_after);
            FUZZ_CHECK(t.row(r) == table.row(r + 1));
        }
        FUZZ_CHECK(!again.next_row(t));
    }

    // Rows given as lines in the clean writer's form: their fields are the
    // rows' fields, and their text is what the writer makes of them.
    if (delimiter < 0x80 && quote < 0x80 && valid_utf8(text)) {
        ResilientParser by_line(text, delimiter, quote, repair);
        by_line.trust_utf8();
        const CleanFormat format(delimiter, quote);
        RowTable t;
        for (std::uint64_t r = 0; r < rows; ++r) {
            PlainLine plain;
            if (by_line.next_plain_line(plain)) {
                by_line.append_line(plain, t);
                FUZZ_CHECK(plain.fields == t.width(r));
                std::string written;
                format.append_row(written, t, r);
                FUZZ_CHECK(written == std::string(plain.text) + "\n");
            } else {
                FUZZ_CHECK(by_line.next_row(t));
            }
            FUZZ_CHECK(t.row(r) == table.row(r + 1));
            FUZZ_CHECK(by_line.line() == lines[r]);
        }
        PlainLine plain;
        FUZZ_CHECK(!by_line.next_plain_line(plain) && !by_line.next_row(t));
    }

    // Without a quote byte there is nothing to repair.
    if (text.find(static_cast<char>(quote)) == std::string_view::npos) {
        ResilientParser other(text, delimiter, quote, !repair);
        RowTable t;
        std::uint64_t r = 0;
        while (other.next_row(t)) {
            FUZZ_CHECK(r < rows);
            FUZZ_CHECK(t.row(r) == table.row(r + 1));
            ++r;
        }
        FUZZ_CHECK(r == rows && other.line() == line);
    }
    return 0;
}
