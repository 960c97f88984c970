// The resilient tokenizer: cuts raw bytes into rows of UTF-8 fields and never
// rejects input. Quoting faults are resolved by fixed rules; a quote inside a
// quoted field that is followed by ordinary text is kept as text when a later
// quote on the same physical line can still close the field (quote repair).
//
// A parser reads one window of bytes. The window is either the whole input
// or, for a stream, the bytes from a row's start to what has arrived so far:
// then a row whose end depends on bytes not yet seen is left undecided
// (Step::More) and parsed again once more bytes are there.
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

// Where the parser stands between two rows: carried from one window to the
// next.
struct ParserPosition {
    std::uint64_t line = 1;      // the line counter (see line())
    std::uint64_t lone_crs = 0;  // lone CRs inside quoted fields: line breaks the counter leaves out
};

// What the last row was made of, beyond its fields.
struct RowTrace {
    std::uint64_t start = 0;  // index in the window of its first byte
    std::uint64_t end = 0;    // index just past its last byte, before any line break
    // Physical lines (ended by CR, LF or CR LF, inside quotes too) of its
    // first and last byte; an empty row's are both the line it stands on.
    std::uint64_t first_line = 1;
    std::uint64_t last_line = 1;
    bool quote_repaired = false;   // malformed quoting was resolved by a rule
    bool utf8_replaced = false;    // invalid UTF-8 became U+FFFD
};

class ResilientParser {
public:
    enum class Step : std::uint8_t { Row, End, More };

    // Over a whole input: starts after a leading UTF-8 byte-order mark, on
    // line 1. `input` is borrowed for the parser's life.
    ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                    bool repair_quotes) noexcept;
    // Over a window of a stream that starts at a row's start, from `at`;
    // `last` says whether the stream ends with the window.
    ResilientParser(std::string_view window, bool last, const ParserPosition& at, std::uint8_t delimiter,
                    std::uint8_t quote_char, bool repair_quotes) noexcept;

    // Parses the next row and appends it to `out` as one finished row of at
    // least one field (Row); End once the input is used up; More, with
    // nothing appended or consumed, when the window ends before the row can
    // be decided. Allocation failures propagate as std::bad_alloc; the
    // engine's entry points turn them into errors.
    Step step(RowTable& out);
    // step() over a whole input: false at the end.
    bool next_row(RowTable& out) { return step(out) == Step::Row; }

    // When the UTF-8 is vouched for (see trust_utf8()) and the next row is
    // a line without quotes, or has well-formed quotes (see quoted.hpp),
    // consumes it and describes it in `out`, valid until the next call; its
    // trace() is as step() would give it. Otherwise returns false and
    // consumes nothing. Within a window, as step(), a row is only taken
    // when its end is known.
    bool next_plain_line(PlainLine& out);
    // next_plain_line() for a line without quotes when the UTF-8 is not
    // vouched for: the caller checks (or decodes) `out.text` itself.
    bool next_unchecked_line(PlainLine& out);
    // Appends the fields of the line just taken by next_plain_line() to
    // `out`, as step() would have.
    void append_line(const PlainLine& line, RowTable& out);
    // Takes, one after another from pos(), the lines that hold exactly
    // `delimiters` delimiters, neither a quote nor `stop`, and end with a
    // lone LF; none that starts at or past `bound`. Returns how many, each
    // counted as a line as next_plain_line() would; trace() is left as it
    // was. The caller vouches for their UTF-8 (see trust_utf8()), and
    // `stop` is not the delimiter.
    std::uint64_t take_clean_lines(std::uint64_t delimiters, std::uint64_t bound, std::uint8_t stop) noexcept;

    // The caller vouches that the whole window is valid UTF-8, so fields
    // need no checking. Honoured only with an ASCII delimiter and quote,
    // which can never split a character.
    void trust_utf8() noexcept { trusted_utf8_ = delimiter_ < 0x80 && (!quoting_ || quote_ < 0x80); }
    // No quoting at all: every physical line is a row, split at each
    // delimiter, and the quote byte is text like any other.
    void no_quotes() noexcept {
        quoting_ = false;
        plain_lines_ = delimiter_ != 0x0D && delimiter_ != 0x0A;
    }

    // `escape` makes the byte after it literal, inside quotes and out; a
    // quote is then never doubled. Rows are all cut by the states below.
    // Call after no_quotes(), if at all.
    void escape_with(std::uint8_t escape) noexcept {
        escape_ = escape;
        escaping_ = true;
        plain_lines_ = false;
    }

    // Blanks at the start of a field are skipped, so that a quote after them
    // opens a quoted field (a file separated by ", ").
    void skip_initial_blanks() noexcept { skip_blanks_ = true; }

    // The line counter: after a row that ended at a line break, the number of
    // the physical line on which the next row starts (lone CRs inside quoted
    // fields aside, which it does not count).
    std::uint64_t line() const noexcept { return at_.line; }
    ParserPosition position() const noexcept { return at_; }
    std::uint64_t pos() const noexcept { return pos_; }
    // The row last returned or taken as a plain line.
    const RowTrace& trace() const noexcept { return trace_; }

