// Rows whose quoting is well-formed, cut 64 bytes at a time.
//
// A row qualifies when every quote in it either opens a field at its start,
// closes it right before a delimiter, a line break or the end of the input,
// or is doubled inside a quoted field, and it is at most 64 KiB long. The resilient tokenizer reads such a
// row without ever reaching a stray-quote decision, so the row can be cut
// from bit masks instead: one for the quotes, whose prefix-XOR marks the
// bytes inside quotes, and those of the delimiters and line breaks, which
// count only outside them. Any other row is left to the tokenizer whole.
#pragma once

#include "rows.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

class QuotedRows {
public:
    // Delimiter, quote, CR and LF must be four different bytes.
    QuotedRows(std::uint8_t delimiter, std::uint8_t quote) noexcept : delimiter_(delimiter), quote_(quote) {}

    static constexpr std::uint64_t kNotTaken = std::numeric_limits<std::uint64_t>::max();

    // When the row starting at `pos` (below input.size()) is well-formed,
    // appends it to `out` as the tokenizer would, adds the line feeds inside
    // its quotes to `line`, and returns the index of the line break that ends
    // it, or input.size() when the input ends first. Otherwise returns
    // kNotTaken and leaves `out` and `line` as they were. With `valid_utf8`
    // the caller vouches for the fields' encoding.
    std::uint64_t take(std::string_view input, std::uint64_t pos, RowTable& out, bool valid_utf8,
                       std::uint64_t& line);

    // Whether take() is worth trying on the next row. A very short row, or
    // one of long fields, goes about as fast through the tokenizer as
    // through the masks, so after taking one, take() sits out a few rows.
    bool worth_trying() noexcept {
        if (rest_ == 0) return true;
        --rest_;
        return false;
    }

    // As take(), for input that is valid UTF-8 with an ASCII delimiter and
    // quote, but the row goes to `text` as the clean writer would write it,
    // without its line break: each field as it stands when its text holds
    // the delimiter, the quote, CR or LF (enclosed, quotes doubled), else
    // bare. `fields` gets its width. append_last() gives its fields.
    std::uint64_t take_line(std::string_view input, std::uint64_t pos, std::string& text, std::uint64_t& fields,
                            std::uint64_t& line);
    // Appends the fields of the row last taken by take_line() to `out`;
    // `input` is the same as there.
    void append_last(std::string_view input, RowTable& out) const;

private:
    // The row's extent and shape, from its masks.
    struct Shape {
        std::uint64_t end = 0;      // its line break, or the input's end
        std::uint64_t lfs = 0;      // line feeds inside quotes
        std::uint64_t last_flags = 0;  // the flags below for its last field
    };
    // Set on an entry of cuts_ when the field it ends holds a doubled quote,
    // or, for kSpecial, a doubled quote, a delimiter, CR or LF.
    static constexpr std::uint64_t kDoubled = std::uint64_t{1} << 63;
    static constexpr std::uint64_t kSpecial = std::uint64_t{1} << 62;
    static constexpr std::uint64_t kFlags = kDoubled | kSpecial;
    // The shape of the well-formed row at `pos`, with the delimiters that
    // cut it in cuts_; false when the row is not well-formed, or was just
    // found not to be.
    bool scan(std::string_view input, std::uint64_t pos, Shape& shape);
    void emit_valid(std::string_view input, std::uint64_t pos, const Shape& shape, RowTable& out) const;
    void emit_checked(std::string_view input, std::uint64_t pos, const Shape& shape, RowTable& out) const;

    std::uint8_t delimiter_;
    std::uint8_t quote_;
    std::vector<std::uint64_t> cuts_;  // the row's delimiters outside quotes, with flags
    std::uint64_t last_pos_ = 0;       // where the row of take_line() starts
    Shape last_shape_;
    // Where the last row not taken starts: the tokenizer reads it next, and
    // take() need not look at it again.
    std::uint64_t failed_at_ = kNotTaken;
    std::uint32_t rest_ = 0;  // rows that take() sits out
};

namespace quoted_detail {

// Bit i of the result is the XOR of bits 0..i of x: set on the bytes from an
// opening quote up to, not including, its closing one.
constexpr std::uint64_t prefix_xor(std::uint64_t x) noexcept {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

}  // namespace quoted_detail

}  // namespace corvel
