// A deliberately unforgiving CSV reader, used to read back what the writers
// produce. Delimiter and quote are whole characters (UTF-8 strings), each row
// ends with LF, a field holding the quote, the delimiter, LF or CR must be
// enclosed, and inside an enclosed field the quote is doubled. An empty line
// is a row of one empty field. With `minimal_quoting`, enclosing a field that
// does not need it is an error too. Anything else is a format error.
//
// The text must be valid UTF-8 and neither character may be LF or CR, nor may
// they be equal; then every match below falls on a character boundary and the
// grammar is unambiguous.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel_fuzz {

using CsvRow = std::vector<std::string>;

struct CsvReadResult {
    std::vector<CsvRow> rows;
    std::string error;  // empty when the text was well formed
    std::size_t error_at = 0;
};

inline CsvReadResult read_strict_csv(std::string_view text, std::string_view delimiter,
                                     std::string_view quote, bool minimal_quoting) {
    CsvReadResult res;
    const std::size_t n = text.size();
    std::size_t p = 0;
    const auto at = [&](std::string_view what) { return text.substr(p, what.size()) == what; };
    const auto error = [&](const char* what) {
        res.error = what;
        res.error_at = p;
        return res;
    };

    while (p < n) {
        CsvRow row;
        for (;;) {
            std::string field;
            if (at(quote)) {
                p += quote.size();
                for (;;) {
                    const std::size_t q = text.find(quote, p);
                    if (q == std::string_view::npos) return error("unterminated enclosed field");
                    field.append(text.substr(p, q - p));
                    p = q + quote.size();
                    if (at(quote)) {
                        field.append(quote);
                        p += quote.size();
                    } else {
                        break;
                    }
                }
                if (minimal_quoting && field.find(quote) == std::string::npos && field.find(delimiter) == std::string::npos &&
                    field.find('\n') == std::string::npos && field.find('\r') == std::string::npos)
                    return error("field enclosed without need");
            } else {
                const std::size_t start = p;
                while (p < n && text[p] != '\n' && !at(delimiter)) {
                    if (at(quote)) return error("quote in an unenclosed field");
                    if (text[p] == '\r') return error("CR in an unenclosed field");
                    ++p;
                }
                field.assign(text.substr(start, p - start));
            }
            row.push_back(std::move(field));
            if (p >= n) return error("row without a line feed");
            if (text[p] == '\n') {
                ++p;
                break;
            }
            if (!at(delimiter)) return error("text after an enclosed field");
            p += delimiter.size();
        }
        res.rows.push_back(std::move(row));
    }
    return res;
}

}  // namespace corvel_fuzz
