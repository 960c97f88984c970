// Fuzzes detection and the row predicates.
//
// Input: [flags] text... Bit 0 of flags says whether the text is the whole
// input. Checked: detection succeeds on any bytes; its dialect is one of the
// candidates and occurs in the text; its row counts fit inside the rows of
// the main table; one type per column; a confidence in [0, 1]; and the
// same answer twice. The predicates run on the rows of the text split by the
// detected delimiter.
#include "detect.hpp"
#include "support.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

using namespace corvel;
using namespace corvel_fuzz;

namespace {

bool same(const Detection& a, const Detection& b) {
    return a.dialect.delimiter == b.dialect.delimiter && a.dialect.quote == b.dialect.quote &&
           a.dialect.escape == b.dialect.escape && a.dialect.skip_initial_space == b.dialect.skip_initial_space &&
           a.width == b.width && a.preamble_rows == b.preamble_rows && a.header_rows == b.header_rows &&
           a.footer_rows == b.footer_rows && a.table_rows == b.table_rows && a.tables == b.tables &&
           a.column_types == b.column_types && a.confidence == b.confidence;
}

// Lines split at `delimiter`, without any quoting: enough to feed the predicates.
std::vector<std::vector<std::string_view>> split_rows(std::string_view text, char delimiter) {
    std::vector<std::vector<std::string_view>> rows;
    std::size_t start = 0;
    while (start <= text.size() && rows.size() < 64) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::vector<std::string_view> fields;
        std::size_t f = start;
        for (std::size_t i = start; i <= end; ++i) {
            if (i == end || text[i] == delimiter) {
                fields.push_back(text.substr(f, i - f));
                f = i + 1;
            }
        }
        rows.push_back(std::move(fields));
        start = end + 1;
    }
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Header h(data, size, 1);
    const bool complete = (h.byte(0) & 1) != 0;
    const std::string_view text = h.text();

    const Result<Detection> r = detect(text, complete);
    FUZZ_CHECK(r.ok());
    const Detection& d = r.value();
    const auto& ds = DETECT_DELIMITERS;
    FUZZ_CHECK(std::find(ds.begin(), ds.end(), d.dialect.delimiter) != ds.end());
    // The comma and the double quote stand in when no candidate occurs; any
    // other choice is in the text.
    if (d.dialect.delimiter != ',') FUZZ_CHECK(text.find(static_cast<char>(d.dialect.delimiter)) != text.npos);
    if (d.dialect.quote && *d.dialect.quote != '"')
        FUZZ_CHECK(text.find(static_cast<char>(*d.dialect.quote)) != text.npos);
    if (d.dialect.escape) FUZZ_CHECK(d.dialect.quote && *d.dialect.escape == DETECT_ESCAPE);
    FUZZ_CHECK(d.column_types.size() == d.width);
    FUZZ_CHECK(d.header_rows <= DETECT_MAX_HEADER_ROWS && d.footer_rows <= DETECT_MAX_FOOTER_ROWS);
    FUZZ_CHECK(d.preamble_rows + d.header_rows + d.footer_rows <= d.table_rows);
    FUZZ_CHECK((d.width == 0) == (d.tables == 0));
    FUZZ_CHECK(d.confidence >= 0.0 && d.confidence <= 1.0);
    if (!complete) FUZZ_CHECK(d.footer_rows == 0 || d.tables > 1);

    const Result<Detection> again = detect(text, complete);
    FUZZ_CHECK(again.ok() && same(d, again.value()));

    const auto rows = split_rows(text, static_cast<char>(d.dialect.delimiter));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const bool footer = looks_like_footer(rows[i], d.width, d.column_types, d.dialect.delimiter);
        if (looks_like_totals(rows[i])) FUZZ_CHECK(footer);
        if (looks_like_header(rows[i])) FUZZ_CHECK(filled_cells(rows[i]) == rows[i].size());
        if (i + 1 < rows.size() && starts_another_table(rows[i], rows[i + 1], d.width))
            FUZZ_CHECK(rows[i].size() != d.width && rows[i].size() >= 2);
    }
    return 0;
}
