// The two output formats: the clean CSV file and the quarantine CSV file.
//
// These functions only format; they append to a string and never touch a
// file, so that the file pipeline can buffer as it likes and tests and the
// fuzzers can check the bytes directly.
#pragma once

#include "rows.hpp"
#include "salvage.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace corvel {

// How the clean file is written: fields separated by the delimiter, a field
// enclosed in the quote when it holds the quote, the delimiter, LF or CR,
// with the quote doubled inside. Both bytes are written as the characters of
// the same value (U+0000..U+00FF), so the file stays valid UTF-8.
class CleanFormat {
public:
    CleanFormat(std::uint8_t delimiter, std::uint8_t quote);

    // Appends row r of `rows` and its line feed. A row of one empty field
    // becomes an empty line.
    void append_row(std::string& out, const RowTable& rows, std::uint64_t r) const;
    // Appends one field by the quoting rule.
    void append_field(std::string& out, std::string_view field) const;

    // As append_row(), but in slices of about `slice` bytes, calling
    // `flush()` (which returns a Status) after each, so that a huge row is
    // never held whole in `out`.
    template <class Flush>
    Status append_row_sliced(std::string& out, const RowTable& rows, std::uint64_t r, std::size_t slice,
                             Flush&& flush) const {
        for (std::uint64_t f = 0; f < rows.width(r); ++f) {
            if (f != 0) out.append(delimiter_);
            if (Status s = append_field_sliced(out, rows.field(r, f), slice, flush); !s) return s;
        }
        out.push_back('\n');
        return flush();
    }

private:
    static constexpr std::size_t kWhole = static_cast<std::size_t>(-1);  // a slice size: no slicing
    // Rows up to this size are written in place, within twice their size.
    static constexpr std::size_t kInPlaceBytes = 1 << 16;
    static Status no_flush() { return Done{}; }

    // One field by the quoting rule, as append_row_sliced() slices it.
    template <class Flush>
    Status append_field_sliced(std::string& out, std::string_view field, std::size_t slice, Flush& flush) const {
        const bool enclose = needs_enclosure(field);
        if (enclose) out.append(quote_);
        while (!field.empty()) {
            std::size_t cut = field.size() < slice ? field.size() : slice;
            // Never between the two bytes of a two-byte quote.
            if (cut < field.size() && quote_.size() == 2 && field[cut - 1] == quote_[0]) ++cut;
            append_piece(out, field.substr(0, cut), enclose);
            field.remove_prefix(cut);
            if (Status s = flush(); !s) return s;
        }
        if (enclose) out.append(quote_);
        return Done{};
    }

    // Whether `text` holds a sentinel byte; without one, no field in it
    // needs enclosure.
    bool has_sentinel(std::string_view text) const noexcept;
    bool needs_enclosure(std::string_view field) const noexcept;
    // Field text as is, or with the quote doubled when the field is enclosed.
    void append_piece(std::string& out, std::string_view piece, bool enclose) const;

    std::string delimiter_;  // UTF-8 of the delimiter character
    std::string quote_;      // UTF-8 of the quote character
    bool ascii_;             // both are single bytes below 0x80
    // LF, CR and the first bytes of delimiter and quote. With ascii_ these
    // are exactly the bytes that call for enclosure.
    std::uint8_t sentinels_[4];
};

// The quarantine file: a header, then per record its line number, its reason
// and its tokens joined by the delimiter, the last two always in double
// quotes with inner double quotes doubled.
void append_quarantine_header(std::string& out);
void append_quarantine_record(std::string& out, const Quarantine& quarantine, std::uint64_t i,
                              std::string_view delimiter_utf8, std::uint64_t expected);

}  // namespace corvel
