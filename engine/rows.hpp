// Compact storage for parsed rows.
//
// A RowTable keeps every field of every row in one byte arena, with a 64-bit
// end offset per field and a (first field, field count) pair per row. A row
// therefore costs its text plus 8 bytes a field and 16 bytes a row, instead of
// one heap string per field. Offsets are 64-bit so that inputs beyond 4 GiB
// work. Fields are always valid UTF-8: finish_field() repairs the bytes of the
// field just collected.
//
// The parser writes straight into a table, so accepted rows are never copied
// after parsing.
#pragma once

#include "memory.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

class RowTable {
public:
    std::uint64_t size() const noexcept { return rows_.size(); }
    bool empty() const noexcept { return rows_.empty(); }

    std::uint64_t width(std::uint64_t r) const noexcept { return rows_[r].count; }
    std::string_view field(std::uint64_t r, std::uint64_t f) const noexcept {
        const std::uint64_t i = rows_[r].first + f;
        const std::uint64_t begin = field_start(i);
        return std::string_view(text_).substr(begin, ends_[i] - begin);
    }
    // The bytes of all fields of row r, back to back, without separators.
    std::uint64_t text_bytes(std::uint64_t r) const noexcept;
    std::string_view row_text(std::uint64_t r) const noexcept {
        const std::uint64_t begin = field_start(rows_[r].first);
        return std::string_view(text_).substr(begin, text_bytes(r));
    }

    // A copy of row r as separate strings (for tests and diagnostics).
    std::vector<std::string> row(std::uint64_t r) const;

    // For loops over many fields: the end of every finished field's text,
    // counted from the start of the text, in order, and the index among them
    // of row r's first field.
    const std::uint64_t* field_ends() const noexcept { return ends_.data(); }
    std::uint64_t first_field(std::uint64_t r) const noexcept { return rows_[r].first; }

    // Capacity for the rows to come, so that the buffers are not copied over
    // and over while they grow. Reserved memory that is never written costs
    // nothing.
    void reserve(std::uint64_t text_bytes, std::uint64_t fields, std::uint64_t rows);

    // Empties the table but keeps its capacity.
    void clear() noexcept;
    // Empties the table and gives its memory back (assigning an empty table
    // would keep the text's buffer).
    void release() noexcept;
    // Drops the last row and its text.
    void pop_row() noexcept;
    // Appends a copy of row r of `other`.
    void append_row_from(const RowTable& other, std::uint64_t r);

    // Building, as the parser does: append bytes, finish each field, finish
    // the row. A row must have at least one field when it is finished.
    void append(char c) { text_.push_back(c); }
    void append(const char* p, std::size_t n) { text_.append(p, n); }
    // Returns whether invalid UTF-8 was replaced.
    bool finish_field();
    // finish_field() for bytes known to be valid UTF-8.
    void finish_valid_field() { ends_.push_back(text_.size()); }
    void finish_row();
    // Appends a whole row: `line` split at every `delimiter` byte. With
    // `valid_utf8` the caller vouches for the fields' encoding. Returns
    // whether invalid UTF-8 was replaced.
    bool append_split_row(std::string_view line, std::uint8_t delimiter, bool valid_utf8);
    // Drops the fields of the row being built, which is left unfinished.
    void drop_open_row() noexcept;
    // Appends a whole row of `fields` fields written in place: fill(char*
    // text, char* room, std::uint64_t* ends) writes at most `max_bytes`
    // bytes of valid UTF-8 at `text` and the end of each field's text,
    // counted from `text`, and returns the number of bytes written. Bytes
    // up to `room` (at least text + max_bytes; spare capacity, up to 16
    // bytes more) may be scribbled on past that. All room is made first, so
    // nothing can throw once fill() runs.
    template <class Fill>
    void append_row_in_place(std::uint64_t max_bytes, std::uint64_t fields, Fill&& fill) {
        text_.reserve(text_.size() + max_bytes);
        make_room(fields);
        const std::uint64_t base = text_.size();
        const std::uint64_t room = std::min<std::uint64_t>(text_.capacity() - base, max_bytes + 16);
        const std::size_t first = ends_.size();
        ends_.resize(first + fields);
        std::uint64_t* ends = ends_.data() + first;
        text_.resize_and_overwrite(base + room, [&](char* p, std::size_t) noexcept {
            return base + fill(p + base, p + base + room, ends);
        });
        for (std::uint64_t f = 0; f < fields; ++f) ends[f] += base;
        finish_row();
    }
    // Number of fields finished since the last finished row.
    std::uint64_t open_fields() const noexcept { return ends_.size() - row_start_; }

