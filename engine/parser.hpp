// The resilient tokenizer: cuts raw bytes into rows of UTF-8 fields and never
// rejects input. Quoting faults are resolved by fixed rules; a quote inside a
// quoted field that is followed by ordinary text is kept as text when a later
// quote on the same physical line can still close the field (quote repair).
#pragma once

#include "quoted.hpp"
#include "rows.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace corvel {

// A row that the clean writer would write as `text` and a line feed: a line
// without quotes, taken from the input as it stands, or a row with
// well-formed quotes, as the writer would enclose its fields.
struct PlainLine {
    std::string_view text;    // without its line break
    std::uint64_t fields = 0;
    bool quoted = false;      // the second kind: `text` may hold enclosed fields
};

class ResilientParser {
public:
    // Starts after a leading UTF-8 byte-order mark, on line 1. `input` is
    // borrowed for the parser's life.
    ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                    bool repair_quotes) noexcept;

    // Parses the next row and appends it to `out` as one finished row of at
    // least one field. Returns false, and changes nothing, once the input is
    // used up. Allocation failures propagate as std::bad_alloc; the engine's
    // entry points turn them into errors.
    bool next_row(RowTable& out);

    // When the UTF-8 is vouched for (see trust_utf8()) and the next row is
    // a line without quotes, or has well-formed quotes (see quoted.hpp),
    // consumes it and describes it in `out`, valid until the next call.
    // Otherwise returns false and consumes nothing.
    bool next_plain_line(PlainLine& out);
    // Appends the fields of the line just taken by next_plain_line() to
    // `out`, as next_row() would have.
    void append_line(const PlainLine& line, RowTable& out);

    // The caller vouches that the whole input is valid UTF-8, so fields need
    // no checking. Honoured only with an ASCII delimiter and quote, which
    // can never split a character.
    void trust_utf8() noexcept { trusted_utf8_ = delimiter_ < 0x80 && quote_ < 0x80; }

    // The line counter: after a row that ended at a line break, the number of
    // the physical line on which the next row starts.
    std::uint64_t line() const noexcept { return line_; }
    std::uint64_t pos() const noexcept { return pos_; }

private:
    // Consumes the next row when it is a line without quotes, giving its text.
    bool take_plain_line(std::string_view& line) noexcept;
    // next_plain_line() for a row with well-formed quotes.
    [[gnu::noinline]] bool take_quoted_line(PlainLine& out);

    // Where the row that ends at the line break at `p` is followed by the
    // next: CR, LF and CR LF each end a row and are consumed whole. Counts
    // the line.
    std::uint64_t past_break(std::uint64_t p) noexcept;

    // Whether the quote at `p` (inside a quoted field, followed by a byte that
    // is not a quote) is stray, i.e. part of the field.
    bool quote_is_stray(std::uint64_t p);

    std::string_view input_;
    std::uint64_t pos_;
    std::uint64_t line_ = 1;
    std::uint8_t delimiter_;
    std::uint8_t quote_;
    bool repair_;
    bool trusted_utf8_ = false;
    // Delimiter, quote, CR and LF are four different bytes, so a line
    // without a quote splits at its delimiters and nothing else.
    bool plain_lines_;
    QuotedRows quoted_;  // tried on rows with quotes when plain_lines_ holds
    std::string quoted_line_;  // the text of a quoted PlainLine

    // Look-ahead caches that keep quote repair linear. See quote_is_stray().
    std::uint64_t skip_from_ = 1;   // skip_to_ is where blanks from skip_from_ end
    std::uint64_t skip_to_ = 0;
    std::uint64_t scan_from_ = 1;   // [scan_from_, scan_end_) has been examined
    std::uint64_t scan_end_ = 0;
    std::uint64_t last_closer_ = 0; // last closing-capable quote in it, +1 (0: none)
};

}  // namespace corvel
