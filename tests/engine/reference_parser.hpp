// The tokenizer's rules, restated one byte at a time with no caching or bulk
// scans, as a reference the real parser must agree with. Deciding whether a
// quote is stray rescans the rest of its line each time, so this is quadratic
// on lines full of quotes: only feed it short inputs.
#pragma once

#include "rows.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvel_test {

struct ReferenceRow {
    std::vector<std::string> fields;
    std::uint64_t line_after;  // the line counter once the row is read
};

class ReferenceParser {
public:
    ReferenceParser(std::string_view in, std::uint8_t delimiter, std::uint8_t quote, bool repair)
        : in_(in), delim_(delimiter), quote_(quote), repair_(repair) {
        if (in.size() >= 3 && in.substr(0, 3) == "\xEF\xBB\xBF") p_ = 3;
    }

    std::vector<ReferenceRow> all() {
        std::vector<ReferenceRow> rows;
        while (p_ < in_.size()) rows.push_back(next());
        return rows;
    }

private:
    enum class St { Start, Plain, Quoted, Closed };

    std::uint8_t at(std::size_t i) const { return static_cast<std::uint8_t>(in_[i]); }
    static bool blank(std::uint8_t b) { return b == ' ' || b == '\t'; }
    static bool line_break(std::uint8_t b) { return b == '\r' || b == '\n'; }

    // Where a run of blanks starting at i ends; a blank that is the delimiter
    // ends it.
    std::size_t skip_blanks(std::size_t i) const {
        while (i < in_.size() && blank(at(i)) && at(i) != delim_) ++i;
        return i;
    }
    // Whether a field may end at i: the end, a delimiter or a line break.
    bool field_end(std::size_t i) const {
        return i == in_.size() || at(i) == delim_ || line_break(at(i));
    }
    // The quote at q, inside an enclosed field and not doubled, is text when
    // ordinary text follows it (blanks aside) and some later quote on the
    // same line could close the field.
    bool stray(std::size_t q) const {
        if (field_end(skip_blanks(q + 1))) return false;
        for (std::size_t j = q + 1; j < in_.size() && !line_break(at(j)); ++j) {
            if (at(j) == quote_ && field_end(skip_blanks(j + 1))) return true;
        }
        return false;
    }

    void finish_field(std::vector<std::string>& row, std::string& field) {
        corvel::repair_utf8(field, 0);
        row.push_back(std::move(field));
        field.clear();
    }

    ReferenceRow next() {
        ReferenceRow row;
        std::string field;
        St st = St::Start;
        const std::size_t n = in_.size();
        for (;;) {
            if (p_ == n) {
                finish_field(row.fields, field);
                row.line_after = line_;
                return row;
            }
            const std::uint8_t b = at(p_);
            if (st == St::Quoted) {
                if (b == quote_) {
                    if (p_ + 1 < n && at(p_ + 1) == quote_) {
                        field.push_back(static_cast<char>(b));
                        p_ += 2;
                    } else if (p_ + 1 < n && repair_ && stray(p_)) {
                        field.push_back(static_cast<char>(b));
                        ++p_;
                    } else {
                        ++p_;
                        st = St::Closed;
                    }
                } else {
                    if (b == '\n') ++line_;
                    field.push_back(static_cast<char>(b));
                    ++p_;
                }
                continue;
            }
            if (st == St::Start && b == quote_) {
                ++p_;
                st = St::Quoted;
            } else if (b == delim_) {
                finish_field(row.fields, field);
                ++p_;
                st = St::Start;
            } else if (line_break(b)) {
                ++p_;
                if (b == '\r' && p_ < n && at(p_) == '\n') ++p_;
                ++line_;
                finish_field(row.fields, field);
                row.line_after = line_;
                return row;
            } else if (st == St::Closed && blank(b)) {
                ++p_;
            } else {
                field.push_back(static_cast<char>(b));
                ++p_;
                st = St::Plain;
            }
        }
    }

    std::string_view in_;
    std::size_t p_ = 0;
    std::uint64_t line_ = 1;
    std::uint8_t delim_;
    std::uint8_t quote_;
    bool repair_;
};

}  // namespace corvel_test