    // Pads the last row with empty fields up to `width` (greater than its
    // current width). Empty fields cost an offset each and no text. Returns
    // false, having allocated nothing, when the table would outgrow
    // max_slots().
    [[nodiscard]] bool pad_last_row(std::uint64_t width);
    // Whether `extra` empty fields could ever be had: the limit that
    // pad_last_row() enforces, for callers that pad without a table.
    static bool padding_fits(std::uint64_t extra) noexcept;
    // Joins the fields of the last row from index `keep - 1` on into one field,
    // with `separator` between each two, so that the row has `keep` fields.
    // `keep` is at least 1 and below the row's width.
    void merge_last_row(std::uint64_t keep, std::string_view separator);

    // Bytes held by the table's buffers (capacity), for memory accounting.
    std::uint64_t allocated_bytes() const noexcept;

    // Most field slots a table may hold: anything beyond is refused as too
    // large for memory.
    static std::uint64_t max_slots() noexcept;

    // Test hook and memory estimate: bytes one field slot costs.
    static constexpr std::uint64_t kFieldSlotBytes = sizeof(std::uint64_t);

private:
    struct RowSpan {
        std::uint64_t first;  // index of the row's first field in ends_
        std::uint64_t count;  // number of fields
    };

    // Room for `fields` more field ends and one more row.
    void make_room(std::uint64_t fields);

    // Where field i's text starts: the end of field i - 1.
    std::uint64_t field_start(std::uint64_t i) const noexcept { return i == 0 ? 0 : ends_[i - 1]; }
    // Where the field being collected starts.
    std::uint64_t field_begin() const noexcept { return field_start(ends_.size()); }

    using Text = std::basic_string<char, std::char_traits<char>, BigAllocator<char>>;
    Text text_;
    std::vector<std::uint64_t, BigAllocator<std::uint64_t>> ends_;
    std::vector<RowSpan, BigAllocator<RowSpan>> rows_;
    std::uint64_t row_start_ = 0;  // index in ends_ where the open row starts
};

// Replaces each maximal invalid subsequence of `bytes` by U+FFFD, following
// the Unicode Standard's recommended practice; valid UTF-8 comes back
// unchanged. Returns the offset of the first invalid byte, or npos when the
// text was valid and nothing was changed.
std::size_t repair_utf8(std::string& bytes, std::size_t from);
std::size_t repair_utf8(std::basic_string<char, std::char_traits<char>, BigAllocator<char>>& bytes,
                        std::size_t from);

// Whether every code point of the valid UTF-8 text `s` has the Unicode
// White_Space property (true for the empty text).
bool is_unicode_whitespace(std::string_view s) noexcept;

// Whether `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s) noexcept;

// Whether every byte of `s` is below 0x80.
bool is_ascii(std::string_view s) noexcept;

// Bytes of memory the process may use at most: the least of physical
// memory, the cgroup's memory.max and RLIMIT_AS (the largest count when
// none is known). Requests that could never fit are refused against it
// before anything is allocated.
std::uint64_t available_memory() noexcept;

// The UTF-8 encoding of the code point equal to byte `b` (U+0000..U+00FF):
// one byte below 0x80, two from there on.
std::string byte_as_utf8(std::uint8_t b);

}  // namespace corvel