private:
    enum class State : std::uint8_t { FieldStart, Unquoted, Quoted, AfterQuote, Done, More };

    // The fields of a line without quotes just taken, from the delimiters
    // take_plain_line() counted while it looked for the line's end.
    void count_fields(PlainLine& out) const noexcept;
    // Consumes the next row when it is a line without quotes, giving its text.
    bool take_plain_line(std::string_view& line) noexcept;
    // Consumes the next row into `out` when its quotes are well-formed.
    bool take_quoted_row(RowTable& out);
    // next_plain_line() for a row with well-formed quotes.
    [[gnu::noinline]] bool take_quoted_line(PlainLine& out);
    // The trace and the line counter of a row taken block-wise, which ends
    // at `end` with `inner` line breaks inside its quotes.
    void trace_quoted_row(std::uint64_t end, const QuotedRows::Breaks& inner) noexcept;
    // Starts the trace of a row at pos_.
    void begin_row() noexcept;

    // One function per state: each consumes from `p` and says what comes next.
    State at_field_start(std::uint64_t& p, RowTable& out);
    State in_unquoted(std::uint64_t& p, RowTable& out);
    State in_quoted(std::uint64_t& p, RowTable& out);
    State after_quote(std::uint64_t& p, RowTable& out);
    // Ends the row at the line break at `p`, or asks for more bytes when the
    // break may be a CR whose LF has not arrived.
    State end_at_break(std::uint64_t p, RowTable& out);
    void finish_field(RowTable& out);
    // With an escape: appends the escaped byte at `p` (counting a line
    // break it makes literal) and returns the position after it.
    std::uint64_t take_escaped(std::uint64_t p, RowTable& out);
    State in_unquoted_escaped(std::uint64_t& p, RowTable& out);
    // Records that the row's bytes end at `end`.
    void end_row(std::uint64_t end) noexcept;

    // Where the row that ends at the line break at `p` is followed by the
    // next: CR, LF and CR LF each end a row and are consumed whole. Counts
    // the line.
    std::uint64_t past_break(std::uint64_t p) noexcept;

    // Whether the quote at `p` (inside a quoted field, followed by a byte that
    // is not a quote) is stray, i.e. part of the field. Sets `undecided` when
    // the answer depends on bytes past the window.
    bool quote_is_stray(std::uint64_t p, bool& undecided);

    std::string_view input_;
    std::uint64_t pos_;
    ParserPosition at_;
    RowTrace trace_;
    std::uint64_t breaks_ = 0;  // physical line breaks inside the current row
    std::uint8_t delimiter_;
    std::uint8_t quote_;
    bool repair_;
    bool last_ = true;  // the window ends where the input does
    bool trusted_utf8_ = false;
    bool quoting_ = true;
    bool escaping_ = false;
    bool skip_blanks_ = false;
    std::uint8_t escape_ = 0;
    // Delimiter, quote, CR and LF are four different bytes, so a line
    // without a quote splits at its delimiters and nothing else.
    bool plain_lines_;
    QuotedRows quoted_;  // tried on rows with quotes when plain_lines_ holds
    std::string quoted_line_;  // the text of a quoted PlainLine
    std::uint64_t line_delimiters_ = 0;  // in the line take_plain_line() took last

    // Look-ahead caches that keep quote repair linear. See quote_is_stray().
    std::uint64_t skip_from_ = 1;   // skip_to_ is where blanks from skip_from_ end
    std::uint64_t skip_to_ = 0;
    std::uint64_t scan_from_ = 1;   // [scan_from_, scan_end_) has been examined
    std::uint64_t scan_end_ = 0;
    std::uint64_t last_closer_ = 0; // last closing-capable quote in it, +1 (0: none)
};

}  // namespace corvel
